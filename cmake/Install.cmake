# Installation and the Debian package. The program lives in one folder with its companion
# files, <prefix>/lib/gtkzorvpin/, exactly as in the stage folder: it finds them beside
# its own file, which the link <prefix>/bin/gtkzorvpin leads to.
set(PINMAN_INSTALL_DIR lib/gtkzorvpin)

install(TARGETS gtkzorvpin RUNTIME DESTINATION ${PINMAN_INSTALL_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/data/gtkzorvpin.glade ${CMAKE_SOURCE_DIR}/data/gtkzorvpin.conf
        DESTINATION ${PINMAN_INSTALL_DIR})
# The compiled catalogues (target translations): gtkzorvpin-lc/<lang>/LC_MESSAGES/*.mo.
install(DIRECTORY ${STAGE_DIR}/gtkzorvpin-lc DESTINATION ${PINMAN_INSTALL_DIR}
        FILES_MATCHING PATTERN "*.mo")

# The simulated card that the installed configuration names, with its demo card.
if(TARGET simcard)
  install(TARGETS simcard LIBRARY DESTINATION ${PINMAN_INSTALL_DIR})
endif()
install(FILES ${STAGE_DIR}/simcard.state DESTINATION ${PINMAN_INSTALL_DIR} OPTIONAL)
install(DIRECTORY ${STAGE_DIR}/certs DESTINATION ${PINMAN_INSTALL_DIR} OPTIONAL
        FILES_MATCHING PATTERN "*.der")

# <prefix>/bin/gtkzorvpin -> ../lib/gtkzorvpin/gtkzorvpin, made here and installed as a link.
set(pinman_link_dir ${CMAKE_BINARY_DIR}/install-links)
file(MAKE_DIRECTORY ${pinman_link_dir})
file(CREATE_LINK ../${PINMAN_INSTALL_DIR}/gtkzorvpin ${pinman_link_dir}/gtkzorvpin SYMBOLIC)
install(FILES ${pinman_link_dir}/gtkzorvpin DESTINATION bin)

# The desktop menu entry and its icon.
install(FILES ${CMAKE_SOURCE_DIR}/data/gtkzorvpin.desktop DESTINATION share/applications)
install(FILES ${CMAKE_SOURCE_DIR}/data/gtkzorvpin.svg
        DESTINATION share/icons/hicolor/scalable/apps)

# `cpack -G DEB`: a Debian package installed below /usr, whose library dependencies
# (GTK 2, libglade, OpenSSL, the C++ runtime) dpkg-shlibdeps works out from the binaries.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pin-manager)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Pin Manager project")
set(CPACK_PACKAGE_CONTACT "Pin Manager project")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "change, unblock and inspect the PIN and PUK of a smart card")
set(CPACK_PACKAGE_DESCRIPTION
    "Pin Manager is a small desktop tool for the holder of a cryptographic smart card. \
One dialog changes the card's PIN, unblocks a blocked PIN with the PUK and changes the \
PUK; an Info button shows what the card and its reader report, and at start-up it can \
warn about certificates on the card that have expired or are about to expire. The card \
is reached through a PKCS#11 module named in /usr/lib/gtkzorvpin/gtkzorvpin.conf; the \
package comes with a simulated card module and a demo card to try it out.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Pin Manager project")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
