# SPDX-License-Identifier: MIT
# Read by cpack before it packages (CPACK_PROJECT_CONFIG_FILE): the time every file of the
# package gets, SOURCE_DATE_EPOCH, is the caller's when set, else the last commit's, so that
# two builds of one commit make the same package. Expects CPACK_PINMAN_SOURCE_DIR, the
# checkout; outside a git checkout, without the caller's time, the files keep their own.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "${CPACK_PINMAN_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE pinman_commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE pinman_git_status ERROR_QUIET)
  if(pinman_git_status EQUAL 0 AND pinman_commit_time MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} "${pinman_commit_time}")
  else()
    message(WARNING "No SOURCE_DATE_EPOCH and no git commit in ${CPACK_PINMAN_SOURCE_DIR}: "
                    "the package's files keep the times of this build")
  endif()
endif()
