// The setup page's files (network/page/), built into the program by a
// small CMake step (network/embed_files.cmake): nothing is read from the
// disk or fetched while the program runs.
#pragma once
#include <string_view>

namespace corvell::alpaca {

// The bytes of the page's file `name` ("index.html", "page.css",
// "page.js"); empty when there is no such file.
std::string_view page_file(std::string_view name);

}  // namespace corvell::alpaca
