# Writes the C++ source that holds the web console's files (server/web/) as
# byte arrays, each with its path and content type, for FindWebAsset
# (server/web_assets.cpp). Run by the build whenever a page changes:
#   cmake -DWEB_DIR=<server/web> -DOUTPUT=<file.cpp> -P web_assets.cmake
file(GLOB_RECURSE files RELATIVE "${WEB_DIR}" "${WEB_DIR}/*")
list(SORT files)

set(types_html "text/html; charset=utf-8")
set(types_js "text/javascript; charset=utf-8")
set(types_mjs "text/javascript; charset=utf-8")
set(types_css "text/css; charset=utf-8")
set(types_svg "image/svg+xml")
set(types_png "image/png")
set(types_ico "image/x-icon")
set(types_json "application/json")
set(types_txt "text/plain; charset=utf-8")

set(arrays "")
set(table "")
set(index 0)
foreach(name ${files})
  get_filename_component(ext "${name}" LAST_EXT)
  string(SUBSTRING "${ext}" 1 -1 ext)
  string(TOLOWER "${ext}" ext)
  if(NOT DEFINED types_${ext})
    message(FATAL_ERROR "server/web/${name}: no content type for .${ext} (add one to server/web_assets.cmake)")
  endif()
  file(READ "${WEB_DIR}/${name}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  if(hex_length EQUAL 0)
    message(FATAL_ERROR "server/web/${name} is empty")
  endif()
  # Each byte a character literal of its own: no escape runs into the next.
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){24})" "\\1\n    " bytes "${bytes}")
  string(APPEND arrays "// ${name}\nconst char kAsset${index}[] = {\n    ${bytes}};\n\n")
  string(APPEND table "    {\"/${name}\", \"${types_${ext}}\", {kAsset${index}, sizeof kAsset${index}}},\n")
  math(EXPR index "${index} + 1")
endforeach()

set(text "// Made by the build from the files in server/web/ (server/web_assets.cmake):\n")
string(APPEND text "// edit those, not this one.\n\n#include \"server/web_types.h\"\n\n#include <cstddef>\n\n")
string(APPEND text "namespace orvalinth::server {\nnamespace {\n\n${arrays}}  // namespace\n\n")
string(APPEND text "extern const SXWebAsset kWebAssets[] = {\n${table}};\n")
string(APPEND text "extern const size_t kWebAssetCount = ${index};\n\n}  // namespace orvalinth::server\n")

# Written only when it changed, so that an unchanged page costs no compile.
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
