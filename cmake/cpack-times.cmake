# SPDX-License-Identifier: MIT
# Run by cpack once the package's files are staged (CPACK_PRE_BUILD_SCRIPTS): every file,
# link and folder there gets the time SOURCE_DATE_EPOCH (set by cpack-project.cmake), whatever
# the CPack of this machine does with the times itself. Fails when a time cannot be set.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND find "${CPACK_TEMPORARY_DIRECTORY}" -exec touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" {} +
                  RESULT_VARIABLE pinman_touch_status)
  if(NOT pinman_touch_status EQUAL 0)
    message(FATAL_ERROR "cannot set the staged files' times to SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH}")
  endif()
endif()
