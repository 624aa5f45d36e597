# What `cmake --install` puts in place: the programs (those that are built), their man pages and
# documentation, the icon and the desktop entry of the operator's program, the udev rule for the
# logger's converter. Every file belongs to one of two components, which become the Debian
# packages that cpack makes on Linux:
#   kelvo-firmware-update  the operator's programs kelvo-firmware-update and kelvo-update
#   kelvo-logger-sim       the simulated logger
# docs/internal-mode.md holds the internal mode's access code: it is for the service team and is
# never installed.
include(GNUInstallDirs)

set(KELVO_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc)

# Man pages and the changelog are installed compressed as Debian wants them: gzip -9n, without
# the file's name and time in the header, so that the same sources give the same package. They
# are compressed in the build folder along with the programs.
if(NOT WIN32)
  find_program(KELVO_GZIP gzip REQUIRED)
  set(KELVO_GZIP_DIR ${PROJECT_BINARY_DIR}/gzipped)
  set(aGzipped)
  foreach(sSource docs/man/kelvo-firmware-update.1 docs/man/kelvo-update.1
                  docs/man/kelvo-logger-sim.1 packaging/changelog)
    get_filename_component(sName ${sSource} NAME)
    add_custom_command(
      OUTPUT ${KELVO_GZIP_DIR}/${sName}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/${sSource} ${KELVO_GZIP_DIR}/${sName}
      COMMAND ${KELVO_GZIP} -9nf ${KELVO_GZIP_DIR}/${sName}
      DEPENDS ${PROJECT_SOURCE_DIR}/${sSource}
      VERBATIM)
    list(APPEND aGzipped ${KELVO_GZIP_DIR}/${sName}.gz)
  endforeach()
  add_custom_target(kelvo_gzipped_docs ALL DEPENDS ${aGzipped})
endif()

foreach(sProgram kelvo-firmware-update kelvo-update kelvo-logger-sim)
  if(NOT TARGET ${sProgram})
    continue()
  endif()
  if(sProgram STREQUAL "kelvo-logger-sim")
    set(sComponent kelvo-logger-sim)
  else()
    set(sComponent kelvo-firmware-update)
  endif()
  install(TARGETS ${sProgram} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${sComponent})
  if(NOT WIN32)
    # Building a program alone (the package build does) still makes what its package installs.
    add_dependencies(${sProgram} kelvo_gzipped_docs)
    install(FILES ${KELVO_GZIP_DIR}/${sProgram}.1.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${sComponent})
  endif()
endforeach()

if(TARGET kelvo-firmware-update)
  install(FILES ${PROJECT_SOURCE_DIR}/ui/data/kelvo-firmware-update.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
          COMPONENT kelvo-firmware-update)
  install(FILES ${PROJECT_SOURCE_DIR}/ui/data/kelvo-firmware-update.desktop
                ${PROJECT_SOURCE_DIR}/ui/data/kelvo-firmware-update-station.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT kelvo-firmware-update)
endif()

# The udev rule that tells modem managers to leave the logger's converter alone: in the package
# (prefix /usr) /usr/lib/udev/rules.d, where udev reads the rules of packages. Relative, so that an
# installation elsewhere never writes into the system's folders.
if(TARGET kelvo-update AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/70-kelvo-logger.rules
          DESTINATION lib/udev/rules.d COMPONENT kelvo-firmware-update)
endif()

# The documentation keeps the repository's relative layout, so that the links between the pages
# (and to the operator's guide's pictures) still work.
if(TARGET kelvo-update)
  set(sDir ${KELVO_DOCDIR}/kelvo-firmware-update)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${sDir}
          COMPONENT kelvo-firmware-update)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/operators-guide.md DESTINATION ${sDir}/docs
          COMPONENT kelvo-firmware-update)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/cli.md DESTINATION ${sDir}/docs
          COMPONENT kelvo-firmware-update OPTIONAL)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/screenshots DESTINATION ${sDir}/docs
          COMPONENT kelvo-firmware-update FILES_MATCHING PATTERN "*.png")
endif()
if(TARGET kelvo-logger-sim)
  install(FILES ${PROJECT_SOURCE_DIR}/sim/README.md DESTINATION ${KELVO_DOCDIR}/kelvo-logger-sim
          COMPONENT kelvo-logger-sim)
endif()
# Every Debian package carries the copyright, the third-party notices (ThirdPartyNotices.cmake)
# and the changelog in its own documentation folder.
if(NOT WIN32)
  foreach(sComponent kelvo-firmware-update kelvo-logger-sim)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${KELVO_NOTICES}
                  ${KELVO_GZIP_DIR}/changelog.gz
            DESTINATION ${KELVO_DOCDIR}/${sComponent} COMPONENT ${sComponent})
  endforeach()
endif()

# Debian packages, one per component: `cpack -G DEB` in a (Release) build folder. The operator's
# package needs the GUI, so a core-only build packages the simulator alone.
if(PROJECT_IS_TOP_LEVEL AND CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT CMAKE_CROSSCOMPILING)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME kelvo-firmware-update)
  set(CPACK_PACKAGE_VENDOR "Kelvo Firmware Update developers")
  set(CPACK_PACKAGE_CONTACT "Kelvo Firmware Update developers <kelvo-firmware-update@example.org>")
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # Dependencies on shared libraries from dpkg-shlibdeps (package dpkg-dev).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Both packages come from one source, whose changelog (packaging/changelog) they carry.
  set(CPACK_DEBIAN_PACKAGE_SOURCE kelvo-firmware-update)
  file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog sChangelogTop LIMIT_COUNT 1)
  if(NOT sChangelogTop MATCHES "^kelvo-firmware-update \\(${PROJECT_VERSION}\\) ")
    message(WARNING "packaging/changelog does not start with an entry for version "
                    "${PROJECT_VERSION}: add one before making packages")
  endif()

  set(CPACK_COMPONENTS_ALL kelvo-logger-sim)
  if(TARGET kelvo-firmware-update AND TARGET kelvo-update)
    list(PREPEND CPACK_COMPONENTS_ALL kelvo-firmware-update)
  endif()

  set(CPACK_DEBIAN_KELVO-FIRMWARE-UPDATE_PACKAGE_NAME kelvo-firmware-update)
  # Qt plugins that the libraries do not name: the window system (xcb). The window icon is PNG,
  # which Qt reads by itself.
  set(CPACK_DEBIAN_KELVO-FIRMWARE-UPDATE_PACKAGE_DEPENDS "qt6-qpa-plugins")
  set(CPACK_DEBIAN_KELVO-FIRMWARE-UPDATE_DESCRIPTION
      "Firmware update for Kelvo data loggers over their USB serial port
The operator's program kelvo-firmware-update (Qt 6) and the command-line
updater kelvo-update switch the logger into its bootloader, pick the built-in
firmware image that fits its hardware, send it line by line with each line
echoed and compared, and confirm the result.")

  set(CPACK_DEBIAN_KELVO-LOGGER-SIM_PACKAGE_NAME kelvo-logger-sim)
  set(CPACK_DEBIAN_KELVO-LOGGER-SIM_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_KELVO-LOGGER-SIM_DESCRIPTION
      "Simulated Kelvo data logger on a pseudo-terminal
kelvo-logger-sim answers like a Kelvo data logger on a pseudo-terminal, so
that the firmware update can be tried, tested and demonstrated without
hardware. It has presets for every built-in firmware image and faults that
can be injected into any exchange.")

  include(CPack)
endif()
