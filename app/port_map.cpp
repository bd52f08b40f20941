#include "app/port_map.h"

#include <cctype>
#include <cstdlib>

std::string PortMap::resolve(const std::string& portName) const {
    if (portName.size() == 4) {
        std::string lower;
        for (char c : portName) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower.compare(0, 3, "com") == 0 && lower[3] >= '1' && lower[3] <= '5') return paths[lower[3] - '1'];
    }
    return portName;
}

void PortMap::apply_environment() {
    for (int i = 0; i < 5; ++i) {
        std::string name = "CORVELL_COM" + std::to_string(i + 1);
        if (const char* v = std::getenv(name.c_str()); v && *v) paths[i] = v;
    }
}
