#include "app/data_dir.h"

#include <filesystem>
#include <system_error>

bool ensure_data_dir(const std::string& dir, std::string& error) {
    namespace fs = std::filesystem;
    if (dir.empty()) {
        error = "the data directory is an empty name";
        return false;
    }
    std::error_code ec;
    const fs::file_status st = fs::status(dir, ec);
    if (fs::is_directory(st))
        return true;
    if (fs::exists(st)) {
        error = "the data directory " + dir + " exists but is not a directory";
        return false;
    }
    ec.clear();
    fs::create_directories(dir, ec);
    if (ec) {
        error = "cannot create the data directory " + dir + ": " + ec.message();
        return false;
    }
    return true;
}
