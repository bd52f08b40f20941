// A started simulator with the program's side of its line open.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/simulator.h"
#include "tests/sim/pty_client.h"

namespace corvell::sim::test {

using Bytes = std::vector<uint8_t>;

// Counts per second used by the timing tests: slow enough that the times
// measured are well above scheduling noise, fast enough for a quick suite.
constexpr double kTestSpeed = 10000;

// A module at the test speed standing at `position`, with a short speed test.
inline SimOptions motionOptions(long position) {
    SimOptions o;
    o.countsPerSecond = kTestSpeed;
    o.startPosition = position;
    o.speedTestMs = 100;
    return o;
}

struct SimSession {
    explicit SimSession(SimOptions options = {}) : sim(options) {}

    // Use as ASSERT_NO_FATAL_FAILURE(s.open()).
    void open(speed_t speed = B9600) {
        std::string error;
        ASSERT_TRUE(sim.start(&error)) << error;
        ASSERT_FALSE(sim.slavePath().empty());
        ASSERT_TRUE(line.open(sim.slavePath(), speed)) << sim.slavePath();
    }

    // Sends `command` and reads a reply of `n` bytes (1 s limit).
    Bytes ask(const Bytes& command, size_t n) {
        EXPECT_TRUE(line.write(command));
        return line.read(n, 1000);
    }

    long readPosition() {
        const Bytes r = ask({'p'}, 3);
        EXPECT_EQ(r.size(), 3u);
        if (r.size() != 3 || r[0] != 'p') return -1;
        return r[1] * 256L + r[2];
    }

    int readStatus() {
        const Bytes r = ask({'t'}, 2);
        EXPECT_EQ(r.size(), 2u);
        if (r.size() != 2 || r[0] != 't') return -1;
        return r[1];
    }

    Simulator sim;
    PtyClient line;
};

}  // namespace corvell::sim::test
