// Initialization: the question, the settings written in order, the homing
// with its stop, and every way a step can fail.
#include "tests/engine/engine_rig.h"

#include "control/init_values.h"

using namespace corvell;
using namespace corvell::test;

namespace {

// The focuser of the examples, saved as its profile: 2000 counts per inch,
// 300 counts of travel.
void exampleFocuser(Rig& r) {
    FocuserProfile p;
    p.inchesPerCount = 0.0005f;
    p.maxTravel = 300;
    r.saveProfile(1, p);
}

const Situations kInitSettings = situation_bit(Situation::InitSettings);

const std::string kSettingsBytes =
    std::string("s") + "d\x01\xA0" + std::string("e\x00\xFA", 3) + std::string("f\x00\x32", 3) + "w\x01\x2C" + "h";

}  // namespace

TEST(InitializationValues, ScaleDerivedSettingsAndTravelNeverWrap) {
    InitializationValues v = initialization_values(0.0005f, 300);
    EXPECT_EQ(v.d, 416);
    EXPECT_EQ(v.e, 250);
    EXPECT_EQ(v.f, 50);
    EXPECT_EQ(v.w, 300);
    EXPECT_FALSE(v.speedLimited || v.travelLimited);
    // The default scale (about 3667 counts per inch).
    v = initialization_values(kDefaultInchesPerCount, 6600);
    EXPECT_EQ(v.d, 227);
    EXPECT_EQ(v.e, 136);
    EXPECT_EQ(v.f, 27);
    // Out of range: held to the range, not cut to the low 16 bits.
    v = initialization_values(1.0f, 70000);
    EXPECT_EQ(v.d, 65535);
    EXPECT_EQ(v.e, 65535);
    EXPECT_EQ(v.f, 65535);
    EXPECT_EQ(v.w, 65535);
    EXPECT_TRUE(v.speedLimited && v.travelLimited);
    v = initialization_values(-1.0f, -5);
    EXPECT_EQ(v.d, 0);
    EXPECT_EQ(v.w, 0);
    EXPECT_TRUE(v.travelLimited);
    v = initialization_values(0.0f, 65535);
    EXPECT_EQ(v.d, 0);
    EXPECT_EQ(v.w, 65535);
    EXPECT_FALSE(v.travelLimited);
}

TEST(EngineInitialization, AnsweredNoSendsNothing) {
    Rig r;
    r.startCommunicating();
    const size_t m = r.mark();
    r.engine.ReinitializeClick();
    EXPECT_EQ(r.screen().question.text,
              "Are you sure you want to initialize the focuser?  The focuser will recompute its speed settings, then "
              "return to its zero position.  This may take a minute or more to complete.");
    r.engine.question_answered(r.screen().question.id, false);
    r.pass();
    r.advance(100);
    EXPECT_EQ(r.sentFrom(m), "");
    EXPECT_FALSE(r.screen().stopInitVisible);
}

TEST(EngineInitialization, WritesTheSettingsInOrderThenHomes) {
    Rig r;
    exampleFocuser(r);
    r.startCommunicating();
    const size_t m = r.mark();
    r.startInitialization();
    EXPECT_TRUE(r.screen().stopInitVisible);
    EXPECT_EQ(r.screen().activity, (Lines{"Writing focuser settings", "Please wait"}));
    r.echoSettings();
    EXPECT_EQ(r.sentFrom(m), kSettingsBytes);
    EXPECT_EQ(r.lastCommand(), 'h');
    EXPECT_EQ(r.busy(), situation_bit(Situation::InitHoming)) << "its echo awaited";
    r.reply({'h'});
    EXPECT_TRUE(r.completionAwaited(120000));
    EXPECT_TRUE(r.screen().stopInitVisible);
    r.advance(60000);
    r.reply({'c'});
    EXPECT_FALSE(r.screen().stopInitVisible);
    EXPECT_EQ(r.screen().activity, (Lines{"Initialization completed", "Waiting for command"}));
    r.statusAndPosition(0, 0x41);
    EXPECT_TRUE(r.engine.idle());
}

TEST(EngineInitialization, ATimeOutOrAWrongEchoAtAnyStepEndsIt) {
    const char letters[] = {'s', 'd', 'e', 'f', 'w'};
    for (int failAt = 0; failAt < 5; ++failAt) {
        for (int how = 0; how < 3; ++how) {
            SCOPED_TRACE(std::string("step ") + letters[failAt] +
                         (how == 0   ? " time-out"
                          : how == 1 ? " rejected"
                                     : " wrong"));
            Rig r;
            exampleFocuser(r);
            r.startCommunicating();
            r.startInitialization();
            for (int i = 0; i < failAt; ++i) r.reply({static_cast<uint8_t>(letters[i])});
            const unsigned page = r.screen().operatePage;
            if (how == 0) {
                r.advance(1499);
                EXPECT_EQ(r.busy(), kInitSettings);
                EXPECT_EQ(r.lastCommand(), letters[failAt]);
                r.advance(1);
                EXPECT_EQ(r.screen().status.front(), "Serial Communications Timeout");
                EXPECT_EQ(r.onTheLine(), 'b');
            } else {
                r.reply({static_cast<uint8_t>(how == 1 ? 'r' : 'x')});
                EXPECT_EQ(r.screen().activity,
                          (Lines{how == 1 ? "Command error" : "Focuser response error", "Waiting for command"}));
                EXPECT_EQ(r.onTheLine(), 't');
            }
            EXPECT_FALSE(r.screen().stopInitVisible);
            EXPECT_GT(r.screen().operatePage, page);
            EXPECT_EQ(r.link.written.back() == 'h', false) << "no homing after a failed step";
        }
    }
}

TEST(EngineInitialization, HomingWithoutCompletionEndsAt120000ms) {
    Rig r;
    exampleFocuser(r);
    r.startCommunicating();
    r.startInitialization();
    r.echoSettings();
    r.reply({'h'});
    r.advance(119999);
    EXPECT_TRUE(r.completionAwaited(120000));
    EXPECT_TRUE(r.screen().stopInitVisible);
    r.advance(1);
    EXPECT_FALSE(r.screen().stopInitVisible);
    EXPECT_EQ(r.screen().status.front(), "Serial Communications Timeout");
    EXPECT_EQ(r.onTheLine(), 'b');
}

TEST(EngineInitialization, TheStopButtonEndsTheHomingAndReadsThePosition) {
    Rig r;
    exampleFocuser(r);
    r.startCommunicating();
    r.startInitialization();
    r.echoSettings();
    r.reply({'h'});
    r.advance(5000);
    const size_t m = r.mark();
    r.engine.StopReinitClick();
    EXPECT_FALSE(r.screen().stopInitVisible);
    EXPECT_EQ(r.sentFrom(m), "s");
    r.pass();
    r.reply({'s'});
    r.statusAndPosition(40);
    EXPECT_EQ(r.sentFrom(m), "stp");
    EXPECT_EQ(r.screen().encoderPosition, "40");
    EXPECT_EQ(r.screen().activity, (Lines{"Command terminated by user", "Waiting for command"}));
}

TEST(EngineInitialization, StopWhileTheSettingsAreWrittenEndsItBeforeHoming) {
    // By the main window's Stop and by the dialog's button, while a write
    // is on the line and between two writes.
    for (int which = 0; which < 4; ++which) {
        Rig r;
        exampleFocuser(r);
        r.startCommunicating();
        r.startInitialization();
        r.reply({'s'});
        r.reply({'d'});
        r.reply({'e'});
        ASSERT_EQ(r.busy(), kInitSettings);
        ASSERT_EQ(r.lastCommand(), 'f') << "the 'f' write is on the line";
        if (which >= 2) {
            // Between writes: the echo has come, the next pass would send 'w'.
            r.link.waiting.push_back('f');
            r.engine.ComPortDataAvailable();
            r.view.passRequests = 0;
            r.engine.executiveIdle();
            ASSERT_TRUE(r.link.waiting.empty()) << "the echo was taken";
            ASSERT_EQ(r.lastCommand(), 'f') << "'w' not sent yet";
            ASSERT_EQ(r.view.passRequests, 1) << "the next pass sends it";
        }
        const size_t m = r.mark();
        if (which % 2 == 0)
            r.engine.stop_command();
        else
            r.engine.StopReinitClick();
        EXPECT_EQ(r.sentFrom(m), "s") << "sent at once";
        if (which < 2) r.reply({'f'});  // the write on the line finishes
        r.pass();
        r.reply({'s'});
        EXPECT_EQ(r.screen().activity, (Lines{"Initialization stopped before homing", "Waiting for command"}));
        r.statusAndPosition(40);
        r.advance(200000);
        EXPECT_EQ(r.sentFrom(m).find('h'), std::string::npos) << "no homing after Stop";
        EXPECT_EQ(r.sentFrom(m).find('w'), std::string::npos) << "no further settings";
        EXPECT_FALSE(r.screen().stopInitVisible);
        EXPECT_FALSE(r.engine.situations() & kInitSettings);
        EXPECT_FALSE(r.engine.initializing());
    }
}

TEST(EngineInitialization, ValuesBeyondTheModulesRangeAreHeldAndSaidSo) {
    Rig r;
    FocuserProfile coarse;
    coarse.inchesPerCount = 1.0f;
    coarse.maxTravel = 70000;
    r.saveProfile(1, coarse);
    r.startCommunicating();
    const size_t m = r.mark();
    r.startInitialization();
    r.echoSettings();
    EXPECT_EQ(r.sentFrom(m), std::string("s") + "d\xFF\xFF" + "e\xFF\xFF" + "f\xFF\xFF" + "w\xFF\xFF" + "h");
    EXPECT_EQ(r.screen().activity, (Lines{"Focuser settings updated", "Reinitializing the focuser",
                                          "Speed settings limited to 65535", "Maximum travel sent as 65535 counts"}));
}

TEST(EngineInitialization, RefusedWhileAQuestionIsOpenOrAGoToRuns) {
    Rig r;
    r.startCommunicating();
    r.engine.set_zero_command();
    const int id = r.screen().question.id;
    r.engine.ReinitializeClick();
    EXPECT_EQ(r.screen().question.id, id);
    EXPECT_EQ(r.screen().activity, (Lines{"Answer the open question first", "Initialization not started"}));
    r.engine.question_answered(id, false);
    r.pass();
    const size_t m = r.mark();
    EXPECT_EQ(r.engine.move_to(2000), "");
    r.engine.ReinitializeClick();
    EXPECT_FALSE(r.screen().question.visible);
    EXPECT_EQ(r.screen().activity, (Lines{"A Go To is in progress", "Initialization not started"}));
    EXPECT_EQ(r.sentFrom(m), std::string("g\x07\xD0")) << "the go-to, its echo awaited";
    EXPECT_EQ(r.busy(), situation_bit(Situation::GoTo));
}
