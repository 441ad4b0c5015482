# Writes OUT, a C++ source holding the files listed in LIST as the table
# declared in assets.h. Each line of LIST is: URL-path content-type file.
file(STRINGS "${LIST}" lines)
set(arrays "")
set(table "")
set(n 0)
foreach(line IN LISTS lines)
  separate_arguments(fields UNIX_COMMAND "${line}")
  list(GET fields 0 url)
  list(GET fields 1 type)
  list(GET fields 2 path)
  if(type MATCHES "^text/")
    string(APPEND type "; charset=utf-8")
  endif()
  file(READ "${path}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char kFile${n}[] = {${bytes}};\n")
  string(APPEND table "    {\"${url}\", \"${type}\", kFile${n}, sizeof kFile${n}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE "${OUT}.tmp" "// Made by embed.cmake from the page's files; not edited by hand.
#include \"assets.h\"

namespace rhl {
namespace web {
namespace {
${arrays}}  // namespace

const Asset kAssets[] = {
${table}};
const size_t kAssetCount = ${n};

}  // namespace web
}  // namespace rhl
")
file(RENAME "${OUT}.tmp" "${OUT}")
