// Classification of port open errors and their reasons in words.
#include "serial/open_failure.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace serial_port {

namespace {

// Runs a getgrgid_r/getpwuid_r style lookup with a buffer that grows until
// the entry fits. False when there is no entry or the lookup failed.
template <typename Entry, typename Lookup>
bool lookUp(Entry& entry, std::vector<char>& buffer, Lookup lookup) {
    buffer.resize(1024);
    for (;;) {
        Entry* found = nullptr;
        const int r = lookup(&entry, buffer.data(), buffer.size(), &found);
        if (r == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return r == 0 && found != nullptr;
    }
}

bool processHasGroup(gid_t gid) {
    if (::getegid() == gid) return true;
    const int n = ::getgroups(0, nullptr);
    if (n <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    const int got = ::getgroups(n, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

// The owning group's name and whether the user belongs to it now, only after
// a new login, or not at all.
void lookUpGroup(gid_t gid, OpenFailure& f) {
    group g{};
    std::vector<char> groupBuffer;
    const bool named =
        lookUp(g, groupBuffer, [gid](group* e, char* b, size_t n, group** r) { return ::getgrgid_r(gid, e, b, n, r); });
    f.group = named ? std::string(g.gr_name) : std::to_string(gid);

    if (processHasGroup(gid)) {
        f.membership = GroupMembership::active;
        return;
    }
    passwd pw{};
    std::vector<char> userBuffer;
    const uid_t uid = ::geteuid();
    if (!lookUp(pw, userBuffer,
                [uid](passwd* e, char* b, size_t n, passwd** r) { return ::getpwuid_r(uid, e, b, n, r); })) {
        return;  // membership unknown
    }
    bool listed = pw.pw_gid == gid;
    for (char** m = named ? g.gr_mem : nullptr; m && *m && !listed; ++m) listed = std::strcmp(*m, pw.pw_name) == 0;
    f.membership = listed ? GroupMembership::afterNewLogin : GroupMembership::none;
}

std::string octalMode(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777u);
    return text;
}

std::string permissionReason(const OpenFailure& f) {
    const bool groupMayUse = (f.mode & S_IRGRP) && (f.mode & S_IWGRP);
    if (!f.group.empty() && groupMayUse) {
        if (f.membership == GroupMembership::none)
            return "permission denied: the user needs to be in the group '" + f.group +
                   "' that owns the device (sudo usermod -aG " + f.group + " $USER, then log out and in again)";
        if (f.membership == GroupMembership::afterNewLogin)
            return "permission denied: the user was added to the group '" + f.group +
                   "' that owns the device; log out and in again to use it";
    }
    if (f.mode == 0) return "permission denied";
    std::string text =
        "permission denied: the device allows this user no reading and writing (mode " + octalMode(f.mode);
    if (!f.group.empty()) text += ", group '" + f.group + "'";
    return text + ")";
}

}  // namespace

namespace {

std::string processName(long pid) {
    std::string name;
    if (FILE* comm = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "r")) {
        char buffer[64] = {};
        if (std::fgets(buffer, sizeof buffer, comm)) name = buffer;
        std::fclose(comm);
    }
    name.erase(std::find_if(name.rbegin(), name.rend(), [](char c) { return c != '\n' && c != ' '; }).base(),
               name.end());
    return name.empty() ? std::string("a program") : name;
}

std::string named(long pid) { return processName(pid) + ", process " + std::to_string(pid); }

// The process that took the lock on an open file, from its descriptor's
// fdinfo ("lock:\t1: FLOCK  ADVISORY  WRITE <pid> ..."); 0 when the file is
// not locked.
long lockTaker(const std::string& fdinfo) {
    std::FILE* f = std::fopen(fdinfo.c_str(), "r");
    if (!f) return 0;
    long taker = 0;
    char line[256];
    while (taker == 0 && std::fgets(line, sizeof line, f)) {
        long pid = 0;  // a waiter's line ("1: -> FLOCK ...") has no number there
        if (std::sscanf(line, "lock: %*d: %*s %*s %*s %ld", &pid) == 1 && pid > 0) taker = pid;
    }
    std::fclose(f);
    return taker;
}

}  // namespace

// Each process's open files are links under /proc/<pid>/fd; those that
// lead to the device's own path have it open. The one that holds it is the
// one whose open file carries the lock (its fdinfo says who took it): a
// program (a pty's far end, a monitor) may merely have it open beside.
// Without a lock, the exclusive flag tells nothing of who set it, and
// every other opener is named but a guard, which holds ports for another.
std::string portHolder(const std::string& path) {
    char real[PATH_MAX];
    if (path.empty() || !::realpath(path.c_str(), real)) return std::string();
    const std::string device = real;
    const long self = static_cast<long>(::getpid());
    DIR* proc = ::opendir("/proc");
    if (!proc) return std::string();
    std::vector<long> openers;
    long lockedBy = 0, lockedIn = 0;  // who took the lock, and a process with the locked file open
    while (const dirent* p = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(p->d_name, &end, 10);
        if (pid <= 0 || *end != 0) continue;
        const std::string base = std::string("/proc/") + p->d_name;
        DIR* fds = ::opendir((base + "/fd").c_str());
        if (!fds) continue;  // another user's process, or gone meanwhile
        bool opened = false;
        while (const dirent* fd = ::readdir(fds)) {
            char target[PATH_MAX];
            const ssize_t n = ::readlink((base + "/fd/" + fd->d_name).c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            target[n] = 0;
            if (device != target) continue;
            opened = true;
            if (const long taker = lockTaker(base + "/fdinfo/" + fd->d_name); taker > 0 && lockedBy == 0) {
                lockedBy = taker;
                lockedIn = pid;
            }
        }
        ::closedir(fds);
        if (opened && pid != self && processName(pid) != kPortGuardName) openers.push_back(pid);
    }
    ::closedir(proc);
    if (lockedBy == self) return std::string();  // this program's own lock
    if (lockedBy > 0)
        return named(::kill(static_cast<pid_t>(lockedBy), 0) == 0 || errno == EPERM ? lockedBy : lockedIn);
    std::string found;
    for (size_t i = 0; i < openers.size() && i < 3; ++i) found += (i ? " or " : "") + named(openers[i]);
    return found;
}

OpenFailure describeOpenError(const std::string& path, int error) {
    OpenFailure f;
    f.path = path;
    f.error = error;
    struct stat st {};
    const bool known = !path.empty() && ::stat(path.c_str(), &st) == 0;
    if (known) f.mode = unsigned(st.st_mode);

    if (known && !S_ISCHR(st.st_mode)) {
        f.kind = OpenFailureKind::notSerialDevice;
        return f;
    }
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
    case EIO:  // a device file with no port hardware behind it
        f.kind = OpenFailureKind::noSuchDevice;
        break;
    case EBUSY:
        f.kind = OpenFailureKind::inUse;
        f.holder = portHolder(path);
        break;
    case EACCES:
    case EPERM:
        f.kind = OpenFailureKind::permissionDenied;
        if (known) lookUpGroup(st.st_gid, f);
        break;
    case ENOTTY:
    case EISDIR: f.kind = OpenFailureKind::notSerialDevice; break;
    default:
        f.kind = OpenFailureKind::other;
        f.detail = std::strerror(error);
        break;
    }
    return f;
}

std::string openFailureReason(const OpenFailure& f) {
    switch (f.kind) {
    case OpenFailureKind::none: return std::string();
    case OpenFailureKind::noSuchDevice: return "no such device";
    case OpenFailureKind::inUse:
        return f.holder.empty() ? "in use by another program" : "in use by another program (" + f.holder + ")";
    case OpenFailureKind::permissionDenied: return permissionReason(f);
    case OpenFailureKind::notSerialDevice:
        if (S_ISDIR(f.mode)) return "not a serial device (a directory)";
        if (S_ISREG(f.mode)) return "not a serial device (a regular file)";
        return "not a serial device";
    case OpenFailureKind::lineSettings: return "the port does not take the line settings: " + f.detail;
    case OpenFailureKind::other: break;
    }
    return "cannot be opened: " + (f.detail.empty() ? std::string(std::strerror(f.error)) : f.detail);
}

}  // namespace serial_port
