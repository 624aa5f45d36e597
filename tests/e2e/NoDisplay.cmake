# The GUI without a display: one line on standard error and exit status 1 wherever X11 or Wayland
# would be used without a display server to talk to; another platform is left to Qt.
# cmake -DEXE=<kelvo-firmware-update> -P NoDisplay.cmake

set(sLine "kelvo-firmware-update: no display: set DISPLAY, or use kelvo-update\n")
unset(ENV{DISPLAY})
unset(ENV{WAYLAND_DISPLAY})

# sLabel: what the row shows; sPlatform: QT_QPA_PLATFORM (empty: unset); the rest: arguments.
function(refused sLabel sPlatform)
  if(sPlatform STREQUAL "")
    unset(ENV{QT_QPA_PLATFORM})
  else()
    set(ENV{QT_QPA_PLATFORM} "${sPlatform}")
  endif()
  execute_process(COMMAND ${EXE} ${ARGN} RESULT_VARIABLE iExit OUTPUT_VARIABLE sOut
                  ERROR_VARIABLE sErr TIMEOUT 30)
  if(NOT iExit STREQUAL "1" OR NOT sErr STREQUAL sLine OR NOT sOut STREQUAL "")
    message(FATAL_ERROR "${sLabel}: exit status ${iExit}, standard output '${sOut}', "
                        "standard error:\n${sErr}")
  endif()
endfunction()

refused("no platform chosen" "")
refused("xcb" "xcb")
refused("wayland before xcb" "wayland;xcb")
refused("-platform on the command line before the environment" "offscreen" -platform xcb)

# Offscreen needs no display: the program starts and runs until it is stopped.
set(ENV{QT_QPA_PLATFORM} offscreen)
set(ENV{QT_LOGGING_RULES} "qt.qpa.*=false")
execute_process(COMMAND ${EXE} RESULT_VARIABLE iExit ERROR_VARIABLE sErr TIMEOUT 2)
if(NOT iExit MATCHES "timeout")
  message(FATAL_ERROR "offscreen: the program ended (${iExit}) instead of running:\n${sErr}")
endif()
