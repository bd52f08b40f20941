// Whole-file reads and atomic rewrites of the settings files.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvell {

// Reads at most `limit` bytes from the start of the file; no value when it
// does not open.
std::optional<std::string> read_file_head(const std::string& path, size_t limit);

// Writes `bytes` to a temporary file in the same directory, flushes it and
// renames it over `path`, so a crash or a full disk never leaves a partly
// written file. On failure the old file is kept, the temporary removed, and
// `error` says what went wrong: "Cannot save <name>: <reason>".
//
// A target that is read-only (no write permission bit at all, or one the
// process may not write) is never replaced: the save fails with the reason
// "File is read-only". A replaced file keeps its permission bits; a new one
// gets 0644. A write refused by the file size limit fails with "File too
// large" (EFBIG) provided SIGXFSZ is ignored, as the program does.
//
// A `path` that is a symbolic link is saved through the link: the file it
// finally leads to is replaced as above, with the temporary in that file's
// own folder, and the link stays. A link that leads to no file fails the
// save with "it links to <link text>, which does not exist".
bool save_file_atomically(const std::string& path, const std::string& bytes, std::string& error);

// Temporary files of a save are named "." + target name + ".corvell-tmp-" +
// six letters or digits. For a file name of that form, the name of the
// file whose save made it; otherwise no value.
std::optional<std::string> temporary_target(const std::string& fileName);

// Removes the temporary files that saves interrupted by a crash left in
// `dir`: only regular files named as above whose target name `isOurFile`
// accepts (for the data directory: is_settings_file_name). Returns how many
// it removed; `error` is empty, or names the first thing that failed (the
// directory could not be read, a file could not be removed).
int remove_leftover_temporaries(const std::string& dir, const std::function<bool(const std::string&)>& isOurFile,
                                std::string& error);

// Names of the plain files in `dir` that begin with `prefix`, in no order;
// empty when there are none or the folder cannot be read.
std::vector<std::string> files_with_prefix(const std::string& dir, const std::string& prefix);

bool remove_file(const std::string& path, std::string& error);
// Renames a file within its folder; `error` says why not ("Cannot move
// <name>: <reason>").
bool rename_file(const std::string& from, const std::string& to, std::string& error);
bool file_exists(const std::string& path);

// Test hook: called after the temporary file is written and before the
// rename (a test kills the process there).
void set_before_rename_hook(std::function<void()> hook);

}  // namespace corvell
