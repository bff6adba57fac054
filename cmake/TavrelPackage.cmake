# The Debian package: cpack -G DEB in the build directory (scripts/package).
include(GNUInstallDirs)

set(docdir ${CMAKE_INSTALL_DATADIR}/doc/tavrel-control)
install(FILES ${PROJECT_SOURCE_DIR}/docs/copyright DESTINATION ${docdir})
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/changelog ${PROJECT_BINARY_DIR}/changelog
    COMMAND ${TAVREL_GZIP} -9 -n -f ${PROJECT_BINARY_DIR}/changelog
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/changelog
    VERBATIM)
add_custom_target(package-changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${docdir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrel-control)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Dosivo A/S")
set(CPACK_PACKAGE_CONTACT "Dosivo A/S <support@dosivo.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "operator program for Tavrel peristaltic pump cabinets")
# The synopsis comes from the summary; CPack indents these lines itself.
set(CPACK_PACKAGE_DESCRIPTION [=[
Tavrel Control runs an installation of thirteen peristaltic pump cabinets,
four rotor heads each, over Modbus TCP: start and stop, speed, direction
and a timed on/off loop per rotor; temperature and identify per cabinet.
.
The package also holds tavrel-cabinet-sim, a simulator of the cabinets for
tests, demonstrations and troubleshooting.]=])
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.dosivo.com")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads the history's SQLite driver as a plugin, which shlibdeps cannot see.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5sql5-sqlite")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
