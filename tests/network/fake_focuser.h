// A focuser for the network tests and the fuzzer: state set by the test,
// moves and halts recorded.
#pragma once
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
    std::string refusal;  // non-empty: moves are refused with it
    std::vector<long> moves;
    int halts = 0;

    bool communicating() const override { return talking; }
    std::string communicationProblem() const override { return talking ? std::string() : problem; }
    std::optional<long> position() const override { return pos; }
    bool moving() const override { return isMoving; }
    long maxTravel() const override { return travel; }
    double inchesPerCount() const override { return scale; }
    std::string focuserDescription() const override { return description; }
    std::string moveTo(long count) override {
        if (!refusal.empty()) return refusal;
        moves.push_back(count);
        isMoving = true;
        return {};
    }
    void halt() override {
        ++halts;
        isMoving = false;
    }
};

}  // namespace corvell::alpaca
