# `cmake --install build` (prefix /usr/local unless told otherwise) puts the
# executables in bin/, the systemd units (brelvint.service, and the template
# brelvint@.service for more servers) in lib/systemd/system/ (systemd reads
# /usr/local/lib/systemd/system too), the manual pages in share/man/, the
# examples in share/brelvint/examples/ and this README in
# share/doc/brelvint/. The service's own files live in its data folder
# (/var/lib/brelvint for the unit), never beside the executable.
include(GNUInstallDirs)
install(TARGETS brelvint RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET brelvint-probe)
  install(TARGETS brelvint-probe RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${CMAKE_SOURCE_DIR}/examples/brelvint.conf
              ${CMAKE_SOURCE_DIR}/examples/example-network.conf
              ${CMAKE_SOURCE_DIR}/examples/prometheus.yml
              ${CMAKE_SOURCE_DIR}/examples/alert-rules.yml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/brelvint/examples)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/brelvint)
# logrotate reads only /etc/logrotate.d, whatever the prefix.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/brelvint.logrotate DESTINATION /etc/logrotate.d
        RENAME brelvint)
# The manual pages, compressed as Debian ships them: gzip -9n stores no name
# and no time, so every build gives the same bytes.
foreach(page brelvint.8 brelvint-probe.1)
  string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section ${page})
  set(compressed ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(
    OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/docs/${page} ${CMAKE_BINARY_DIR}/man/${page}
    COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/man/${page}
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/${page}
    VERBATIM)
  list(APPEND BRELVINT_MAN_PAGES ${compressed})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(brelvint_man_pages ALL DEPENDS ${BRELVINT_MAN_PAGES})
# Written at install time, so the unit names the prefix the files really go
# to (a package's /usr as well as a source install's /usr/local). The mode
# is given: configure_file would copy the source's, 0664 in a checkout made
# with a group-writable umask.
install(CODE "
  set(BRELVINT_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(BRELVINT_DOCDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/doc/brelvint\")
  foreach(unit brelvint.service brelvint@.service)
    configure_file(\"${CMAKE_SOURCE_DIR}/packaging/\${unit}.in\"
                   \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/\${unit}\" @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/\${unit}\")
  endforeach()
")

# The Debian package: `cpack -G DEB` in a build folder (scripts/package.sh
# makes a Release build for it).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brelvint)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Brelvint maintainers <maintainers@brelvint.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "position-sharing server for game map tools")
set(CPACK_PACKAGE_DESCRIPTION
    "Brelvint relays players' positions and chat between the map tools of the\n\
members of password-protected networks. It runs as a systemd service under\n\
its own system account, with its settings, network files and ban database in\n\
/var/lib/brelvint, and serves a status page and Prometheus metrics.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://brelvint.example/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# procps: the units' reload signals the server with /bin/kill, which a
# minimal Debian root lacks.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, procps")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "sqlite3, prometheus")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/conffiles
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Debian's own documentation files, compressed reproducibly.
set(BRELVINT_VERSION ${PROJECT_VERSION})
configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/changelog
               ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
install(CODE "execute_process(COMMAND gzip -9nf \"${CMAKE_BINARY_DIR}/packaging/changelog\" -c
                              OUTPUT_FILE \"${CMAKE_BINARY_DIR}/packaging/changelog.gz\")")
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/brelvint)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/brelvint)
include(CPack)
