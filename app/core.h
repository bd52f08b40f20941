// The program's core: the engine, the serial link to the module, the reply
// timer, the files (through the engine) and the ASCOM Alpaca server with the
// browser page. It
// runs on QCoreApplication and needs no display; the window, the headless
// log and the INDI driver attach to it as views and act only through the
// engine's operations.
//
// The core runs the executive once each time the event loop has run empty
// and is about to sleep, so the program idles without polling.
#pragma once
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "app/log_line.h"
#include "app/port_map.h"
#include "control/engine.h"

class TZComm;
class EngineFocuser;
namespace corvell::alpaca {
class AlpacaServer;
class SetupPage;
enum class NoteLevel;
}  // namespace corvell::alpaca

namespace corvell::app {

struct CoreOptions {
    PortMap portMap;
    std::string dataDir = ".";
    // The network server on, on this port, for this run; 0: as its settings say.
    int alpacaPort = 0;
    // Every byte on the line, with its time and direction, to standard error
    // (or to `traceSink`).
    bool trace = false;
    // Where the trace's lines go, one call a line, instead of standard
    // error. Set, the trace can be switched on and off while the core runs
    // (set_trace).
    std::function<void(const std::string& line)> traceSink;
    // False while nobody is there to answer the engine's questions and
    // entries (headless, INDI): the engine answers them itself
    // (Engine::set_attended).
    bool attended = true;
    // Said on the window's Settings page and in the log when a simulated
    // module answers on COM1.
    std::string simulatorNote;
};

class TraceLink;
class EnginePage;

class Core : public QObject, private EngineView {
    Q_OBJECT
public:
    explicit Core(const CoreOptions& options, QObject* parent = nullptr);
    ~Core() override;
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    Engine& engine() { return *engine_; }
    const Engine& engine() const { return *engine_; }
    const Screen& screen() const { return engine_->screen(); }
    const CoreOptions& options() const { return options_; }
    // The serial component (the window's `ComPort`) and the reply timer
    // (its `SerialTimer`).
    TZComm& port() { return *port_; }
    QTimer& replyTimer() { return timer_; }
    alpaca::AlpacaServer& alpacaServer() { return *alpaca_; }
    const alpaca::AlpacaServer& alpacaServer() const { return *alpaca_; }
    // The browser page the server serves at /setup.
    alpaca::SetupPage& setupPage();
    // Without a window: someone is there to answer while a browser page is
    // open, and for a moment after the start (a page that was open before
    // a restart connects again); otherwise the engine answers for nobody.
    // Each change is a line for the log.
    void attendWhilePagesOpen();

    // The engine's state before the start-up: "Unknown" and "Initializing"
    // shown, the configuration read; the Alpaca server starts as its
    // settings say. Views attached before this see it all.
    void start();
    // The start-up (once; later calls do nothing): the port opens, the
    // focusers are listed and the module is asked to identify itself.
    void activate();

    // One line to standard error, after the time (or, when standard error
    // is the journal, after its priority): what a front end without a
    // window logs. With the trace on, the bytes traced so far come first,
    // so the log keeps the order in which things happened.
    void log(const std::string& text, LogPriority priority = LogPriority::Info);
    // Switches the byte trace on or off; only where CoreOptions::traceSink
    // is set (otherwise the trace is as CoreOptions::trace says, for the run).
    void set_trace(bool on);

    // Carries out an action of the browser page. A typed number the engine
    // cannot read meanwhile is the page's to show: it is returned (empty
    // when none), and not told through invalidNumber, which the window
    // shows.
    std::string actForPage(const std::function<void()>& action);

signals:
    // The engine changed the parts `changed` of screen().
    void rendered(unsigned changed);
    // A number typed in the window could not be read; the value stays as
    // it was. (One typed on the browser page is told to the page alone.)
    void invalidNumber(const QString& text);
    // A line for the log from the Alpaca server: a client connected or
    // disconnected, a move accepted or refused, a move not made.
    void alpacaNote(corvell::alpaca::NoteLevel level, const QString& text);
    // The engine answered a question, an entry or a page for nobody.
    void nobodyAnswered(const corvell::UnattendedAnswer& answer);
    // A line of the engine's log.
    void engineLogged(const corvell::LogLine& line);

private:
    static void write_line(const std::string& line);
    // Standard error is the journal (log_line.h).
    const bool journal_;
    // EngineView
    void render(const Screen& screen, unsigned changed) override;
    void warnInvalidNumber(const std::string& text) override;
    void requestPass() override;
    void answeredForNobody(const UnattendedAnswer& answer) override;
    void logged(const LogLine& line) override;

    CoreOptions options_;
    TZComm* port_;
    QTimer timer_;
    std::unique_ptr<ModuleLink> link_;
    // The byte trace around link_, when it is on; the engine talks to it.
    // Its lines are written once the line has been quiet for traceGap_, so
    // that a reply whose bytes arrive one by one makes one line.
    std::unique_ptr<TraceLink> trace_;
    QTimer traceGap_;
    std::unique_ptr<ReplyTimer> replyTimer_;
    std::unique_ptr<Engine> engine_;
    // The Alpaca server, a front end beside the others; stopped before the
    // engine goes.
    std::unique_ptr<EngineFocuser> alpacaDevice_;
    std::unique_ptr<alpaca::AlpacaServer> alpaca_;
    EnginePage* page_ = nullptr;  // a child of the core
    // While a page's action is carried out: where the engine's warning goes.
    std::string* pageWarning_ = nullptr;
    bool passPending_ = false;
};

}  // namespace corvell::app
