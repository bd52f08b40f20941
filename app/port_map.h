// The device behind each of the user's port choices COM1..COM5.
#pragma once
#include <array>
#include <string>

struct PortMap {
    std::array<std::string, 5> paths{"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS3", "/dev/ttyUSB0"};
    // "com1".."com5" (any case) give their device; any other name is taken
    // as a device path itself.
    std::string resolve(const std::string& portName) const;
    // Overrides from CORVELL_COM1..CORVELL_COM5.
    void apply_environment();
};
