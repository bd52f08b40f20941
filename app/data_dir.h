// The directory of the settings and profile files.
#pragma once

#include <string>

// The folder used when none is chosen: $XDG_DATA_HOME/corvell-focuser, or
// $HOME/.local/share/corvell-focuser when XDG_DATA_HOME is unset, empty or
// not an absolute path (such a value is to be ignored). `xdgDataHome` and
// `home` are the variables' values (null when unset); without a usable HOME
// the home folder of the user's account is taken. Empty, with `error`
// saying why, when there is no home folder at all.
std::string default_data_dir(const char* xdgDataHome, const char* home, std::string& error);

// Makes sure `dir` is a directory, creating it and any missing parents
// (with `mode`, less the umask). False, with `error` saying why in words,
// when it cannot.
bool ensure_data_dir(const std::string& dir, std::string& error, unsigned mode = 0777);
