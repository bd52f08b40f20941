// Motion of the simulated focuser: go-to, runs, stops, homing, push buttons,
// all timed on the steady clock.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/sim/sim_session.h"

using namespace corvell::sim;
using namespace corvell::sim::test;

namespace {

// Time of the first byte `b` in a transcript, or -1.
double timeOf(const std::vector<ByteEvent>& events, uint8_t b) {
    for (const auto& e : events)
        if (e.byte == b) return e.ms;
    return -1;
}

double lastTime(const std::vector<ByteEvent>& events) {
    return events.empty() ? -1 : events.back().ms;
}

void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

TEST(SimGoTo, EchoesThenCompletesAtTheTarget) {
    SimSession s(motionOptions(0));
    ASSERT_NO_FATAL_FAILURE(s.open());
    // 2000 counts at 10000 counts/s: 200 ms.
    EXPECT_EQ(s.ask({'g', 0x07, 0xD0}, 1), (Bytes{'g'}));
    EXPECT_TRUE(s.sim.moving());
    EXPECT_EQ(s.readStatus() & 0x01, 0) << "not ready while moving";
    EXPECT_EQ(s.line.read(1, 1000), (Bytes{'c'}));
    EXPECT_EQ(s.readPosition(), 2000);
    EXPECT_EQ(s.readStatus(), 0x01);

    const double commandIn = s.sim.received()[2].ms;   // the low byte completes 'g'
    const double echoOut = timeOf(s.sim.sent(), 'g');
    const double doneOut = timeOf(s.sim.sent(), 'c');
    EXPECT_LT(echoOut - commandIn, 50);
    EXPECT_NEAR(doneOut - commandIn, 200, 40);
}

TEST(SimGoTo, InwardAndToThePositionItIsAt) {
    SimSession s(motionOptions(3000));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'g', 0x03, 0xE8}, 1), (Bytes{'g'}));
    EXPECT_EQ(s.line.read(1, 1000), (Bytes{'c'}));
    EXPECT_EQ(s.readPosition(), 1000);
    // A go-to to where it already is completes at once.
    EXPECT_EQ(s.ask({'g', 0x03, 0xE8}, 2), (Bytes{'g', 'c'}));
}

TEST(SimGoTo, StopsAtTheMaximumTravel) {
    SimSession s(motionOptions(0));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'w', 0x03, 0xE8}, 1), (Bytes{'w'}));
    EXPECT_EQ(s.ask({'g', 0x13, 0x88}, 1), (Bytes{'g'}));   // 5000
    EXPECT_EQ(s.line.read(1, 1000), (Bytes{'c'}));
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
    EXPECT_LT(stoppedAt, 4500);
    EXPECT_GT(stoppedAt, 2000);
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
    EXPECT_EQ(s.ask({'w', 0x00, 0x64}, 1), (Bytes{'w'}));   // 100, already passed
    EXPECT_FALSE(s.sim.moving());
    const long stoppedAt = s.readPosition();
    EXPECT_GT(stoppedAt, 100);
    EXPECT_LT(stoppedAt, 2000);
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
    SimSession s(motionOptions(3000));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'h'}, 1), (Bytes{'h'}));
    // Speed-test phase: busy, still where it was.
    EXPECT_EQ(s.readStatus() & 0x01, 0);
    EXPECT_EQ(s.readPosition(), 3000);
    EXPECT_TRUE(s.sim.moving());
    EXPECT_EQ(s.line.read(1, 2000), (Bytes{'c'}));
    EXPECT_EQ(s.readPosition(), 0);
    EXPECT_EQ(s.readStatus(), 0x41);
    // 100 ms speed test + 3000 counts at 10000 counts/s.
    const double commandIn = s.sim.received()[0].ms;
    EXPECT_NEAR(timeOf(s.sim.sent(), 'c') - commandIn, 400, 50);
}

TEST(SimHoming, DrivesToTheMechanicalStopNotToRegisterZero) {
    SimSession s(motionOptions(2000));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'z'}, 1), (Bytes{'z'}));   // register 0, 2000 counts out
    s.sim.clearTranscript();
    EXPECT_EQ(s.ask({'h'}, 1), (Bytes{'h'}));
    EXPECT_EQ(s.line.read(1, 2000), (Bytes{'c'}));
    EXPECT_EQ(s.readPosition(), 0);
    EXPECT_EQ(s.readStatus(), 0x41);
    // 100 ms speed test + the 2000 counts to the stop.
    const double commandIn = s.sim.received()[0].ms;
    EXPECT_NEAR(timeOf(s.sim.sent(), 'c') - commandIn, 300, 50);
}

// 's' is echoed whatever the motor is doing; a go-to or homing it ends sends
// no completion byte, not even after the time it would have arrived.
TEST(SimStop, EndsAGoToWithAnEcho) {
    SimSession s(motionOptions(0));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'g', 0x07, 0xD0}, 1), (Bytes{'g'}));   // 2000: would complete at 200 ms
    pause(60);
    EXPECT_EQ(s.ask({'s'}, 1), (Bytes{'s'}));
    EXPECT_FALSE(s.sim.moving());
    EXPECT_TRUE(s.line.readFor(160).empty()) << "no completion after a stop";
    const long stoppedAt = s.readPosition();
    EXPECT_GT(stoppedAt, 300);
    EXPECT_LT(stoppedAt, 1900);
    EXPECT_EQ(s.readStatus(), 0x01);
}

TEST(SimStop, EndsHomingInTheSpeedTestWithAnEcho) {
    SimSession s(motionOptions(1000));   // 100 ms speed test, then 100 ms to the stop
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'h'}, 1), (Bytes{'h'}));
    pause(20);
    EXPECT_EQ(s.ask({'s'}, 1), (Bytes{'s'}));
    EXPECT_FALSE(s.sim.moving());
    EXPECT_TRUE(s.line.readFor(200).empty()) << "no completion after a stop";
    EXPECT_EQ(s.readPosition(), 1000) << "the speed test does not move the focuser";
}

TEST(SimStop, EndsTheHomingDriveWithAnEcho) {
    SimSession s(motionOptions(2500));   // the completion would come at 350 ms
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'h'}, 1), (Bytes{'h'}));
    pause(150);
    EXPECT_EQ(s.ask({'s'}, 1), (Bytes{'s'}));
    EXPECT_FALSE(s.sim.moving());
    EXPECT_TRUE(s.line.readFor(230).empty()) << "no completion after a stop";
    const long p = s.readPosition();
    EXPECT_GT(p, 200);
    EXPECT_LT(p, 2450);
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

    s.sim.pressButton(Button::In, true);
    pause(250);
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
    EXPECT_EQ(s.ask({'w', 0x00, 0x64}, 1), (Bytes{'w'}));   // 100
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
