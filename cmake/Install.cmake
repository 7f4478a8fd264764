# SPDX-License-Identifier: MIT
# Installation and the Debian package. The program lives in one folder with its companion
# files, <prefix>/lib/gtkzorvpin/, exactly as in the stage folder: it finds them beside
# its own file, which the link <prefix>/bin/gtkzorvpin leads to. Its configuration there is
# a link to the conffile <sysconf>/gtkzorvpin/gtkzorvpin.conf (/etc for the prefix /usr).
# The demo folder <prefix>/lib/gtkzorvpin/demo/ holds a hard link of the program with its
# own configuration, naming the simulated card beside it; <prefix>/bin/gtkzorvpin-demo
# runs it on the user's own demo card.
set(PINMAN_INSTALL_DIR lib/gtkzorvpin)
set(PINMAN_DEMO_DIR ${PINMAN_INSTALL_DIR}/demo)
set(PINMAN_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
# The Debian package: pin-manager holds the GTK 2 program, pin-manager-gtk3 the GTK 3 one.
# Both install the same files, so each conflicts with and replaces the other, and the GTK 3
# one provides pin-manager. The toolkit is in the name, not in the version: a version would
# make one the other's upgrade, and apt would swap a holder's toolkit on its own; named apart
# they lie side by side in one folder or archive, and each release's version stays the same.
if(PINMAN_GTK STREQUAL "3")
  set(PINMAN_PACKAGE pin-manager-gtk3)
  set(pinman_other_package pin-manager)
  set(CPACK_DEBIAN_PACKAGE_PROVIDES pin-manager)
else()
  set(PINMAN_PACKAGE pin-manager)
  set(pinman_other_package pin-manager-gtk3)
endif()

install(TARGETS gtkzorvpin RUNTIME DESTINATION ${PINMAN_INSTALL_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/data/gtkzorvpin.glade DESTINATION ${PINMAN_INSTALL_DIR})
# The compiled catalogues (target translations): gtkzorvpin-lc/<lang>/LC_MESSAGES/*.mo.
install(DIRECTORY ${STAGE_DIR}/gtkzorvpin-lc DESTINATION ${PINMAN_INSTALL_DIR}
        FILES_MATCHING PATTERN "*.mo")
install(TARGETS simcard-card RUNTIME DESTINATION ${PINMAN_INSTALL_DIR})
install(TARGETS clogcat RUNTIME DESTINATION bin)

# The demo folder: the simulated card (a private module, out of the linker's folders) and
# the demo configuration; the interface file and the catalogues are the main folder's.
install(TARGETS simcard LIBRARY DESTINATION ${PINMAN_DEMO_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/data/gtkzorvpin.conf DESTINATION ${PINMAN_DEMO_DIR})

# Links made at install time, after the program is installed (and stripped): the
# conffile's place depends on the prefix the package or the user installs to. The script
# cmake/install-links.cmake makes them, with the two variables it needs set first.
install(CODE "set(PINMAN_INSTALL_DIR \"${PINMAN_INSTALL_DIR}\")
  set(PINMAN_PACKAGING \"${PINMAN_PACKAGING}\")")
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/install-links.cmake)

# <prefix>/bin/gtkzorvpin -> ../lib/gtkzorvpin/gtkzorvpin, made here and installed as a link.
set(pinman_link_dir ${CMAKE_BINARY_DIR}/install-links)
file(MAKE_DIRECTORY ${pinman_link_dir})
file(CREATE_LINK ../${PINMAN_INSTALL_DIR}/gtkzorvpin ${pinman_link_dir}/gtkzorvpin SYMBOLIC)
install(FILES ${pinman_link_dir}/gtkzorvpin DESTINATION bin)
install(PROGRAMS ${PINMAN_PACKAGING}/gtkzorvpin-demo DESTINATION bin)

# The desktop menu entry, its icon and the AppStream description.
install(FILES ${CMAKE_SOURCE_DIR}/data/gtkzorvpin.desktop DESTINATION share/applications)
install(FILES ${CMAKE_SOURCE_DIR}/data/gtkzorvpin.svg
        DESTINATION share/icons/hicolor/scalable/apps)
install(FILES ${PINMAN_PACKAGING}/org.example.pinmanager.metainfo.xml DESTINATION share/metainfo)

# Manual pages and the changelog, compressed as Debian wants them (gzip -9n: no time stamp).
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(pinman_gz_dir ${CMAKE_BINARY_DIR}/packaging)
set(pinman_gz_files)
foreach(page gtkzorvpin.1 gtkzorvpin-demo.1 clogcat.1 changelog)
  add_custom_command(
    OUTPUT ${pinman_gz_dir}/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${pinman_gz_dir}
    COMMAND ${GZIP_EXECUTABLE} -9n -c ${PINMAN_PACKAGING}/${page} > ${pinman_gz_dir}/${page}.gz
    DEPENDS ${PINMAN_PACKAGING}/${page}
    COMMENT "Compressing ${page}")
  list(APPEND pinman_gz_files ${pinman_gz_dir}/${page}.gz)
endforeach()
add_custom_target(packaging_files ALL DEPENDS ${pinman_gz_files})
install(FILES ${pinman_gz_dir}/gtkzorvpin.1.gz ${pinman_gz_dir}/gtkzorvpin-demo.1.gz
              ${pinman_gz_dir}/clogcat.1.gz DESTINATION share/man/man1)
install(FILES ${pinman_gz_dir}/changelog.gz ${PINMAN_PACKAGING}/copyright
        DESTINATION share/doc/${PINMAN_PACKAGE})
# OpenSC's setting for unblocking a PIN through PKCS#11, inactive, for the holder to copy.
install(FILES ${PINMAN_PACKAGING}/opensc-pin-manager.conf.example
        DESTINATION share/doc/${PINMAN_PACKAGE}/examples)
install(FILES ${PINMAN_PACKAGING}/pin-manager.lintian-overrides
        DESTINATION share/lintian/overrides RENAME ${PINMAN_PACKAGE})

# `cpack -G DEB`: a Debian package installed below /usr, whose library dependencies
# (GTK 2 or 3, libglade, OpenSSL, the C++ runtime) dpkg-shlibdeps works out from the binaries.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PINMAN_PACKAGE})
set(CPACK_DEBIAN_PACKAGE_CONFLICTS ${pinman_other_package})
set(CPACK_DEBIAN_PACKAGE_REPLACES ${pinman_other_package})
# The version names the Debian release the package is built for (1.0.0~deb12u1,
# 1.0.0~deb13u1): each depends on its own release's libraries, libglade among them on 12.
file(STRINGS /etc/os-release pinman_os_version REGEX "^VERSION_ID=")
string(REGEX REPLACE "^VERSION_ID=\"?([0-9]+)\"?$" "\\1" pinman_debian_release "${pinman_os_version}")
if(pinman_debian_release MATCHES "^[0-9]+$")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}~deb${pinman_debian_release}u1)
else()
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
endif()
set(CPACK_PACKAGE_VENDOR "Pin Manager developers")
set(PINMAN_MAINTAINER "Pin Manager developers <pin-manager@example.org>")
set(CPACK_PACKAGE_CONTACT "${PINMAN_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "change, unblock and inspect the PIN and PUK of a smart card")
# Lines of at most 80 columns; CPack indents each by one blank.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Pin Manager is a small desktop tool for the holder of a cryptographic smart
card. One dialog changes the card's PIN, unblocks a blocked PIN with the PUK
and changes the PUK; an Info button shows what the card and its reader report.
At start-up it warns about certificates on the card that have expired or are
about to expire.
.
The card is reached through a PKCS#11 module, by default OpenSC's, named in
/etc/gtkzorvpin/gtkzorvpin.conf. The command gtkzorvpin-demo runs the program
on a simulated card of the user's own, to try it out without a card.")
# The install code above needs the final prefix, with DESTDIR for the staging folder.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PINMAN_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "opensc-pkcs11, pcscd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PINMAN_PACKAGING}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The same package from every build of one commit: one time for every file (the last
# commit's, or the caller's SOURCE_DATE_EPOCH); the binaries hold no path of the build (the
# file prefix maps in CMakeLists.txt).
set(CPACK_PINMAN_SOURCE_DIR ${CMAKE_SOURCE_DIR})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-project.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/cpack-times.cmake)
# Its Installed-Size from its own contents, not from the build machine's /etc.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/cpack-size.cmake)
include(CPack)
