#include "app/headless.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>

#include "app/quit_signals.h"
#include "network/alpaca_server.h"
#include "network/setup_page.h"

namespace corvell::app {

namespace {

// A dialog's text on one line: its line breaks as blanks, no blanks around.
std::string one_line(const std::string& text) {
    std::string line;
    for (char c : text) {
        const char d = c == '\n' || c == '\r' ? ' ' : c;
        if (d == ' ' && (line.empty() || line.back() == ' ')) continue;
        line += d;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) {
        if (l.empty()) continue;
        if (!text.empty()) text += " / ";
        text += l;
    }
    return text;
}

}  // namespace

HeadlessView::HeadlessView(Core& core) : QObject(&core), core_(core) {
    connect(&core, &Core::rendered, this, &HeadlessView::rendered);
    connect(&core, &Core::alpacaMoveRefused, this, [this](long target, const QString& reason) {
        core_.log("Alpaca move to " + std::to_string(target) + " refused: " + reason.toStdString());
    });
    connect(&core.setupPage(), &alpaca::SetupPage::attendedChanged, this, &HeadlessView::attendedChanged);
}

// The last page closed: what it left open is answered as nobody's.
void HeadlessView::attendedChanged(bool attended) {
    core_.log(attended ? "A browser page is open: questions wait for an answer there"
                       : "No browser page is open: questions are answered as nobody's");
    if (!attended) answerOpenDialogs(kAllParts);
}

void HeadlessView::rendered(unsigned changed) {
    const Screen& s = core_.screen();
    // Activity is shown again and again with the same lines (each poll says
    // "Waiting"): only a change is logged, line by line.
    if ((changed & kActivity) && s.activity != activity_) {
        activity_ = s.activity;
        for (const std::string& line : activity_)
            if (!line.empty()) core_.log(line);
    }
    // The connection, status and position lines are blank while a move or
    // a connection is under way: a blank says nothing new.
    if ((changed & kConnection) && !one_line(s.connection).empty() && s.connection != connection_) {
        connection_ = s.connection;
        core_.log("Connection: " + connection_);
    }
    if ((changed & kStatus) && !joined(s.status).empty() && joined(s.status) != status_) {
        status_ = joined(s.status);
        core_.log("Status: " + status_);
    }
    // The position while a move runs would be a line every poll; it is said
    // where the move ended, or where the module's own buttons left it.
    if ((changed & kPosition) && !joined(s.position).empty() && joined(s.position) != position_ &&
        !core_.engine().moving()) {
        position_ = joined(s.position);
        const std::optional<long> count = core_.engine().position();
        const bool inCounts = !count || position_ == std::to_string(*count);
        core_.log("Position: " + position_ + (inCounts ? "" : " (" + std::to_string(*count) + " counts)"));
    }
    answerOpenDialogs(changed);
}

// With no page open nothing here can say yes: each question is closed
// unanswered, each entry and setup page cancelled, a port search's result
// acknowledged. The answer is given from the event loop, after the engine's
// call that opened the dialog has ended.
void HeadlessView::answerOpenDialogs(unsigned changed) {
    if (core_.setupPage().attended()) return;
    const Screen& s = core_.screen();
    Engine& e = core_.engine();
    auto later = [this](auto answer) { QMetaObject::invokeMethod(this, answer, Qt::QueuedConnection); };
    if ((changed & kQuestion) && s.question.visible && s.question.id != question_) {
        const int id = question_ = s.question.id;
        core_.log("Question with no one to answer it, closed unanswered: " + one_line(s.question.text));
        later([&e, id] { e.question_closed(id); });
    }
    if ((changed & kEntry) && s.entry.visible && s.entry.id != entry_) {
        const int id = entry_ = s.entry.id;
        core_.log("Entry with no one to type in it, cancelled: " + one_line(s.entry.caption));
        later([&e, id] { e.entry_cancelled(id); });
    }
    if ((changed & kTextEntry) && s.textEntry.visible && s.textEntry.id != textEntry_) {
        const int id = textEntry_ = s.textEntry.id;
        core_.log("Description entry with no one to type in it, cancelled");
        later([&e, id] { e.text_entry_cancelled(id); });
    }
    if ((changed & kSetup) && s.setup.visible && s.setup.id != setup_) {
        const int id = setup_ = s.setup.id;
        core_.log("Setup page with no one to answer it, cancelled: " + one_line(s.setup.caption + " " + s.setup.text1));
        later([&e, id] { e.setup_cancelled(id); });
    }
    if ((changed & kAutoDetect) && s.autoDetect.visible && s.autoDetect.id != autoDetect_) {
        const int id = autoDetect_ = s.autoDetect.id;
        core_.log("Auto Detect: " + one_line(s.autoDetect.message));
        later([&e, id] { e.AutoDetectOKClick(id); });
    }
}

int run_headless(int& argc, char** argv, const CoreOptions& options) {
    QCoreApplication app(argc, argv);
    Core core(options);
    HeadlessView view(core);
    // Without a window the server is the program's only front end: it
    // serves on the command line's port, or on the one its settings give
    // (11111 unless chosen otherwise), answering whom the settings allow.
    if (options.alpacaPort == 0 && !core.alpacaServer().settings().enabled)
        core.alpacaServer().switchOnForThisRun(core.alpacaServer().settings().httpPort);
    core.alpacaServer().keepOn();
    // A page that was open before a restart connects again within moments:
    // until then someone may be there.
    core.setupPage().expectVisitors();
    core.log("corvell-focuser " CORVELL_VERSION " without a window; data folder " + options.dataDir);
    core.start();
    // The server is the only way in: a program that cannot serve ends, and
    // a service manager tries it again later.
    if (!core.alpacaServer().listening()) {
        core.log("Ending: without a window the Alpaca server is the only way in, and it is not listening");
        return 1;
    }
    core.activate();

    QSocketNotifier quitNotifier(quit_signals::descriptor(), QSocketNotifier::Read);
    QObject::connect(&quitNotifier, &QSocketNotifier::activated, [&core] {
        const int signo = quit_signals::take();
        if (signo == 0) return;
        const char* name = signo == SIGTERM ? "SIGTERM" : signo == SIGINT ? "SIGINT" : "SIGHUP";
        core.log(std::string(name) + " received, closing");
        QCoreApplication::quit();
    });
    return app.exec();
}

}  // namespace corvell::app
