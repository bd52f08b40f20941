// indi_corvell_focuser: the INDI driver of the Corvell control module.
//
// indiserver starts it with no arguments and talks INDI's XML over its
// standard input and output. The core needs Qt's event loop, so the loop
// is Qt's: standard input is watched by a socket notifier, and each
// complete XML element read is handed to libindi's dispatcher, which calls
// the device's ISNew* handlers. Nothing polls: the process sleeps until the
// client, the serial line or a timer has something.
#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include <libindi/indidriver.h>
#include <libindi/lilxml.h>

#include "app/port_map.h"
#include "app/quit_signals.h"
#include "indi/corvell_driver.h"

namespace {

const char* const kUsage =
    "Usage: indi_corvell_focuser [--trace] [--data-dir DIR]\n"
    "       indi_corvell_focuser --help | --version\n"
    "An INDI driver, started by indiserver (indiserver indi_corvell_focuser); it talks\n"
    "INDI's XML on its standard input and output.\n"
    "  --trace         write every byte on the serial line, with its time and direction,\n"
    "                  to standard error (also CORVELL_TRACE=1)\n"
    "  --data-dir DIR  folder of focuser.dc1 and the focuser profiles (also CORVELL_DATA_DIR;\n"
    "                  default: $XDG_DATA_HOME/corvell-focuser or ~/.local/share/corvell-focuser)\n"
    "  -v              more of libindi's own messages on standard error\n"
    "COM1..COM5, the devices the port search tries, are set by CORVELL_COM1..CORVELL_COM5.\n";

bool flag_set(const char* name) {
    const char* v = std::getenv(name);
    return v && *v && std::strcmp(v, "0") != 0;
}

}  // namespace

int main(int argc, char** argv) {
    corvell::indi::DriverOptions options;
    options.portMap.apply_environment();
    if (const char* v = std::getenv("CORVELL_DATA_DIR"); v && *v) options.dataDir = v;
    options.trace = flag_set("CORVELL_TRACE");
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--trace") {
            options.trace = true;
        } else if (a == "--data-dir" && i + 1 < argc && *argv[i + 1]) {
            options.dataDir = argv[++i];
        } else if (a == "-v") {
            ++verbose;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::fputs("indi_corvell_focuser " CORVELL_VERSION "\n", stdout);
            return 0;
        } else {
            std::fprintf(stderr, "indi_corvell_focuser: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    me = const_cast<char*>("indi_corvell_focuser");
    // A save past the file-size limit fails like any other failed save.
    std::signal(SIGXFSZ, SIG_IGN);
    std::string error;
    if (!quit_signals::install(error)) {
        std::fprintf(stderr, "indi_corvell_focuser: cannot catch the quit signals: %s\n", error.c_str());
        return 1;
    }

    QCoreApplication app(argc, argv);
    corvell::indi::Driver driver(options);

    // The client's XML, element by element, to libindi's dispatcher. The
    // end of standard input is indiserver letting the driver go.
    LilXML* parser = newLilXML();
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&input, parser] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        char message[MAXRBUF];
        for (ssize_t i = 0; i < n; ++i) {
            XMLEle* root = readXMLEle(parser, buffer[i], message);
            if (!root) {
                if (message[0]) std::fprintf(stderr, "indi_corvell_focuser: XML error: %s\n", message);
                continue;
            }
            // Replies to pings the driver never sends are passed over.
            if (std::strcmp(tagXMLEle(root), "pingReply") != 0 && dispatch(root, message) < 0)
                std::fprintf(stderr, "indi_corvell_focuser: %s\n", message);
            delXMLEle(root);
        }
    });

    QSocketNotifier quitNotifier(quit_signals::descriptor(), QSocketNotifier::Read);
    QObject::connect(&quitNotifier, &QSocketNotifier::activated, [] {
        if (quit_signals::take() != 0) QCoreApplication::quit();
    });
    const int rc = app.exec();
    delLilXML(parser);
    return rc;
}
