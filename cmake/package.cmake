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
# The long description under the summary; Debian wants lines of at most 80 characters.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The Corvane runtime loads the skill library from
${CPACK_PACKAGING_INSTALL_PREFIX}/${CORVANE_INSTALL_SKILLDIR}. It registers the skill MQTT with three
element classes: Client (one broker connection: MQTT 3.1, 3.1.1 or 5, TCP or
TLS), Topic (publishes fixed texts or JSON documents rendered from data point
values) and Command (writes values picked out of received JSON messages into
data points).
.
corvane-run runs and checks Corvane model files with the skill, without the
runtime.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The runtime stand-in's library is the package's own: dpkg-shlibdeps finds it in the staging tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS usr/${CORVANE_INSTALL_PRIVATEDIR})

include(CPack)
