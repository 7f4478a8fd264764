# SPDX-License-Identifier: MIT
# Run by cpack once the package is made (CPACK_POST_BUILD_SCRIPTS): sets its Installed-Size
# from its own contents. CPack sums the sizes of the staged entries through their links, so
# the link to the conffile in /etc measured the build machine's /etc (a machine with the
# package installed built another package). Here, as dpkg-gencontrol counts: each regular
# file its size in KiB rounded up, each folder and link one. The package is unpacked,
# its control file mended and the package built again by dpkg-deb, with the time
# SOURCE_DATE_EPOCH (set by cpack-project.cmake) on every entry. Fails when a step fails.
find_program(PINMAN_DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/installed-size")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND "${PINMAN_DPKG_DEB}" --raw-extract "${deb}" "${tree}"
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot unpack ${deb}")
  endif()

  file(GLOB_RECURSE entries LIST_DIRECTORIES true "${tree}/*")
  set(kib 0)
  foreach(entry IN LISTS entries)
    if(entry MATCHES "^${tree}/DEBIAN(/|$)")
      continue()
    elseif(IS_SYMLINK "${entry}" OR IS_DIRECTORY "${entry}")
      math(EXPR kib "${kib} + 1")
    else()
      file(SIZE "${entry}" bytes)
      math(EXPR kib "${kib} + (${bytes} + 1023) / 1024")
    endif()
  endforeach()

  file(READ "${tree}/DEBIAN/control" control)
  string(REGEX REPLACE "\nInstalled-Size: [0-9]+\n" "\nInstalled-Size: ${kib}\n" control
                       "${control}")
  file(WRITE "${tree}/DEBIAN/control" "${control}")
  execute_process(COMMAND find "${tree}" -exec touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" {} +
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot set the times of ${tree}")
  endif()
  execute_process(COMMAND "${PINMAN_DPKG_DEB}" --root-owner-group -Zgzip --build "${tree}"
                          "${deb}" RESULT_VARIABLE status OUTPUT_QUIET)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot build ${deb} again with its Installed-Size")
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
