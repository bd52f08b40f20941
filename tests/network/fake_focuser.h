// A focuser for the network tests and the fuzzer: state set by the test,
// moves and halts recorded.
#pragma once
#include <algorithm>
#include <string>
#include <vector>

#include "network/focuser_device.h"

namespace corvell::alpaca {

struct FakeFocuser : FocuserDevice {
    bool talking = true;
    std::string problem = "Not communicating: COM1: /dev/ttyS0 - no such device";
    std::optional<long> pos = 1200;
    bool isMoving = false;
    long travel = 6600;
    double scale = 0.00027270746;
    std::string description = "Main scope";
    std::string refusal;      // non-empty: moves are refused with it
    std::vector<long> moves;  // the counts asked for, as the client gave them
    int halts = 0;
    MoveFate fate = MoveFate::Running;  // of the last move accepted (number moves.size())
    std::string notMade;

    bool communicating() const override { return talking; }
    std::string communicationProblem() const override { return talking ? std::string() : problem; }
    std::optional<long> position() const override { return pos; }
    bool moving() const override { return isMoving; }
    long maxTravel() const override { return travel; }
    double inchesPerCount() const override { return scale; }
    std::string focuserDescription() const override { return description; }
    MoveAnswer moveTo(long count) override {
        if (!talking) return {MoveAnswer::Verdict::NotCommunicating, problem, 0, 0};
        if (!refusal.empty()) return {MoveAnswer::Verdict::Busy, refusal, 0, 0};
        moves.push_back(count);
        isMoving = true;
        fate = MoveFate::Running;
        return {MoveAnswer::Verdict::Accepted, {}, unsigned(moves.size()), count < 0 ? 0 : std::min(count, travel)};
    }
    MoveFate moveFate(unsigned number, std::string& reason) const override {
        if (number != moves.size()) return MoveFate::Ended;
        if (fate == MoveFate::NotMade) reason = notMade;
        return fate;
    }
    void halt() override {
        ++halts;
        isMoving = false;
    }
};

}  // namespace corvell::alpaca
