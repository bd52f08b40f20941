// The simulated module's inner state, shared by its two halves: the module
// itself (motion, status, command parser and commands, module_model.cpp) and
// the line it answers on (the pseudo-terminal, its timing and the thread,
// simulator_line.cpp). Private to sim/.
#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/simulator.h"

namespace corvell::sim {

namespace detail {

using Clock = std::chrono::steady_clock;

// A command letter followed by two argument bytes that do not arrive within
// this time is dropped, so a truncated command cannot wedge the module.
constexpr int kArgumentTimeoutMs = 500;

// A byte on the line is 10 bit times: start bit, 8 data bits, stop bit.
constexpr long long kBitsPerByte = 10;

// Letter sent in place of the echo when the wrong-echo fault is on.
constexpr uint8_t kWrongEchoLetter = 'x';

// Status bits of the 't' reply.
constexpr uint8_t kStatusReady = 0x01;
constexpr uint8_t kStatusMotorFault = 0x08;
constexpr uint8_t kStatusAtZero = 0x40;
constexpr uint8_t kStatusAtMaximum = 0x80;

enum class MotionKind {
    None,
    Run,        // 'i' / 'o': runs to a stop or until 's'
    GoTo,       // 'g': runs to its target, then sends 'c'
    SpeedTest,  // first phase of 'h': motor busy, focuser stays put
    HomeDrive,  // second phase of 'h': inward to the zero stop, then 'c'
    Button,     // a push button held down
};

// Closes `fd` when it is open and marks it closed.
void closeFd(int& fd);

}  // namespace detail

struct Simulator::Impl {
    using Clock = detail::Clock;
    using MotionKind = detail::MotionKind;
    explicit Impl(const SimOptions& o) : opt(o) {
        if (opt.countsPerSecond <= 0) opt.countsPerSecond = 1;
        if (opt.mechanicalLength < 0) opt.mechanicalLength = 0;
        epoch = Clock::now();
        baudSwitch = opt.baudSwitch;
        processingDelayMs = std::max(0, opt.processingDelayMs);
        maxTravel = opt.maxTravel;
        placeAt(opt.startPosition);
    }

    // ---- configuration and line -------------------------------------------
    SimOptions opt;
    mutable std::mutex m;
    Clock::time_point epoch;
    int masterFd = -1;
    int slaveFd = -1;  // held open so the master never sees a hang-up
    int wakeFd = -1;
    std::string slaveName;
    std::thread thread;
    bool running = false;
    bool masterDead = false;

    // ---- switches and faults ----------------------------------------------
    int baudSwitch = 9600;
    bool silent = false;
    bool rejectAll = false;
    bool wrongEcho = false;
    bool partial = false;
    bool suppressCompletion = false;
    bool motorFault = false;
    int processingDelayMs = 2;
    int replyDelayMs = 0;

    // ---- mechanics ----------------------------------------------------------
    // Mechanical position in counts from the zero stop; the register reads
    // round(mech) + offset, kept to 16 bits on the wire.
    double mech = 0;
    long offset = 0;
    long maxTravel = 65535;
    struct Motion {
        MotionKind kind = MotionKind::None;
        double from = 0;
        double to = 0;
        Clock::time_point start;
        Clock::time_point end;
        Button button = Button::In;
    } motion;
    uint16_t settings[3] = {0, 0, 0};  // values of 'd', 'e', 'f'

    // ---- command parser -----------------------------------------------------
    uint8_t pendingLetter = 0;
    uint8_t args[2] = {0, 0};
    int argCount = 0;
    Clock::time_point argDeadline;

    // ---- line, program to module --------------------------------------------
    // Bytes read from the master that are still on their way to the module.
    // The speed is the one the program had set when it wrote them.
    struct InByte {
        Clock::time_point wire;
        Clock::time_point arrival;
        int speed;
        uint8_t byte;
    };
    std::deque<InByte> in;
    Clock::time_point lastArrival{};

    // ---- line, module to program ----------------------------------------------
    // Bytes waiting for the line, ordered by the time they are due (equal
    // times keep their order), and the one byte on the line now.
    struct OutByte {
        Clock::time_point due;
        uint8_t byte;
    };
    std::deque<OutByte> out;
    struct Transmission {
        OutByte b;
        Clock::time_point start;
        Clock::time_point end;
    };
    std::optional<Transmission> tx;
    Clock::time_point lineFree{};       // when the previous byte was written to the master
    Clock::time_point lastAnswerDue{};  // due time of the latest answer, to keep answers in order

    // ---- transcript -------------------------------------------------------------
    std::vector<ByteEvent> receivedLog;
    std::vector<ByteEvent> sentLog;

    double msAt(Clock::time_point t) const;

    // ---- model --------------------------------------------------------------
    void placeAt(long registerValue);

    double mechAt(Clock::time_point now) const;

    long registerAt(Clock::time_point now) const;

    // Furthest mechanical position an outward command may reach from `cur`:
    // the outer stop or the maximum travel stop, whichever comes first, and
    // never behind where the focuser already is.
    double outwardLimit(double cur) const;

    void startMotion(MotionKind kind, double target, Clock::time_point now);
    void stopMotion(Clock::time_point now);

    bool movingAt(Clock::time_point now) const;

    // Carries motion forward to `now`: ends runs at their stops, chains the
    // homing phases and queues the completion byte of go-tos and homing.
    // Returns true when it queued output.
    bool advance(Clock::time_point now);

    // After the maximum travel or the register changed: an outward run or
    // go-to that is now past its limit ends at the new limit.
    void applyLimits(Clock::time_point now);

    uint8_t statusByte(Clock::time_point now) const;

    // ---- output ---------------------------------------------------------------
    void enqueue(uint8_t byte, Clock::time_point due);

    // The module's own output (replies, garbage, completion bytes) leaves in
    // the order the module produced it, even when a later answer would be
    // due earlier (a reply delay changed in between, a go-to that completes
    // before its echo is out).
    void answer(uint8_t byte, Clock::time_point due);

    // Answers a command whose last byte arrived at `at`: the module starts
    // answering after its processing time, and the reply-delay fault adds to
    // that.
    void send(const std::vector<uint8_t>& bytes, Clock::time_point at);
    void reply(std::vector<uint8_t> bytes, Clock::time_point at);
    bool complete(Clock::time_point at);

    // Moves the outgoing line forward to `now`: a byte starts its
    // transmission when it is due and the previous byte has been written, and
    // is written to the master when its transmission ends. So the program
    // never reads a byte sooner than one byte time after the one before.
    // Returns true when the master is full and the rest must wait for POLLOUT.
    bool pump(Clock::time_point now);

    // ---- input ----------------------------------------------------------------
    int lineSpeed() const;

    int lineBaudOrSwitch() const;

    void resetParser();

    // Bytes the program wrote, read from the master at `readAt`. Each one
    // needs its line time after the previous one has arrived.
    void take(const uint8_t* data, size_t n, Clock::time_point readAt);

    // Brings the module up to `now`: every byte that has arrived by then is
    // parsed and executed at its arrival time, in order, with the motor
    // carried forward between them. Returns true when anything happened.
    bool settle(Clock::time_point now);
    void receive(const InByte& b);
    void execute(uint8_t letter, uint16_t value, Clock::time_point now);

    // ---- thread -----------------------------------------------------------------
    void wake();
    void run();
    void shutdown();
};

}  // namespace corvell::sim
