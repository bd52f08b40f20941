#include "app/headless.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <csignal>
#include <cstdio>

#include "app/quit_signals.h"
#include "network/alpaca_server.h"
#include "storage/codepage.h"

namespace corvell::app {

namespace {

bool starts_with(const std::string& text, const char* start) { return text.rfind(start, 0) == 0; }

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A line of Activity that names a failure without its reason leads into
// the next: in the log they are one line.
bool leads_into_next(const std::string& line) {
    return (!line.empty() && line.back() == ':') || line == "Not communicating";
}

// Failures are errors; refusals, what they left undone and answers the
// module garbled are warnings; the rest is what happens.
LogPriority activity_priority(const std::string& line) {
    for (const char* start : {"Cannot save", "Settings not saved", "Alpaca server not listening", "Not communicating"})
        if (starts_with(line, start)) return LogPriority::Error;
    for (const char* end : {" not started", " not changed", " not sent", " not completed", " not converted"})
        if (ends_with(line, end)) return LogPriority::Warning;
    if (starts_with(line, "Cannot ") || line == "Command error" || line == "Focuser response error" ||
        line == "The port is not open")
        return LogPriority::Warning;
    for (int i = 0; i < static_cast<int>(Situation::Count); ++i)
        if (line == situation_reason(static_cast<Situation>(i))) return LogPriority::Warning;
    return LogPriority::Info;
}

LogPriority status_priority(const std::vector<std::string>& lines) {
    LogPriority p = LogPriority::Info;
    for (const std::string& l : lines) {
        if (l == "Serial Communications Timeout" || l == "Motor or Encoder Error") return LogPriority::Error;
        if (l == "Serial Frame Error" || l == "Serial Overrun Error") p = LogPriority::Warning;
    }
    return p;
}

LogPriority note_priority(alpaca::NoteLevel level) {
    switch (level) {
    case alpaca::NoteLevel::Error: return LogPriority::Error;
    case alpaca::NoteLevel::Warning: return LogPriority::Warning;
    case alpaca::NoteLevel::Info: break;
    }
    return LogPriority::Info;
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

bool blank(const std::string& text) { return text.find_first_not_of(" \t\r\n") == std::string::npos; }

}  // namespace

HeadlessView::HeadlessView(Core& core) : QObject(&core), core_(core) {
    connect(&core, &Core::rendered, this, &HeadlessView::rendered);
    connect(&core, &Core::alpacaNote, this, [this](alpaca::NoteLevel level, const QString& text) {
        core_.log(text.toStdString(), note_priority(level));
    });
    // What the engine answered for nobody, as it says it.
    connect(&core, &Core::nobodyAnswered, this, [this](const UnattendedAnswer& answer) { core_.log(answer.line); });
}

void HeadlessView::logActivity(const std::vector<std::string>& lines) {
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i];
        while (leads_into_next(line) && i + 1 < lines.size() && !lines[i + 1].empty())
            line += (line.back() == ':' ? " " : ": ") + lines[++i];
        if (!line.empty()) core_.log(line, activity_priority(line));
    }
}

// The port, device and speed are said when the module starts answering;
// losing it is a warning (the status says why), a port that does not open
// or goes away an error.
void HeadlessView::logConnection(const std::string& connection) {
    if (connection == "Communicating") {
        communicated_ = true;
        core_.log("Connection: Communicating on " + core_.engine().port_in_use());
    } else if (connection == "Not communicating") {
        core_.log("Connection: Not communicating", communicated_ ? LogPriority::Warning : LogPriority::Info);
    } else {
        core_.log("Connection: " + connection, LogPriority::Error);
    }
}

// A silent module is said with the port it was asked on.
void HeadlessView::logStatus(const std::vector<std::string>& lines) {
    std::string line = "Status: " + status_;
    if (std::find(lines.begin(), lines.end(), "Serial Communications Timeout") != lines.end())
        line += " (no answer from the control module on " + core_.engine().port_in_use() + ")";
    core_.log(line, status_priority(lines));
}

// The focuser in use, at the start and whenever it (or its travel or
// scale) changes.
void HeadlessView::logFocuser() {
    const Engine& e = core_.engine();
    if (!e.started()) return;
    std::string line = "No focuser in use: add one or choose one in the window";
    if (!core_.screen().noFocuser) {
        std::string name = cp1252_to_utf8(e.focuser_description());
        name.erase(name.find_last_not_of(' ') + 1);
        name.erase(0, name.find_first_not_of(' '));
        char scale[64] = "";
        if (e.inches_per_count() > 0) std::snprintf(scale, sizeof scale, "%.2f", 1.0 / e.inches_per_count());
        line = "Focuser in use: " + (name.empty() ? std::string("(no description)") : name) + ", maximum travel " + std::to_string(e.max_travel()) + " counts, " +
               scale + " counts per inch";
    }
    if (line == focuser_) return;
    focuser_ = line;
    core_.log(line);
}

void HeadlessView::rendered(unsigned changed) {
    const Screen& s = core_.screen();
    // Activity is shown again and again with the same lines (each poll says
    // "Waiting"): only a change is logged, line by line.
    if ((changed & kActivity) && s.activity != activity_) {
        activity_ = s.activity;
        logActivity(activity_);
    }
    // The connection, status and position lines are blank while a move or
    // a connection is under way: a blank says nothing new.
    if ((changed & kConnection) && !blank(s.connection) && s.connection != connection_) {
        connection_ = s.connection;
        logConnection(connection_);
    }
    if ((changed & kStatus) && !joined(s.status).empty() && joined(s.status) != status_) {
        status_ = joined(s.status);
        logStatus(s.status);
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
    logFocuser();
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
