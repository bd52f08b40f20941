// The focuser as the ASCOM Alpaca server sees it, over the engine: every
// answer comes from what the engine knows, and a move goes through the same
// busy rules as the window's Go To button.
#pragma once
#include <string>

#include "control/engine.h"
#include "network/focuser_device.h"

namespace corvell::alpaca {
class AlpacaServer;
}

class EngineFocuser : public corvell::alpaca::FocuserDevice {
public:
    explicit EngineFocuser(corvell::Engine& engine) : engine_(engine) {}

    bool communicating() const override;
    std::string communicationProblem() const override;
    std::optional<long> position() const override;
    bool moving() const override;
    long maxTravel() const override;
    double inchesPerCount() const override;
    std::string focuserDescription() const override;
    corvell::alpaca::MoveAnswer moveTo(long count) override;
    corvell::alpaca::MoveFate moveFate(unsigned number, std::string& reason) const override;
    void halt() override;

private:
    corvell::Engine& engine_;
};

// Shows each change of the server's status in the window's Activity display.
// A server that cannot serve (a port in use, say) keeps its line there until
// the user's next action, so that the module's start-up lines cannot hide it.
void show_server_status_in_activity(corvell::alpaca::AlpacaServer& server, corvell::Engine& engine);
