// Command exchanges of the simulated module: replies, status bits, argument
// bytes and the line-speed check.
#include <gtest/gtest.h>

#include "tests/sim/sim_session.h"

using namespace corvell::sim;
using namespace corvell::sim::test;

namespace {

SimOptions at(long position) {
    SimOptions o;
    o.startPosition = position;
    return o;
}

}  // namespace

TEST(SimReplies, IdentifyAnswersBJ) {
    SimSession s;
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{'b', 'j'}));
    // A second identify gets the same answer: no state is left behind.
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{'b', 'j'}));
}

TEST(SimReplies, PositionIsBigEndian) {
    SimSession s(at(300));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'p'}, 3), (Bytes{'p', 0x01, 0x2C}));
    s.sim.setPosition(0x1234);
    EXPECT_EQ(s.ask({'p'}, 3), (Bytes{'p', 0x12, 0x34}));
    EXPECT_EQ(s.sim.position(), 0x1234);
}

TEST(SimReplies, StatusBits) {
    SimSession s(at(0));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.readStatus(), 0x41) << "ready and at zero";
    s.sim.setPosition(100);
    EXPECT_EQ(s.readStatus(), 0x01) << "ready only";
    s.sim.setMotorFault(true);
    EXPECT_EQ(s.readStatus(), 0x09) << "ready and motor fault";
    s.sim.setMotorFault(false);
    // At the maximum travel stop.
    EXPECT_EQ(s.ask({'w', 0x00, 0x64}, 1), (Bytes{'w'}));
    EXPECT_EQ(s.readStatus(), 0x81);
}

TEST(SimReplies, UnknownLettersAreRejected) {
    SimSession s;
    ASSERT_NO_FATAL_FAILURE(s.open());
    for (uint8_t letter : {uint8_t('q'), uint8_t('c'), uint8_t('B'), uint8_t(0x00), uint8_t('a')}) {
        EXPECT_EQ(s.ask({letter}, 1), (Bytes{'r'})) << "letter " << int(letter);
    }
    EXPECT_FALSE(s.sim.moving());
}

TEST(SimReplies, ZeroClearsTheRegister) {
    SimSession s(at(500));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'z'}, 1), (Bytes{'z'}));
    EXPECT_EQ(s.readPosition(), 0);
    EXPECT_EQ(s.readStatus(), 0x41);
}

TEST(SimArguments, SettingCommandsTakeTwoBytesAndEcho) {
    SimSession s;
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'d', 0x01, 0xA0}, 1), (Bytes{'d'}));
    EXPECT_EQ(s.ask({'e', 0x00, 0xFA}, 1), (Bytes{'e'}));
    EXPECT_EQ(s.ask({'f', 0x00, 0x32}, 1), (Bytes{'f'}));
    EXPECT_EQ(s.ask({'w', 0x01, 0x2C}, 1), (Bytes{'w'}));
    EXPECT_EQ(s.sim.maxTravel(), 300);
    // Nothing more follows the echoes.
    EXPECT_TRUE(s.line.readFor(100).empty());
}

TEST(SimArguments, ArgumentBytesAreNotCommands) {
    SimSession s;
    ASSERT_NO_FATAL_FAILURE(s.open());
    // 'b' and 'j' as argument bytes: one echo, no identify answer.
    EXPECT_EQ(s.ask({'w', 'b', 'j'}, 1), (Bytes{'w'}));
    EXPECT_TRUE(s.line.readFor(100).empty());
    EXPECT_EQ(s.sim.maxTravel(), 0x626A);
}

TEST(SimArguments, ArgumentsMayArriveInPieces) {
    SimSession s;
    ASSERT_NO_FATAL_FAILURE(s.open());
    ASSERT_TRUE(s.line.write({'w'}));
    EXPECT_TRUE(s.line.readFor(50).empty()) << "no echo before the arguments are in";
    ASSERT_TRUE(s.line.write({0x02}));
    EXPECT_TRUE(s.line.readFor(50).empty());
    ASSERT_TRUE(s.line.write({0x00}));
    EXPECT_EQ(s.line.read(1, 1000), (Bytes{'w'}));
    EXPECT_EQ(s.sim.maxTravel(), 512);
}

TEST(SimArguments, TruncatedCommandIsDropped) {
    SimSession s(at(100));
    ASSERT_NO_FATAL_FAILURE(s.open());
    ASSERT_TRUE(s.line.write({'g', 0x01}));
    // Past the module's 500 ms wait for the missing byte, by its own clock
    // from when the first argument byte arrived.
    std::vector<corvell::sim::ByteEvent> in;
    for (int i = 0; i < 1000 && (in = s.sim.received()).size() < 2; ++i) s.line.readFor(10);
    ASSERT_EQ(in.size(), 2u);
    EXPECT_TRUE(s.line.readFor(static_cast<int>(in[1].ms + 500 - s.sim.nowMs()) + 50).empty());
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{'b', 'j'})) << "the module must not still be waiting";
    EXPECT_FALSE(s.sim.moving());
    EXPECT_EQ(s.sim.position(), 100);
}

TEST(SimLineSpeed, ReadsTheSpeedTheProgramSet) {
    SimSession s;
    ASSERT_NO_FATAL_FAILURE(s.open(B2400));
    EXPECT_EQ(s.sim.lineBaud(), 2400);
    ASSERT_TRUE(s.line.setSpeed(B9600));
    EXPECT_EQ(s.sim.lineBaud(), 9600);
}

TEST(SimLineSpeed, FasterLineGetsGarbageAndNothingRuns) {
    SimOptions o = at(100);
    o.baudSwitch = 2400;
    SimSession s(o);
    ASSERT_NO_FATAL_FAILURE(s.open(B9600));
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{0x00, 0xF8}));
    ASSERT_TRUE(s.line.write({'g', 0x10, 0x00}));
    const Bytes junk = s.line.read(6, 1000);
    EXPECT_EQ(junk.size(), 6u);
    for (uint8_t b : junk) EXPECT_TRUE(b == 0x00 || b == 0xF8) << int(b);
    EXPECT_TRUE(s.line.readFor(100).empty());
    EXPECT_FALSE(s.sim.moving());
    EXPECT_EQ(s.sim.position(), 100);
    // At the right speed the same module answers.
    ASSERT_TRUE(s.line.setSpeed(B2400));
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{'b', 'j'}));
}

TEST(SimLineSpeed, SlowerLineGetsOneGarbageByte) {
    SimSession s;
    ASSERT_NO_FATAL_FAILURE(s.open(B2400));
    EXPECT_EQ(s.line.write({'b'}), true);
    EXPECT_EQ(s.line.read(1, 1000), (Bytes{0xF8}));
    EXPECT_TRUE(s.line.readFor(100).empty()) << "one byte only";
    s.sim.setBaudSwitch(2400);
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{'b', 'j'}));
}

TEST(SimLineSpeed, SpeedChangeMidCommandLeavesNoHalfCommand) {
    SimSession s(at(100));
    ASSERT_NO_FATAL_FAILURE(s.open());
    ASSERT_TRUE(s.line.write({'w'}));
    EXPECT_TRUE(s.line.readFor(30).empty());
    ASSERT_TRUE(s.line.setSpeed(B2400));
    ASSERT_TRUE(s.line.write({0x00}));
    EXPECT_EQ(s.line.read(1, 500), (Bytes{0xF8}));
    ASSERT_TRUE(s.line.setSpeed(B9600));
    // 'b' now is a command of its own, not the last argument of the 'w'.
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{'b', 'j'}));
    EXPECT_EQ(s.sim.maxTravel(), 65535);
}
