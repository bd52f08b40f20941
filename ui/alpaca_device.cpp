#include "ui/alpaca_device.h"

#include <cstdio>
#include <cstdlib>

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

std::string EngineFocuser::focuserDescription() const {
    return corvell::cp1252_to_utf8(engine_.focuser_description());
}

std::string EngineFocuser::moveTo(long count) { return engine_.move_to(count); }

void EngineFocuser::halt() { engine_.halt(); }

void show_server_status_in_activity(corvell::alpaca::AlpacaServer& server, corvell::Engine& engine) {
    QObject::connect(&server, &corvell::alpaca::AlpacaServer::statusChanged, &server,
                     [&server, &engine](const QString& text) {
                         engine.front_end_note({"Alpaca server: " + text.toStdString()}, server.troubled());
                     });
}
