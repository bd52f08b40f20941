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
    const size_t m = r.mark();
    r.engine.stop_go_to_pressed();
    EXPECT_FALSE(r.screen().stopGoToVisible);
    EXPECT_EQ(r.sentFrom(m), "s") << "at once";
    r.pass();
    EXPECT_EQ(r.screen().activity, (Lines{"Command terminated by user", "Waiting for command"}));
    // The module echoes the stop; the echo is not the position reply.
    r.reply({'s'});
    r.statusAndPosition(3000);
    EXPECT_EQ(r.sentFrom(m), "stp");
    EXPECT_EQ(r.screen().position, (Lines{"0.818\""}));
    EXPECT_TRUE(r.engine.idle());

    // The go-to completed just as the stop went out: its completion byte
    // comes before the stop's echo and is passed over.
    Rig c;
    c.startCommunicating(1000);
    c.runGoTo(5000);
    c.engine.stop_go_to_pressed();
    c.pass();
    c.reply({'c'});
    EXPECT_EQ(c.onTheLine(), 's');
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
    EXPECT_EQ(r.onTheLine(), 't');

    // Pressed before the go-to's echo: sent at once; the go-to's echo that
    // comes ahead of the stop's is passed over.
    Rig e;
    e.startCommunicating(1000);
    EXPECT_EQ(e.engine.move_to(5000), "");
    const size_t me = e.mark();
    e.engine.stop_command();
    EXPECT_EQ(e.sentFrom(me), "s");
    e.reply({'g'});
    e.reply({'s'});
    e.statusAndPosition(1500);
    EXPECT_EQ(e.sentFrom(me), "stp");
    EXPECT_EQ(e.screen().activity, (Lines{"Command terminated by user", "Waiting for command"}));

    // The homing (of the initialization).
    Rig h;
    h.startCommunicating(1000);
    h.startInitialization();
    h.echoSettings();
    h.reply({'h'});
    ASSERT_TRUE(h.completionAwaited(120000));
    const size_t mh = h.mark();
    h.engine.stop_command();
    h.pass();
    EXPECT_EQ(h.sentFrom(mh), "s");
    EXPECT_EQ(h.onTheLine(), 's');
    EXPECT_FALSE(h.screen().stopInitVisible);
}

TEST(EngineFaults, ActionsDuringAGoToAreRefusedAndTheGoToEndsNormally) {
    Rig r;
    r.startCommunicating(1000);
    storeAt(r, 1, 2000);
    r.runGoTo(4000);
    ASSERT_TRUE(r.completionAwaited(65997));
    const size_t m = r.mark();

    r.engine.StoreNClick(2);
    EXPECT_EQ(r.screen().activity, (Lines{"A Go To is in progress", "Store Position not started"}));
    EXPECT_EQ(r.screen().refusal.lines, r.screen().activity) << "shown where the click was, too";
    EXPECT_EQ(r.screen().refusal.place, RefusalScreen::Place::StoredPositions);
    r.engine.DeleteNClick(1);
    EXPECT_EQ(r.screen().activity, (Lines{"A Go To is in progress", "Delete not started"}));
    r.engine.set_zero_command();
    EXPECT_EQ(r.screen().refusal.place, RefusalScreen::Place::Configure);
    r.engine.go_to_command();
    r.engine.RestoreDefaultsClick();
    r.engine.GoToNClick(1);
    EXPECT_FALSE(r.screen().question.visible);
    EXPECT_FALSE(r.screen().entry.visible);
    EXPECT_TRUE(r.completionAwaited(65997));
    EXPECT_TRUE(r.screen().stopGoToVisible);
    r.pass();
    EXPECT_EQ(r.sentFrom(m), "");

    r.reply({'c'});
    EXPECT_FALSE(r.screen().stopGoToVisible);
    EXPECT_EQ(r.screen().activity, (Lines{"Go To completed", "Waiting for command"}));
    EXPECT_TRUE(r.screen().refusal.lines.empty()) << "gone with the go-to, whose end is seen";
    r.statusAndPosition(4000);
    // A refusal by an exchange of milliseconds stays until the next action.
    r.engine.move_out_command();
    r.engine.StoreNClick(2);
    r.reply({'o'});
    r.statusAndPosition(4000);
    EXPECT_EQ(r.screen().refusal.lines, (Lines{"Waiting for the focuser's answer", "Store Position not started"}));
    r.engine.stop_command();
    r.reply({'s'});
    r.statusAndPosition(4000);
    EXPECT_TRUE(r.engine.idle());
    EXPECT_EQ(r.engine.stored_position(1).count, 2000) << "slot 1 was not deleted";
    EXPECT_EQ(r.engine.stored_position(2).count, -1) << "slot 2 was not stored";
    // Polling goes on and the next go-to is not cancelled by a stale stop.
    r.advance(1500);
    EXPECT_EQ(r.onTheLine(), 'p');
    r.reply({'p', 0x0F, 0xA0});
    r.runGoTo(100);
    r.pass();
    EXPECT_TRUE(r.completionAwaited(65997));
}

TEST(EngineFaults, AConfirmationAnswersOnlyTheQuestionShown) {
    Rig r;
    r.startCommunicating(1000);
    storeAt(r, 1, 1000);
    storeAt(r, 2, 2000);
    r.setPosition(3000);

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
    EXPECT_EQ(r.engine.stored_position(1).count, 3000) << "the overwrite that was asked about";
    EXPECT_EQ(r.engine.stored_position(2).count, 2000) << "the other slot is untouched";
    // A second answer to the same question does nothing more.
    r.engine.question_answered(id, false);
    r.pass();
    EXPECT_TRUE(r.engine.idle());
    EXPECT_EQ(r.engine.stored_position(1).count, 3000);
}

TEST(EngineFaults, ATimeOutDropsQueuedMotionAndSaysSo) {
    Rig r;
    r.startCommunicating(1000);
    // A go-to clicked while a poll is on the line waits for it; the poll
    // times out: the go-to is dropped, with a line, and never sent later.
    const Situations waiting = situation_bit(Situation::Queued) | situation_bit(Situation::QueuedStep);
    r.advance(1500);
    ASSERT_EQ(r.onTheLine(), 'p');
    r.engine.StepOutButtonClick();
    EXPECT_TRUE(r.engine.situations() & situation_bit(Situation::QueuedStep));
    r.advance(1500);
    EXPECT_EQ(r.engine.situations() & waiting, 0u);
    EXPECT_EQ(r.screen().activity, (Lines{"Waiting for focuser response", "Step Out not started"}));
    // While the module is silent, motion is refused at once.
    r.engine.move_in_command();
    EXPECT_EQ(r.engine.situations() & waiting, 0u);
    EXPECT_EQ(r.screen().activity, (Lines{"The focuser is not communicating", "Move In not started"}));
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
    r.setPosition(5000);  // the overshoot leg comes first
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
    EXPECT_TRUE(r.engine.idle());
}

TEST(EngineFaults, AStoredGoToKeepsItsSecondLegWhenAReadIsInFlight) {
    Rig r;
    r.startCommunicating(1000);
    r.engine.BacklashEnableClick(1);
    storeAt(r, 1, 3000);
    r.setPosition(5000);
    // The next poll is in flight as the user clicks Go To.
    r.pollOnTheLine();
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
    ASSERT_EQ(r.goToTargets(m), (std::vector<long>{2267})) << "the second leg is not sent yet";
    ASSERT_EQ(r.busy(), situation_bit(Situation::GoTo) | situation_bit(Situation::Queued))
        << "nothing on the line, the second leg waits to be sent";
    r.engine.stop_command();
    r.pass();
    r.reply({'s'});
    r.statusAndPosition(2267);
    r.advance(100);
    EXPECT_EQ(r.goToTargets(m), (std::vector<long>{2267}));
    EXPECT_FALSE(r.screen().stopGoToVisible);
    EXPECT_EQ(r.screen().activity, (Lines{"Command terminated by user", "Waiting for command"}));
    EXPECT_TRUE(r.engine.refusal_reason(Action::MoveIn).empty()) << "no legs left behind";
}

TEST(EngineFaults, StopWhileAQuestionIsOpenStopsTheMotorAtOnce) {
    Rig r;
    r.startCommunicating(1000);
    r.engine.move_out_command();
    r.reply({'o'});
    r.statusAndPosition(1200);
    r.engine.set_zero_command();
    ASSERT_TRUE(r.screen().question.visible);
    ASSERT_EQ(r.busy(), situation_bit(Situation::Question));
    const size_t m = r.mark();
    r.engine.stop_command();
    EXPECT_EQ(r.sentFrom(m), "s");
    EXPECT_TRUE(r.screen().question.visible) << "the question stays open";
    // The answer still answers the question.
    r.engine.question_answered(r.screen().question.id, false);
    r.pass();
    EXPECT_TRUE(r.engine.idle());
    EXPECT_EQ(r.sentFrom(m), "s");
}

// A module with a slow line answers each command a few ms late; the
// clicks come faster than a step completes. Every click is one step from the
// target of the step before, whether that step moves, waits to be sent, or
// has just arrived; a step beyond the travel stops at it or is refused with
// a line.
TEST(EngineFaults, QuickStepClicksEachMoveOneStepFromTheStepBefore) {
    Rig r;
    r.link.module.enabled = true;
    r.link.module.travelMs = 400;
    r.start();
    r.advance(50);
    const size_t m = r.mark();
    // Three clicks 150 ms apart: the first step runs, the next two add up
    // behind it (36.67 counts a step: 1000 -> 1036 -> 1072 -> 1108).
    r.engine.StepOutButtonClick();
    r.advance(150);
    r.engine.StepOutButtonClick();
    EXPECT_EQ(r.screen().activity, (Lines{"Go To command in progress", "Please wait"})) << "no refusal";
    r.advance(150);
    r.engine.StepOutButtonClick();
    r.advance(3000);
    EXPECT_EQ(r.goToTargets(m), (std::vector<long>{1036, 1108}));
    EXPECT_EQ(r.link.module.position, 1108u) << "three steps from 1000";
    // Three clicks while a poll is on the line add up the same way.
    r.pollOnTheLine();
    const size_t q = r.mark();
    for (int i = 0; i < 3; ++i) r.engine.StepOutButtonClick();
    r.advance(3000);
    EXPECT_EQ(r.goToTargets(q), (std::vector<long>{1216}));
    EXPECT_EQ(r.link.module.position, 1216u) << "three steps of 36.67 counts from 1108";
    // A go-to of another kind refuses steps.
    ASSERT_EQ(r.engine.move_to(3000), "");
    r.advance(20);
    r.engine.StepInButtonClick();
    EXPECT_EQ(r.screen().activity, (Lines{"A Go To is in progress", "Step In not started"}));
    r.advance(3000);
    EXPECT_EQ(r.link.module.position, 3000u);
}

// A step clicked after the module reported the end of a step, before the
// position after it was read, starts from that step's target, not from the
// position read before it.
TEST(EngineFaults, AStepRightAfterAStepArrivedStartsFromItsTarget) {
    Rig r;
    r.startCommunicating(300);
    const size_t m = r.mark();
    r.engine.StepOutButtonClick();
    r.reply({'g'});
    r.reply({'c'});
    ASSERT_EQ(r.onTheLine(), 't');
    r.engine.StepOutButtonClick();
    r.statusAndPosition(336);
    r.reply({'g'});
    EXPECT_EQ(r.goToTargets(m), (std::vector<long>{336, 372}));
}

TEST(EngineFaults, AStepBeyondTheTravelStopsAtItOrIsRefusedWithALine) {
    Rig r;
    r.startCommunicating(6590);  // the travel is 6600
    const size_t m = r.mark();
    r.engine.StepOutButtonClick();
    r.reply({'g'});
    r.reply({'c'});
    r.statusAndPosition(6600);
    EXPECT_EQ(r.goToTargets(m), (std::vector<long>{6600})) << "cut at the travel";
    r.engine.StepOutButtonClick();
    EXPECT_EQ(r.screen().activity, (Lines{"The focuser is at its maximum travel", "Step Out not started"}));
    Rig z;
    z.startCommunicating(20);
    const size_t n = z.mark();
    z.engine.StepInButtonClick();
    EXPECT_EQ(z.screen().activity, (Lines{"The step would pass the zero position", "Step In not started"}));
    EXPECT_EQ(z.sentFrom(n), "");
}

// What the module can no longer do is not sent: a Set Zero answered yes
// after the module went away, and the second leg of a stored go-to whose
// first leg the module refused.
TEST(EngineFaults, NothingFollowsAnAnswerOrALegTheModuleCannotTake) {
    Rig r;
    r.startCommunicating(1200);
    r.engine.set_zero_command();
    r.unplug();
    r.engine.question_answered(r.screen().question.id, true);
    r.pass();
    EXPECT_EQ(r.screen().activity, (Lines{"The focuser is not communicating", "Set Zero not started"}));
    r.link.opens = true;
    r.advance(1800);
    EXPECT_EQ(r.lastCommand(), 'b') << "no zero once the port is back";

    Rig b;
    b.startCommunicating(1000);
    b.engine.BacklashEnableClick(1);
    storeAt(b, 1, 3000);
    b.setPosition(5000);  // an overshoot to 2267 first, then 3000
    const size_t m = b.mark();
    b.engine.GoToNClick(1);
    b.reply({'r'});
    b.statusAndPosition(5000);
    EXPECT_EQ(b.goToTargets(m), (std::vector<long>{2267}));
    EXPECT_EQ(b.screen().activity, (Lines{"Command error", "Waiting for command"}));
    EXPECT_FALSE(b.screen().stopGoToVisible);
    EXPECT_TRUE(b.engine.idle());
}

// The adapter is pulled out in each state: the window says so at once, a
// go-to or homing ends with its dialog, queued motion is dropped, the port
// is tried again within about 2 s whatever is open, and Stop reaches the
// module that answers there again.
TEST(EngineFaults, AModuleThatGoesAwayIsShownAtOnceAndFoundAgainInEveryState) {
    struct Case {
        const char* name;
        std::function<void(Rig&)> enter;
        const char* ended;  // third Activity line, if any
    } cases[] = {
        {"idle", [](Rig&) {}, nullptr},
        {"moving in",
         [](Rig& r) {
             r.engine.move_in_command();
             r.advance(20);
         },
         nullptr},
        {"go-to", [](Rig& r) { r.runGoTo(5000); }, "Go To not completed"},
        {"go-to with a step queued behind a poll",
         [](Rig& r) {
             r.advance(r.timer.nextExpiry - r.timer.now);
             r.engine.StepOutButtonClick();
         },
         "Step Out not started"},
        {"initialization homing",
         [](Rig& r) {
             r.engine.ReinitializeClick();
             r.engine.question_answered(r.screen().question.id, true);
             r.pass();
             r.advance(50);
             ASSERT_TRUE(r.completionAwaited(120000));
         },
         "Initialization not completed"},
        {"question open", [](Rig& r) { r.engine.set_zero_command(); }, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        r.link.module.enabled = true;
        r.start();
        r.advance(50);
        c.enter(r);
        const unsigned page = r.screen().operatePage;
        r.unplug();
        Lines activity{"Not communicating", "COM1: the device went away"};
        if (c.ended) activity.push_back(c.ended);
        EXPECT_EQ(r.screen().activity, activity);
        EXPECT_EQ(r.screen().position, (Lines{"Unknown"}));
        EXPECT_EQ(r.screen().status, (Lines{"Unknown"}));
        EXPECT_FALSE(r.screen().stopGoToVisible);
        EXPECT_FALSE(r.screen().stopInitVisible);
        if (c.ended) {
            EXPECT_GT(r.screen().operatePage, page);
        }
        EXPECT_EQ(r.engine.situations() & (situation_bit(Situation::Queued) | situation_bit(Situation::QueuedStep) |
                                           situation_bit(Situation::GoTo) | situation_bit(Situation::Homing) |
                                           situation_bit(Situation::InitHoming)),
                  0u)
            << "nothing waits, no motion runs";
        // Motion is refused while it is gone.
        r.engine.move_out_command();
        EXPECT_EQ(r.screen().activity.back(), "Move Out not started");
        // A new module at the same place.
        r.link.opens = true;
        r.link.module.out.clear();
        r.link.module.lastDue = 0;
        const long long gone = r.timer.now;
        while (!r.link.connected() && r.timer.now - gone < 5000) r.advance(10);
        EXPECT_LE(r.timer.now - gone, 2000) << "reopened within about 2 s";
        if (r.screen().question.visible) r.engine.question_answered(r.screen().question.id, false);
        r.pass();
        r.advance(100);
        EXPECT_EQ(r.screen().connection, "Communicating");
        const size_t m = r.mark();
        r.engine.stop_command();
        EXPECT_EQ(r.sentFrom(m), "s") << "Stop goes out at once";
        r.advance(100);
        EXPECT_EQ(r.screen().activity, (Lines{"Stopped", "Waiting for command"}));
        r.advance(10000);
        for (const SentCommand& s : r.commandsFrom(m))
            EXPECT_TRUE(s.letter == 's' || s.letter == 'p' || s.letter == 't') << "sent by itself: " << s.letter;
    }
}

// The module answers 5 s late for a while (its replies pile up behind each
// other), then on time again: once the late replies have drained, the
// program communicates and the next click is carried out.
TEST(EngineFaults, AfterSlowRepliesTheNextClickIsCarriedOut) {
    for (long long lateFor : {6000LL, 20000LL, 31000LL}) {
        SCOPED_TRACE(lateFor);
        Rig r;
        r.link.module.enabled = true;
        r.start();
        r.advance(50);
        r.link.module.replyDelayMs = 5000;
        r.advance(lateFor);
        r.link.module.replyDelayMs = 3;
        // Late replies still drain for up to 5 s; a click meanwhile acts or
        // says why not.
        for (int t = 0; t < 8; ++t) {
            const size_t m = r.mark();
            const size_t log = r.view.activityLog.size();
            r.engine.move_out_command();
            // Sent, or said not to be, within the exchange on the line.
            r.advance(1600);
            EXPECT_TRUE(r.view.showedSince(log, "Move Out not started") || r.sentFrom(m).find('o') != std::string::npos)
                << "neither sent nor refused, click " << t << ": " << r.sentFrom(m);
            r.engine.stop_command();
            r.advance(500);
        }
        // Answering on time for a while: the click works.
        r.advance(3000);
        ASSERT_EQ(r.screen().connection, "Communicating");
        const size_t m = r.mark();
        r.engine.move_out_command();
        r.advance(30);
        EXPECT_NE(r.sentFrom(m).find('o'), std::string::npos);
        EXPECT_EQ(r.screen().activity, (Lines{"Moving Out", "Waiting for command"}));
    }
}

// A stored go-to with an overshoot leg: clicks during its legs are refused
// and leave the legs as they were; however it ends (completion, a rejected
// echo, a failed completion, Stop between legs), the next action acts.
TEST(EngineFaults, StoredGoToLegsSurviveRefusedClicksAndEndCleanly) {
    enum End { Complete, RejectedEcho, WrongCompletion, StopBetween };
    for (End end : {Complete, RejectedEcho, WrongCompletion, StopBetween}) {
        SCOPED_TRACE(end);
        Rig r;
        r.startCommunicating(1000);
        r.engine.BacklashEnableClick(1);
        storeAt(r, 1, 3000);  // reached moving outward
        r.setPosition(5000);
        const size_t m = r.mark();
        r.engine.GoToNClick(1);
        for (auto click : {&Engine::StepOutButtonClick, &Engine::move_in_command, &Engine::StepInButtonClick}) {
            (r.engine.*click)();
            EXPECT_EQ(r.screen().activity[0], "A Go To is in progress");
        }
        if (end == RejectedEcho) {
            r.reply({'r'});
            r.statusAndPosition(5000);
        } else {
            r.reply({'g'});
            for (auto click : {&Engine::StepOutButtonClick, &Engine::move_out_command}) {
                (r.engine.*click)();
                EXPECT_EQ(r.screen().activity[0], "A Go To is in progress");
            }
            if (end == WrongCompletion) {
                r.reply({'x'});
                r.statusAndPosition(2267);
            } else {
                r.reply({'c'});
                r.reply({'t', 0x01});
                if (end == StopBetween) {
                    r.link.waiting.insert(r.link.waiting.end(), {'p', 0x08, 0xDB});
                    r.engine.ComPortDataAvailable();
                    r.engine.executiveIdle();
                    r.engine.stop_command();
                    r.pass();
                    r.reply({'s'});
                    r.statusAndPosition(2267);
                } else {
                    r.reply({'p', 0x08, 0xDB});
                    r.reply({'g'});
                    r.reply({'c'});
                    r.statusAndPosition(3000);
                }
            }
        }
        const std::vector<long> expected = end == Complete ? std::vector<long>{2267, 3000} : std::vector<long>{2267};
        EXPECT_EQ(r.goToTargets(m), expected);
        EXPECT_FALSE(r.screen().stopGoToVisible);
        EXPECT_EQ(r.engine.refusal_reason(Action::MoveIn), "") << "no legs left behind";
        const size_t after = r.mark();
        r.engine.move_in_command();
        EXPECT_EQ(r.sentFrom(after), "i");
    }
}

// The completion byte can come in the same read as the go-to's echo, or
// in a second data event before the executive's pass: either way the go-to
// ends at once.
TEST(EngineFaults, ACompletionThatComesWithTheEchoEndsTheGoToAtOnce) {
    for (bool secondEvent : {false, true}) {
        Rig r;
        r.startCommunicating(1000);
        EXPECT_EQ(r.engine.move_to(1010), "");
        r.link.waiting.push_back('g');
        if (!secondEvent) r.link.waiting.push_back('c');
        r.engine.ComPortDataAvailable();
        if (secondEvent) {
            r.link.waiting.push_back('c');
            r.engine.ComPortDataAvailable();
        }
        r.pass();
        EXPECT_EQ(r.onTheLine(), 't') << "the status read follows the completion";
        EXPECT_EQ(r.screen().activity, (Lines{"Go To completed", "Waiting for command"}));
        EXPECT_FALSE(r.screen().stopGoToVisible);
    }
}

// Late in a long session a command queued behind a poll still goes out
// right after the poll's reply; the poll interval runs from the reply.
TEST(EngineFaults, LongSessionsDispatchAtOnceAndPollFromTheReply) {
    Rig r;
    r.link.module.enabled = true;
    r.link.module.replyDelayMs = 100;
    r.start();
    r.advance(400);
    for (int i = 0; i < 300; ++i) r.advance(1600);
    // A poll goes out; its reply comes 100 ms later; the next poll 1500 ms
    // after that reply.
    r.pollOnTheLine();
    const long long sentAt = r.timer.now;
    r.engine.move_in_command();
    const size_t m = r.mark();
    r.advance(100);
    EXPECT_EQ(r.sentFrom(m), "i") << "sent with the reply that freed the line";
    r.advance(400);
    const size_t polls = r.mark();
    const long long replyAt = sentAt + 100 + 100 + 100 + 100;  // p, i, t and p replies
    r.advance(replyAt + 1499 - r.timer.now);
    EXPECT_EQ(r.sentFrom(polls), "");
    r.advance(1);
    EXPECT_EQ(r.sentFrom(polls), "p");
}

// What another front end (the network) sees of a motion: moving from the
// moment it is accepted until it has ended and the position after it has
// been read, whatever ends it.
TEST(IntentOperations, MovingSpansAMotionUntilThePositionAfterItIsRead) {
    Rig r;
    r.startCommunicating(1000);
    EXPECT_FALSE(r.engine.moving());
    EXPECT_EQ(r.engine.position(), std::optional<long>(1000));
    // Completed.
    EXPECT_EQ(r.engine.move_to(1500), "");
    EXPECT_TRUE(r.engine.moving()) << "before the echo";
    r.reply({'g'});
    r.reply({'c'});
    r.reply({'t', 0x01});
    EXPECT_TRUE(r.engine.moving()) << "the position after it is not read yet";
    r.reply({'p', 0x05, 0xDC});
    EXPECT_FALSE(r.engine.moving());
    EXPECT_EQ(r.engine.position(), std::optional<long>(1500));
    EXPECT_EQ(r.screen().activity, (Lines{"Go To completed", "Waiting for command"})) << "shown as a Go To";
    // Queued behind a poll, then halted.
    r.pollOnTheLine();
    EXPECT_EQ(r.engine.move_to(100), "");
    EXPECT_TRUE(r.engine.moving());
    r.reply({'p', 0x05, 0xDC});
    r.reply({'g'});
    r.engine.halt();
    r.reply({'s'});
    EXPECT_TRUE(r.engine.moving());
    r.statusAndPosition(1200);
    EXPECT_FALSE(r.engine.moving());
    // A go-to whose completion never comes ends with the time-out.
    EXPECT_EQ(r.engine.move_to(2000), "");
    r.reply({'g'});
    r.advance(65997);  // the limit at the default scale
    EXPECT_FALSE(r.engine.moving());
    EXPECT_EQ(r.engine.move_to(2000), "The focuser is not communicating");
    EXPECT_EQ(r.engine.move_to(70000), "Entered position exceeds focuser travel limit.");
    // A continuous move: until two reads agree.
    r.reply({'b', 'j'});
    r.statusAndPosition(1200);
    r.engine.move_out_command();
    r.reply({'o'});
    r.statusAndPosition(1300);
    EXPECT_TRUE(r.engine.moving());
    r.advance(1500);
    r.reply({'p', 0x05, 0x78});  // 1400
    EXPECT_TRUE(r.engine.moving());
    r.advance(1500);
    r.reply({'p', 0x05, 0x78});
    EXPECT_FALSE(r.engine.moving()) << "stopped at its end";
}

// A network server that cannot start says so in Activity; the start-up lines
// that follow within milliseconds do not hide it, its next note (listening
// after all) replaces it, and a move from the network is the user's action,
// as Go To is.
TEST(IntentOperations, AFrontEndsHeldNoteStaysUntilItsNextNoteOrTheUsersAction) {
    Rig r;
    r.start();
    const Lines taken{"Alpaca server not listening:", "port 11111 is in use by another program"};
    r.engine.front_end_note(taken, true);
    r.reply({'b', 'j'});
    r.statusAndPosition(1000);
    EXPECT_EQ(r.screen().activity, taken);
    r.engine.front_end_note({"Alpaca server on, port 11112 (this computer only)"});
    EXPECT_EQ(r.screen().activity, (Lines{"Alpaca server on, port 11112 (this computer only)"}));

    r.engine.front_end_note(taken, true);
    EXPECT_EQ(r.engine.move_to(1000), "") << "already there: nothing to do, the note stays";
    EXPECT_EQ(r.screen().activity, taken);
    EXPECT_EQ(r.engine.move_to(1500), "");
    r.reply({'g'});
    EXPECT_EQ(r.screen().activity, (Lines{"Go To command in progress", "Please wait"}));
}

// A move a front end was told was accepted is made, or ends with why it was
// not, whatever cuts it short; while the module is silent one is refused.
TEST(IntentOperations, AnAcceptedMoveIsMadeOrSaysWhyItWasNot) {
    using Fate = Engine::MoveRecord::Fate;
    const std::string silent = "no answer from the control module on COM1: /dev/test-com1 at 9600 baud";
    const std::string garbled = "the control module's answer to the Go To was garbled (Focuser response error)";
    const struct {
        bool behindPoll;                 // accepted while a position read is on the line
        std::function<void(Rig&)> then;  // what happens after
        Fate fate;
        std::string reason;
    } rows[] = {
        {true, [](Rig& r) { r.advance(1500); }, Fate::NotMade, silent},   // the read it waited behind times out
        {false, [](Rig& r) { r.advance(1500); }, Fate::NotMade, silent},  // its echo never comes
        {false, [](Rig& r) { r.reply({'r'}); }, Fate::NotMade, "the control module refused the Go To (Command error)"},
        {false, [](Rig& r) { r.reply({'x'}); }, Fate::NotMade, garbled},
        {false, [](Rig& r) { r.reply({'g'}), r.advance(200000); }, Fate::NotMade,
         "the control module did not report the end of the Go To within 65 s (COM1: /dev/test-com1 at 9600 baud)"},
        {false, [](Rig& r) { r.reply({'g'}), r.reply({'x'}); }, Fate::NotMade, garbled},
        {false, [](Rig& r) { r.reply({'g'}), r.unplug(); }, Fate::NotMade,
         "COM1: /dev/test-com1 - the device went away (unplugged or hung up)"},
        {true,
         [](Rig& r) {
             r.reply({'p', 0x03, 0xE8}), r.reply({'g'}), r.reply({'c'});
         },
         Fate::Made, ""},
        {false, [](Rig& r) { r.reply({'g'}), r.engine.halt(); }, Fate::Halted, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reason);
        Rig r;
        r.startCommunicating(1000);
        if (row.behindPoll) r.pollOnTheLine();
        ASSERT_EQ(r.engine.move_to(3000), "");
        EXPECT_EQ(r.engine.last_move().fate, Fate::Running);
        row.then(r);
        const Engine::MoveRecord& m = r.engine.last_move();
        EXPECT_EQ(std::make_tuple(m.number, m.target, m.fate, m.reason),
                  std::make_tuple(1u, 3000L, row.fate, row.reason));
    }

    // Refused while silent, the record kept; already there: made; beyond the travel: to its end.
    Rig r;
    r.startCommunicating(1000);
    r.advance(3000);
    EXPECT_EQ(r.engine.move_to(3000), "The focuser is not communicating");
    EXPECT_EQ(r.engine.refused_by(Action::MoveTo), std::optional<Situation>(Situation::NotCommunicating));
    EXPECT_EQ(r.engine.last_move().number, 0u);
    r.reply({'b', 'j'});
    r.statusAndPosition(1000);
    const size_t m = r.mark();
    EXPECT_EQ(r.engine.move_to(1000), "");
    EXPECT_EQ(r.engine.last_move().fate, Fate::Made);
    EXPECT_EQ(r.engine.move_to(70000, OutsideTravel::Clamp), "");
    EXPECT_EQ(r.goToTargets(m), std::vector<long>{6600});
    EXPECT_EQ(r.engine.last_move().number, 2u);
}
