#include "app/data_dir.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace {

const char kFolderName[] = "corvell-focuser";

std::string account_home() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &found) != 0 || !found || !pw.pw_dir)
        return std::string();
    return pw.pw_dir;
}

bool is_directory(const std::string& path, bool& exists) {
    struct stat st {};
    exists = ::stat(path.c_str(), &st) == 0;
    return exists && S_ISDIR(st.st_mode);
}

}  // namespace

std::string default_data_dir(const char* xdgDataHome, const char* home, std::string& error) {
    if (xdgDataHome && xdgDataHome[0] == '/') return std::string(xdgDataHome) + "/" + kFolderName;
    std::string base = home && *home ? home : account_home();
    if (base.empty()) {
        error = "no home folder to keep the settings in (HOME is not set); choose one with --data-dir DIR";
        return std::string();
    }
    if (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/.local/share/" + kFolderName;
}

bool ensure_data_dir(const std::string& dir, std::string& error, unsigned mode) {
    if (dir.empty()) {
        error = "the data directory is an empty name";
        return false;
    }
    bool exists = false;
    if (is_directory(dir, exists)) return true;
    if (exists) {
        error = "the data directory " + dir + " exists but is not a directory";
        return false;
    }
    // Each missing folder from the top down, so that every one made gets
    // `mode`.
    for (size_t at = dir.find('/', 1);; at = dir.find('/', at + 1)) {
        const std::string part = at == std::string::npos ? dir : dir.substr(0, at);
        if (!part.empty() && part.back() != '/' && !is_directory(part, exists)) {
            if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) {
                error = "cannot create the data directory " + dir + ": " + std::generic_category().message(errno);
                return false;
            }
            if (!is_directory(part, exists)) {
                error = "cannot create the data directory " + dir + ": " + std::generic_category().message(ENOTDIR);
                return false;
            }
        }
        if (at == std::string::npos) return true;
    }
}
