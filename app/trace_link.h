// The byte trace (--trace): a module link that passes every call on to the
// real one and writes what crossed the line, with the time and direction,
// so that a report of a module that "does not answer" comes with every byte
// that went out and every byte that came back.
//
//   2025-06-01 21:14:03.118 trace com1 open at 9600 baud (/dev/ttyUSB0)
//   2025-06-01 21:14:03.119 trace -> 67 0b b8                g..
//   2025-06-01 21:14:03.125 trace <- 67                      g
//   2025-06-01 21:14:04.410 trace <- 7e 02                   ~.  discarded
//   2025-06-01 21:14:05.002 trace com1 closed (it was at 9600 baud)
//
// Bytes that follow one another in the same direction make one line (at most
// 16 bytes a line) with the time of the first; the line is written when the
// direction changes, another event comes, or flush() is called (the core
// calls it when the line has been quiet for a moment, and before each line
// of its own log). A device that goes away while open is said once, at the
// flush after. Plain C++: the clock and the output are handed in.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "control/engine_io.h"

namespace corvell::app {

using LogClock = std::chrono::system_clock;

// "2025-06-01 21:14:03.118": local time to the millisecond, the start of
// every line the program logs to standard error.
std::string log_time(LogClock::time_point t);

// Bytes as hex pairs, then the bytes as text with a dot for anything not
// printable: "67 0b b8                g..". The text starts in the same column
// for up to 8 bytes.
std::string trace_bytes(const uint8_t* bytes, size_t count);

class TraceLink : public ModuleLink {
public:
    using Sink = std::function<void(const std::string& line)>;
    using Now = std::function<LogClock::time_point()>;
    static constexpr size_t kBytesPerLine = 16;

    // `sink` gets each finished line without its newline.
    TraceLink(ModuleLink& inner, Sink sink, Now now = &LogClock::now);
    ~TraceLink() override;

    bool open(const std::string& portName, int baud) override;
    void close() override;
    bool connected() const override { return inner_.connected(); }
    // What waits is read and traced as discarded first, then the real purge
    // drops whatever arrived after.
    void discardReceived() override;
    bool writeByte(uint8_t byte) override;
    int read(uint8_t* buffer, int max) override;
    std::string device(const std::string& portName) const override { return inner_.device(portName); }
    std::string openFailure() const override { return inner_.openFailure(); }

    // Writes the bytes collected so far as their line.
    void flush();
    // Off: calls pass on and nothing is written (what was collected is
    // written first). On from the start.
    void setEnabled(bool on);
    // Bytes are collected and not written yet.
    bool pending() const { return direction_ != Direction::none; }

private:
    enum class Direction { none, out, in };
    void add(Direction direction, const uint8_t* bytes, int count);
    void line(LogClock::time_point t, const std::string& text) const;
    void bytesLines(LogClock::time_point t, const char* arrow, const std::vector<uint8_t>& bytes,
                    const char* note) const;

    ModuleLink& inner_;
    Sink sink_;
    Now now_;
    std::string port_;  // the port name and speed of the open port
    int baud_ = 0;
    bool open_ = false;
    bool goneSaid_ = false;
    bool enabled_ = true;
    Direction direction_ = Direction::none;
    LogClock::time_point burstStart_{};
    std::vector<uint8_t> burst_;
};

}  // namespace corvell::app
