# What `cmake --install` lays out, and the packages CPack makes of it: on Linux a .deb for the
# viewer and one for the simulated agent (only people who test need it); for Windows a zip and
# an NSIS installer. The version is the project's own, everywhere.

set(stv_docs ${PROJECT_BINARY_DIR}/docs)
if(WIN32)
  # The zip and the installer hold the program, the README and the licence side by side.
  install(TARGETS stv-view RUNTIME DESTINATION . COMPONENT viewer)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . RENAME README.txt COMPONENT viewer)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt COMPONENT viewer)
else()
  # Man pages carry the version, and Debian wants them compressed: gzip -n leaves out the
  # time, so the same sources make the same package.
  set(stv_man_pages)  # and the other compressed documents
  foreach(page stv-view stv-agent-sim)
    configure_file(${PROJECT_SOURCE_DIR}/docs/${page}.1.in ${stv_docs}/${page}.1 @ONLY)
    add_custom_command(OUTPUT ${stv_docs}/${page}.1.gz
                       COMMAND gzip -9 -n -c ${stv_docs}/${page}.1 > ${stv_docs}/${page}.1.gz
                       DEPENDS ${stv_docs}/${page}.1 VERBATIM)
    list(APPEND stv_man_pages ${stv_docs}/${page}.1.gz)
  endforeach()
  # Each package's changelog, which Debian expects beside its copyright.
  foreach(STV_DEB_PACKAGE stv-view stv-agent-sim)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${stv_docs}/${STV_DEB_PACKAGE}/changelog
                   @ONLY)
    add_custom_command(OUTPUT ${stv_docs}/${STV_DEB_PACKAGE}/changelog.gz
                       COMMAND gzip -9 -n -c ${stv_docs}/${STV_DEB_PACKAGE}/changelog
                               > ${stv_docs}/${STV_DEB_PACKAGE}/changelog.gz
                       DEPENDS ${stv_docs}/${STV_DEB_PACKAGE}/changelog VERBATIM)
    list(APPEND stv_man_pages ${stv_docs}/${STV_DEB_PACKAGE}/changelog.gz)
  endforeach()
  add_custom_target(stv_package_docs ALL DEPENDS ${stv_man_pages})

  set(completions ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
  set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc)
  # The viewer's helper goes to libexec with it (see src/codec); the rest is here.
  install(TARGETS stv-view RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT viewer)
  install(FILES ${stv_docs}/stv-view.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT viewer)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/completions/stv-view DESTINATION ${completions} COMPONENT viewer)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
                ${stv_docs}/stv-view/changelog.gz DESTINATION ${doc}/stv-view COMPONENT viewer)

  install(TARGETS stv-agent-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT agent)
  install(FILES ${stv_docs}/stv-agent-sim.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT agent)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/completions/stv-agent-sim DESTINATION ${completions}
          COMPONENT agent)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${stv_docs}/stv-agent-sim/changelog.gz
          DESTINATION ${doc}/stv-agent-sim COMPONENT agent)
endif()

set(CPACK_PACKAGE_NAME stv-view)
set(CPACK_PACKAGE_VENDOR stv-view)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "stv-view developers <stv-view@example.org>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# Packages carry no debug information: in a RelWithDebInfo build it is most of each program.
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP NSIS)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "remote-support viewer: show and control a remote machine's screen")
  set(CPACK_PACKAGE_FILE_NAME stv-view-${PROJECT_VERSION}-win64)
  set(CPACK_PACKAGE_INSTALL_DIRECTORY stv-view)
  # One uninstall entry whatever the version, so that a newer installer replaces an older one.
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY stv-view)
  # One zip and one installer with everything, not one per component.
  set(CPACK_MONOLITHIC_INSTALL ON)
  # Our own installer script (packaging/windows/NSIS.template.in): per machine, on PATH.
  list(APPEND CMAKE_MODULE_PATH ${PROJECT_SOURCE_DIR}/packaging/windows)
  set(CPACK_NSIS_PACKAGE_NAME "stv-view ${PROJECT_VERSION}")
  set(CPACK_NSIS_DISPLAY_NAME "stv-view ${PROJECT_VERSION}")
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/windows/per-generator.cmake)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_COMPONENTS_ALL viewer agent)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_VIEWER_PACKAGE_NAME stv-view)
  # The first line is the synopsis; Debian wants the rest in lines of under 80 characters.
  set(CPACK_DEBIAN_VIEWER_DESCRIPTION
      "remote-support viewer: show and control a remote machine's screen
The supporter's side of a remote-support tool. The agent on the remote
machine streams its screen as tiles over one TCP connection, TLS 1.2 pinned
to the machine's device key; stv-view shows it in a window and sends back
mouse, keys, typed text and hotkeys. A headless mode runs a timed session,
prints a report and a verdict, and can save the picture as a BMP file.")
  set(CPACK_DEBIAN_AGENT_PACKAGE_NAME stv-agent-sim)
  set(CPACK_DEBIAN_AGENT_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_AGENT_DESCRIPTION
      "simulated remote agent for testing stv-view
A real peer for stv-view on loopback: it proves a device key over TLS 1.2,
reads the session token and streams a synthetic screen in any of the tile
encodings. It can also misbehave on purpose, as a broken or hostile agent
would, to test how the viewer copes.")
endif()

include(CPack)
