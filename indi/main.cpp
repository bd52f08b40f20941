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
#include <vector>
#include <unistd.h>

#include <libindi/indidriver.h>
#include <libindi/lilxml.h>

#include "app/command_line.h"
#include "app/quit_signals.h"
#include "indi/corvell_driver.h"

int main(int argc, char** argv) {
    const CommandLine cl = parse_command_line(std::vector<std::string>(argv + 1, argv + argc), Program::Driver);
    if (!cl.error.empty()) {
        std::fprintf(stderr, "indi_corvell_focuser: %s\n%s", cl.error.c_str(), usage_text(Program::Driver).c_str());
        return 2;
    }
    if (cl.help) {
        std::fputs(usage_text(Program::Driver).c_str(), stdout);
        return 0;
    }
    if (cl.version) {
        std::fputs("indi_corvell_focuser " CORVELL_VERSION "\n", stdout);
        return 0;
    }
    verbose += cl.verbose;
    corvell::indi::DriverOptions options;
    options.portMap = cl.portMap;
    options.dataDir = cl.dataDir;
    options.trace = cl.trace;
    options.deviceName = cl.deviceName;
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
