# Install rules, man pages and the Debian package.
include(GNUInstallDirs)

# Two packages: tarnel (the server, tarnelctl, htsim, documentation; no Qt)
# and tarnel-gui (the desktop program). Everything not named otherwise goes
# into the server's (CMAKE_INSTALL_DEFAULT_COMPONENT_NAME, set before any
# install rule in the top-level CMakeLists.txt).
install(TARGETS tarnel tarnelctl htsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The demo configuration (a template: run-server.sh fills in its folder and
# port) and the ready configuration the package copies to /etc/tarnel.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/app/default-config/ DESTINATION ${CMAKE_INSTALL_DATADIR}/tarnel)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/etc/device.ini ${PROJECT_SOURCE_DIR}/packaging/etc/panelset.ini
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tarnel/server)
# The service unit.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarnel.service DESTINATION lib/systemd/system)
file(GLOB tarnel_docs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
# The operator's guide is installed as built, with its table of ending codes.
list(REMOVE_ITEM tarnel_docs ${PROJECT_SOURCE_DIR}/docs/operators.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${tarnel_docs} DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The package's changelog (compressed) and copyright file.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND gzip -n -9 -c ${PROJECT_SOURCE_DIR}/packaging/deb/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/deb/changelog VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz ${PROJECT_SOURCE_DIR}/packaging/deb/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(TARNEL_GUI)
  install(TARGETS tarnel-gui RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT desktop)
  install(FILES ${CMAKE_BINARY_DIR}/changelog.gz ${PROJECT_SOURCE_DIR}/packaging/deb/copyright
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarnel-gui COMPONENT desktop)
endif()

# Man pages: scdoc sources turned into roff at build time.
find_program(SCDOC_EXECUTABLE scdoc)
set(tarnel_man_pages tarnel.1 tarnelctl.1 htsim.1 tarnel-config.5)
if(SCDOC_EXECUTABLE)
  set(_man_outputs)
  foreach(page IN LISTS tarnel_man_pages)
    set(_src ${PROJECT_SOURCE_DIR}/docs/man/${page}.scd)
    set(_out ${CMAKE_BINARY_DIR}/man/${page})
    # Installed compressed, as Debian's policy wants man pages.
    add_custom_command(OUTPUT ${_out} ${_out}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${SCDOC_EXECUTABLE} < ${_src} > ${_out}
      COMMAND gzip -n -9 -f -k ${_out}
      DEPENDS ${_src} VERBATIM)
    list(APPEND _man_outputs ${_out} ${_out}.gz)
    string(REGEX REPLACE ".*\\.([0-9])$" "\\1" _section ${page})
    install(FILES ${_out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_section})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${_man_outputs})
  set(TARNEL_HAVE_MAN 1)
else()
  message(STATUS "scdoc not found: the man pages are not built or installed (scripts/deps.sh installs it)")
  set(TARNEL_HAVE_MAN 0)
endif()

# Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tarnel maintainers <tarnel@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL server)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME tarnel)
set(CPACK_COMPONENT_SERVER_DESCRIPTION
    "file exchange with handheld terminals (server)\ntarnel runs the PC side of the file exchange with handheld terminals over\nTCP/IP, RS-232C or SCSI as a headless server, with a control client and a\nterminal simulator.")
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "libc6, libstdc++6, adduser")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/deb/postinst
    ${PROJECT_SOURCE_DIR}/packaging/deb/prerm
    ${PROJECT_SOURCE_DIR}/packaging/deb/postrm)
if(TARNEL_GUI)
  list(APPEND CPACK_COMPONENTS_ALL desktop)
  set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME tarnel-gui)
  set(CPACK_COMPONENT_DESKTOP_DESCRIPTION
      "file exchange with handheld terminals (desktop program)\nThe operator's window of tarnel: status bars of every station, error\nwindows, the link manager's start and stop (Qt 6 Widgets).")
  # tarnel-gui links Qt 6 Widgets (and through it Gui and Core); tarnel
  # without --headless hands over to it.
  set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "tarnel (= ${PROJECT_VERSION}), libc6, libstdc++6, libqt6widgets6")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

# Tests of the install tree and the package: once, in the plain build.
if(NOT TARNEL_SANITIZE AND NOT TARNEL_TSAN)
  add_test(NAME Package.InstallTree
    COMMAND ${PROJECT_SOURCE_DIR}/tests/package/install_tree.sh ${CMAKE_BINARY_DIR} ${TARNEL_HAVE_MAN})
  add_test(NAME Package.DebContents
    COMMAND ${PROJECT_SOURCE_DIR}/tests/package/deb_contents.sh ${CMAKE_BINARY_DIR} ${TARNEL_HAVE_MAN})
  add_test(NAME Package.UnitVerify
    COMMAND ${PROJECT_SOURCE_DIR}/tests/package/unit_verify.sh ${PROJECT_SOURCE_DIR}/packaging/tarnel.service
            $<TARGET_FILE:tarnel>)
  set_tests_properties(Package.InstallTree Package.DebContents Package.UnitVerify PROPERTIES
    LABELS package TIMEOUT 300 SKIP_RETURN_CODE 77)
  set_tests_properties(Package.DebContents PROPERTIES RUN_SERIAL TRUE)
endif()
