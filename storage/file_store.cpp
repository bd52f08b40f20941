#include "storage/file_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace corvell {

namespace {

std::function<void()>& before_rename_hook() {
    static std::function<void()> hook;
    return hook;
}

std::string error_text(int err) { return std::generic_category().message(err); }

// Directory part and file name of a path ("." when there is no slash).
std::pair<std::string, std::string> split_path(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    if (slash == 0) return {"/", path.substr(1)};
    return {path.substr(0, slash), path.substr(slash + 1)};
}

// Marks a temporary file as one of this program's saves; the random part
// that mkostemp puts after it is six letters or digits.
constexpr char kTemporaryMarker[] = ".corvell-tmp-";
constexpr size_t kTemporaryMarkerLength = sizeof kTemporaryMarker - 1;
constexpr size_t kRandomLength = 6;

// Mode given to a file that did not exist before the save.
constexpr mode_t kNewFileMode = 0644;

// Why an existing file must not be replaced, or 0 when it may be. Root may
// write any file, so a file without a single write permission bit counts as
// read-only too: the user made it so.
int read_only_reason(const std::string& path, const struct stat& st) {
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return EACCES;
    if (::access(path.c_str(), W_OK) == 0) return 0;
    // A file removed meanwhile may simply be written anew.
    if (errno == ENOENT) return 0;
    return errno == EROFS ? EROFS : EACCES;
}

bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            // A regular file accepting nothing is as good as full.
            errno = ENOSPC;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::optional<std::string> read_file_head(const std::string& path, size_t limit) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::nullopt;

    std::string bytes;
    size_t got = 0;
    while (got < limit) {
        // Grow in steps so that a generous limit costs nothing up front.
        const size_t want = std::min<size_t>(limit - got, 4096);
        bytes.resize(got + want);
        const ssize_t n = ::read(fd, bytes.data() + got, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            // A directory opens but cannot be read: not a settings file.
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    bytes.resize(got);
    return bytes;
}

bool save_file_atomically(const std::string& linkOrPath, const std::string& bytes, std::string& error) {
    // Reports name the file as the caller knows it, a link's own name.
    const std::string name = split_path(linkOrPath).second;
    const auto fail_with = [&error, &name](const std::string& reason) {
        error = "Cannot save " + name + ": " + reason;
        return false;
    };
    if (name.empty()) return fail_with(error_text(EISDIR));

    // A file that is a symbolic link is saved through it: the file the link
    // leads to is replaced, within its own folder, and the link stays as it
    // is. A link that leads nowhere is not replaced by a plain file.
    std::string path = linkOrPath;
    struct stat entry;
    if (::lstat(linkOrPath.c_str(), &entry) == 0 && S_ISLNK(entry.st_mode)) {
        char* resolved = ::realpath(linkOrPath.c_str(), nullptr);
        if (!resolved) {
            const int err = errno;
            if (err != ENOENT) return fail_with(error_text(err));
            std::vector<char> to(PATH_MAX, '\0');
            const ssize_t n = ::readlink(linkOrPath.c_str(), to.data(), to.size());
            return fail_with("it links to " + std::string(to.data(), n > 0 ? static_cast<size_t>(n) : 0) +
                             ", which does not exist");
        }
        path = resolved;
        std::free(resolved);
    }
    const auto parts = split_path(path);
    const std::string& dir = parts.first;
    const std::string& targetName = parts.second;
    // EACCES from read_only_reason: the user's read-only mark; EROFS: the
    // file system's.
    const auto refuse = [&fail_with](int err) {
        return fail_with(err == EACCES ? "File is read-only" : error_text(err));
    };
    // An existing file keeps its permission bits, and one the user made
    // read-only is left as it is.
    mode_t mode = kNewFileMode;
    struct stat old;
    const bool existed = ::stat(path.c_str(), &old) == 0;
    if (existed) {
        if (const int err = read_only_reason(path, old)) return refuse(err);
        mode = old.st_mode & 0777;
    }

    // The temporary lies beside the target so that the rename stays within
    // one file system and replaces the old file in one step.
    std::string tmpl = dir + "/." + targetName + kTemporaryMarker + std::string(kRandomLength, 'X');
    std::vector<char> tmpPath(tmpl.begin(), tmpl.end());
    tmpPath.push_back('\0');
    const int fd = ::mkostemp(tmpPath.data(), O_CLOEXEC);
    if (fd < 0) return fail_with(error_text(errno));

    const auto discard_with = [&](const std::string& reason) {
        ::unlink(tmpPath.data());
        return fail_with(reason);
    };
    const auto discard = [&](int err) { return discard_with(error_text(err)); };

    // Short writes are resumed; EFBIG (file size limit), ENOSPC and EIO end
    // the save here with the old file untouched.
    if (!write_all(fd, bytes.data(), bytes.size())) {
        const int err = errno;
        ::close(fd);
        return discard(err);
    }
    if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        return discard(err);
    }
    if (::close(fd) != 0) return discard(errno);

    if (before_rename_hook()) before_rename_hook()();

    // The file may have been made read-only while the new bytes were being
    // written; it is still not replaced then.
    struct stat now;
    if (::stat(path.c_str(), &now) == 0) {
        if (const int err = read_only_reason(path, now)) {
            ::unlink(tmpPath.data());
            return refuse(err);
        }
    }

    if (::rename(tmpPath.data(), path.c_str()) != 0) return discard(errno);

    // Make the rename itself durable. The new file is already in place, so
    // a file system that cannot sync directories is not an error here.
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    error.clear();
    return true;
}

bool remove_file(const std::string& path, std::string& error) {
    if (::unlink(path.c_str()) != 0) {
        error = "Cannot delete " + split_path(path).second + ": " + error_text(errno);
        return false;
    }
    error.clear();
    return true;
}

bool rename_file(const std::string& from, const std::string& to, std::string& error) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        error = "Cannot move " + split_path(from).second + ": " + error_text(errno);
        return false;
    }
    error.clear();
    return true;
}

bool file_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::optional<std::string> temporary_target(const std::string& fileName) {
    // "." + target + marker + random part, with a target of one character
    // or more.
    const size_t fixed = 1 + kTemporaryMarkerLength + kRandomLength;
    if (fileName.size() <= fixed || fileName[0] != '.') return std::nullopt;
    const size_t markerAt = fileName.size() - kRandomLength - kTemporaryMarkerLength;
    if (fileName.compare(markerAt, kTemporaryMarkerLength, kTemporaryMarker) != 0) return std::nullopt;
    for (size_t i = fileName.size() - kRandomLength; i < fileName.size(); ++i) {
        if (!std::isalnum(static_cast<unsigned char>(fileName[i]))) return std::nullopt;
    }
    return fileName.substr(1, markerAt - 1);
}

int remove_leftover_temporaries(const std::string& dir, const std::function<bool(const std::string&)>& isOurFile,
                                std::string& error) {
    error.clear();
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        error = "Cannot clean " + dir + ": " + error_text(errno);
        return 0;
    }
    // Names first, removal after: the listing is not disturbed by it.
    std::vector<std::string> leftovers;
    while (const dirent* entry = ::readdir(d)) {
        const std::string name = entry->d_name;
        const auto target = temporary_target(name);
        if (!target || !isOurFile || !isOurFile(*target)) continue;
        // Only plain files: never a directory or a link that merely carries
        // such a name.
        struct stat st;
        if (::fstatat(::dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            leftovers.push_back(name);
    }
    ::closedir(d);

    int removed = 0;
    for (const std::string& name : leftovers) {
        const std::string path = dir + "/" + name;
        if (::unlink(path.c_str()) == 0) {
            ++removed;
        } else if (error.empty()) {
            error = "Cannot delete " + name + ": " + error_text(errno);
        }
    }
    return removed;
}

std::vector<std::string> files_with_prefix(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (const dirent* entry = ::readdir(d)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        struct stat st;
        if (::fstatat(::dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            names.push_back(name);
    }
    ::closedir(d);
    return names;
}

void set_before_rename_hook(std::function<void()> hook) { before_rename_hook() = std::move(hook); }

}  // namespace corvell
