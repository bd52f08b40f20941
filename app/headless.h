// The program without a window (--headless), for a telescope computer with
// no display: the core on QCoreApplication, no Qt GUI library loaded, the
// Alpaca server as its front end, and a log on standard error (the journal
// of a systemd service) in place of the window's displays.
#pragma once
#include <QObject>
#include <string>
#include <vector>

#include "app/core.h"

namespace corvell::app {

// What the window would show, as log lines: each line of the Activity
// display as it changes, the status and connection lines when they change,
// the position when it changes while nothing moves, and every refused
// Alpaca move; and what the engine answered for nobody (a question answered
// No, an entry or setup page cancelled), as the engine says it.
class HeadlessView : public QObject {
public:
    explicit HeadlessView(Core& core);

private:
    void rendered(unsigned changed);

    Core& core_;
    std::vector<std::string> activity_;
    std::string status_, position_, connection_;
};

// Runs the core without a window until SIGTERM, SIGINT or SIGHUP (through
// quit_signals, installed before): the Alpaca server on (on `options`'
// alpacaPort, else on the port its settings file gives), the start-up, the
// log. The port is closed before it returns 0. An Alpaca server that cannot
// listen (its port in use) ends it at once with 1.
int run_headless(int& argc, char** argv, const CoreOptions& options);

}  // namespace corvell::app
