# A program's --version and --help: both answer on standard output only and exit with 0.
# --version also without any display, which shows that a GUI answers it before Qt starts.
# cmake -DEXE=<program> -DNAME=<its name> -DVERSION=<project version> -P HelpVersion.cmake

function(run sLabel)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE iExit OUTPUT_VARIABLE sOut
                  ERROR_VARIABLE sErr TIMEOUT 30)
  if(NOT iExit STREQUAL "0" OR NOT sErr STREQUAL "")
    message(FATAL_ERROR "${sLabel}: exit status ${iExit}, standard error:\n${sErr}")
  endif()
  set(sOut "${sOut}" PARENT_SCOPE)
endfunction()

run("--version without a display"
    ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb
    ${EXE} --version)
if(NOT sOut STREQUAL "${NAME} ${VERSION}\n")
  message(FATAL_ERROR "--version printed '${sOut}', not '${NAME} ${VERSION}'")
endif()

run("--help" ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ${EXE} --help)
if(NOT sOut MATCHES "^Usage: ${NAME} ")
  message(FATAL_ERROR "--help did not start with 'Usage: ${NAME} ':\n${sOut}")
endif()
