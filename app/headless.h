// The program without a window (--headless), for a telescope computer with
// no display: the core on QCoreApplication, no Qt GUI library loaded, the
// Alpaca server as its front end, and a log on standard error (the journal
// of a systemd service) in place of the window's displays.
#pragma once
#include <QObject>

#include "app/core.h"

namespace corvell::app {

// The log of a program without a window, each line with its priority: the
// engine's log (what Activity says, the connection, status and position
// lines as they change, the focuser in use, what was answered for nobody),
// and the Alpaca server's clients: connects and disconnects, moves
// accepted, refused and not made.
class HeadlessView : public QObject {
public:
    explicit HeadlessView(Core& core);
};

// Runs the core without a window until SIGTERM, SIGINT or SIGHUP (through
// quit_signals, installed before): the Alpaca server on (on `options`'
// alpacaPort, else on the port its settings file gives), the start-up, the
// log. The port is closed before it returns 0. An Alpaca server that cannot
// listen (its port in use) ends it at once with 1.
int run_headless(int& argc, char** argv, const CoreOptions& options);

}  // namespace corvell::app
