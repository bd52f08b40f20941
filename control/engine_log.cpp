// The engine's log: what it says, line by line and with how grave it is,
// for a front end that keeps a log in place of a screen.
#include <cstdio>

#include "control/engine.h"
#include "storage/codepage.h"

namespace corvell {

namespace {

bool blank(const std::string& text) { return text.find_first_not_of(" \t\r\n") == std::string::npos; }

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) {
        if (blank(l)) continue;
        if (!text.empty()) text += " / ";
        text += l;
    }
    return text;
}

// A line of Activity that names a failure without its reason leads into
// the next: in the log they are one line.
bool leads_into_next(const std::string& line) {
    return (!line.empty() && line.back() == ':') || line == "Not communicating";
}

}  // namespace

// A motor or encoder fault is an error, a garbled byte on the module's side
// a warning.
LogLevel status_level(uint8_t status) {
    if (status & 0x08) return LogLevel::Error;
    if (status & 0x06) return LogLevel::Warning;
    return LogLevel::Info;
}

void Engine::log(LogLevel level, const std::string& text) { view_.logged(LogLine{level, text}); }

// Activity as it is said: only a change (each poll may say the same again).
void Engine::log_activity(const std::vector<std::string>& lines, LogLevel level) {
    if (lines == loggedActivity_) return;
    loggedActivity_ = lines;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i];
        while (leads_into_next(line) && i + 1 < lines.size() && !blank(lines[i + 1]))
            line += (line.back() == ':' ? " " : ": ") + lines[++i];
        if (!blank(line)) log(level, line);
    }
}

// The port, device and speed are said when the module starts answering;
// losing it is a warning (the status says why), a port that does not open
// or goes away an error. A blank line (a connection under way) says nothing.
void Engine::log_connection(const std::string& connection) {
    if (blank(connection)) return;
    LogLevel level = LogLevel::Error;
    std::string line = "Connection: " + connection;
    if (connection == "Communicating") {
        level = LogLevel::Info;
        line += " on " + port_in_use();
    } else if (connection == "Not communicating") {
        level = loggedCommunicating_ ? LogLevel::Warning : LogLevel::Info;
    }
    if (line == loggedConnection_) return;  // the same again after a blank
    loggedConnection_ = line;
    loggedCommunicating_ = loggedCommunicating_ || connection == "Communicating";
    log(level, line);
}

// A silent module is said with the port it was asked on.
void Engine::log_status(const std::vector<std::string>& lines, LogLevel level) {
    const std::string text = joined(lines);
    if (text.empty()) return;
    std::string line = "Status: " + text;
    if (!lines.empty() && lines[0] == "Serial Communications Timeout")
        line += " (no answer from the control module on " + port_in_use() + ")";
    if (line == loggedStatus_) return;  // the same again after a blank
    loggedStatus_ = line;
    log(level, line);
}

// The position while a move runs would be a line every poll: it is said
// where the move ended, or where the module's own buttons left it.
void Engine::log_at_rest() {
    const std::string position = joined(screen_.position);
    if (!moving_ && !position.empty() && screen_.position != loggedPosition_) {
        loggedPosition_ = screen_.position;
        const std::optional<long> count = this->position();
        const bool inCounts =
            !count || position == std::to_string(*count) || position == std::to_string(*count) + " counts";
        log(LogLevel::Info, "Position: " + position + (inCounts ? "" : " (" + std::to_string(*count) + " counts)"));
    }
    if (!started_) return;
    std::string focuser = "No focuser in use: add one or choose one";
    if (!screen_.noFocuser) {
        std::string name = cp1252_to_utf8(profile_.description);
        name.erase(name.find_last_not_of(' ') + 1);
        name.erase(0, name.find_first_not_of(' '));
        char scale[64] = "";
        if (profile_.inchesPerCount > 0) std::snprintf(scale, sizeof scale, "%.2f", 1.0 / profile_.inchesPerCount);
        focuser = "Focuser in use: " + (name.empty() ? std::string("(no description)") : name) + ", maximum travel " +
                  std::to_string(profile_.maxTravel) + " counts, " + scale + " counts per inch";
    }
    if (focuser == loggedFocuser_) return;
    loggedFocuser_ = focuser;
    log(LogLevel::Info, focuser);
}

}  // namespace corvell
