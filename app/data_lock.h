// One program per data folder: a lock on a file in the folder, held for the
// program's lifetime. It is a POSIX record lock, which the kernel drops when
// the process ends in any way (kill -9 included), so nothing stale is ever
// left; and while it is held the kernel names the holder's process.
#pragma once

#include <string>

class DataFolderLock {
public:
    // The lock file in the data folder. Not a settings file name, and not
    // named as a save's temporary, so neither listing nor the start-up
    // clean-up ever takes it for one of those.
    static constexpr const char* kFileName = ".corvell-focuser.lock";

    enum class Result {
        locked,       // this process owns the folder now
        inUse,        // another process holds it; `message` names it
        unavailable,  // no lock can be had here (say a read-only folder);
                      // `message` says why, and the program goes on
    };

    DataFolderLock() = default;
    DataFolderLock(const DataFolderLock&) = delete;
    DataFolderLock& operator=(const DataFolderLock&) = delete;
    ~DataFolderLock();

    // Takes the lock on `dir` without waiting. Nothing in the folder is
    // changed unless the lock is had: only then is the lock file (created
    // if missing) given this process's number and `program`, the name a
    // second program is told (the kernel keeps only 15 letters of it).
    Result acquire(const std::string& dir, std::string& message, const std::string& program = "corvell-focuser");

private:
    int fd_ = -1;
};
