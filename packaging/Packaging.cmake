# Installation under /opt/tarvik and the Debian package (cpack -G DEB).
set(TARVIK_HOME /opt/tarvik)
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX ${TARVIK_HOME} CACHE PATH "Tarvik installs under /opt/tarvik" FORCE)
endif()

install(TARGETS tarvik DESTINATION ${TARVIK_HOME})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/sample/Config ${PROJECT_SOURCE_DIR}/sample/html
        DESTINATION ${TARVIK_HOME})
# A relative link, so that an unpacked copy of the tree works wherever it is.
file(CREATE_LINK ../../opt/tarvik/tarvik ${CMAKE_BINARY_DIR}/tarvik-link SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/tarvik-link DESTINATION /usr/bin RENAME tarvik)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvik.desktop DESTINATION /usr/share/applications)
install(FILES ${CMAKE_BINARY_DIR}/app/tarvik.png
        DESTINATION /usr/share/icons/hicolor/32x32/apps)

# The configuration files are the package's conffiles: an upgrade keeps the user's values
# and the saved position.
set(conffiles "")
file(GLOB config_files RELATIVE ${PROJECT_SOURCE_DIR}/sample ${PROJECT_SOURCE_DIR}/sample/Config/*)
foreach(file IN LISTS config_files)
    string(APPEND conffiles "${TARVIK_HOME}/${file}\n")
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "${conffiles}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tarvik developers <tarvik@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Pans a camera mount with a stepper motor on the parallel port")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6widgets6, libqt6network6, libqt6gui6, libqt6core6, libxcb1")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/conffiles ${PROJECT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
