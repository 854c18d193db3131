# The installed layout (cmake --install, and the Debian package):
#   LIBDIR/corvane/skills/libcorvane-mqtt.so   the skill, where a runtime loads skills from
#   LIBDIR/corvane/libcorvane-host.so          the runtime stand-in, private to the skill and the runner
#   BINDIR/corvane-run                         the runner, and its man page when help2man is installed
#   DOCDIR/README.md, DOCDIR/copyright         the documentation and the licence
#   DOCDIR/examples/                           the example model
# The skill and the runner find the stand-in relative to themselves, wherever the prefix is.
set(CORVANE_INSTALL_PRIVATEDIR ${CMAKE_INSTALL_LIBDIR}/corvane)
set(CORVANE_INSTALL_SKILLDIR ${CORVANE_INSTALL_PRIVATEDIR}/skills)

install(TARGETS corvane-host LIBRARY DESTINATION ${CORVANE_INSTALL_PRIVATEDIR})
install(TARGETS corvane-mqtt LIBRARY DESTINATION ${CORVANE_INSTALL_SKILLDIR})
set_target_properties(corvane-mqtt PROPERTIES INSTALL_RPATH "$ORIGIN/..")
# The licence as Debian's machine-readable copyright file names it (the package's own doc file).
install(FILES README.md cmake/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES examples/README.md examples/demo.json DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

if(NOT CORVANE_BUILD_RUNNER)
  return()
endif()
file(RELATIVE_PATH runnerToPrivate ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR}/corvane)
set_target_properties(corvane-run PROPERTIES INSTALL_RPATH "$ORIGIN/${runnerToPrivate}")
install(TARGETS corvane-run RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The man page is made from the runner's --help and each subcommand's (cmake/manPage.cmake).
find_program(HELP2MAN help2man)
if(HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
  set(manPage ${CMAKE_CURRENT_BINARY_DIR}/corvane-run.1.gz)
  add_custom_command(OUTPUT ${manPage}
    COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${HELP2MAN} -DRUNNER=$<TARGET_FILE:corvane-run> -DOUTPUT=${manPage}
            -P ${CMAKE_CURRENT_LIST_DIR}/manPage.cmake
    DEPENDS corvane-run ${CMAKE_CURRENT_LIST_DIR}/manPage.cmake
    COMMENT "Writing the man page of corvane-run")
  add_custom_target(corvane-run-man ALL DEPENDS ${manPage})
  install(FILES ${manPage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "corvane-mqtt: help2man not found, corvane-run is installed without a man page")
endif()
