# The Debian package: `cpack -G DEB` in the build tree (scripts/package does configure, build and
# cpack). Its dependencies are what dpkg-shlibdeps finds the installed binaries linked against.
set(CORVANE_PACKAGE_MAINTAINER "Corvane MQTT skill maintainers <corvane-mqtt@maintainers.invalid>"
    CACHE STRING "The Debian package's Maintainer field")

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PROJECT_DESCRIPTION})
set(CPACK_PACKAGE_CONTACT ${CORVANE_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CORVANE_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# The long description under the summary; Debian wants lines of at most 80 characters (the
# directory stands on a line of its own: its length depends on the architecture).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The Corvane runtime loads the skill library from
${CPACK_PACKAGING_INSTALL_PREFIX}/${CORVANE_INSTALL_SKILLDIR}.
It registers the skill MQTT with three element classes: Client (one broker
connection: MQTT 3.1, 3.1.1 or 5, TCP or TLS), Topic (publishes fixed texts or
JSON documents rendered from data point values) and Command (writes values
picked out of received JSON messages into data points).
.
corvane-run runs and checks Corvane model files with the skill, without the
runtime.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The runtime stand-in's library is the package's own: dpkg-shlibdeps finds it in the staging tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS usr/${CORVANE_INSTALL_PRIVATEDIR})

# Debian's changelog and lintian's overrides, in the package only (component "debian", which a
# plain cmake --install leaves out). The changelog, written when the build is configured (dated
# then, or at SOURCE_DATE_EPOCH for a reproducible build), is compressed as Debian wants it: at the
# highest level, without a name or time stamp in the gzip header. The copyright file goes with the
# documentation (cmake/install.cmake).
string(TIMESTAMP CORVANE_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian @ONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME ${PROJECT_NAME} COMPONENT debian EXCLUDE_FROM_ALL)
# One package of both components.
set(CPACK_COMPONENTS_ALL Unspecified debian)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)

include(CPack)
