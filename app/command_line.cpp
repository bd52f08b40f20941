#include "app/command_line.h"

#include <QCommandLineParser>
#include <QStringList>
#include <cstdlib>
#include <cstring>

namespace {

bool flag_set(const char* name) {
    const char* v = std::getenv(name);
    return v && *v && std::strcmp(v, "0") != 0;
}

QString com_option(int n) { return "com" + QString::number(n); }

// The options `program` takes; the help texts are usage_text()'s.
void add_options(QCommandLineParser& parser, Program program) {
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.addOption({{"h", "help"}, {}});
    parser.addOption({"version", {}});
    parser.addOption({"trace", {}});
    parser.addOption({"data-dir", {}, "DIR"});
    if (program == Program::Driver) {
        parser.addOption({"v", {}});
        parser.addOption({"n", {}, "NAME"});
        return;
    }
    parser.addOption({"headless", {}});
    parser.addOption({"simulate", {}});
    parser.addOption({"alpaca", {}, "PORT"});
    for (int n = 1; n <= 5; ++n) parser.addOption({com_option(n), {}, "PATH"});
}

// An option's value; QCommandLineParser takes the last when one is given twice.
std::string value(const QCommandLineParser& parser, const QString& name) { return parser.value(name).toStdString(); }

void take_focuser_options(const QCommandLineParser& parser, CommandLine& cl) {
    cl.headless = parser.isSet("headless");
    cl.simulate = parser.isSet("simulate");
    for (int n = 1; n <= 5; ++n)
        if (parser.isSet(com_option(n))) cl.portMap.paths[n - 1] = value(parser, com_option(n));
    if (!parser.isSet("alpaca")) return;
    const std::string port = value(parser, "alpaca");
    char* end = nullptr;
    const long n = port.empty() ? 0 : std::strtol(port.c_str(), &end, 10);
    if (!end || *end || n < 1 || n > 65535) {
        cl.error = "--alpaca needs a port number 1..65535, not '" + port + "'";
        return;
    }
    cl.alpacaPort = static_cast<int>(n);
}

}  // namespace

CommandLine parse_command_line(const std::vector<std::string>& args, Program program) {
    CommandLine cl;
    cl.portMap.apply_environment();
    if (const char* v = std::getenv("CORVELL_DATA_DIR"); v && *v) cl.dataDir = v;
    if (program == Program::Driver) cl.trace = flag_set("CORVELL_TRACE");

    QCommandLineParser parser;
    add_options(parser, program);
    QStringList list{program == Program::Driver ? "indi_corvell_focuser" : "corvell-focuser"};
    for (const std::string& a : args) list << QString::fromStdString(a);
    if (!parser.parse(list)) {
        cl.error = parser.errorText().toStdString();
        return cl;
    }
    if (!parser.positionalArguments().isEmpty()) {
        cl.error = "unknown argument " + parser.positionalArguments().front().toStdString();
        return cl;
    }
    cl.help = parser.isSet("help");
    cl.version = parser.isSet("version");
    cl.trace = cl.trace || parser.isSet("trace");
    if (parser.isSet("data-dir")) cl.dataDir = value(parser, "data-dir");
    if (program == Program::Driver) {
        cl.verbose = static_cast<int>(parser.optionNames().count("v"));
        if (parser.isSet("n")) cl.deviceName = value(parser, "n");
    } else
        take_focuser_options(parser, cl);
    return cl;
}

std::string usage_text(Program program) {
    if (program == Program::Driver)
        return "Usage: indi_corvell_focuser [--trace] [--data-dir DIR] [-n NAME]\n"
               "       indi_corvell_focuser --help | --version\n"
               "An INDI driver, started by indiserver (indiserver indi_corvell_focuser); it talks\n"
               "INDI's XML on its standard input and output.\n"
               "  --trace         write every byte on the serial line, with its time and direction,\n"
               "                  to standard error (also CORVELL_TRACE=1)\n"
               "  --data-dir DIR  folder of focuser.dc1 and the focuser profiles (also CORVELL_DATA_DIR;\n"
               "                  default: $XDG_DATA_HOME/corvell-focuser or ~/.local/share/corvell-focuser)\n"
               "  -n NAME         the device's name (also INDIDEV, as indiserver passes it; default\n"
               "                  \"Corvell Focuser\")\n"
               "  -v              more of libindi's own messages on standard error\n"
               "COM1..COM5, the devices the port search tries, are set by CORVELL_COM1..CORVELL_COM5.\n";
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
