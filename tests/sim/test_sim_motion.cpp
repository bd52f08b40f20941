// Motion of the simulated focuser: go-to, runs, stops, homing, push buttons,
// all timed on the steady clock.
//
// Where a motion ends and when its completion is due are checked against the
// simulator's own clock: the arrival times of the commands and the due times
// of the answers in its transcript, which a busy machine does not change. A
// test that must act while a motion is still under way gives itself a motion
// that lasts many times longer than the test needs to act.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "tests/sim/sim_session.h"

using namespace corvell::sim;
using namespace corvell::sim::test;

namespace {

double lastTime(const std::vector<ByteEvent>& events) { return events.empty() ? -1 : events.back().ms; }

// The first event of byte `b`; fails the test when there is none.
ByteEvent eventOf(const std::vector<ByteEvent>& events, uint8_t b) {
    for (const auto& e : events)
        if (e.byte == b) return e;
    ADD_FAILURE() << "no byte '" << char(b) << "' in the transcript";
    return ByteEvent{-1, b};
}

void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Register value after moving for `ms` at the test speed from `from`.
long travelled(long from, double ms, int direction) { return from + direction * std::lround(ms * kTestSpeed / 1000); }

// Everything that arrives until the simulator's clock is 60 ms past `simMs`.
Bytes readUntilSimTime(SimSession& s, double simMs) {
    const int left = static_cast<int>(simMs - s.sim.nowMs()) + 60;
    return s.line.readFor(std::max(left, 60));
}

constexpr double kByteMs = 10000.0 / 9600;
constexpr double kProcessingMs = 2;
// Waits for a byte that is due in a fraction of this: only for giving up.
constexpr int kDeadlineMs = 10000;

}  // namespace

TEST(SimGoTo, EchoesThenCompletesAtTheTarget) {
    SimSession s(motionOptions(0));
    ASSERT_NO_FATAL_FAILURE(s.open());
    // 10000 counts at 10000 counts/s: 1000 ms.
    EXPECT_EQ(s.ask({'g', 0x27, 0x10}, 1), (Bytes{'g'}));
    EXPECT_TRUE(s.sim.moving());
    EXPECT_EQ(s.readStatus() & 0x01, 0) << "not ready while moving";
    EXPECT_EQ(s.line.read(1, kDeadlineMs), (Bytes{'c'}));
    EXPECT_EQ(s.readPosition(), 10000);
    EXPECT_EQ(s.readStatus(), 0x01);

    // The echo is due the processing delay after the low byte completed the
    // command, the completion the travel time after it; each leaves after
    // its line time.
    const double commandIn = s.sim.received().at(2).ms;
    const ByteEvent echo = eventOf(s.sim.sent(), 'g');
    const ByteEvent done = eventOf(s.sim.sent(), 'c');
    EXPECT_NEAR(echo.dueMs - commandIn, kProcessingMs, 0.001);
    EXPECT_NEAR(done.dueMs - commandIn, 1000, 0.01);
    EXPECT_GE(echo.ms - echo.dueMs, kByteMs - 0.001);
    EXPECT_GE(done.ms - done.dueMs, kByteMs - 0.001);
}

TEST(SimGoTo, InwardAndToThePositionItIsAt) {
    SimSession s(motionOptions(3000));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'g', 0x03, 0xE8}, 1), (Bytes{'g'}));
    EXPECT_EQ(s.line.read(1, kDeadlineMs), (Bytes{'c'}));
    EXPECT_EQ(s.readPosition(), 1000);
    // A go-to to where it already is completes at once.
    EXPECT_EQ(s.ask({'g', 0x03, 0xE8}, 2), (Bytes{'g', 'c'}));
}

TEST(SimGoTo, StopsAtTheMaximumTravel) {
    SimSession s(motionOptions(0));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'w', 0x03, 0xE8}, 1), (Bytes{'w'}));
    EXPECT_EQ(s.ask({'g', 0x13, 0x88}, 1), (Bytes{'g'}));  // 5000
    EXPECT_EQ(s.line.read(1, kDeadlineMs), (Bytes{'c'}));
    EXPECT_EQ(s.readPosition(), 1000);
    EXPECT_EQ(s.readStatus(), 0x81);
}

TEST(SimRuns, InThenStopMovesInwardAndStops) {
    SimSession s(motionOptions(5000));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'i'}, 1), (Bytes{'i'}));
    pause(100);
    EXPECT_EQ(s.ask({'s'}, 1), (Bytes{'s'})) << "a stop of a run is echoed";
    const long stoppedAt = s.readPosition();
    // Where the motor was when the 's' arrived (at the zero stop on a
    // machine slow enough to take 500 ms for it).
    const auto in = s.sim.received();
    ASSERT_GE(in.size(), 2u);
    const double ran = in[1].ms - in[0].ms;
    EXPECT_GE(ran, 100);
    EXPECT_NEAR(stoppedAt, std::max(0L, travelled(5000, ran, -1)), 1);
    EXPECT_EQ(s.readStatus(), 0x01);
    pause(50);
    EXPECT_EQ(s.readPosition(), stoppedAt);
}

TEST(SimRuns, InRunsToTheZeroStop) {
    SimSession s(motionOptions(1000));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'i'}, 1), (Bytes{'i'}));
    EXPECT_TRUE(s.line.readFor(150).empty()) << "a run sends no completion";
    EXPECT_FALSE(s.sim.moving());
    EXPECT_EQ(s.readPosition(), 0);
    EXPECT_EQ(s.readStatus(), 0x41);
}

TEST(SimRuns, MaximumTravelEndsAnOutwardRun) {
    SimSession s(motionOptions(0));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'w', 0x03, 0xE8}, 1), (Bytes{'w'}));
    EXPECT_EQ(s.ask({'o'}, 1), (Bytes{'o'}));
    EXPECT_TRUE(s.line.readFor(150).empty());
    EXPECT_FALSE(s.sim.moving());
    EXPECT_EQ(s.readPosition(), 1000);
    EXPECT_EQ(s.readStatus(), 0x81);
    // Already at the stop: another run goes nowhere.
    EXPECT_EQ(s.ask({'o'}, 1), (Bytes{'o'}));
    EXPECT_FALSE(s.sim.moving());
}

TEST(SimRuns, LoweringMaximumTravelDuringARunStopsIt) {
    SimSession s(motionOptions(0));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'o'}, 1), (Bytes{'o'}));
    pause(50);
    EXPECT_EQ(s.ask({'w', 0x00, 0x64}, 1), (Bytes{'w'}));  // 100, already passed
    EXPECT_FALSE(s.sim.moving());
    const long stoppedAt = s.readPosition();
    // Stopped where it was when the 'w' was complete.
    const auto in = s.sim.received();
    ASSERT_GE(in.size(), 4u);
    const double ran = in[3].ms - in[0].ms;
    EXPECT_GE(ran, 50);
    EXPECT_GT(stoppedAt, 100);
    EXPECT_NEAR(stoppedAt, std::min(30000L, travelled(0, ran, 1)), 1);
}

TEST(SimRuns, OutRunsToTheMechanicalStop) {
    SimOptions o = motionOptions(2500);
    o.mechanicalLength = 3000;
    SimSession s(o);
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'o'}, 1), (Bytes{'o'}));
    EXPECT_TRUE(s.line.readFor(100).empty());
    EXPECT_EQ(s.readPosition(), 3000);
    EXPECT_EQ(s.readStatus(), 0x81) << "at the outer stop";
}

TEST(SimRuns, RegisterWrapsBelowZero) {
    SimSession s(motionOptions(500));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'z'}, 1), (Bytes{'z'}));
    EXPECT_EQ(s.ask({'i'}, 1), (Bytes{'i'}));
    EXPECT_TRUE(s.line.readFor(100).empty());
    // 500 counts inward from a zeroed register: -500 in 16 bits.
    EXPECT_EQ(s.ask({'p'}, 3), (Bytes{'p', 0xFE, 0x0C}));
}

TEST(SimHoming, SpeedTestThenZeroStopThenCompletion) {
    SimOptions o = motionOptions(3000);
    o.speedTestMs = 1000;
    SimSession s(o);
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'h'}, 1), (Bytes{'h'}));
    // Speed-test phase: busy, still where it was.
    EXPECT_EQ(s.readStatus() & 0x01, 0);
    EXPECT_EQ(s.readPosition(), 3000);
    EXPECT_TRUE(s.sim.moving());
    EXPECT_EQ(s.line.read(1, kDeadlineMs), (Bytes{'c'}));
    EXPECT_EQ(s.readPosition(), 0);
    EXPECT_EQ(s.readStatus(), 0x41);
    // 1000 ms speed test + 3000 counts at 10000 counts/s.
    const double commandIn = s.sim.received().at(0).ms;
    EXPECT_NEAR(eventOf(s.sim.sent(), 'c').dueMs - commandIn, 1300, 0.01);
}

TEST(SimHoming, DrivesToTheMechanicalStopNotToRegisterZero) {
    SimSession s(motionOptions(2000));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'z'}, 1), (Bytes{'z'}));  // register 0, 2000 counts out
    s.sim.clearTranscript();
    EXPECT_EQ(s.ask({'h'}, 1), (Bytes{'h'}));
    EXPECT_EQ(s.line.read(1, kDeadlineMs), (Bytes{'c'}));
    EXPECT_EQ(s.readPosition(), 0);
    EXPECT_EQ(s.readStatus(), 0x41);
    // 100 ms speed test + the 2000 counts to the stop.
    const double commandIn = s.sim.received().at(0).ms;
    EXPECT_NEAR(eventOf(s.sim.sent(), 'c').dueMs - commandIn, 300, 0.01);
}

// 's' is echoed whatever the motor is doing; a go-to or homing it ends sends
// no completion byte, not even after the time it would have arrived. Each
// motion lasts about a second, so the stop, sent a few tens of
// milliseconds in, arrives while it runs even on a busy machine.
TEST(SimStop, EndsAGoToWithAnEcho) {
    SimSession s(motionOptions(0));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'g', 0x27, 0x10}, 1), (Bytes{'g'}));  // 10000: would complete after 1000 ms
    pause(60);
    EXPECT_EQ(s.ask({'s'}, 1), (Bytes{'s'}));
    EXPECT_FALSE(s.sim.moving());
    const auto in = s.sim.received();
    ASSERT_EQ(in.size(), 4u);
    EXPECT_TRUE(readUntilSimTime(s, in[2].ms + 1000).empty()) << "no completion after a stop";
    const long stoppedAt = s.readPosition();
    const double ran = in[3].ms - in[2].ms;
    EXPECT_GE(ran, 60);
    EXPECT_NEAR(stoppedAt, std::min(10000L, travelled(0, ran, 1)), 1);
    EXPECT_EQ(s.readStatus(), 0x01);
}

TEST(SimStop, EndsHomingInTheSpeedTestWithAnEcho) {
    SimOptions o = motionOptions(1000);
    o.speedTestMs = 1000;  // then 100 ms to the stop
    SimSession s(o);
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'h'}, 1), (Bytes{'h'}));
    pause(20);
    EXPECT_EQ(s.ask({'s'}, 1), (Bytes{'s'}));
    EXPECT_FALSE(s.sim.moving());
    const auto in = s.sim.received();
    ASSERT_EQ(in.size(), 2u);
    EXPECT_TRUE(readUntilSimTime(s, in[0].ms + 1100).empty()) << "no completion after a stop";
    EXPECT_EQ(s.readPosition(), 1000) << "the speed test does not move the focuser";
}

TEST(SimStop, EndsTheHomingDriveWithAnEcho) {
    SimSession s(motionOptions(10000));  // 100 ms speed test, then 1000 ms to the stop
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'h'}, 1), (Bytes{'h'}));
    pause(150);
    EXPECT_EQ(s.ask({'s'}, 1), (Bytes{'s'}));
    EXPECT_FALSE(s.sim.moving());
    const auto in = s.sim.received();
    ASSERT_EQ(in.size(), 2u);
    EXPECT_TRUE(readUntilSimTime(s, in[0].ms + 1100).empty()) << "no completion after a stop";
    // Driven inward from the end of the speed test until the 's' arrived.
    const double drove = in[1].ms - in[0].ms - 100;
    EXPECT_GE(drove, 50);
    const long p = s.readPosition();
    EXPECT_NEAR(p, std::max(0L, travelled(10000, drove, -1)), 1);
    EXPECT_EQ(s.readStatus() & 0x41, 0x01) << "ready, and not homed to zero";
}

TEST(SimButtons, MotorRunsWhileHeld) {
    SimSession s(motionOptions(1000));
    ASSERT_NO_FATAL_FAILURE(s.open());
    s.sim.pressButton(Button::Out, true);
    EXPECT_TRUE(s.sim.moving());
    pause(100);
    const long whileHeld = s.readPosition();
    EXPECT_GT(whileHeld, 1300);
    s.sim.pressButton(Button::Out, false);
    EXPECT_FALSE(s.sim.moving());
    const long released = s.sim.position();
    pause(50);
    EXPECT_EQ(s.readPosition(), released);
    EXPECT_EQ(s.readStatus(), 0x01);
    EXPECT_TRUE(s.line.readFor(50).empty()) << "buttons send nothing on the line";

    // Held longer than the way back to the zero stop takes.
    s.sim.pressButton(Button::In, true);
    pause(static_cast<int>(released * 1000 / kTestSpeed) + 50);
    EXPECT_EQ(s.readPosition(), 0) << "held past the zero stop";
    s.sim.pressButton(Button::In, false);
}

TEST(SimButtons, ReleasingTheOtherButtonDoesNotStop) {
    SimSession s(motionOptions(1000));
    ASSERT_NO_FATAL_FAILURE(s.open());
    s.sim.pressButton(Button::Out, true);
    s.sim.pressButton(Button::In, false);
    EXPECT_TRUE(s.sim.moving());
    s.sim.pressButton(Button::Out, false);
    EXPECT_FALSE(s.sim.moving());
}

TEST(SimButtons, ButtonsPassTheMaximumTravel) {
    SimSession s(motionOptions(0));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'w', 0x00, 0x64}, 1), (Bytes{'w'}));  // 100
    s.sim.pressButton(Button::Out, true);
    pause(100);
    s.sim.pressButton(Button::Out, false);
    EXPECT_GT(s.readPosition(), 300);
}

TEST(SimTranscript, RecordsBothDirectionsInOrder) {
    SimSession s(motionOptions(300));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{'b', 'j'}));
    pause(20);
    EXPECT_EQ(s.ask({'t'}, 2).size(), 2u);
    pause(20);
    EXPECT_EQ(s.ask({'p'}, 3), (Bytes{'p', 0x01, 0x2C}));

    EXPECT_EQ(s.sim.receivedBytes(), (Bytes{'b', 't', 'p'}));
    const auto in = s.sim.received();
    const auto out = s.sim.sent();
    ASSERT_EQ(in.size(), 3u);
    ASSERT_EQ(out.size(), 7u);
    EXPECT_GE(in[0].ms, 0);
    EXPECT_GT(in[1].ms, in[0].ms + 15);
    EXPECT_GT(in[2].ms, in[1].ms + 15);
    for (size_t i = 1; i < out.size(); ++i) EXPECT_GE(out[i].ms, out[i - 1].ms);
    // Each reply goes out after its command came in.
    EXPECT_GE(out[0].ms, in[0].ms);
    EXPECT_GE(out[2].ms, in[1].ms);
    EXPECT_GE(out[4].ms, in[2].ms);
    EXPECT_GE(s.sim.nowMs(), lastTime(out));

    s.sim.clearTranscript();
    EXPECT_TRUE(s.sim.received().empty());
    EXPECT_TRUE(s.sim.sent().empty());
}
