// The command lines of the program (corvell-focuser) and of the INDI driver
// (indi_corvell_focuser): one parser for both, on QCommandLineParser, each
// program taking the options it has. The environment is read first
// (CORVELL_COM1..CORVELL_COM5, CORVELL_DATA_DIR, and CORVELL_TRACE for the
// driver, which indiserver starts without arguments); the command line wins.
#pragma once
#include <string>
#include <vector>

#include "app/port_map.h"

enum class Program { Focuser, Driver };

struct CommandLine {
    PortMap portMap;
    // The data folder chosen with --data-dir, or else CORVELL_DATA_DIR;
    // empty when neither chose one (the program then takes its default).
    std::string dataDir;
    bool simulate = false;
    bool headless = false;   // --headless: no window; the log goes to standard error
    bool trace = false;      // --trace: every byte on the line to standard error
    int alpacaPort = 0;      // --alpaca PORT: the network server on, on this port; 0 when not given
    int verbose = 0;         // the driver's -v: more of libindi's own messages
    std::string deviceName;  // the driver's -n: the INDI device's name
    bool help = false;
    bool version = false;
    std::string error;  // non-empty when the command line is wrong
};

// `args` without the program's name.
CommandLine parse_command_line(const std::vector<std::string>& args, Program program = Program::Focuser);
std::string usage_text(Program program = Program::Focuser);
