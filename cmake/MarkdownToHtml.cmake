# Turns one Markdown page of docs/ into a page of HTML of its own: the converter's body in a small
# frame with the page's first heading as its title. Links to another page (x.md, x.md#part)
# become links to its HTML page, which is made beside it.
# cmake -DMARKDOWN=<markdown_py> -DIN=<page.md> -DOUT=<page.html> -P MarkdownToHtml.cmake

execute_process(
  COMMAND ${MARKDOWN} -e utf-8 -o html -x tables -x toc -x fenced_code -x sane_lists ${IN}
  RESULT_VARIABLE iExit OUTPUT_VARIABLE sBody ERROR_VARIABLE sErr)
if(NOT iExit EQUAL 0 OR sBody STREQUAL "")
  message(FATAL_ERROR "${MARKDOWN} ${IN}: exit status ${iExit}\n${sErr}")
endif()

# Only relative links: a link with a scheme (https:, mailto:) stays as it is.
string(REGEX REPLACE "href=\"([^\":#]+)\\.md(#[^\"]*)?\"" "href=\"\\1.html\\2\"" sBody "${sBody}")

set(sTitle "Kelvo Firmware Update")
if(sBody MATCHES "<h1[^>]*>([^\n]*)</h1>")
  string(REGEX REPLACE "<[^>]*>" "" sTitle "${CMAKE_MATCH_1}")
endif()

file(WRITE ${OUT} "<!DOCTYPE html>
<html lang=\"en\">
<head>
<meta charset=\"utf-8\">
<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">
<title>${sTitle}</title>
<style>
body { max-width: 52em; margin: 0 auto; padding: 0 1em 2em; font-family: sans-serif; line-height: 1.45; }
table { border-collapse: collapse; }
th, td { border: 1px solid #bbb; padding: 0.2em 0.5em; text-align: left; vertical-align: top; }
pre { background: #f4f4f4; padding: 0.5em; overflow-x: auto; }
code { background: #f4f4f4; }
img { max-width: 100%; }
</style>
</head>
<body>
${sBody}
</body>
</html>
")
