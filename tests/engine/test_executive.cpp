// Every row of the executive's state table, the queued dispatch, the
// receive bounds and the time limits, on the scripted link and the manual
// clock.
#include "tests/engine/engine_rig.h"

#include "positioning/units.h"

using namespace corvell;
using namespace corvell::test;

// ---- start-up, idle poll, identify ('b') ----

TEST(ExecutiveStart, StartUpIdentifiesOnceThenReadsStatusAndPositionThenPolls) {
    Rig r;
    r.start();
    EXPECT_EQ(r.sentFrom(0), "b") << "one identify at start-up";
    EXPECT_EQ(r.screen().activity, (Lines{"Waiting for focuser response"}));
    r.reply({'b', 'j'});
    EXPECT_EQ(r.sentFrom(0), "bt");
    EXPECT_EQ(r.screen().connection, "Communicating");
    EXPECT_EQ(r.screen().activity, (Lines{"Focuser responding", "Waiting for command"}));
    r.reply({'t', 0x01});
    EXPECT_EQ(r.screen().status, (Lines{"OK"}));
    r.reply({'p', 0x03, 0xE8});
    EXPECT_TRUE(r.engine.idle());
    EXPECT_EQ(r.screen().position, (Lines{"0.273\""}));
    EXPECT_EQ(r.screen().encoderPosition, "1000");

    // Idle: a position read each time the 1500 ms timer expires.
    const size_t m = r.mark();
    r.advance(1499);
    EXPECT_EQ(r.sentFrom(m), "");
    r.advance(1);
    EXPECT_EQ(r.sentFrom(m), "p");
    r.reply({'p', 0x03, 0xE8});
    r.advance(1500);
    EXPECT_EQ(r.sentFrom(m), "pp");
}

TEST(ExecutiveIdentify, SilenceReportsNotCommunicatingAndAsksAgainEvery1500ms) {
    Rig r;
    r.start();
    r.advance(1499);
    EXPECT_EQ(r.sentFrom(0), "b");
    r.advance(1);
    EXPECT_EQ(r.sentFrom(0), "bb");
    EXPECT_EQ(r.screen().connection, "Not communicating");
    r.advance(1500);
    EXPECT_EQ(r.sentFrom(0), "bbb");
    // The module answers: the normal chain resumes.
    r.reply({'b', 'j'});
    EXPECT_EQ(r.sentFrom(0), "bbbt");
    EXPECT_EQ(r.screen().connection, "Communicating");
}

TEST(ExecutiveIdentify, WrongAnswerWaitsForThePollIntervalBeforeAskingAgain) {
    Rig r;
    r.start();
    r.advance(10);
    r.reply({'b', 'x'});
    EXPECT_EQ(r.sentFrom(0), "b") << "a wrong answer is not followed by an identify at once";
    EXPECT_NE(r.screen().connection, "Communicating");
    // Garbage from a module at another line speed, many times: still nothing.
    for (int i = 0; i < 100; ++i) r.reply({0xF8, 0x00});
    EXPECT_EQ(r.sentFrom(0), "b");
    r.advance(1489);
    EXPECT_EQ(r.sentFrom(0), "b");
    r.advance(1);
    EXPECT_EQ(r.sentFrom(0), "bb") << "asked again when the poll interval has passed";
}

TEST(ExecutiveIdentify, TheAddFocuserProbeWaitsOnly200ms) {
    // No answer within 200 ms: the setup says there is no module.
    Rig r;
    r.startCommunicating();
    r.engine.AddFocuserClick();
    r.pass();
    EXPECT_EQ(r.onTheLine(), 'b');
    EXPECT_EQ(r.timer.loads.back(), 200);
    r.advance(199);
    EXPECT_EQ(r.onTheLine(), 'b');
    r.advance(1);
    EXPECT_EQ(r.onTheLine(), 0);
    EXPECT_TRUE(r.engine.idle());
    EXPECT_EQ(r.screen().setup.text1.rfind("There is no communication", 0), 0u) << r.screen().setup.text1;

    // Answered in time: the setup's next page.
    Rig a;
    a.startCommunicating();
    a.engine.AddFocuserClick();
    a.pass();
    a.reply({'b', 'j'});
    EXPECT_EQ(a.onTheLine(), 0);
    EXPECT_EQ(a.busy(), situation_bit(Situation::Setup)) << "the setup goes on";
    EXPECT_EQ(a.screen().setup.text1, "A Corvell Controller has been found.");
}

// ---- status ('t') and position ('p') ----

TEST(ExecutiveStatus, StatusBitsAreShownAndAWrongReplyIsReported) {
    Rig r;
    r.startCommunicating();
    r.statusOnTheLine();
    r.reply({'t', 0x48});
    EXPECT_EQ(r.screen().status,
              (Lines{"Motor or Encoder Error", "Please retry the command", "Focuser at Zero Position"}));
    EXPECT_EQ(r.onTheLine(), 'p') << "the position read follows";
    r.reply({'p', 0, 0});

    r.statusOnTheLine();
    r.reply({'x', 0x01});
    EXPECT_EQ(r.screen().activity, (Lines{"Focuser response error", "Waiting for command"}));
    EXPECT_EQ(r.onTheLine(), 'p');
}

TEST(ExecutiveStatus, TimeOutBringsTheOperatePageAndReports) {
    Rig r;
    r.startCommunicating();
    r.statusOnTheLine();
    const unsigned page = r.screen().operatePage;
    r.advance(1500);
    EXPECT_GT(r.screen().operatePage, page);
    EXPECT_EQ(r.screen().status, (Lines{"Serial Communications Timeout", "Check Corvell connections"}));
    EXPECT_EQ(r.onTheLine(), 'b');
}

TEST(ExecutivePosition, ReplyIsBigEndianCountsAndSetsTheDirection) {
    Rig r;
    r.startCommunicating(1000);
    // The direction of the last move is what a position stored now records.
    auto storedInward = [&r] {
        r.storeHere(1);
        return r.engine.stored_position(1).endsInward;
    };
    r.pollOnTheLine();
    r.reply({'p', 0x01, 0x2C});
    EXPECT_EQ(r.engine.position(), std::optional<long>(300));
    EXPECT_EQ(r.screen().encoderPosition, "300");
    EXPECT_TRUE(storedInward()) << "moved toward smaller counts";
    r.pollOnTheLine();
    r.reply({'p', 0x01, 0x2D});
    EXPECT_TRUE(storedInward()) << "a change of one count keeps the direction";
    r.pollOnTheLine();
    r.reply({'p', 0x02, 0x00});
    EXPECT_FALSE(storedInward());
}

TEST(ExecutivePosition, WrongReplyShowsErrorAndTimeOutStaysOnThePage) {
    Rig r;
    r.startCommunicating();
    r.pollOnTheLine();
    r.reply({'t', 0, 0});
    EXPECT_EQ(r.screen().position, (Lines{"ERROR"}));
    EXPECT_TRUE(r.engine.idle());

    const unsigned page = r.screen().operatePage;
    r.pollOnTheLine();
    r.advance(1500);
    EXPECT_EQ(r.screen().operatePage, page) << "a position time-out does not change the page";
    EXPECT_EQ(r.screen().connection, "Not communicating");
}

// ---- simple echoes ('i', 'o', 's', 'w', 'z') ----

TEST(ExecutiveEcho, MatchingEchoShowsTheDoneLinesThenReadsStatus) {
    struct Case {
        void (Engine::*start)();
        char letter;
        const char* done;
    } cases[] = {{&Engine::move_in_command, 'i', "Moving In"},
                 {&Engine::move_out_command, 'o', "Moving Out"},
                 {&Engine::stop_command, 's', "Stopped"}};
    for (const Case& c : cases) {
        Rig r;
        r.startCommunicating();
        const size_t m = r.mark();
        (r.engine.*c.start)();
        EXPECT_EQ(r.screen().activity, (Lines{"Waiting"}));
        r.reply({static_cast<uint8_t>(c.letter)});
        EXPECT_EQ(r.screen().activity, (Lines{c.done, "Waiting for command"})) << c.letter;
        EXPECT_EQ(r.sentFrom(m), (std::string{c.letter, 't'}));
    }
}

TEST(ExecutiveEcho, RejectedAndWrongEchoesEndTheCommandOnTheOperatePage) {
    for (uint8_t answer : {uint8_t('r'), uint8_t('q')}) {
        Rig r;
        r.startCommunicating();
        const unsigned page = r.screen().operatePage;
        r.engine.move_in_command();
        r.reply({answer});
        const char* first = answer == 'r' ? "Command error" : "Focuser response error";
        EXPECT_EQ(r.screen().activity, (Lines{first, "Waiting for command"}));
        EXPECT_GT(r.screen().operatePage, page);
        EXPECT_EQ(r.onTheLine(), 't');
    }
}

TEST(ExecutiveEcho, MovesWait7500msForTheirEchoOthers1500ms) {
    Rig r;
    r.startCommunicating();
    r.engine.move_out_command();
    EXPECT_EQ(r.timer.loads.back(), 7500);
    r.advance(7499);
    EXPECT_EQ(r.onTheLine(), 'o');
    r.advance(1);
    EXPECT_EQ(r.onTheLine(), 'b');
    EXPECT_EQ(r.screen().status.front(), "Serial Communications Timeout");

    Rig z;
    z.startCommunicating();
    const size_t m = z.mark();
    EXPECT_EQ(z.engine.set_zero(), "");
    EXPECT_EQ(z.sentFrom(m), "z");
    EXPECT_EQ(z.timer.loads.back(), 1500);
    z.advance(1499);
    EXPECT_EQ(z.onTheLine(), 'z');
    z.advance(1);
    EXPECT_EQ(z.onTheLine(), 'b');
}

// ---- go-to ('g'), homing ('h') and completion ('c') ----

TEST(ExecutiveGoTo, EchoThenCompletionWithinTheGoToLimit) {
    Rig r;
    r.startCommunicating();
    const size_t m = r.mark();
    EXPECT_EQ(r.engine.move_to(300), "");
    EXPECT_EQ(r.sentFrom(m), std::string("g\x01\x2C"));
    EXPECT_TRUE(r.screen().stopGoToVisible);
    EXPECT_TRUE(r.screen().position.empty());
    r.reply({'g'});
    // 6600 counts at the default scale.
    EXPECT_TRUE(r.completionAwaited(65997));
    EXPECT_EQ(r.screen().activity, (Lines{"Go To command in progress", "Please wait"}));
    r.reply({'c'});
    EXPECT_EQ(r.screen().activity, (Lines{"Go To completed", "Waiting for command"}));
    EXPECT_FALSE(r.screen().stopGoToVisible);
    EXPECT_EQ(r.onTheLine(), 't');
}

TEST(ExecutiveGoTo, MissingCompletionEndsAtTheGoToLimitWithTheStopDialogHidden) {
    Rig r;
    r.startCommunicating();
    // 6600 counts at the default scale: 20000 ms an inch plus 30000 ms.
    EXPECT_EQ(goto_time_limit(6600, kDefaultInchesPerCount), 65997);
    r.runGoTo(400);
    EXPECT_EQ(r.timer.loads.back(), 65997) << "the limit loaded after the echo";
    r.advance(65997 - 1);
    EXPECT_TRUE(r.completionAwaited(65997));
    EXPECT_TRUE(r.screen().stopGoToVisible);
    const unsigned page = r.screen().operatePage;
    r.advance(1);
    EXPECT_FALSE(r.screen().stopGoToVisible);
    EXPECT_GT(r.screen().operatePage, page);
    EXPECT_EQ(r.screen().status.front(), "Serial Communications Timeout");
    EXPECT_EQ(r.onTheLine(), 'b');
}

TEST(ExecutiveGoTo, RejectedOrWrongEchoOrCompletionEndsTheGoTo) {
    for (uint8_t answer : {uint8_t('r'), uint8_t('x')}) {
        Rig r;
        r.startCommunicating();
        EXPECT_EQ(r.engine.move_to(300), "");
        r.reply({answer});
        EXPECT_FALSE(r.screen().stopGoToVisible);
        EXPECT_EQ(r.screen().activity.front(), answer == 'r' ? "Command error" : "Focuser response error");
        EXPECT_EQ(r.onTheLine(), 't');

        Rig c;
        c.startCommunicating();
        c.runGoTo(300);
        c.reply({answer});
        EXPECT_FALSE(c.screen().stopGoToVisible);
        EXPECT_EQ(c.screen().activity.front(), answer == 'r' ? "Command error" : "Focuser response error");
        EXPECT_EQ(c.onTheLine(), 't');
    }
}

TEST(ExecutiveGoTo, EchoTimeOutHidesTheStopDialog) {
    Rig r;
    r.startCommunicating();
    EXPECT_EQ(r.engine.move_to(300), "");
    EXPECT_TRUE(r.screen().stopGoToVisible);
    r.advance(1500);
    EXPECT_FALSE(r.screen().stopGoToVisible);
    EXPECT_EQ(r.onTheLine(), 'b');
}

// The homing is the initialization's last step.
TEST(ExecutiveHoming, EchoThenCompletionWaitsUpTo120000ms) {
    Rig r;
    r.startCommunicating();
    r.startInitialization();
    r.echoSettings();
    EXPECT_EQ(r.sentFrom(r.mark() - 1), "h");
    r.reply({'h'});
    EXPECT_TRUE(r.completionAwaited(120000));
    EXPECT_EQ(r.timer.loads.back(), 120000);
    EXPECT_EQ(r.screen().activity, (Lines{"Focuser initialization in progress", "Please wait"}));
    r.advance(119999);
    EXPECT_TRUE(r.completionAwaited(120000));
    r.advance(1);
    EXPECT_EQ(r.onTheLine(), 'b');
    EXPECT_EQ(r.screen().status.front(), "Serial Communications Timeout");
}

TEST(ExecutiveHoming, CompletionOfAnInitializationSaysSo) {
    Rig r;
    r.startCommunicating();
    r.startInitialization();
    r.echoSettings();
    r.reply({'h'});
    r.reply({'c'});
    EXPECT_EQ(r.screen().activity, (Lines{"Initialization completed", "Waiting for command"}));

    Rig w;
    w.startCommunicating();
    w.startInitialization();
    w.echoSettings();
    w.reply({'r'});
    EXPECT_EQ(w.screen().activity, (Lines{"Command error", "Waiting for command"}));
    EXPECT_EQ(w.onTheLine(), 't');
}

// ---- dialog states ('a', 'm', 'n', 'x', 'v') ----

TEST(ExecutiveSetZero, NoSendsNothingYesSendsTheZeroCommand) {
    Rig r;
    r.startCommunicating();
    size_t m = r.mark();
    r.engine.set_zero_command();
    ASSERT_TRUE(r.screen().question.visible);
    EXPECT_EQ(r.screen().question.text, "Are you sure you want to zero the position value?");
    r.engine.question_answered(r.screen().question.id, false);
    r.pass();
    EXPECT_TRUE(r.engine.idle());
    r.pass();
    EXPECT_EQ(r.sentFrom(m), "");

    r.engine.set_zero_command();
    r.engine.question_answered(r.screen().question.id, true);
    r.pass();  // the answer queues the zero command, which the next pass sends
    EXPECT_EQ(r.sentFrom(m), "z");
    r.reply({'z'});
    EXPECT_EQ(r.screen().activity, (Lines{"Position register set to zero", "Waiting for command"}));
}

TEST(ExecutiveGoToEntry, EnteredPositionIsSentCancelAndSamePositionSendNothing) {
    Rig r;
    r.startCommunicating(1000);
    const size_t m = r.mark();
    r.engine.go_to_command();
    ASSERT_TRUE(r.screen().entry.visible);
    EXPECT_EQ(r.screen().entry.caption, "Enter Focuser Go To Position");
    EXPECT_EQ(r.screen().entry.preset, "0.273");
    r.engine.entry_cancelled(r.screen().entry.id);
    EXPECT_TRUE(r.engine.idle());
    r.pass();

    // The current position itself: nothing to do; nor OK on the position
    // shown, which its three decimals round (0.273" is 1001 counts).
    for (const char* here : {"0.2728", "0.273"}) {
        r.engine.go_to_command();
        r.engine.entry_confirmed(r.screen().entry.id, here);
        r.pass();
        EXPECT_TRUE(r.engine.idle()) << here;
        EXPECT_EQ(r.sentFrom(m), "") << here;
    }

    r.engine.go_to_command();
    r.engine.entry_confirmed(r.screen().entry.id, "0.5");
    EXPECT_FALSE(r.screen().entry.visible);
    r.pass();
    const long target = *typed_length_to_counts(0.5, kDefaultInchesPerCount, Unit::Inches);
    EXPECT_EQ(r.sentFrom(m), (std::string{'g', static_cast<char>(target >> 8), static_cast<char>(target & 0xFF)}));
}

TEST(ExecutiveGoToEntry, RefusedEntriesKeepTheEntryOpenAndSayWhy) {
    Rig r;
    r.startCommunicating(1000);
    r.engine.go_to_command();
    const int id = r.screen().entry.id;
    struct Case {
        const char* text;
        const char* label;
    } cases[] = {
        {"abc", "'abc' is not a valid number. Reenter desired value."},
        {"-0.1", "Value must be a positive number. Reenter desired value."},
        {"2", "Entered position exceeds focuser travel limit. Reenter desired position."},
        // Beyond the travel limit and the module's range: the travel limit
        // is the reason; huge and exponent entries are numbers, not a
        // missing scale.
        {"20", "Entered position exceeds focuser travel limit. Reenter desired position."},
        {"1e30", "Entered position exceeds focuser travel limit. Reenter desired position."},
        {"9999999999", "Entered position exceeds focuser travel limit. Reenter desired position."},
        {"inf", "'inf' is not a valid number. Reenter desired value."},
        {"nan", "'nan' is not a valid number. Reenter desired value."},
    };
    for (const Case& c : cases) {
        const unsigned refill = r.screen().entry.refill;
        r.engine.entry_confirmed(id, c.text);
        EXPECT_TRUE(r.screen().entry.visible) << c.text;
        EXPECT_EQ(r.screen().entry.label, c.label);
        EXPECT_GT(r.screen().entry.refill, refill) << "the preset is written back";
        EXPECT_EQ(r.screen().entry.preset, "0.273");
    }
    r.pass();
    EXPECT_TRUE(r.screen().entry.visible);
    EXPECT_EQ(r.busy(), situation_bit(Situation::Entry)) << "the entry still waits";
    // Zero is a position like any other.
    const size_t m = r.mark();
    r.engine.entry_confirmed(id, "0");
    EXPECT_FALSE(r.screen().entry.visible);
    r.pass();
    EXPECT_EQ(r.goToTargets(m), (std::vector<long>{0}));

    // With a travel limit beyond the module's range (a profile saved so),
    // the module's range is the reason; exactly the travel limit is accepted.
    Rig big;
    FocuserProfile fine;
    fine.inchesPerCount = 0.0001f;
    fine.maxTravel = 70000;
    big.saveProfile(1, fine);
    big.startCommunicating(1000);
    big.engine.go_to_command();
    big.engine.entry_confirmed(big.screen().entry.id, "6.6");
    EXPECT_EQ(big.screen().entry.label,
              "Entered position is beyond the control module's range of 65535 counts. Reenter desired position.");
    Rig exact;
    fine.maxTravel = 6600;
    exact.saveProfile(1, fine);
    exact.startCommunicating(1000);
    exact.engine.go_to_command();
    const size_t e = exact.mark();
    exact.engine.entry_confirmed(exact.screen().entry.id, "0.66");
    EXPECT_FALSE(exact.screen().entry.visible) << "exactly the maximum travel";
    exact.pass();
    EXPECT_EQ(exact.goToTargets(e), (std::vector<long>{6600}));

    // Only a scale of 0 gives the scale message.
    Rig zero;
    FocuserProfile unscaled;
    unscaled.inchesPerCount = 0;
    zero.saveProfile(1, unscaled);
    zero.startCommunicating(1000);
    zero.engine.go_to_command();
    zero.engine.entry_confirmed(zero.screen().entry.id, "1");
    EXPECT_EQ(zero.screen().entry.label,
              "The focuser scale (encoder counts per inch) is not set.Set the encoder count value first.");
}

TEST(ExecutiveStoreDelete, StoreAsksOnlyForAnOccupiedSlotAndDeleteAsks) {
    Rig r;
    r.startCommunicating(1000);
    r.engine.StoreNClick(3);
    EXPECT_FALSE(r.screen().question.visible) << "an empty slot is stored without a question";
    r.pass();
    EXPECT_EQ(r.engine.stored_position(3).count, 1000);
    EXPECT_EQ(r.screen().descriptionOpen, 2);
    EXPECT_EQ(r.screen().descriptions[2], "Enter a description");
    r.engine.save_position_N(3, "Eyepiece");
    EXPECT_EQ(r.screen().descriptionOpen, -1);

    r.engine.StoreNClick(3);
    ASSERT_TRUE(r.screen().question.visible);
    EXPECT_EQ(r.screen().question.text, "Are you sure you want to overwrite the existing setting?");
    r.engine.question_answered(r.screen().question.id, false);
    r.pass();
    EXPECT_TRUE(r.engine.idle());
    EXPECT_EQ(r.screen().descriptionOpen, -1);

    r.engine.DeleteNClick(3);
    ASSERT_TRUE(r.screen().question.visible);
    EXPECT_EQ(r.screen().question.text, "Are you sure you want to delete this stored position?");
    r.engine.question_answered(r.screen().question.id, true);
    r.pass();
    EXPECT_EQ(r.engine.stored_position(3).count, -1);
    EXPECT_EQ(r.screen().posText[2], " ");
    EXPECT_EQ(r.screen().descriptions[2], " ");
}

TEST(ExecutiveRestore, RestoreDefaultsAsksAndRunsOnlyOnYes) {
    Rig r;
    r.startCommunicating();
    r.engine.UnitsClick(1);
    r.engine.RestoreDefaultsClick();
    ASSERT_TRUE(r.screen().question.visible);
    r.engine.question_answered(r.screen().question.id, false);
    r.pass();
    EXPECT_EQ(r.screen().unitsIndex, 1);
    EXPECT_EQ(r.configFile().unitsIndex, 1);
    r.engine.RestoreDefaultsClick();
    r.engine.question_answered(r.screen().question.id, true);
    r.pass();
    EXPECT_EQ(r.screen().unitsIndex, 0);
    EXPECT_EQ(r.configFile().unitsIndex, 0);
}

// ---- dispatch of the queued letter ----

TEST(ExecutiveDispatch, QueuedCommandsStartWhenTheExchangeOnTheLineEnds) {
    // Each command asked for while the idle poll is on the line waits for
    // its reply and then goes out; the initialization starts with its first
    // settings write.
    struct Case {
        const char* name;
        std::function<std::string(Engine&)> ask;
        const char* sent;
        Situations running;  // the situations once it went out
    } cases[] = {
        {"go-to", [](Engine& e) { return e.move_to(300); }, "g\x01\x2C", situation_bit(Situation::GoTo)},
        {"initialization", [](Engine& e) { return e.initialize(); }, "s", situation_bit(Situation::InitSettings)},
        {"move in",
         [](Engine& e) {
             e.move_in_command();
             return std::string();
         },
         "i", situation_bit(Situation::Command)},
        {"move out",
         [](Engine& e) {
             e.move_out_command();
             return std::string();
         },
         "o", situation_bit(Situation::Command)},
        {"zero", [](Engine& e) { return e.set_zero(); }, "z", situation_bit(Situation::Command)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        r.startCommunicating();
        r.pollOnTheLine();
        const size_t m = r.mark();
        EXPECT_EQ(c.ask(r.engine), "");
        EXPECT_EQ(r.sentFrom(m), "") << "waits for the poll's reply";
        EXPECT_TRUE(r.engine.situations() & situation_bit(Situation::Queued));
        r.reply({'p', 0x03, 0xE8});
        EXPECT_EQ(r.sentFrom(m), std::string(c.sent));
        EXPECT_EQ(r.busy(), c.running) << "nothing else waits";
    }
}

TEST(ExecutiveDispatch, ACommandAskedForDuringAnExchangeIsSentAfterIt) {
    Rig r;
    r.startCommunicating();
    r.statusOnTheLine();
    const size_t m = r.mark();
    r.engine.move_in_command();
    EXPECT_EQ(r.sentFrom(m), "") << "nothing is sent while the status read is in progress";
    EXPECT_TRUE(r.engine.situations() & situation_bit(Situation::Queued));
    r.statusAndPosition(1000);
    EXPECT_EQ(r.sentFrom(m), "pi");
}

// ---- receive bounds ----

TEST(ExecutiveReceive, NeverTakesMoreThanTheReplyLengthAndExtraBytesArePurged) {
    Rig r;
    r.startCommunicating();
    r.pollOnTheLine();
    r.link.waiting = {'p', 0x01, 0x2C, 0xEE, 0xFF, 'q'};
    r.engine.ComPortDataAvailable();
    EXPECT_EQ(r.link.waiting.size(), 3u) << "the reply's three bytes taken, the rest stays in the port";
    r.engine.ComPortDataAvailable();
    EXPECT_EQ(r.link.waiting.size(), 3u) << "a complete reply takes nothing more";
    r.pass();
    EXPECT_EQ(r.engine.position(), std::optional<long>(300));
    // The next command purges the left-overs before it is written.
    r.pollOnTheLine();
    EXPECT_TRUE(r.link.waiting.empty());
    r.reply({'p', 0x01, 0x2D});
    EXPECT_EQ(r.engine.position(), std::optional<long>(301));
}

TEST(ExecutiveReceive, AReplyInPiecesIsCollectedAcrossEvents) {
    Rig r;
    r.startCommunicating();
    r.pollOnTheLine();
    r.reply({'p'});
    r.reply({0x01});
    EXPECT_EQ(r.onTheLine(), 'p');
    r.reply({0x2C});
    EXPECT_TRUE(r.engine.idle());
    EXPECT_EQ(r.engine.position(), std::optional<long>(300));
}
