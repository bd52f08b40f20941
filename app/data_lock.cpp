#include "app/data_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace {

std::string error_text(int err) { return std::generic_category().message(err); }

std::string first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// What the holder wrote into the lock file: "<pid> <program name>".
void read_holder_note(const std::string& lockPath, long& pid, std::string& name) {
    std::istringstream note(first_line(lockPath));
    long notedPid = 0;
    std::string notedName;  // the rest of the line: a name may have blanks
    if (!(note >> notedPid) || !std::getline(note >> std::ws, notedName) || notedName.empty()) return;
    if (pid <= 0) pid = notedPid;
    // The holder's own whole name, where the kernel's may be cut short.
    if (notedPid == pid) name = notedName;
}

}  // namespace

DataFolderLock::~DataFolderLock() {
    if (fd_ >= 0) ::close(fd_);
}

DataFolderLock::Result DataFolderLock::acquire(const std::string& dir, std::string& message,
                                               const std::string& program) {
    const std::string path = dir + "/" + kFileName;
    short kind = F_WRLCK;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    const int openError = errno;
    if (fd < 0 && (openError == EACCES || openError == EROFS)) {
        // A lock file this user may only read still keeps two programs
        // apart: a read lock conflicts with the write lock of a program
        // that may write it.
        kind = F_RDLCK;
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    }
    if (fd < 0) {
        // Without a lock file here, nothing can be saved here either.
        message = "cannot lock the data folder " + dir + " (" + path + ": " + error_text(openError) +
                  "); going on without the lock";
        return Result::unavailable;
    }

    for (int attempt = 0; attempt < 3; ++attempt) {
        struct flock want {};
        want.l_type = kind;
        want.l_whence = SEEK_SET;
        if (::fcntl(fd, F_SETLK, &want) == 0) {
            fd_ = fd;
            if (kind == F_WRLCK) {
                const std::string note = std::to_string(::getpid()) + " " + program + "\n";
                if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, note.data(), note.size(), 0) < 0) {
                    // The lock holds all the same; only the note is missing.
                }
            }
            return Result::locked;
        }
        if (errno != EACCES && errno != EAGAIN) {
            message = "cannot lock the data folder " + dir + " (" + error_text(errno) + "); going on without the lock";
            ::close(fd);
            return Result::unavailable;
        }
        // Who holds it. The kernel names the process (0 when it lives in
        // another PID namespace); the note in the file fills in what it
        // cannot.
        struct flock holder {};
        holder.l_type = F_WRLCK;
        holder.l_whence = SEEK_SET;
        if (::fcntl(fd, F_GETLK, &holder) != 0 || holder.l_type == F_UNLCK) continue;  // just let go: try again
        long pid = holder.l_pid;
        std::string name = pid > 0 ? first_line("/proc/" + std::to_string(pid) + "/comm") : std::string();
        read_holder_note(path, pid, name);
        ::close(fd);
        message = "the data folder " + dir + " is in use by " + (name.empty() ? "another program" : name) +
                  (pid > 0 ? " (process " + std::to_string(pid) + ")" : std::string()) +
                  "; close that program first, or choose another folder (--data-dir or CORVELL_DATA_DIR)";
        return Result::inUse;
    }
    ::close(fd);
    message = "the data folder " + dir +
              " is in use by another program; close it first, or choose another folder "
              "(--data-dir or CORVELL_DATA_DIR)";
    return Result::inUse;
}
