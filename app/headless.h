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

// What the window would show, as log lines, each with its priority: each
// line of the Activity display as it changes (a failure and its reason on
// one line), the status and connection lines when they change (the port,
// device and speed when the module starts answering, and when it falls
// silent), the position when it changes while nothing moves, the focuser in
// use; the Alpaca server's clients: connects and disconnects, moves
// accepted, refused and not made; and what the engine answered for nobody
// (a question answered No, an entry or setup page cancelled), as the engine
// says it.
class HeadlessView : public QObject {
public:
    explicit HeadlessView(Core& core);

private:
    void rendered(unsigned changed);
    void logActivity(const std::vector<std::string>& lines);
    void logConnection(const std::string& connection);
    void logStatus(const std::vector<std::string>& lines);
    void logFocuser();

    Core& core_;
    std::vector<std::string> activity_;
    std::string status_, position_, connection_;
    std::string focuser_;         // the focuser line last logged
    bool communicated_ = false;   // the module has answered since the start
};

// Runs the core without a window until SIGTERM, SIGINT or SIGHUP (through
// quit_signals, installed before): the Alpaca server on (on `options`'
// alpacaPort, else on the port its settings file gives), the start-up, the
// log. The port is closed before it returns 0. An Alpaca server that cannot
// listen (its port in use) ends it at once with 1.
int run_headless(int& argc, char** argv, const CoreOptions& options);

}  // namespace corvell::app
