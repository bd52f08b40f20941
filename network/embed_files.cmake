# Writes OUTPUT, a C++ file that holds the bytes of each of FILES (a list
# of paths, separated by '|') and gives them by file name through
# page_file() (setup_assets.h).
# Run as: cmake -DOUTPUT=... -DFILES=a|b -DLIMIT=bytes -P embed_files.cmake
# The files together must stay within LIMIT bytes.
string(REPLACE "|" ";" FILES "${FILES}")
set(table "")
set(arrays "")
set(total 0)
set(index 0)
foreach(path IN LISTS FILES)
  get_filename_component(name "${path}" NAME)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  math(EXPR total "${total} + ${size}")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND arrays "const char file${index}[] = {${bytes} 0};\n")
  string(APPEND table "    {\"${name}\", {file${index}, ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()
if(total GREATER LIMIT)
  message(FATAL_ERROR "The setup page's files take ${total} bytes, more than the ${LIMIT} they may")
endif()
file(WRITE "${OUTPUT}.new" "// Made by network/embed_files.cmake from network/page/: do not edit.
#include \"network/setup_assets.h\"

#include <utility>

namespace corvell::alpaca {
namespace {
${arrays}
const std::pair<std::string_view, std::string_view> files[] = {
${table}};
}  // namespace

std::string_view page_file(std::string_view name) {
    for (const auto& [n, bytes] : files)
        if (n == name) return bytes;
    return {};
}

}  // namespace corvell::alpaca
")
# Rewritten only when it changed, so that nothing is rebuilt for nothing.
execute_process(COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${OUTPUT}.new" "${OUTPUT}")
file(REMOVE "${OUTPUT}.new")
