# Qt for Windows comes as shared libraries: a program finds them beside itself, with the platform
# and style plugins in the folders platforms\ and styles\ below it (where Qt looks when it finds
# no plugins in its own installation). The release folder holds them so; programs of the build
# folder get copies after each link, so that they start under Wine as they do from the release.
# A static Qt needs nothing of this: every function here does nothing then.

# The plugins that go with the programs: the windows platform, offscreen (tests, benchmarks and a
# start without a display) and the Windows look.
set(KELVO_QT_PLUGINS Qt6::QWindowsIntegrationPlugin Qt6::QOffscreenIntegrationPlugin
                     Qt6::QWindowsVistaStylePlugin)

# kelvo_qt_is_shared(<var>): TRUE when this is a Windows build with a shared Qt.
function(kelvo_qt_is_shared sVar)
  set(bShared FALSE)
  if(WIN32 AND TARGET Qt6::Core)
    get_target_property(sType Qt6::Core TYPE)
    if(sType STREQUAL "SHARED_LIBRARY")
      set(bShared TRUE)
    endif()
  endif()
  set(${sVar} ${bShared} PARENT_SCOPE)
endfunction()

# kelvo_qt_file_name(<var> <imported target>): the name of the file an imported Qt target stands
# for ("Qt6Core.dll", "qwindows.dll").
function(kelvo_qt_file_name sVar sTarget)
  get_target_property(sPath ${sTarget} IMPORTED_LOCATION_RELEASE)
  if(NOT sPath)
    get_target_property(sPath ${sTarget} IMPORTED_LOCATION)
  endif()
  get_filename_component(sName ${sPath} NAME)
  set(${sVar} ${sName} PARENT_SCOPE)
endfunction()

# kelvo_qt_plugin_commands(<var> <folder>): the custom-command arguments that copy the plugins
# into <folder>\platforms and <folder>\styles.
function(kelvo_qt_plugin_commands sVar sFolder)
  set(aCommands)
  foreach(sPlugin IN LISTS KELVO_QT_PLUGINS)
    get_target_property(sKind ${sPlugin} QT_PLUGIN_TYPE)
    list(APPEND aCommands COMMAND ${CMAKE_COMMAND} -E make_directory ${sFolder}/${sKind}
         COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${sPlugin}> ${sFolder}/${sKind})
  endforeach()
  set(${sVar} ${aCommands} PARENT_SCOPE)
endfunction()

# kelvo_qt_plugin_files(<var>): the plugins' paths relative to a program's folder
# ("platforms/qwindows.dll", ...).
function(kelvo_qt_plugin_files sVar)
  set(aFiles)
  foreach(sPlugin IN LISTS KELVO_QT_PLUGINS)
    get_target_property(sKind ${sPlugin} QT_PLUGIN_TYPE)
    kelvo_qt_file_name(sName ${sPlugin})
    list(APPEND aFiles ${sKind}/${sName})
  endforeach()
  set(${sVar} ${aFiles} PARENT_SCOPE)
endfunction()

# kelvo_deploy_qt(<target>): after each link of <target>, the Qt DLLs it imports and the plugins
# are copied beside it.
function(kelvo_deploy_qt sTarget)
  kelvo_qt_is_shared(bShared)
  if(NOT bShared)
    return()
  endif()
  kelvo_qt_plugin_commands(aPlugins $<TARGET_FILE_DIR:${sTarget}>)
  add_custom_command(TARGET ${sTarget} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_RUNTIME_DLLS:${sTarget}>
            $<TARGET_FILE_DIR:${sTarget}>
    ${aPlugins}
    COMMAND_EXPAND_LISTS VERBATIM)
endfunction()
