# The Windows build's release folder, <build>/release, refreshed on every build: both programs
# (stripped when the toolchain has a strip) with the Qt DLLs and plugins the GUI needs, the
# operator's guide and the command line's
# page as HTML with the guide's pictures, a short read-me and the third-party notices
# (ThirdPartyNotices.cmake) with Windows line ends; and the same
# packed as kelvo-firmware-update-<version>-win64.zip beside it. The service team's notes on the
# internal mode (docs/internal-mode.md) are never part of it.
set(KELVO_RELEASE_DIR ${CMAKE_BINARY_DIR}/release)
set(KELVO_RELEASE_ZIP ${CMAKE_BINARY_DIR}/kelvo-firmware-update-${PROJECT_VERSION}-win64.zip)

# The HTML pages come from the Markdown through python3-markdown's converter: without it the
# release would lack its documents, so the build stops here.
find_program(KELVO_MARKDOWN NAMES markdown_py)
if(NOT KELVO_MARKDOWN)
  message(FATAL_ERROR "markdown_py was not found: the release's HTML documents are made with it "
                      "(Debian package python3-markdown)")
endif()

set(aReleaseFiles)
set(aReleaseCommands COMMAND ${CMAKE_COMMAND} -E make_directory ${KELVO_RELEASE_DIR})
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
# Qt as shared libraries: the DLLs the GUI imports beside it (release_contents checks that none is
# missing), its plugins in folders below; a user may replace them with a build of their own of the
# same Qt version.
if(TARGET kelvo-firmware-update)
  find_package(Qt6 REQUIRED COMPONENTS Widgets)
  kelvo_qt_is_shared(bQtShared)
  if(bQtShared)
    foreach(sQt Qt6::Core Qt6::Gui Qt6::Widgets)
      kelvo_qt_file_name(sName ${sQt})
      list(APPEND aReleaseFiles ${sName})
      list(APPEND aQtDlls $<TARGET_FILE:${sQt}>)
      list(APPEND aQtFiles ${KELVO_RELEASE_DIR}/${sName})
    endforeach()
    kelvo_qt_plugin_files(aPluginFiles)
    foreach(sFile IN LISTS aPluginFiles)
      get_filename_component(sKind ${sFile} DIRECTORY)
      list(APPEND aReleaseFiles ${sKind})
      list(APPEND aQtFiles ${KELVO_RELEASE_DIR}/${sFile})
    endforeach()
    list(REMOVE_DUPLICATES aReleaseFiles)
    kelvo_qt_plugin_commands(aPluginCommands ${KELVO_RELEASE_DIR})
    list(APPEND aReleaseCommands
         COMMAND ${CMAKE_COMMAND} -E copy_if_different ${aQtDlls} ${KELVO_RELEASE_DIR}
         ${aPluginCommands})
    # Their symbol tables are of no use to an operator (the exports stay): a third of their size.
    if(CMAKE_STRIP)
      list(APPEND aReleaseCommands COMMAND ${CMAKE_STRIP} ${aQtFiles})
    endif()
  endif()
endif()
list(APPEND aReleaseCommands
     COMMAND ${CMAKE_COMMAND} -DMARKDOWN=${KELVO_MARKDOWN} -DSOURCE=${PROJECT_SOURCE_DIR}
             -DDIR=${KELVO_RELEASE_DIR} -P ${PROJECT_SOURCE_DIR}/cmake/ReleaseDocuments.cmake)
list(APPEND aReleaseCommands
     COMMAND ${CMAKE_COMMAND} -DIN=${KELVO_NOTICES} -DOUT=${KELVO_RELEASE_DIR}/THIRD-PARTY-NOTICES.txt
             -P ${PROJECT_SOURCE_DIR}/cmake/CopyCrlf.cmake)
list(APPEND aReleaseFiles README.txt THIRD-PARTY-NOTICES.txt docs)
# What the documents are made from (every page of docs/, a few more than are shipped).
file(GLOB aDocSources ${PROJECT_SOURCE_DIR}/docs/*.md ${PROJECT_SOURCE_DIR}/docs/windows-readme.txt
     ${PROJECT_SOURCE_DIR}/docs/screenshots/*.png)

add_custom_command(
  OUTPUT ${KELVO_RELEASE_ZIP}
  ${aReleaseCommands}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${KELVO_RELEASE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E chdir ${KELVO_RELEASE_DIR}
          ${CMAKE_COMMAND} -E tar cf ${KELVO_RELEASE_ZIP} --format=zip ${aReleaseFiles}
  DEPENDS kelvo-update $<$<TARGET_EXISTS:kelvo-firmware-update>:kelvo-firmware-update>
          ${aDocSources} ${KELVO_NOTICES} ${PROJECT_SOURCE_DIR}/cmake/ReleaseDocuments.cmake
          ${PROJECT_SOURCE_DIR}/cmake/MarkdownToHtml.cmake ${PROJECT_SOURCE_DIR}/cmake/CopyCrlf.cmake
  COMMENT "Release folder ${KELVO_RELEASE_DIR} and ${KELVO_RELEASE_ZIP}"
  COMMAND_EXPAND_LISTS VERBATIM)
add_custom_target(kelvo-release ALL DEPENDS ${KELVO_RELEASE_ZIP})
