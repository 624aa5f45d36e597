# The Windows build's release folder, <build>/release, refreshed on every build: both programs
# (static, stripped when the toolchain has a strip), the operator's guide with its pictures and a
# short read-me; and the same packed as kelvo-firmware-update-<version>-win64.zip beside it.
set(KELVO_RELEASE_DIR ${CMAKE_BINARY_DIR}/release)
set(KELVO_RELEASE_ZIP ${CMAKE_BINARY_DIR}/kelvo-firmware-update-${PROJECT_VERSION}-win64.zip)

set(aReleaseFiles)
# The docs folder is made afresh: what an earlier build left there must not reach the zip.
set(aReleaseCommands COMMAND ${CMAKE_COMMAND} -E rm -rf ${KELVO_RELEASE_DIR}/docs
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${KELVO_RELEASE_DIR}/docs/screenshots)
foreach(sProgram kelvo-firmware-update kelvo-update)
  if(NOT TARGET ${sProgram})
    continue()
  endif()
  if(CMAKE_STRIP)
    list(APPEND aReleaseCommands COMMAND ${CMAKE_STRIP} -o ${KELVO_RELEASE_DIR}/${sProgram}.exe
         $<TARGET_FILE:${sProgram}>)
  else()
    list(APPEND aReleaseCommands COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${sProgram}>
         ${KELVO_RELEASE_DIR}/)
  endif()
  list(APPEND aReleaseFiles ${sProgram}.exe)
endforeach()
file(GLOB aScreenshots ${PROJECT_SOURCE_DIR}/docs/screenshots/*.png)
list(APPEND aReleaseCommands
     COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/windows-readme.txt
             ${KELVO_RELEASE_DIR}/README.txt
     COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/operators-guide.md
             ${KELVO_RELEASE_DIR}/docs/
     COMMAND ${CMAKE_COMMAND} -E copy ${aScreenshots} ${KELVO_RELEASE_DIR}/docs/screenshots/)
list(APPEND aReleaseFiles README.txt docs)

add_custom_command(
  OUTPUT ${KELVO_RELEASE_ZIP}
  ${aReleaseCommands}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${KELVO_RELEASE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E chdir ${KELVO_RELEASE_DIR}
          ${CMAKE_COMMAND} -E tar cf ${KELVO_RELEASE_ZIP} --format=zip ${aReleaseFiles}
  DEPENDS kelvo-update $<$<TARGET_EXISTS:kelvo-firmware-update>:kelvo-firmware-update>
          ${PROJECT_SOURCE_DIR}/docs/windows-readme.txt ${PROJECT_SOURCE_DIR}/docs/operators-guide.md
          ${aScreenshots}
  COMMENT "Release folder ${KELVO_RELEASE_DIR} and ${KELVO_RELEASE_ZIP}"
  VERBATIM)
add_custom_target(kelvo-release ALL DEPENDS ${KELVO_RELEASE_ZIP})
