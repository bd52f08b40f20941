// Faults the simulated module can show on request, the hang-up of the line,
// and the idle cost of the simulator's thread.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include <sys/resource.h>

#include "tests/sim/sim_session.h"

using namespace corvell::sim;
using namespace corvell::sim::test;

namespace {

double cpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

}  // namespace

TEST(SimFaults, SilentModuleAnswersAndDoesNothing) {
    SimSession s(motionOptions(100));
    ASSERT_NO_FATAL_FAILURE(s.open());
    s.sim.setSilent(true);
    ASSERT_TRUE(s.line.write({'b', 't', 'p', 'i'}));
    EXPECT_TRUE(s.line.readFor(300).empty());
    EXPECT_FALSE(s.sim.moving());
    EXPECT_EQ(s.sim.position(), 100);
    EXPECT_EQ(s.sim.receivedBytes(), (Bytes{'b', 't', 'p', 'i'})) << "still recorded";
    s.sim.setSilent(false);
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{'b', 'j'}));
}

TEST(SimFaults, RejectAllAnswersROncePerCommand) {
    SimSession s(motionOptions(100));
    ASSERT_NO_FATAL_FAILURE(s.open());
    s.sim.setRejectAll(true);
    EXPECT_EQ(s.ask({'b'}, 1), (Bytes{'r'}));
    EXPECT_EQ(s.ask({'g', 0x10, 0x00}, 1), (Bytes{'r'}));
    EXPECT_TRUE(s.line.readFor(100).empty()) << "argument bytes get no answer of their own";
    EXPECT_FALSE(s.sim.moving());
    EXPECT_EQ(s.ask({'w', 0x00, 0x10}, 1), (Bytes{'r'}));
    EXPECT_EQ(s.sim.maxTravel(), 65535) << "a rejected command changes nothing";
    s.sim.setRejectAll(false);
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{'b', 'j'}));
}

TEST(SimFaults, WrongEchoStillExecutes) {
    SimSession s(motionOptions(100));
    ASSERT_NO_FATAL_FAILURE(s.open());
    s.sim.setWrongEcho(true);
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{'x', 'j'}));
    EXPECT_EQ(s.ask({'p'}, 3), (Bytes{'x', 0x00, 0x64}));
    EXPECT_EQ(s.ask({'o'}, 1), (Bytes{'x'}));
    EXPECT_TRUE(s.sim.moving());
    s.sim.setWrongEcho(false);
    EXPECT_EQ(s.ask({'s'}, 1), (Bytes{'s'}));
}

TEST(SimFaults, PartialRepliesSendOnlyTheFirstByte) {
    SimSession s(motionOptions(300));
    ASSERT_NO_FATAL_FAILURE(s.open());
    s.sim.setPartialReplies(true);
    ASSERT_TRUE(s.line.write({'p'}));
    EXPECT_EQ(s.line.read(1, 1000), (Bytes{'p'}));
    EXPECT_TRUE(s.line.readFor(100).empty());
    ASSERT_TRUE(s.line.write({'b'}));
    EXPECT_EQ(s.line.read(1, 1000), (Bytes{'b'}));
    EXPECT_TRUE(s.line.readFor(100).empty());
    EXPECT_EQ(s.ask({'z'}, 1), (Bytes{'z'})) << "one-byte replies are whole anyway";
    s.sim.setPartialReplies(false);
    EXPECT_EQ(s.ask({'p'}, 3), (Bytes{'p', 0, 0}));
}

TEST(SimFaults, NoCompletionByteAfterArrival) {
    SimSession s(motionOptions(0));
    ASSERT_NO_FATAL_FAILURE(s.open());
    s.sim.setSuppressCompletion(true);
    EXPECT_EQ(s.ask({'g', 0x03, 0xE8}, 1), (Bytes{'g'}));  // 100 ms away
    EXPECT_TRUE(s.line.readFor(250).empty());
    EXPECT_FALSE(s.sim.moving());
    EXPECT_EQ(s.readPosition(), 1000);
}

TEST(SimFaults, DelayedReplies) {
    SimSession s;
    ASSERT_NO_FATAL_FAILURE(s.open());
    s.sim.setReplyDelayMs(300);
    ASSERT_TRUE(s.line.write({'b'}));
    EXPECT_TRUE(s.line.readFor(250).empty());
    EXPECT_EQ(s.line.read(2, 5000), (Bytes{'b', 'j'}));
    // Due the processing delay and the reply delay after the command arrived.
    const ByteEvent in = s.sim.received().at(0);
    const ByteEvent out = s.sim.sent().at(0);
    EXPECT_NEAR(out.dueMs - in.ms, 2 + 300, 0.001);
    EXPECT_GE(out.ms - in.ms, 300);
}

TEST(SimFaults, NoiseGoesOutAtOnce) {
    SimSession s;
    ASSERT_NO_FATAL_FAILURE(s.open());
    s.sim.setReplyDelayMs(500);  // noise is not a reply: not delayed
    const double before = s.sim.nowMs();
    s.sim.sendNoise({0x01, 0xFF, 'j'});
    const double after = s.sim.nowMs();
    EXPECT_EQ(s.line.read(3, 5000), (Bytes{0x01, 0xFF, 'j'}));
    const auto out = s.sim.sent();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2].byte, 'j');
    // Due when it was handed to the module, not a reply delay later.
    for (const ByteEvent& e : out) {
        EXPECT_GE(e.dueMs, before);
        EXPECT_LE(e.dueMs, after);
    }
    EXPECT_TRUE(s.sim.received().empty());
}

TEST(SimFaults, HangUpEndsTheLine) {
    SimSession s;
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{'b', 'j'}));
    s.sim.hangUp();
    pollfd p{s.line.fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    uint8_t byte;
    const ssize_t r = read(s.line.fd(), &byte, 1);
    EXPECT_TRUE(r == 0 || (r < 0 && errno == EIO)) << r << " " << errno;
    const ssize_t w = write(s.line.fd(), "b", 1);
    EXPECT_EQ(w, -1);
    EXPECT_EQ(s.sim.lineBaud(), 0);
    // The model stays readable.
    EXPECT_EQ(s.sim.position(), 0);
}

TEST(SimFaults, MotorFaultBitOnlyWhileSet) {
    SimSession s(motionOptions(100));
    ASSERT_NO_FATAL_FAILURE(s.open());
    s.sim.setMotorFault(true);
    EXPECT_EQ(s.readStatus() & 0x08, 0x08);
    s.sim.setMotorFault(false);
    EXPECT_EQ(s.readStatus() & 0x08, 0);
}

TEST(SimThread, IdleAndLongMovesCostNoCpu) {
    SimSession s(motionOptions(0));
    ASSERT_NO_FATAL_FAILURE(s.open());
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{'b', 'j'}));

    double before = cpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(cpuMs() - before, 20) << "idle";

    // A two-second go-to: the thread sleeps until the arrival.
    EXPECT_EQ(s.ask({'g', 0x4E, 0x20}, 1), (Bytes{'g'}));
    before = cpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(cpuMs() - before, 20) << "moving";
    EXPECT_TRUE(s.sim.moving());

    // A hung-up line must not make the thread spin either.
    s.sim.hangUp();
    before = cpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LT(cpuMs() - before, 20) << "hung up";
}

// While bytes are on the line both ways the thread sleeps from one byte's
// time to the next. Its CPU time stays far below the 300 ms the bytes are
// on the line (about 10 ms, on a busy machine too), where a thread that
// spins while bytes are on the line uses 200 ms. The replies are read once
// they are all out, so that reading them costs next to nothing.
TEST(SimThread, ABusyLineCostsNoCpu) {
    SimSession s;
    ASSERT_NO_FATAL_FAILURE(s.open());
    const Bytes commands(100, 'b');  // about 100 ms in, 210 ms of replies out
    const double before = cpuMs();
    ASSERT_TRUE(s.line.write(commands));
    for (int i = 0; i < 200 && s.sim.sent().size() < 200; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double used = cpuMs() - before;
    const Bytes replies = s.line.read(200, 2000);
    EXPECT_LT(used, 50);
    ASSERT_EQ(replies.size(), 200u);
    for (size_t i = 0; i < replies.size(); i += 2) {
        EXPECT_EQ(replies[i], 'b') << i;
        EXPECT_EQ(replies[i + 1], 'j') << i;
    }
}

TEST(SimThread, ClosingTheProgramSideDoesNotSpin) {
    SimSession s;
    ASSERT_NO_FATAL_FAILURE(s.open());
    s.line.close();
    const double before = cpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(cpuMs() - before, 20);
    // And the line can be opened again.
    ASSERT_TRUE(s.line.open(s.sim.slavePath()));
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{'b', 'j'}));
}
