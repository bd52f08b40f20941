#include "app/log_line.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

namespace corvell::app {

bool stderr_is_journal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream) return false;
    unsigned long long device = 0, inode = 0;
    char end = 0;
    if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &end) != 2) return false;
    struct stat st {};
    if (::fstat(2, &st) != 0) return false;
    return static_cast<unsigned long long>(st.st_dev) == device && static_cast<unsigned long long>(st.st_ino) == inode;
}

std::string log_line(LogPriority priority, const std::string& text, bool journal, const std::string& time) {
    if (journal) return "<" + std::to_string(static_cast<int>(priority)) + ">" + text;
    return time + " " + text;
}

}  // namespace corvell::app
