# What `cmake --install` puts in place: the three programs (those that are built), the icon and
# the desktop entry of the operator's program.
include(GNUInstallDirs)

foreach(sProgram kelvo-firmware-update kelvo-update kelvo-logger-sim)
  if(TARGET ${sProgram})
    install(TARGETS ${sProgram} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

if(TARGET kelvo-firmware-update)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/../ui/data/kelvo-firmware-update.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/../ui/data/kelvo-firmware-update.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
endif()
