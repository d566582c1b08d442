# Install layout and the Debian package.
#
# The host looks for north plugins in <prefix>/plugins/north/<name>/ and brings its own common
# library, so the plugin is installed without it and without a RUNPATH: the dynamic loader finds
# libtolvane-common.so already loaded by the host. The north runner stands in for the host and
# therefore carries the stand-in library in a private folder it reaches through its RUNPATH.

set(VARNHOLT_PACKAGE_PREFIX "/usr/local/tolvane" CACHE PATH
    "Installation prefix of the Debian package: the host's default prefix")
set(VARNHOLT_PACKAGE_MAINTAINER "varnholt developers <varnholt@localhost>" CACHE STRING
    "Maintainer field of the Debian package")

# cpack packages what the last build made instead of building first: scripts/package.sh builds
# before it packages, and the packaging test must not rebuild a tree other tests are running from.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(VARNHOLT_PLUGIN_INSTALL_DIR "plugins/north/varnholt")
set(VARNHOLT_PRIVATE_LIB_INSTALL_DIR "lib/varnholt")
set(VARNHOLT_DOC_INSTALL_DIR "share/doc/varnholt")

set_target_properties(varnholt PROPERTIES INSTALL_RPATH "")
set_target_properties(tolvane-common PROPERTIES INSTALL_RPATH "")
install(TARGETS varnholt LIBRARY DESTINATION ${VARNHOLT_PLUGIN_INSTALL_DIR})
install(TARGETS tolvane-common LIBRARY DESTINATION ${VARNHOLT_PRIVATE_LIB_INSTALL_DIR})
if(TARGET north_runner)
    set_target_properties(north_runner PROPERTIES
        INSTALL_RPATH "$ORIGIN/../${VARNHOLT_PRIVATE_LIB_INSTALL_DIR}")
    install(TARGETS north_runner RUNTIME DESTINATION bin)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${VARNHOLT_DOC_INSTALL_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples DESTINATION ${VARNHOLT_DOC_INSTALL_DIR})
# The README links to these.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs DESTINATION ${VARNHOLT_DOC_INSTALL_DIR})

# Debian version: "<release>+<commits>.g<revision>". The version text's hyphens cannot stay: in a
# Debian version the last hyphen starts the Debian revision, so "1.0.0-12-3fa9c2d" would read as
# upstream "1.0.0-12", revision "3fa9c2d". With "+" the build sorts after its release and before
# the next one, the commit count compares numerically, and "g" keeps an all-digit revision from
# being compared as a number.
if(VARNHOLT_VERSION_TEXT MATCHES "^(.+)-([0-9]+)-unknown$")
    set(VARNHOLT_DEBIAN_VERSION "${CMAKE_MATCH_1}+${CMAKE_MATCH_2}.unknown")
elseif(VARNHOLT_VERSION_TEXT MATCHES "^(.+)-([0-9]+)-([0-9a-f]+)$")
    set(VARNHOLT_DEBIAN_VERSION "${CMAKE_MATCH_1}+${CMAKE_MATCH_2}.g${CMAKE_MATCH_3}")
else()
    message(FATAL_ERROR "version text '${VARNHOLT_VERSION_TEXT}' is not <release>-<commits>-<revision>")
endif()
if(NOT VARNHOLT_DEBIAN_VERSION MATCHES "^[0-9][A-Za-z0-9.+~]*$")
    message(FATAL_ERROR "'${VARNHOLT_DEBIAN_VERSION}' is not a Debian version (check VERSION)")
endif()

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "varnholt")
set(CPACK_PACKAGE_VERSION "${VARNHOLT_DEBIAN_VERSION}")
set(CPACK_PACKAGE_CONTACT "${VARNHOLT_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Tolvane north plugin delivering sensor readings into Snowflake over ODBC")
set(CPACK_PACKAGING_INSTALL_PREFIX "${VARNHOLT_PACKAGE_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_NAME "varnholt")
set(CPACK_DEBIAN_PACKAGE_VERSION "${VARNHOLT_DEBIAN_VERSION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "misc")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The summary becomes the synopsis line; this is the extended description below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The plugin is loaded by the Tolvane host from ${VARNHOLT_PACKAGE_PREFIX}/${VARNHOLT_PLUGIN_INSTALL_DIR}.
It reaches Snowflake through the unixODBC driver manager and the Snowflake ODBC
driver (SnowflakeDSIIDriver), which is installed separately. The package also
holds north_runner, which loads the plugin as the host does to check a
configuration before the plugin is enabled.")
# Dependencies from what the binaries load. The stand-in common library ships inside the package
# for the runner, so dpkg-shlibdeps is pointed at it instead of looking for a package providing it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ".${VARNHOLT_PACKAGE_PREFIX}/${VARNHOLT_PRIVATE_LIB_INSTALL_DIR}")
include(CPack)
