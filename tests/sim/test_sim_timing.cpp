// Timing of the simulated serial line: the line time of every byte in both
// directions, the module's processing delay, and the order in which what the
// module sends leaves.
//
// The simulator's plan is exact and is checked to the microsecond: when each
// byte arrives, when each answer is due, and that each outgoing byte starts
// when it is due or when the byte ahead of it has been written, whichever is
// later. Times that depend on how fast the machine wakes its threads (when a
// byte was really written, when the program had its reply) are checked
// against lower bounds only: on a busy machine a byte can be late, never
// early. How late it is on this machine is measured by the exchange
// benchmark (bench/), not here.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tests/sim/sim_session.h"

using namespace corvell::sim;
using namespace corvell::sim::test;

namespace {

using Clock = std::chrono::steady_clock;

// 10 bit times per byte.
constexpr double kByteMs9600 = 10000.0 / 9600;  // 1.0417 ms
constexpr double kByteMs2400 = 10000.0 / 2400;  // 4.1667 ms
constexpr double kDefaultProcessingMs = 2;

// Transcript times are exact up to the clock's rounding.
constexpr double kEps = 0.001;
constexpr int kTries = 5;

struct LineSpeed {
    int baud;
    speed_t flag;
    double byteMs;
};
constexpr LineSpeed kSpeeds[] = {{9600, B9600, kByteMs9600}, {2400, B2400, kByteMs2400}};

SimOptions switchAt(int baud, long position = 300) {
    SimOptions o = motionOptions(position);
    o.baudSwitch = baud;
    return o;
}

double msSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

// Writes `command` and reads `n` reply bytes into `got`; returns the time
// from just before the write until the last byte was read.
double timeExchange(SimSession& s, const Bytes& command, size_t n, Bytes& got) {
    const auto t0 = Clock::now();
    EXPECT_TRUE(s.line.write(command));
    got = s.line.read(n, 1000);
    return msSince(t0);
}

// What every outgoing byte obeys: it starts exactly when it is due or when
// the byte ahead of it was written, whichever is later (never before, and
// no gap after), and it is written no sooner than a full byte time after it
// started. `sent` is a whole transcript from the simulator's start.
void expectSerialized(const std::vector<ByteEvent>& sent, double byteMs) {
    for (size_t i = 0; i < sent.size(); ++i) {
        const double lineFree = i > 0 ? sent[i - 1].ms : sent[i].dueMs;
        EXPECT_NEAR(sent[i].wireMs, std::max(sent[i].dueMs, lineFree), kEps) << "byte " << i;
        EXPECT_GE(sent[i].ms - sent[i].wireMs, byteMs - kEps) << "byte " << i;
    }
}

}  // namespace

// A 'p' exchange: one byte in, the processing delay, three bytes out, at
// both line speeds.
TEST(SimLineTiming, PositionReplyTakesItsLineTime) {
    for (const LineSpeed& sp : kSpeeds) {
        SCOPED_TRACE(sp.baud);
        SimSession s(switchAt(sp.baud));
        ASSERT_NO_FATAL_FAILURE(s.open(sp.flag));
        const double least = sp.byteMs + kDefaultProcessingMs + 3 * sp.byteMs;
        for (int i = 0; i < kTries; ++i) {
            Bytes got;
            const double ms = timeExchange(s, {'p'}, 3, got);
            ASSERT_EQ(got, (Bytes{'p', 0x01, 0x2C}));
            EXPECT_GE(ms, least - kEps);
        }

        const auto in = s.sim.received();
        const auto out = s.sim.sent();
        ASSERT_EQ(in.size(), size_t(kTries));
        ASSERT_EQ(out.size(), size_t(3 * kTries));
        for (size_t i = 0; i < in.size(); ++i) {
            EXPECT_NEAR(in[i].ms - in[i].wireMs, sp.byteMs, kEps) << "line time of command " << i;
            EXPECT_NEAR(out[3 * i].dueMs - in[i].ms, kDefaultProcessingMs, kEps) << "reply " << i;
            EXPECT_GE(out[3 * i + 2].ms - out[3 * i].dueMs, 3 * sp.byteMs - kEps) << "reply " << i;
        }
        expectSerialized(out, sp.byteMs);
    }
}

TEST(SimLineTiming, BytesWrittenTogetherArriveOneByteTimeApart) {
    for (const LineSpeed& sp : kSpeeds) {
        SCOPED_TRACE(sp.baud);
        SimSession s(switchAt(sp.baud));
        ASSERT_NO_FATAL_FAILURE(s.open(sp.flag));
        Bytes got;
        const double ms = timeExchange(s, {'w', 0x01, 0x2C}, 1, got);
        ASSERT_EQ(got, (Bytes{'w'}));
        EXPECT_GE(ms, 3 * sp.byteMs + kDefaultProcessingMs + sp.byteMs - kEps);

        const auto in = s.sim.received();
        ASSERT_EQ(in.size(), 3u);
        EXPECT_NEAR(in[0].ms - in[0].wireMs, sp.byteMs, kEps);
        for (size_t i = 1; i < in.size(); ++i) {
            EXPECT_NEAR(in[i].ms, std::max(in[i].wireMs, in[i - 1].ms) + sp.byteMs, kEps) << i;
            EXPECT_GE(in[i].ms - in[i - 1].ms, sp.byteMs - kEps) << i;
        }
        // Nothing is answered before the last argument byte has arrived.
        EXPECT_NEAR(s.sim.sent().at(0).dueMs - in[2].ms, kDefaultProcessingMs, kEps);
        EXPECT_EQ(s.sim.maxTravel(), 300);
    }
}

// The go-to starts when its last argument byte arrives: the completion is
// due exactly the travel time after that, not after the letter was written.
TEST(SimLineTiming, GoToStartsWhenItsArgumentsHaveArrived) {
    SimSession s(switchAt(2400, 0));
    ASSERT_NO_FATAL_FAILURE(s.open(B2400));
    ASSERT_TRUE(s.line.write({'g', 0x03, 0xE8}));  // 1000 counts: 100 ms
    EXPECT_EQ(s.line.read(2, 1000), (Bytes{'g', 'c'}));
    const auto in = s.sim.received();
    const auto out = s.sim.sent();
    ASSERT_EQ(in.size(), 3u);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_GE(in[2].ms - in[0].wireMs, 3 * kByteMs2400 - kEps);
    EXPECT_NEAR(out[0].dueMs - in[2].ms, kDefaultProcessingMs, kEps);
    EXPECT_NEAR(out[1].dueMs - in[2].ms, 1000 / kTestSpeed * 1000, 0.01);
    EXPECT_EQ(s.readPosition(), 1000);
}

TEST(SimLineTiming, ProcessingDelayIsSettable) {
    SimOptions o;
    o.processingDelayMs = 20;
    SimSession s(o);
    ASSERT_NO_FATAL_FAILURE(s.open());
    auto expectExchange = [&](double processingMs) {
        SCOPED_TRACE(processingMs);
        s.sim.clearTranscript();
        const double least = kByteMs9600 + processingMs + 2 * kByteMs9600;
        for (int i = 0; i < 3; ++i) {
            Bytes got;
            const double ms = timeExchange(s, {'b'}, 2, got);
            ASSERT_EQ(got, (Bytes{'b', 'j'}));
            EXPECT_GE(ms, least - kEps);
        }
        const auto in = s.sim.received();
        const auto out = s.sim.sent();
        ASSERT_EQ(in.size(), 3u);
        ASSERT_EQ(out.size(), 6u);
        for (size_t i = 0; i < in.size(); ++i) EXPECT_NEAR(out[2 * i].dueMs - in[i].ms, processingMs, kEps) << i;
    };
    expectExchange(20);  // from the options
    s.sim.setProcessingDelayMs(0);
    expectExchange(0);
    s.sim.setProcessingDelayMs(35);
    expectExchange(35);
    // The reply-delay fault adds to the processing delay.
    s.sim.setProcessingDelayMs(5);
    s.sim.setReplyDelayMs(30);
    expectExchange(35);
}

// Replies, the completion byte, garbage at a wrong line speed and noise all
// go through the same line: one byte at a time, each taking its line time.
TEST(SimLineTiming, EverythingTheModuleSendsTakesItsLineTime) {
    {
        SCOPED_TRACE("noise");
        SimSession s;
        ASSERT_NO_FATAL_FAILURE(s.open());
        const auto t0 = Clock::now();
        s.sim.sendNoise({0x01, 0x02, 0x03, 0x04, 0x05, 0x06});
        EXPECT_EQ(s.line.read(6, 1000), (Bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06}));
        EXPECT_GE(msSince(t0), 6 * kByteMs9600 - kEps);
        expectSerialized(s.sim.sent(), kByteMs9600);
    }
    {
        SCOPED_TRACE("garbage at a faster line speed");
        SimSession s(switchAt(2400));
        ASSERT_NO_FATAL_FAILURE(s.open(B9600));
        Bytes got;
        const double ms = timeExchange(s, {'b', 't'}, 4, got);
        EXPECT_EQ(got, (Bytes{0x00, 0xF8, 0x00, 0xF8}));
        EXPECT_GE(ms, kByteMs9600 + kDefaultProcessingMs + 4 * kByteMs9600 - kEps);
        expectSerialized(s.sim.sent(), kByteMs9600);
    }
    {
        SCOPED_TRACE("echo and completion");
        SimSession s(switchAt(2400, 500));
        ASSERT_NO_FATAL_FAILURE(s.open(B2400));
        // A go-to to where the focuser is completes on arrival; its
        // completion byte still waits for the echo to leave.
        Bytes got;
        const double ms = timeExchange(s, {'g', 0x01, 0xF4}, 2, got);
        EXPECT_EQ(got, (Bytes{'g', 'c'}));
        EXPECT_GE(ms, 3 * kByteMs2400 + kDefaultProcessingMs + 2 * kByteMs2400 - kEps);
        const auto out = s.sim.sent();
        ASSERT_EQ(out.size(), 2u);
        expectSerialized(out, kByteMs2400);
    }
}

TEST(SimLineOrder, CommandsWrittenTogetherAreAnsweredOneAfterAnother) {
    SimSession s(motionOptions(300));
    ASSERT_NO_FATAL_FAILURE(s.open());
    Bytes got;
    const double ms = timeExchange(s, {'p', 'b', 't', 'p'}, 10, got);
    EXPECT_EQ(got, (Bytes{'p', 0x01, 0x2C, 'b', 'j', 't', 0x01, 'p', 0x01, 0x2C}));
    // The replies are limited by the line, not by the commands: ten bytes
    // one after another once the first command is in and processed.
    EXPECT_GE(ms, kByteMs9600 + kDefaultProcessingMs + 10 * kByteMs9600 - kEps);
    EXPECT_TRUE(s.line.readFor(50).empty());

    const auto in = s.sim.received();
    const auto out = s.sim.sent();
    ASSERT_EQ(in.size(), 4u);
    ASSERT_EQ(out.size(), 10u);
    const size_t firstOfReply[] = {0, 3, 5, 7};
    for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(out[firstOfReply[i]].dueMs - in[i].ms, kDefaultProcessingMs, kEps) << i;
    expectSerialized(out, kByteMs9600);
    // The later replies were ready before the line was free: they waited.
    EXPECT_GT(out[3].wireMs - out[3].dueMs, kByteMs9600);
}

// A go-to of 100 counts (10 ms) followed at once by four position reads:
// the go-to ends while the replies are still queued, and its completion byte
// leaves after them, never inside a reply.
TEST(SimLineOrder, CompletionWaitsBehindRepliesAlreadyQueued) {
    SimSession s(motionOptions(0));
    ASSERT_NO_FATAL_FAILURE(s.open());
    ASSERT_TRUE(s.line.write({'g', 0x00, 0x64, 'p', 'p', 'p', 'p'}));
    const Bytes got = s.line.read(14, 1000);
    ASSERT_EQ(got.size(), 14u);
    EXPECT_EQ(got[0], 'g');
    long last = 0;
    for (size_t r = 0; r < 4; ++r) {
        const size_t i = 1 + 3 * r;
        EXPECT_EQ(got[i], 'p') << "reply " << r;
        const long position = got[i + 1] * 256L + got[i + 2];
        EXPECT_GE(position, last) << "reply " << r;
        EXPECT_LE(position, 100) << "reply " << r;
        last = position;
    }
    EXPECT_EQ(got[13], 'c');

    const auto in = s.sim.received();
    const auto out = s.sim.sent();
    ASSERT_EQ(out.size(), 14u);
    expectSerialized(out, kByteMs9600);
    EXPECT_NEAR(out[13].dueMs - in[2].ms, 10, 0.01) << "due when the go-to ended";
    EXPECT_GT(out[13].wireMs, out[13].dueMs + kByteMs9600) << "it waited for the line";
    EXPECT_EQ(s.readPosition(), 100);
}
