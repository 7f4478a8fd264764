# SPDX-License-Identifier: MIT
# Install-time step, run after the program is installed (and stripped): the conffile and the
# links whose places depend on the prefix the package or the user installs to. Expects
# PINMAN_INSTALL_DIR (the program's folder below the prefix) and PINMAN_PACKAGING (the
# packaging sources), set by install(CODE) in Install.cmake just before it runs.
set(prefix "${CMAKE_INSTALL_PREFIX}")
set(root "$ENV{DESTDIR}")
if(prefix STREQUAL "/usr")
  set(sysconf /etc)
else()
  set(sysconf "${prefix}/etc")
endif()
set(lib "${root}${prefix}/${PINMAN_INSTALL_DIR}")
# file(INSTALL) puts DESTDIR in front by itself; the links are made below DESTDIR by hand.
file(INSTALL "${PINMAN_PACKAGING}/gtkzorvpin.conf" DESTINATION "${sysconf}/gtkzorvpin")
message(STATUS "Linking: ${lib}/gtkzorvpin.conf -> ${sysconf}/gtkzorvpin/gtkzorvpin.conf")
file(REMOVE "${lib}/gtkzorvpin.conf")
file(CREATE_LINK "${sysconf}/gtkzorvpin/gtkzorvpin.conf" "${lib}/gtkzorvpin.conf" SYMBOLIC)
# A hard link keeps, in /proc/self/maps, the path the program was started through (a
# symbolic link would not). The Debian package carries it as a second copy of the file,
# as CPack's archive does not keep hard links; both work alike.
file(MAKE_DIRECTORY "${lib}/demo")
file(REMOVE "${lib}/demo/gtkzorvpin" "${lib}/demo/gtkzorvpin.glade" "${lib}/demo/gtkzorvpin-lc")
file(CREATE_LINK "${lib}/gtkzorvpin" "${lib}/demo/gtkzorvpin")
file(CREATE_LINK ../gtkzorvpin.glade "${lib}/demo/gtkzorvpin.glade" SYMBOLIC)
file(CREATE_LINK ../gtkzorvpin-lc "${lib}/demo/gtkzorvpin-lc" SYMBOLIC)
