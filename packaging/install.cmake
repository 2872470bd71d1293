# `cmake --install build --prefix /opt/brelvint` lays out a ready service
# folder: the executable, the probe, the network folder with an example
# network (named so that it is not loaded until an operator renames it),
# and a systemd unit for that folder.
set(BRELVINT_INSTALL_DIR "${CMAKE_INSTALL_PREFIX}")
install(TARGETS brelvint RUNTIME DESTINATION .)
if(TARGET brelvint-probe)
  install(TARGETS brelvint-probe RUNTIME DESTINATION .)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/examples/sample.conf
        DESTINATION brelvint-server RENAME example.conf.sample)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
install(CODE "
  set(BRELVINT_INSTALL_DIR \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${CMAKE_SOURCE_DIR}/packaging/brelvint.service.in\"
                 \"\${CMAKE_INSTALL_PREFIX}/brelvint.service\" @ONLY)
  message(STATUS \"Installing: \${CMAKE_INSTALL_PREFIX}/brelvint.service\")
")
