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

CommandLine parse_command_line(const std::vector<std::string>& args) {
    CommandLine cl;
    cl.portMap.apply_environment();
    if (const char* v = std::getenv("CORVELL_DATA_DIR"); v && *v) cl.dataDir = v;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) {
                cl.error = a + " needs a value";
                return;
            }
            into = args[++i];
        };
        if (a == "--simulate") {
            cl.simulate = true;
        } else if (a == "--headless") {
            cl.headless = true;
        } else if (a == "--trace") {
            cl.trace = true;
        } else if (a == "--help" || a == "-h") {
            cl.help = true;
        } else if (a == "--version") {
            cl.version = true;
        } else if (a == "--alpaca") {
            std::string port;
            value(port);
            char* end = nullptr;
            const long n = port.empty() ? 0 : std::strtol(port.c_str(), &end, 10);
            if (cl.error.empty() && (!end || *end || n < 1 || n > 65535))
                cl.error = "--alpaca needs a port number 1..65535, not '" + port + "'";
            cl.alpacaPort = static_cast<int>(n);
        } else if (a == "--data-dir") {
            value(cl.dataDir);
        } else if (a.size() == 6 && a.compare(0, 5, "--com") == 0 && a[5] >= '1' && a[5] <= '5') {
            value(cl.portMap.paths[a[5] - '1']);
        } else {
            cl.error = "unknown option " + a;
        }
        if (!cl.error.empty()) break;
    }
    return cl;
}

std::string usage_text() {
    return "Usage: corvell-focuser [--headless] [--simulate] [--data-dir DIR] [--com1 PATH] .. [--com5 PATH]\n"
           "                       [--alpaca PORT] [--trace]\n"
           "       corvell-focuser --help | --version\n"
           "  --headless      no window: serve ASCOM Alpaca and write the Activity lines to standard\n"
           "                  error (the server on, on alpaca.cfg's port, unless --alpaca gives one)\n"
           "  --simulate      run against a built-in simulated control module (mapped to COM1)\n"
           "  --data-dir DIR  folder of focuser.dc1 and the focuser profiles (also CORVELL_DATA_DIR;\n"
           "                  default: $XDG_DATA_HOME/corvell-focuser or ~/.local/share/corvell-focuser)\n"
           "  --comN PATH     device used for COMn (also CORVELL_COMn in the environment)\n"
           "  --alpaca PORT   switch the ASCOM Alpaca network server on, on HTTP port PORT, for this run\n"
           "  --trace         write every byte on the serial line, with its time and direction, to\n"
           "                  standard error\n"
           "  --help          show this text and exit\n"
           "  --version       show the version and exit\n"
           "Defaults: COM1 /dev/ttyS0, COM2 /dev/ttyS1, COM3 /dev/ttyS2, COM4 /dev/ttyS3, COM5 /dev/ttyUSB0\n";
}
