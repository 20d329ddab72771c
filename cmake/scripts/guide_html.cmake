# cmake -DCMARK=<cmark-gfm or cmark> -DINPUT=<guide.md> -DOUTPUT=<guide.html> -DTITLE=<text>
#       -P guide_html.cmake
# The operator guide as a page that a double click opens in the browser: the Markdown rendered
# by cmark (cmark-gfm renders the tables too) inside a small HTML page of its own.
get_filename_component(cmark_name "${CMARK}" NAME_WE)
set(extensions)
if(cmark_name STREQUAL "cmark-gfm")
  set(extensions --extension table --extension autolink --extension strikethrough)
endif()
execute_process(COMMAND "${CMARK}" --to html ${extensions} "${INPUT}"
                OUTPUT_VARIABLE body RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${CMARK} failed on ${INPUT}: ${errors}")
endif()
file(WRITE "${OUTPUT}" "<!DOCTYPE html>
<html>
<head>
<meta charset=\"utf-8\">
<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">
<title>${TITLE}</title>
<style>
body { font-family: Segoe UI, Tahoma, Arial, sans-serif; font-size: 15px; line-height: 1.45;
       max-width: 60em; margin: 1em auto; padding: 0 1em; color: #1a1a1a; }
h1, h2, h3 { color: #1d3f73; }
h2 { border-bottom: 1px solid #c8d3e3; padding-bottom: 0.2em; margin-top: 1.6em; }
code, pre { font-family: Consolas, Courier New, monospace; font-size: 0.93em; }
code { background: #f1f3f6; padding: 0 0.2em; }
pre { background: #f1f3f6; padding: 0.6em 0.8em; overflow-x: auto; }
pre code { background: none; padding: 0; }
table { border-collapse: collapse; margin: 0.6em 0; }
th, td { border: 1px solid #c8d3e3; padding: 0.25em 0.6em; text-align: left; vertical-align: top; }
th { background: #e8eef7; }
</style>
</head>
<body>
${body}</body>
</html>
")
