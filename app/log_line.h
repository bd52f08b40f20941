// The lines the program logs to standard error, as the reader of the log
// needs them. In a terminal or a file each starts with the time. Under
// systemd standard error is the journal, which keeps its own time: each
// line starts with its priority instead, as sd-daemon prefixes it ("<3>"
// an error, "<4>" a warning, "<6>" information, "<7>" the byte trace), so
// that `journalctl -p warning` shows what went wrong and nothing else.
#pragma once
#include <string>

namespace corvell::app {

enum class LogPriority { Error = 3, Warning = 4, Info = 6, Debug = 7 };

// Whether standard error is the journal: systemd names the device and inode
// of the stream it connects in JOURNAL_STREAM ("8:12345"), and standard
// error is that very file (not a terminal or file it was redirected to).
bool stderr_is_journal();

// One line as written (without its newline): "<3>text" for the journal,
// otherwise "`time` text".
std::string log_line(LogPriority priority, const std::string& text, bool journal, const std::string& time);

}  // namespace corvell::app
