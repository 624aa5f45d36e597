# Runs a Qt Test program under Wine: Qt Test's log goes to a file there (under Wine its standard
# output stays empty), which is printed afterwards, so that ctest shows what failed.
# -DEXE=<program> -DLOG=<log file>
execute_process(COMMAND wine ${EXE} -o ${LOG},txt RESULT_VARIABLE iResult)
if(EXISTS ${LOG})
  file(READ ${LOG} sLog)
  message("${sLog}")
endif()
if(NOT iResult EQUAL 0)
  message(FATAL_ERROR "${EXE} ended with ${iResult}")
endif()
