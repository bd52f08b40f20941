#include "app/headless.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>

#include "app/quit_signals.h"
#include "network/alpaca_server.h"

namespace corvell::app {

namespace {

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) {
        if (l.empty()) continue;
        if (!text.empty()) text += " / ";
        text += l;
    }
    return text;
}

bool blank(const std::string& text) { return text.find_first_not_of(" \t\r\n") == std::string::npos; }

}  // namespace

HeadlessView::HeadlessView(Core& core) : QObject(&core), core_(core) {
    connect(&core, &Core::rendered, this, &HeadlessView::rendered);
    connect(&core, &Core::alpacaMoveRefused, this, [this](long target, const QString& reason) {
        core_.log("Alpaca move to " + std::to_string(target) + " refused: " + reason.toStdString());
    });
    // What the engine answered for nobody, as it says it.
    connect(&core, &Core::nobodyAnswered, this, [this](const UnattendedAnswer& answer) { core_.log(answer.line); });
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
    if ((changed & kConnection) && !blank(s.connection) && s.connection != connection_) {
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
