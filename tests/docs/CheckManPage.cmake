# A man page renders without a warning (with GROFF) and names every long option that its
# program's --help lists (with EXE), so that the page keeps up with the program.
# cmake -DPAGE=<page> [-DGROFF=<groff>] [-DEXE=<program>] -P CheckManPage.cmake

if(GROFF)
  execute_process(COMMAND ${GROFF} -man -ww -z -Tutf8 ${PAGE} RESULT_VARIABLE iExit
                  ERROR_VARIABLE sErr)
  if(NOT iExit STREQUAL "0" OR NOT sErr STREQUAL "")
    message(FATAL_ERROR "groff: exit status ${iExit}:\n${sErr}")
  endif()
endif()

if(EXE)
  execute_process(COMMAND ${EXE} --help RESULT_VARIABLE iExit OUTPUT_VARIABLE sHelp TIMEOUT 30)
  if(NOT iExit STREQUAL "0")
    message(FATAL_ERROR "${EXE} --help: exit status ${iExit}")
  endif()
  # The page's text without roff's minus escapes and font changes.
  file(READ ${PAGE} sPage)
  string(REPLACE "\\-" "-" sPage "${sPage}")
  string(REGEX REPLACE "\\\\f[BIRP]" "" sPage "${sPage}")
  string(REGEX MATCHALL "--[a-z][a-z0-9-]*" aOptions "${sHelp}")
  list(REMOVE_DUPLICATES aOptions)
  set(aMissing)
  foreach(sOption IN LISTS aOptions)
    if(NOT sPage MATCHES "(^|[^a-z0-9-])${sOption}([^a-z0-9-]|$)")
      list(APPEND aMissing ${sOption})
    endif()
  endforeach()
  if(aMissing)
    message(FATAL_ERROR "${PAGE} lacks options that --help lists: ${aMissing}")
  endif()
endif()
