// Runs the real main window against the simulated control module over a
// pseudo-terminal, in a temporary data directory, and pumps the real event
// loop until a condition holds or a deadline passes.
#pragma once
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/simulator.h"
#include "ui/TForm1.h"

class QLineEdit;
class TSetupDialog;

namespace e2e {

// Pumps events (so the executive runs on idle) until `done` or `ms` passed.
bool waitUntil(const std::function<bool()>& done, int ms);
// Pumps events for `ms`.
void pump(int ms);
// Runs the event loop for `ms` without waking it: only the program's own
// events run, so its CPU use can be measured.
void sleepInLoop(int ms);

QStringList lines(QListWidget* list);

// Records every line ever added to a list box, so that short-lived
// messages can be asserted on.
struct LineRecorder {
    explicit LineRecorder(QListWidget* list);
    QStringList seen;
};

// CPU seconds this process has used so far.
double cpuSeconds();
// Times (ms, simulator clock) at which `letter` arrived at the module.
std::vector<double> timesOf(const corvell::sim::Simulator& sim, uint8_t letter, double after = -1);
std::string letters(const std::vector<uint8_t>& bytes);  // printable view for messages

// A TCP socket listening on a free port of 127.0.0.1: the port is in use
// until close(fd).
int listenOnFreePort(int& port);
// One request to an Alpaca server of this process, made on another thread
// while the event loop runs (the server answers from the main thread);
// returns the reply's body.
std::string alpacaRequest(int port, const std::string& method, const std::string& member, const std::string& body = "");

struct Harness {
    explicit Harness(corvell::sim::SimOptions simOptions = fastModule(), bool startSim = true);
    ~Harness();

    static corvell::sim::SimOptions fastModule();

    // Builds and shows the window on the current data directory; waits
    // until the start-up has run (not when a question comes first).
    void openWindow(bool waitForStartUp = true);
    bool emptyFolder = false;  // else an empty data directory first gets a focuser in use
    void closeWindow();
    // Waits for the first exchange chain (identify, status, position) to end.
    bool waitCommunicating(int ms = 4000);
    // Waits until the executive is idle (no exchange in progress).
    bool waitIdle(int ms = 4000);
    // A go-to runs on the module: its echo came (Activity says so), its
    // completion is awaited and nothing else is on the line.
    bool goToRunning();
    // Goes to `count` with the Operate page's entry and waits for the end.
    void goToCount(long count);
    // The targets of every go-to the module received from index `from` on.
    std::vector<long> goToTargets(size_t from) const;
    corvell::Engine& engine() { return form->engine(); }

    std::vector<uint8_t> received() const { return sim->receivedBytes(); }
    // Index of the first `letter` received at or after `from`; -1 if none.
    int indexOf(uint8_t letter, size_t from = 0) const;
    size_t receivedCount() const { return sim->receivedBytes().size(); }

    std::string path(const std::string& name) const;

    // Devices behind COM1..COM5 for the next openWindow(). By default COM1 is
    // the simulator and the others lead nowhere, so a test never touches a
    // real serial port of the machine.
    std::array<std::string, 5> ports;
    // Maps COM1 to a symbolic link in the data directory instead, pointing
    // at the simulator; relink() points it at a new simulator, as a device
    // node that comes back after an adapter was plugged in again.
    std::string useLink();
    void relink(corvell::sim::Simulator& to);

    QTemporaryDir dir;
    std::unique_ptr<corvell::sim::Simulator> sim;
    std::unique_ptr<corvell::app::Core> core;
    std::unique_ptr<TForm1> form;
};

// The user's hands on the add-focuser setup: by mouse the controls are
// clicked; by keyboard every key goes to the widget that has the keyboard
// focus, as typing does.
struct Hands {
    Harness& h;
    bool keyboard;

    TSetupDialog* dialog() const;
    // As a window manager does: the window that comes up has the keyboard,
    // and when it goes the main window has it again.
    void focusTopWindow();
    void key(int k, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    void type(const QString& text);
    // Replaces the focused edit's text (by keyboard: select all, type).
    void fill(QLineEdit* edit, const QString& text);
    void ok();
    // Back (by keyboard: its mnemonic, Alt+B).
    void back();
    // Chooses the item at `index` of the setup's choices (by keyboard: the
    // arrow keys from the focused one, then Space).
    void choose(int index);
    // Enter in an edit (the typed parameters are taken with Enter).
    void enter(QLineEdit* edit, const QString& text);
};

}  // namespace e2e
