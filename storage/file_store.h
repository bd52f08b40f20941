// Whole-file reads and atomic rewrites of the settings files.
#pragma once
#include <functional>
#include <optional>
#include <string>

namespace corvell {

// Reads at most `limit` bytes from the start of the file; no value when it
// does not open.
std::optional<std::string> read_file_head(const std::string& path, size_t limit);

// Writes `bytes` to a temporary file in the same directory, flushes it and
// renames it over `path`, so a crash or a full disk never leaves a partly
// written file. On failure the old file is kept, the temporary removed, and
// `error` says what went wrong.
bool save_file_atomically(const std::string& path, const std::string& bytes, std::string& error);

bool remove_file(const std::string& path, std::string& error);
bool file_exists(const std::string& path);

// Test hook: called after the temporary file is written and before the
// rename (a test kills the process there).
void set_before_rename_hook(std::function<void()> hook);

}  // namespace corvell
