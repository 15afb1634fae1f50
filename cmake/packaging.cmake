# What `cmake --install` lays out: the viewer and, as a component of its own, the simulated
# agent. The version is the project's own, everywhere.

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
