#include "storage/file_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

std::string error_text(int err) {
    return std::generic_category().message(err);
}

// Directory part and file name of a path ("." when there is no slash).
std::pair<std::string, std::string> split_path(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    if (slash == 0) return {"/", path.substr(1)};
    return {path.substr(0, slash), path.substr(slash + 1)};
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

bool save_file_atomically(const std::string& path, const std::string& bytes, std::string& error) {
    const auto parts = split_path(path);
    const std::string& dir = parts.first;
    const std::string& name = parts.second;
    const auto fail = [&error, &name](int err) {
        error = "Cannot save " + name + ": " + error_text(err);
        return false;
    };
    if (name.empty()) return fail(EISDIR);

    // The temporary lies beside the target so that the rename stays within
    // one file system and replaces the old file in one step.
    std::string tmpl = dir + "/." + name + ".tmpXXXXXX";
    std::vector<char> tmpPath(tmpl.begin(), tmpl.end());
    tmpPath.push_back('\0');
    const int fd = ::mkostemp(tmpPath.data(), O_CLOEXEC);
    if (fd < 0) return fail(errno);

    const auto discard = [&](int err) {
        ::unlink(tmpPath.data());
        return fail(err);
    };

    if (!write_all(fd, bytes.data(), bytes.size())) {
        const int err = errno;
        ::close(fd);
        return discard(err);
    }
    if (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        return discard(err);
    }
    if (::close(fd) != 0) return discard(errno);

    if (before_rename_hook()) before_rename_hook()();

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

bool file_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

void set_before_rename_hook(std::function<void()> hook) {
    before_rename_hook() = std::move(hook);
}

}  // namespace corvell
