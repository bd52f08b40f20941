// Faults that a module with a real line's timing and a user's hands show:
// each test names the behaviour it guards.
#include "tests/engine/engine_rig.h"

using namespace corvell;
using namespace corvell::test;

namespace {

// A stored position in slot `n`, reached moving outward (mask bit clear).
void storeAt(Rig& r, int n, unsigned position) {
    r.setPosition(position);
    r.storeHere(n);
}

}  // namespace

TEST(EngineFaults, StartUpSendsOneIdentifySoTheStatusReplyIsTheStatus) {
    Rig r;
    r.start();
    EXPECT_EQ(r.sentFrom(0), "b");
    r.reply({'b', 'j'});
    r.reply({'t', 0x01});
    EXPECT_EQ(r.screen().status, (Lines{"OK"}));
    r.reply({'p', 0x03, 0xE8});
    EXPECT_EQ(r.screen().position, (Lines{"0.273\""}));
    EXPECT_EQ(r.sentFrom(0), "btp");
}

TEST(EngineFaults, ATerminatedGoToEndsShowingItsPosition) {
    Rig r;
    r.startCommunicating(1000);
    r.runGoTo(5000);
    r.engine.stop_go_to_pressed();
    EXPECT_FALSE(r.screen().stopGoToVisible);
    const size_t m = r.mark();
    r.pass();
    EXPECT_EQ(r.sentFrom(m), "s");
    EXPECT_EQ(r.screen().activity, (Lines{"Command terminated by user", "Waiting for command"}));
    // The module echoes the stop; the echo is not the position reply.
    r.reply({'s'});
    r.statusAndPosition(3000);
    EXPECT_EQ(r.sentFrom(m), "stp");
    EXPECT_EQ(r.screen().position, (Lines{"0.818\""}));
    EXPECT_EQ(r.engine.activeCommand, 0);

    // The go-to completed just as the stop went out: its completion byte
    // comes before the stop's echo and is passed over.
    Rig c;
    c.startCommunicating(1000);
    c.runGoTo(5000);
    c.engine.stop_go_to_pressed();
    c.pass();
    c.reply({'c'});
    EXPECT_EQ(c.engine.activeCommand, 's');
    c.reply({'s'});
    c.statusAndPosition(5000);
    EXPECT_EQ(c.screen().position, (Lines{"1.364\""}));
    EXPECT_EQ(c.screen().activity, (Lines{"Command terminated by user", "Waiting for command"}));
}

TEST(EngineFaults, TheOperatePagesStopStopsAGoToAndAHoming) {
    Rig r;
    r.startCommunicating(1000);
    r.runGoTo(5000);
    const size_t m = r.mark();
    r.engine.stop_command();
    r.pass();
    EXPECT_EQ(r.sentFrom(m), "s") << "sent at once, not queued behind the go-to";
    EXPECT_FALSE(r.screen().stopGoToVisible);
    r.reply({'s'});
    EXPECT_EQ(r.engine.activeCommand, 't');

    // Pressed before the go-to's echo: carried out as soon as it arrives.
    Rig e;
    e.startCommunicating(1000);
    e.engine.set_command_argument(5000);
    e.engine.go_to_position_command();
    e.engine.stop_command();
    const size_t me = e.mark();
    e.reply({'g'});
    EXPECT_EQ(e.sentFrom(me), "s");

    Rig h;
    h.startCommunicating(1000);
    h.engine.home_position_command();
    h.reply({'h'});
    const size_t mh = h.mark();
    h.engine.stop_command();
    h.pass();
    EXPECT_EQ(h.sentFrom(mh), "s");
    EXPECT_EQ(h.engine.activeCommand, 's');
}

TEST(EngineFaults, ActionsDuringAGoToAreRefusedAndTheGoToEndsNormally) {
    Rig r;
    r.startCommunicating(1000);
    storeAt(r, 1, 2000);
    r.runGoTo(4000);
    ASSERT_EQ(r.engine.activeCommand, 'c');
    const size_t m = r.mark();

    r.engine.StoreNClick(2);
    EXPECT_EQ(r.screen().activity, (Lines{"A Go To is in progress", "Store Position not started"}));
    r.engine.DeleteNClick(1);
    EXPECT_EQ(r.screen().activity, (Lines{"A Go To is in progress", "Delete not started"}));
    r.engine.set_zero_command();
    r.engine.go_to_command();
    r.engine.RestoreDefaultsClick();
    r.engine.GoToNClick(1);
    EXPECT_FALSE(r.screen().question.visible);
    EXPECT_FALSE(r.screen().entry.visible);
    EXPECT_EQ(r.engine.activeCommand, 'c');
    EXPECT_TRUE(r.screen().stopGoToVisible);
    r.pass();
    EXPECT_EQ(r.sentFrom(m), "");

    r.reply({'c'});
    EXPECT_FALSE(r.screen().stopGoToVisible);
    EXPECT_EQ(r.screen().activity, (Lines{"Go To completed", "Waiting for command"}));
    r.statusAndPosition(4000);
    EXPECT_EQ(r.engine.activeCommand, 0);
    EXPECT_EQ(r.engine.profile.positions[0], 2000) << "slot 1 was not deleted";
    EXPECT_EQ(r.engine.profile.positions[1], -1) << "slot 2 was not stored";
    // Polling goes on and the next go-to is not cancelled by a stale stop.
    r.advance(1500);
    EXPECT_EQ(r.engine.activeCommand, 'p');
    r.reply({'p', 0x0F, 0xA0});
    r.runGoTo(100);
    r.pass();
    EXPECT_EQ(r.engine.activeCommand, 'c');
}

TEST(EngineFaults, AConfirmationAnswersOnlyTheQuestionShown) {
    Rig r;
    r.startCommunicating(1000);
    storeAt(r, 1, 1000);
    storeAt(r, 2, 2000);
    r.engine.read_position();
    r.reply({'p', 0x0B, 0xB8});  // 3000

    r.engine.StoreNClick(1);
    ASSERT_TRUE(r.screen().question.visible);
    const int id = r.screen().question.id;
    const std::string text = r.screen().question.text;
    // A delete on another slot while the question is open changes nothing.
    r.engine.DeleteNClick(2);
    EXPECT_EQ(r.screen().question.id, id);
    EXPECT_EQ(r.screen().question.text, text);
    EXPECT_EQ(r.screen().activity, (Lines{"Answer the open question first", "Delete not started"}));
    // An answer to an older question is ignored.
    r.engine.question_answered(id - 1, false);
    EXPECT_TRUE(r.screen().question.visible);
    r.engine.question_answered(id, true);
    r.pass();
    EXPECT_EQ(r.engine.profile.positions[0], 3000) << "the overwrite that was asked about";
    EXPECT_EQ(r.engine.profile.positions[1], 2000) << "the other slot is untouched";
    // A second answer to the same question does nothing more.
    r.engine.question_answered(id, false);
    r.pass();
    EXPECT_EQ(r.engine.activeCommand, 0);
}

TEST(EngineFaults, ATimeOutDropsQueuedMotion) {
    Rig r;
    r.startCommunicating(1000);
    // The module falls silent: a poll times out and identification starts.
    r.advance(1500);
    r.advance(1500);
    ASSERT_EQ(r.screen().connection, "Not communicating");
    ASSERT_EQ(r.engine.activeCommand, 'b');
    r.engine.move_in_command();
    EXPECT_EQ(r.engine.queuedCommand, 'i');
    r.advance(1500);
    EXPECT_EQ(r.engine.queuedCommand, 0) << "dropped by the identify's time-out";
    // Communication returns: nothing moves by itself.
    const size_t m = r.mark();
    r.reply({'b', 'j'});
    r.statusAndPosition(1000);
    r.advance(100);
    EXPECT_EQ(r.sentFrom(m), "tp");
}

TEST(EngineFaults, ATimeOutBetweenTheLegsOfAStoredGoToDropsTheSecondLeg) {
    Rig r;
    r.startCommunicating(1000);
    r.engine.BacklashEnableClick(1);
    storeAt(r, 1, 3000);  // reached moving outward
    r.engine.read_position();
    r.reply({'p', 0x13, 0x88});  // 5000: the overshoot leg comes first
    const size_t m = r.mark();
    r.engine.GoToNClick(1);
    r.reply({'g'});
    r.reply({'c'});
    EXPECT_TRUE(r.screen().stopGoToVisible) << "the dialog stays up between the legs";
    r.advance(1500);  // the status read after the first leg times out
    EXPECT_FALSE(r.screen().stopGoToVisible);
    r.reply({'b', 'j'});
    r.statusAndPosition(2267);
    r.advance(100);
    EXPECT_EQ(r.goToTargets(m), (std::vector<long>{2267}));
    EXPECT_EQ(r.engine.activeCommand, 0);
}

TEST(EngineFaults, AStoredGoToKeepsItsSecondLegWhenAReadIsInFlight) {
    Rig r;
    r.startCommunicating(1000);
    r.engine.BacklashEnableClick(1);
    storeAt(r, 1, 3000);
    r.engine.read_position();
    r.reply({'p', 0x13, 0x88});  // 5000
    // The next poll is in flight as the user clicks Go To.
    r.advance(1500);
    ASSERT_EQ(r.engine.activeCommand, 'p');
    const size_t m = r.mark();
    r.engine.GoToNClick(1);
    EXPECT_EQ(r.sentFrom(m), "") << "waits for the read to end";
    r.reply({'p', 0x13, 0x88});
    r.reply({'g'});
    r.reply({'c'});
    r.statusAndPosition(2267);
    r.reply({'g'});
    r.reply({'c'});
    EXPECT_FALSE(r.screen().stopGoToVisible);
    r.statusAndPosition(3000);
    EXPECT_EQ(r.goToTargets(m), (std::vector<long>{2267, 3000}));
    EXPECT_EQ(r.screen().activity, (Lines{"Go To completed", "Waiting for command"}));
}

TEST(EngineFaults, StopBetweenTheLegsOfAStoredGoToSendsNoFurtherLeg) {
    Rig r;
    r.startCommunicating(1000);
    r.engine.BacklashEnableClick(1);
    storeAt(r, 1, 3000);
    r.setPosition(5000);
    const size_t m = r.mark();
    r.engine.GoToNClick(1);
    r.reply({'g'});
    r.reply({'c'});
    r.reply({'t', 0x01});
    // The position reply ends the exchange; the second leg waits for the
    // next pass, and Stop comes first.
    for (uint8_t b : {uint8_t('p'), uint8_t(0x08), uint8_t(0xDB)}) r.link.waiting.push_back(b);
    r.engine.ComPortDataAvailable();
    r.engine.executiveIdle();
    ASSERT_EQ(r.engine.activeCommand, 0);
    ASSERT_EQ(r.engine.queuedCommand, 'q');
    r.engine.stop_command();
    r.pass();
    r.advance(100);
    EXPECT_EQ(r.goToTargets(m), (std::vector<long>{2267}));
    EXPECT_FALSE(r.screen().stopGoToVisible);
    EXPECT_EQ(r.screen().activity, (Lines{"Command terminated by user", "Waiting for command"}));
}

TEST(EngineFaults, StopWhileAQuestionIsOpenStopsTheMotorAtOnce) {
    Rig r;
    r.startCommunicating(1000);
    r.engine.move_out_command();
    r.reply({'o'});
    r.statusAndPosition(1200);
    r.engine.set_zero_command();
    ASSERT_EQ(r.engine.activeCommand, 'a');
    const size_t m = r.mark();
    r.engine.stop_command();
    EXPECT_EQ(r.sentFrom(m), "s");
    EXPECT_TRUE(r.screen().question.visible) << "the question stays open";
    // The answer still answers the question.
    r.engine.question_answered(r.screen().question.id, false);
    r.pass();
    EXPECT_EQ(r.engine.activeCommand, 0);
    EXPECT_EQ(r.sentFrom(m), "s");
}
