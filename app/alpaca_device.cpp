#include "app/alpaca_device.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "network/alpaca_server.h"
#include "storage/codepage.h"

bool EngineFocuser::communicating() const { return engine_.communication_problem().empty(); }

std::string EngineFocuser::communicationProblem() const { return engine_.communication_problem(); }

std::optional<long> EngineFocuser::position() const { return engine_.position(); }

bool EngineFocuser::moving() const { return engine_.moving(); }

long EngineFocuser::maxTravel() const { return engine_.max_travel(); }

// The profile keeps the scale as a float: read back as the decimal it was
// entered as, so that 0.000125 inches gives a step size of 3.175 microns and
// not 3.1750001.
double EngineFocuser::inchesPerCount() const {
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", static_cast<double>(engine_.inches_per_count()));
    return std::strtod(text, nullptr);
}

// Without the blanks that pad a description in the files.
std::string EngineFocuser::focuserDescription() const {
    const std::string text = corvell::cp1252_to_utf8(engine_.focuser_description());
    const size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// A target beyond the travel stops at its end, as Alpaca's Move has it. A
// refusal because the module does not answer says why it does not, with
// its port; any other gives the reason the window would.
corvell::alpaca::MoveAnswer EngineFocuser::moveTo(long count) {
    using Verdict = corvell::alpaca::MoveAnswer::Verdict;
    const std::string reason = engine_.move_to(count, corvell::OutsideTravel::Clamp);
    if (reason.empty()) return {Verdict::Accepted, {}, engine_.last_move().number, engine_.last_move().target};
    // Refused, so nothing changed: the busy table names the same situation.
    if (engine_.refused_by(corvell::Action::MoveTo) == corvell::Situation::NotCommunicating)
        return {Verdict::NotCommunicating, engine_.communication_problem(), 0, 0};
    return {Verdict::Busy, reason, 0, 0};
}

corvell::alpaca::MoveFate EngineFocuser::moveFate(unsigned number, std::string& reason) const {
    using Fate = corvell::Engine::MoveRecord::Fate;
    const corvell::Engine::MoveRecord& last = engine_.last_move();
    // An older move had ended when the last one was accepted.
    if (number != last.number || last.fate == Fate::Made || last.fate == Fate::Halted)
        return corvell::alpaca::MoveFate::Ended;
    if (last.fate == Fate::Running) return corvell::alpaca::MoveFate::Running;
    reason = last.reason;
    return corvell::alpaca::MoveFate::NotMade;
}

void EngineFocuser::halt() { engine_.halt(); }

// Activity is three short lines high: the status in a few words there, in
// full on the Settings page.
void show_server_status_in_activity(corvell::alpaca::AlpacaServer& server, corvell::Engine& engine) {
    // A server that is off and stays off has nothing to say (every start of
    // a program that does not use it).
    auto off = std::make_shared<bool>(true);
    QObject::connect(&server, &corvell::alpaca::AlpacaServer::statusChanged, &server, [&server, &engine, off] {
        const auto& settings = server.settings();
        const std::string problem = server.problem().toStdString();
        const bool wasOff = *off;
        *off = !settings.enabled && problem.empty();
        if (*off && wasOff) return;
        std::vector<std::string> lines;
        if (server.listening())
            lines.push_back("Alpaca server on, port " + std::to_string(settings.httpPort) +
                            (!settings.localNetwork     ? " (this computer only)"
                             : settings.allowAnyAddress ? " (any address)"
                                                        : " (local network)"));
        else if (settings.enabled)
            lines.push_back("Alpaca server not listening:");
        else
            lines.push_back("Alpaca server off");
        if (!problem.empty()) lines.push_back(problem);
        engine.front_end_note(lines, !problem.empty());
    });
}
