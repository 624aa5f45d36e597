# The documents of the Windows release made as cmake/Release.cmake makes them, into a folder of
# their own, and checked as the release folder is.
# cmake -DMARKDOWN=<markdown_py> -DSOURCE=<source tree> -DDIR=<folder> -P ReleaseDocuments.cmake

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE iExit)
  if(NOT iExit EQUAL 0)
    message(FATAL_ERROR "${ARGN}: exit status ${iExit}")
  endif()
endfunction()

file(REMOVE_RECURSE ${DIR})
file(MAKE_DIRECTORY ${DIR}/docs/screenshots)
file(GLOB aScreenshots ${SOURCE}/docs/screenshots/*.png)
file(COPY ${aScreenshots} DESTINATION ${DIR}/docs/screenshots)
run(${CMAKE_COMMAND} -DIN=${SOURCE}/docs/windows-readme.txt -DOUT=${DIR}/README.txt
    -P ${SOURCE}/cmake/CopyCrlf.cmake)
foreach(sDoc operators-guide cli)
  run(${CMAKE_COMMAND} -DMARKDOWN=${MARKDOWN} -DIN=${SOURCE}/docs/${sDoc}.md
      -DOUT=${DIR}/docs/${sDoc}.html -P ${SOURCE}/cmake/MarkdownToHtml.cmake)
endforeach()
run(${CMAKE_COMMAND} -DDIR=${DIR} -P ${SOURCE}/cmake/CheckReleaseFolder.cmake)
