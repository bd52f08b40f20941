// The directory of the settings and profile files.
#pragma once

#include <string>

// Makes sure `dir` is a directory, creating it and any missing parents.
// False, with `error` saying why in words, when it cannot.
bool ensure_data_dir(const std::string& dir, std::string& error);
