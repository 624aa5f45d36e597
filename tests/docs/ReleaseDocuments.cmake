# The documents of the Windows release made as the release makes them, into a folder of their
# own, and checked as the release folder is.
# cmake -DMARKDOWN=<markdown_py> -DSOURCE=<source tree> -DDIR=<folder> -P ReleaseDocuments.cmake

foreach(aStep "-DMARKDOWN=${MARKDOWN};-DSOURCE=${SOURCE};-DDIR=${DIR};-P;${SOURCE}/cmake/ReleaseDocuments.cmake"
              "-DDIR=${DIR};-P;${SOURCE}/cmake/CheckReleaseFolder.cmake")
  execute_process(COMMAND ${CMAKE_COMMAND} ${aStep} RESULT_VARIABLE iExit)
  if(NOT iExit EQUAL 0)
    message(FATAL_ERROR "${aStep}: exit status ${iExit}")
  endif()
endforeach()
