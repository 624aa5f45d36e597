# The Windows setup program, <build>/kelvo-firmware-update-<version>-win64-setup.exe, made by
# NSIS's makensis (Debian package nsis) from the release zip's content and a licence text
# (packaging/windows). Built with the release when makensis is found; without it the build says
# so and makes the zip only. It installs both programs, so a build without the GUI
# (KELVO_CORE_ONLY) makes the zip only too.
if(NOT TARGET kelvo-firmware-update OR NOT TARGET kelvo-update)
  message(STATUS "No Windows setup program: it needs both programs, this build lacks the GUI")
  return()
endif()
find_program(KELVO_MAKENSIS makensis)
if(NOT KELVO_MAKENSIS)
  message(STATUS "makensis not found (Debian package nsis): no Windows setup program")
  return()
endif()

set(KELVO_SETUP_EXE
    ${CMAKE_BINARY_DIR}/kelvo-firmware-update-${PROJECT_VERSION}-win64-setup.exe)
set(sSetupDir ${CMAKE_BINARY_DIR}/setup)
set(sSetupSources ${PROJECT_SOURCE_DIR}/packaging/windows/kelvo-setup.nsi
                  ${PROJECT_SOURCE_DIR}/packaging/windows/stage-setup.cmake
                  ${PROJECT_SOURCE_DIR}/packaging/copyright
                  ${PROJECT_SOURCE_DIR}/ui/data/kelvo-firmware-update.ico)

add_custom_command(
  OUTPUT ${KELVO_SETUP_EXE}
  COMMAND ${CMAKE_COMMAND} -DZIP=${KELVO_RELEASE_ZIP} -DSTAGE=${sSetupDir}/stage
          -DCOPYRIGHT=${PROJECT_SOURCE_DIR}/packaging/copyright -DFILES=${sSetupDir}/files.nsh
          -P ${PROJECT_SOURCE_DIR}/packaging/windows/stage-setup.cmake
  COMMAND ${KELVO_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DSTAGE=${sSetupDir}/stage
          -DFILES=${sSetupDir}/files.nsh -DICON=${PROJECT_SOURCE_DIR}/ui/data/kelvo-firmware-update.ico
          -DOUTFILE=${KELVO_SETUP_EXE} ${PROJECT_SOURCE_DIR}/packaging/windows/kelvo-setup.nsi
  COMMAND ${CMAKE_COMMAND} -DREPORT=${KELVO_SETUP_EXE}
          -P ${PROJECT_SOURCE_DIR}/packaging/windows/stage-setup.cmake
  DEPENDS ${KELVO_RELEASE_ZIP} ${sSetupSources}
  COMMENT "Windows setup program ${KELVO_SETUP_EXE}"
  VERBATIM)
add_custom_target(kelvo-setup ALL DEPENDS ${KELVO_SETUP_EXE})
