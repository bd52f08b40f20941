// Initialization: the focuser's speed settings and maximum travel are
// written into the module, then the module re-homes. One step each
// executive pass; the homing itself is the executive's homing and
// completion states.
#pragma once
#include <string>
#include <vector>

namespace corvell {

class InitializationHost;

class Initialization {
public:
    Initialization(InitializationHost& host) : h_(host) {}
    void begin();
    // One step (the executive's pass while the settings are written).
    void step();
    // Sends one setting command with its value and arms the wait for its echo.
    void send(char letter);
    // Stop was pressed while the settings are written: the write on the line
    // may finish, then the sequence ends without homing.
    void stop() { stopped_ = true; }

private:
    // Steps, in sequenceCounter: each write, then the wait for its echo.
    enum Step {
        kWriteStop = 0,
        kWriteSpeedD = 2,
        kWriteSpeedE = 4,
        kWriteSpeedF = 6,
        kWriteMaxTravel = 8,
        kHome = 10,
    };
    void lines(const std::string& line1, const std::string& line2);
    void endStopped();

    InitializationHost& h_;
    char expected_ = 0;               // the echo the wait step expects
    std::vector<std::string> notes_;  // values sent held to the module's range
    bool stopped_ = false;
};

}  // namespace corvell
