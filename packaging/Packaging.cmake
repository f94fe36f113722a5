# The Debian package (cpack -G DEB), built with CMAKE_INSTALL_PREFIX=/usr by
# scripts/package.sh. The default camera's configuration and pages are conffiles in
# /etc/tarvik/default; its position lives in /var/lib/tarvik/default (made by the postinst)
# and is reached through a link, because Tarvik rewrites it after every move.
set(TARVIK_ETC /etc/tarvik/default)
set(TARVIK_STATE /var/lib/tarvik/default)
set(TARVIK_DOC ${CMAKE_INSTALL_DATADIR}/doc/tarvik)
set(staging ${CMAKE_BINARY_DIR}/packaging)
# The project has no mail address of its own yet; a release build names the real one.
set(TARVIK_MAINTAINER "Tarvik developers <tarvik@localhost>" CACHE STRING
    "Maintainer of the Debian package: Name <address>")
file(MAKE_DIRECTORY ${staging})

install(TARGETS tarvik DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/sample/Config ${PROJECT_SOURCE_DIR}/sample/html
        DESTINATION ${TARVIK_ETC} PATTERN totalsteps.ini EXCLUDE)
file(CREATE_LINK ${TARVIK_STATE}/totalsteps.ini ${staging}/totalsteps.ini SYMBOLIC)
install(FILES ${staging}/totalsteps.ini DESTINATION ${TARVIK_ETC}/Config)
# The first position of every new camera.
install(FILES ${PROJECT_SOURCE_DIR}/sample/Config/totalsteps.ini
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvik)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvik.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvik.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo RENAME io.github.tarvik.Tarvik.metainfo.xml)
install(FILES ${CMAKE_BINARY_DIR}/app/tarvik.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvik.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvik@.service DESTINATION /lib/systemd/system)

# Documentation as Debian wants it: compressed reproducibly.
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${staging}/changelog @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/tarvik.1 ${staging}/tarvik.1 COPYONLY)
foreach(doc tarvik.1 changelog)
    add_custom_command(OUTPUT ${staging}/${doc}.gz
        COMMAND gzip -9n -c ${staging}/${doc} > ${staging}/${doc}.gz
        DEPENDS ${staging}/${doc})
endforeach()
add_custom_target(tarvik_docs ALL DEPENDS ${staging}/tarvik.1.gz ${staging}/changelog.gz)
install(FILES ${staging}/tarvik.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${staging}/changelog.gz ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${TARVIK_DOC})
if(TARVIK_MAINTAINER MATCHES "@localhost>")
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tarvik)
endif()

# Every regular file under /etc/tarvik is a conffile; the link to the position is not.
set(conffiles "")
file(GLOB_RECURSE etc_files RELATIVE ${PROJECT_SOURCE_DIR}/sample
     ${PROJECT_SOURCE_DIR}/sample/Config/* ${PROJECT_SOURCE_DIR}/sample/html/*)
list(SORT etc_files)
foreach(file IN LISTS etc_files)
    if(NOT file STREQUAL "Config/totalsteps.ini")
        string(APPEND conffiles "${TARVIK_ETC}/${file}\n")
    endif()
endforeach()
file(WRITE ${staging}/conffiles "${conffiles}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TARVIK_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "pan a camera mount with a stepper motor")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tarvik drives a four-coil stepper motor one half-step per millisecond, on
the data lines D0-D3 of a PC parallel port or on four GPIO lines of a
single-board computer (through a ULN2003 driver), and keeps the camera
between two limits.
.
The camera is turned from Tarvik's window, with the hot keys Alt+Z and
Alt+X from any program (X11 grabs, or the desktop portal on Wayland), or
from a browser through a small built-in web server, which also keeps a
chat board. The service template tarvik@.service runs one camera per
folder in /etc/tarvik without a display.")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Beside the libraries it links: Qt's Wayland platform plugin, and what the postinst uses.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-wayland, adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${staging}/conffiles ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
