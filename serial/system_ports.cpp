#include "serial/system_ports.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <set>

namespace serial_port {

namespace {

std::string baseName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Names in order, a trailing number by its value: ttyUSB2 before ttyUSB10.
bool nameOrder(const std::string& a, const std::string& b) {
    const auto split = [](const std::string& s) {
        size_t digits = s.size();
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(s[digits - 1]))) --digits;
        return std::make_pair(s.substr(0, digits), s.substr(digits));
    };
    const auto [aStem, aNumber] = split(a);
    const auto [bStem, bNumber] = split(b);
    if (aStem != bStem) return aStem < bStem;
    if (aNumber.size() != bNumber.size()) return aNumber.size() < bNumber.size();
    return aNumber < bNumber;
}

std::vector<std::string> entries(const std::string& dir, bool (*wanted)(const std::string& name)) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.' && wanted(e->d_name)) names.push_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end(), nameOrder);
    return names;
}

std::string resolved(const std::string& path) {
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) ? std::string(real) : std::string();
}

bool isUsbDevice(const std::string& name) { return startsWith(name, "ttyUSB") || startsWith(name, "ttyACM"); }

bool isListedDevice(const std::string& name) { return isUsbDevice(name) || startsWith(name, "rfcomm"); }

bool anyName(const std::string&) { return true; }

}  // namespace

std::vector<std::string> systemPorts(const std::string& devRoot) {
    std::vector<std::string> ports;
    std::set<std::string> reached;  // the devices the by-id names lead to
    const std::string byId = devRoot + "/serial/by-id";
    for (const std::string& name : entries(byId, anyName)) {
        const std::string device = resolved(byId + "/" + name);
        if (device.empty()) continue;  // a link left behind by an adapter that is gone
        ports.push_back(byId + "/" + name);
        reached.insert(device);
    }
    for (const std::string& name : entries(devRoot, isListedDevice)) {
        const std::string path = devRoot + "/" + name;
        if (!reached.count(resolved(path))) ports.push_back(path);
    }
    return ports;
}

bool isBuiltInUart(const std::string& path) {
    const std::string name = baseName(path);
    for (const char* prefix : {"ttyS", "ttyAMA"}) {
        const size_t n = std::char_traits<char>::length(prefix);
        if (startsWith(name, prefix) && name.size() > n && std::isdigit(static_cast<unsigned char>(name[n])))
            return true;
    }
    return false;
}

std::string firstPort(const std::string& choice, const std::vector<std::string>& ports) {
    struct stat st {};
    if (!choice.empty() && ::stat(choice.c_str(), &st) == 0 && !isBuiltInUart(choice)) return choice;
    for (const std::string& port : ports)
        if (port.find("/serial/by-id/") != std::string::npos || isUsbDevice(baseName(port))) return port;
    return choice;
}

}  // namespace serial_port
