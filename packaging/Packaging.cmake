# The Debian package (cpack -G DEB), built with CMAKE_INSTALL_PREFIX=/usr by
# scripts/package.sh. The default camera's configuration and pages are conffiles in
# /etc/tarvik/default; its position and coil phase live in /var/lib/tarvik/default (made by
# the postinst) and are reached through links, because Tarvik rewrites them after every move.
# Other prefixes (cmake --install) put the same layout under the prefix's etc and var.
set(TARVIK_STATE ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/tarvik/default)
set(TARVIK_STATE_FILES totalsteps.ini StepCount.ini Presets.ini)
set(TARVIK_DOC ${CMAKE_INSTALL_DATADIR}/doc/tarvik)
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(TARVIK_UNIT_DIR /lib/systemd/system)
else()
    set(TARVIK_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
set(staging ${CMAKE_BINARY_DIR}/packaging)
# The project has no mail address of its own yet; a release build names the real one.
set(TARVIK_MAINTAINER "Tarvik developers <tarvik@localhost>" CACHE STRING
    "Maintainer of the Debian package: Name <address>")
file(MAKE_DIRECTORY ${staging})

install(TARGETS tarvik DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/sample/Config ${PROJECT_SOURCE_DIR}/sample/html
        DESTINATION ${TARVIK_ETC} COMPONENT camera
        PATTERN totalsteps.ini EXCLUDE PATTERN StepCount.ini EXCLUDE PATTERN Presets.ini EXCLUDE
        PATTERN Tilt EXCLUDE)
foreach(state IN LISTS TARVIK_STATE_FILES)
    file(MAKE_DIRECTORY ${staging}/links)
    file(CREATE_LINK ${TARVIK_STATE}/${state} ${staging}/links/${state} SYMBOLIC)
    install(FILES ${staging}/links/${state} DESTINATION ${TARVIK_ETC}/Config COMPONENT camera)
    # The first position and phase of every new camera.
    install(FILES ${PROJECT_SOURCE_DIR}/sample/Config/${state}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvik)
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvik.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvik.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo RENAME io.github.tarvik.Tarvik.metainfo.xml)
install(FILES ${CMAKE_BINARY_DIR}/app/tarvik.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvik.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvik@.service DESTINATION ${TARVIK_UNIT_DIR})

# tarvik-add-camera, which makes a new camera's folder and state where this layout has them.
get_filename_component(TARVIK_ETC_ROOT ${TARVIK_ETC} DIRECTORY)
get_filename_component(TARVIK_STATE_ROOT ${TARVIK_STATE} DIRECTORY)
set(TARVIK_SHARE ${CMAKE_INSTALL_FULL_DATADIR}/tarvik)
set(TARVIK_PROGRAM ${CMAKE_INSTALL_FULL_BINDIR}/tarvik)
configure_file(${PROJECT_SOURCE_DIR}/packaging/tarvik-add-camera ${staging}/tarvik-add-camera @ONLY)
install(PROGRAMS ${staging}/tarvik-add-camera DESTINATION ${CMAKE_INSTALL_SBINDIR})

# Documentation as Debian wants it: compressed reproducibly.
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${staging}/changelog.Debian @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/tarvik.1 ${staging}/tarvik.1 COPYONLY)
# The installed README opens with what the package put where, then the whole README.
add_custom_command(OUTPUT ${staging}/README.md
    COMMAND cat ${PROJECT_SOURCE_DIR}/packaging/README.installed.md ${PROJECT_SOURCE_DIR}/README.md
            > ${staging}/README.md
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/README.installed.md ${PROJECT_SOURCE_DIR}/README.md)
foreach(doc tarvik.1 changelog.Debian README.md)
    add_custom_command(OUTPUT ${staging}/${doc}.gz
        COMMAND gzip -9n -c ${staging}/${doc} > ${staging}/${doc}.gz
        DEPENDS ${staging}/${doc})
endforeach()
add_custom_target(tarvik_docs ALL
    DEPENDS ${staging}/tarvik.1.gz ${staging}/changelog.Debian.gz ${staging}/README.md.gz)
install(FILES ${staging}/tarvik.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# tarvik-add-camera is described in tarvik(1), which its own name leads to.
file(MAKE_DIRECTORY ${staging}/man8)
file(CREATE_LINK ../man1/tarvik.1.gz ${staging}/man8/tarvik-add-camera.8.gz SYMBOLIC)
install(FILES ${staging}/man8/tarvik-add-camera.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${staging}/changelog.Debian.gz ${staging}/README.md.gz
        ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${TARVIK_DOC})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/Onvif.ini DESTINATION ${TARVIK_DOC}/examples)
if(TARVIK_MAINTAINER MATCHES "@localhost>")
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tarvik)
endif()

# Every regular file under /etc/tarvik is a conffile; the links to the state are not.
set(conffiles "")
file(GLOB_RECURSE etc_files RELATIVE ${PROJECT_SOURCE_DIR}/sample
     ${PROJECT_SOURCE_DIR}/sample/Config/* ${PROJECT_SOURCE_DIR}/sample/html/*)
list(SORT etc_files)
foreach(file IN LISTS etc_files)
    get_filename_component(name ${file} NAME)
    if(NOT name IN_LIST TARVIK_STATE_FILES AND NOT file MATCHES "^Config/Tilt/")
        string(APPEND conffiles "${TARVIK_ETC}/${file}\n")
    endif()
endforeach()
file(WRITE ${staging}/conffiles "${conffiles}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 2)
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
    ${staging}/conffiles ${PROJECT_SOURCE_DIR}/packaging/preinst
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
