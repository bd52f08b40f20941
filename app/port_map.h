// The device behind each of the user's port choices COM1..COM5, and the
// program's command line.
#pragma once
#include <array>
#include <string>
#include <vector>

struct PortMap {
    std::array<std::string, 5> paths{"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS3", "/dev/ttyUSB0"};
    // "com1".."com5" (any case) give their device; any other name is taken
    // as a device path itself.
    std::string resolve(const std::string& portName) const;
    // Overrides from CORVELL_COM1..CORVELL_COM5.
    void apply_environment();
};

struct CommandLine {
    PortMap portMap;
    // The data folder chosen with --data-dir, or else CORVELL_DATA_DIR;
    // empty when neither chose one (the program then takes its default).
    std::string dataDir;
    bool simulate = false;
    bool headless = false;  // --headless: no window; the log goes to standard error
    bool trace = false;     // --trace: every byte on the line to standard error
    int alpacaPort = 0;  // --alpaca PORT: the network server on, on this port; 0 when not given
    bool help = false;
    bool version = false;
    std::string error;  // non-empty when the command line is wrong
};

// Environment first, then the command line over it.
CommandLine parse_command_line(const std::vector<std::string>& args);
std::string usage_text();
