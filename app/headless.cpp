#include "app/headless.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>

#include "app/quit_signals.h"
#include "network/alpaca_server.h"

namespace corvell::app {

namespace {

LogPriority note_priority(alpaca::NoteLevel level) {
    switch (level) {
    case alpaca::NoteLevel::Error: return LogPriority::Error;
    case alpaca::NoteLevel::Warning: return LogPriority::Warning;
    case alpaca::NoteLevel::Info: break;
    }
    return LogPriority::Info;
}

LogPriority log_priority(LogLevel level) {
    switch (level) {
    case LogLevel::Error: return LogPriority::Error;
    case LogLevel::Warning: return LogPriority::Warning;
    case LogLevel::Info: break;
    }
    return LogPriority::Info;
}

}  // namespace

HeadlessView::HeadlessView(Core& core) : QObject(&core) {
    connect(&core, &Core::engineLogged, this,
            [&core](const LogLine& line) { core.log(line.text, log_priority(line.level)); });
    connect(&core, &Core::alpacaNote, this, [&core](alpaca::NoteLevel level, const QString& text) {
        core.log(text.toStdString(), note_priority(level));
    });
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
    core.log("corvell-focuser " CORVELL_VERSION " without a window; data folder " + options.dataDir);
    core.attendWhilePagesOpen();
    core.start();
    // The server is the only way in: a program that cannot serve ends, and
    // a service manager tries it again later.
    if (!core.alpacaServer().listening()) {
        core.log("Ending: without a window the Alpaca server is the only way in, and it is not listening",
                 LogPriority::Error);
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
