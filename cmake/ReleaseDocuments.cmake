# The documents of the Windows release folder DIR: docs/ made afresh (what an earlier build left
# there must not reach the zip) with the operator's guide and the command line's page as HTML and
# the guide's pictures, and README.txt with Windows line ends. Used by the release (Release.cmake)
# and by the test that checks the documents without a Windows build.
# cmake -DMARKDOWN=<markdown_py> -DSOURCE=<source tree> -DDIR=<folder> -P ReleaseDocuments.cmake

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE iExit)
  if(NOT iExit EQUAL 0)
    message(FATAL_ERROR "${ARGN}: exit status ${iExit}")
  endif()
endfunction()

file(REMOVE_RECURSE ${DIR}/docs)
file(MAKE_DIRECTORY ${DIR}/docs/screenshots)
file(GLOB aScreenshots ${SOURCE}/docs/screenshots/*.png)
file(COPY ${aScreenshots} DESTINATION ${DIR}/docs/screenshots)
run(${CMAKE_COMMAND} -DIN=${SOURCE}/docs/windows-readme.txt -DOUT=${DIR}/README.txt
    -P ${SOURCE}/cmake/CopyCrlf.cmake)
foreach(sDoc operators-guide cli)
  run(${CMAKE_COMMAND} -DMARKDOWN=${MARKDOWN} -DIN=${SOURCE}/docs/${sDoc}.md
      -DOUT=${DIR}/docs/${sDoc}.html -P ${SOURCE}/cmake/MarkdownToHtml.cmake)
endforeach()
