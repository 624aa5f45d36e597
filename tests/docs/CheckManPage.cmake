# A man page renders without a warning (with GROFF) and names every long option that its
# program's --help lists (with EXE), so that the page keeps up with the program; --help shows the
# page's "--name=VALUE" forms, and with HELP_ENVIRONMENT the variables of the page's ENVIRONMENT.
# cmake -DPAGE=<page> [-DGROFF=<groff>] [-DEXE=<program> [-DHELP_ENVIRONMENT=ON]]
#       -P CheckManPage.cmake

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

  # And the other way: what the page tells that --help should tell too.
  string(REGEX MATCHALL "--[a-z][a-z0-9-]*=[A-Z]+" aForms "${sPage}")
  if(HELP_ENVIRONMENT)
    string(REGEX MATCH "\n\\.SH ENVIRONMENT\n.*" sEnvironment "${sPage}")
    string(REGEX REPLACE "^\n\\.SH ENVIRONMENT" "" sEnvironment "${sEnvironment}")
    string(REGEX REPLACE "\n\\.SH [A-Z ]+\n.*" "" sEnvironment "${sEnvironment}")
    string(REGEX MATCHALL "\n\\.TP\n\\.B [A-Z_]+" aVariables "${sEnvironment}")
    list(TRANSFORM aVariables REPLACE "\n\\.TP\n\\.B " "")
    list(APPEND aForms ${aVariables})
  endif()
  list(REMOVE_DUPLICATES aForms)
  set(aUntold)
  foreach(sForm IN LISTS aForms)
    string(FIND "${sHelp}" "${sForm}" iAt)
    if(iAt EQUAL -1)
      list(APPEND aUntold ${sForm})
    endif()
  endforeach()
  if(aUntold)
    message(FATAL_ERROR "${EXE} --help lacks what ${PAGE} tells: ${aUntold}")
  endif()
endif()
