// Units and displays, step moves, backlash correction and stored positions,
// driven through the engine.
#include "tests/engine/engine_rig.h"

#include "positioning/units.h"
#include "storage/file_store.h"

using namespace corvell;
using namespace corvell::test;

namespace {

// Answers each go-to as a module would until the executive is idle: its
// echo and completion, then the status and position reads after it.
void completeGoTos(Rig& r, unsigned endPosition) {
    for (int i = 0; i < 4 && !r.engine.idle(); ++i) {
        if (r.lastCommand() == 'g') {
            r.reply({'g'});
            r.reply({'c'});
        }
        if (r.onTheLine() == 't') r.statusAndPosition(endPosition);
    }
}

FocuserProfile profileOnDisk(const Rig& r) {
    auto bytes = read_file_head(r.dir.file("fc00001.df1"), 4096);
    return bytes ? parse_profile(bytes->data(), bytes->size()) : FocuserProfile();
}

void store(Rig& r, int n, unsigned position, bool arrivedInward) {
    // Two reads: the second decides the direction of the last move.
    r.setPosition(arrivedInward ? position + 100 : position - 100);
    r.setPosition(position);
    r.storeHere(n);
}

}  // namespace

TEST(EngineUnits, ChangingUnitsRewritesTheDisplaysResetsTheStepAndSavesIt) {
    Rig r;
    r.startCommunicating(1000);
    EXPECT_EQ(r.screen().encoderStep, "3666.933");
    EXPECT_EQ(r.screen().stepText, "0.010\"");
    EXPECT_EQ(r.screen().encoderLines, "Encoder Counts per inch:");
    r.engine.UnitsClick(1);
    EXPECT_EQ(r.screen().encoderLines, "  Encoder Counts per cm:");
    EXPECT_EQ(r.screen().encoderStep, "1443.674");
    EXPECT_EQ(r.screen().stepText, "0.20mm");
    EXPECT_EQ(r.screen().position, (Lines{"0.693cm"}));
    EXPECT_EQ(r.screen().maxTravel, (Lines{"4.572cm"}));
    auto bytes = read_file_head(r.dir.file("focuser.dc1"), 1024);
    ASSERT_TRUE(bytes);
    ProgramConfig c = parse_config(bytes->data(), bytes->size());
    EXPECT_EQ(c.unitsIndex, 1);
    EXPECT_FLOAT_EQ(c.stepIncrement, 0.007874f);
}

TEST(EngineSteps, StepInPastZeroSendsNothingStepOutMovesByTheIncrement) {
    Rig r;
    r.startCommunicating(10);
    size_t m = r.mark();
    r.engine.StepInButtonClick();  // 0.01" is about 36 counts: below zero
    r.pass();
    EXPECT_EQ(r.sentFrom(m), "");
    r.engine.StepOutButtonClick();
    const float ipc = kDefaultInchesPerCount;
    EXPECT_EQ(r.goToTargets(m), (std::vector<long>{static_cast<long>((10 * ipc + 0.01f) / ipc)}));
    completeGoTos(r, 46);

    // The arrows change the increment by 0.001" and never below zero; a
    // step of zero moves nothing.
    for (int i = 0; i < 12; ++i) r.engine.StepUpDownChangingEx(-1);
    EXPECT_EQ(r.configFile().stepIncrement, 0.0f);
    EXPECT_EQ(r.screen().stepText, "0.000\"");
    m = r.mark();
    r.engine.StepOutButtonClick();
    r.pass();
    EXPECT_EQ(r.sentFrom(m), "");
    EXPECT_EQ(r.screen().refusal.lines, (Lines{"The step increment is 0", "Step Out not started"}));
    EXPECT_EQ(r.screen().refusal.place, RefusalScreen::Place::Operate);
}

TEST(EngineSteps, TypedIncrementsAreReadInTheUnitAndNonsenseKeepsTheValue) {
    Rig r;
    r.startCommunicating();
    r.engine.UnitsClick(1);
    r.engine.step_increment_input(true, "0.5");
    EXPECT_EQ(r.screen().stepText, "0.50mm");
    EXPECT_NEAR(r.configFile().stepIncrement, 0.5 / 25.4, 1e-7);
    // The increment in use is what the next step moves: 0.5 mm is 72 counts.
    auto stepOut = [&r] {
        const size_t m = r.mark();
        r.engine.StepOutButtonClick();
        const std::vector<long> targets = r.goToTargets(m);
        r.reply({'g'});
        r.reply({'c'});
        r.statusAndPosition(1000);
        return targets;
    };
    EXPECT_EQ(stepOut(), (std::vector<long>{1072}));
    r.engine.step_increment_input(true, "1.2.");
    EXPECT_EQ(r.view.warnings, (std::vector<std::string>{"1.2."}));
    EXPECT_EQ(r.screen().stepText, "0.50mm");
    EXPECT_NEAR(r.configFile().stepIncrement, 0.5 / 25.4, 1e-7);
    EXPECT_EQ(stepOut(), (std::vector<long>{1072}));
    r.engine.step_increment_input(false, "9");
    EXPECT_EQ(r.screen().stepText, "0.50mm") << "nothing typed: unchanged";
    EXPECT_NEAR(r.configFile().stepIncrement, 0.5 / 25.4, 1e-7) << "nothing typed: unchanged";
    EXPECT_EQ(stepOut(), (std::vector<long>{1072}));
}

TEST(EngineBacklash, SwitchAndDistanceAreSavedAndAZeroScaleIgnoresTheDistance) {
    Rig r;
    r.startCommunicating();
    r.engine.BacklashEnableClick(1);
    EXPECT_TRUE(r.screen().backlashEditEnabled);
    EXPECT_EQ(profileOnDisk(r).backlashEnable, 1);
    r.engine.backlash_count_update(true, "0.1");
    EXPECT_EQ(r.engine.backlash_count(), 366);
    EXPECT_EQ(profileOnDisk(r).backlashCount, 366);
    EXPECT_EQ(r.screen().backlashText, "0.100\"");
    for (const char* bound : {"45.395cm", "17.872\""}) {  // 65535 counts in the box's own unit
        r.engine.UnitsClick(bound[6] == 'c');
        r.engine.backlash_count_update(true, "50");
        EXPECT_EQ(r.screen().refusal.lines[0], "The backlash correction distance must be 0 to " + std::string(bound));
    }
    r.engine.BacklashEnableClick(0);
    EXPECT_FALSE(r.screen().backlashEditEnabled);
    EXPECT_EQ(profileOnDisk(r).backlashCount, 366) << "switching off keeps the distance";

    // A profile without a scale.
    Rig z;
    FocuserProfile unscaled;
    unscaled.inchesPerCount = 0;
    unscaled.backlashCount = 366;
    z.saveProfile(1, unscaled);
    z.startCommunicating();
    z.engine.backlash_count_update(true, "0.2");
    EXPECT_EQ(z.engine.backlash_count(), 366);
    EXPECT_EQ(profileOnDisk(z).backlashCount, 366);
}

TEST(EngineStoredPositions, GoToOvershootsThenEndsMovingTheStoredWay) {
    Rig r;
    r.startCommunicating(1000);
    r.engine.BacklashEnableClick(1);
    store(r, 1, 3000, false);
    EXPECT_EQ(r.screen().posText[0], "0.818\"");
    FocuserProfile p = profileOnDisk(r);
    EXPECT_EQ(p.positions[0], 3000);
    EXPECT_EQ(p.directionFlags & 1u, 0u);

    // From 5000 the stored position lies inward: overshoot to 3000 - 733,
    // then come back out to 3000.
    r.setPosition(5000);
    size_t m = r.mark();
    r.engine.GoToNClick(1);
    completeGoTos(r, 3000);
    EXPECT_EQ(r.goToTargets(m), (std::vector<long>{2267, 3000}));
    EXPECT_TRUE(r.engine.idle());

    // From at least the correction below: straight to 3000.
    r.setPosition(1000);
    m = r.mark();
    r.engine.GoToNClick(1);
    completeGoTos(r, 3000);
    EXPECT_EQ(r.goToTargets(m), (std::vector<long>{3000}));

    // Correction off: straight whatever the direction; at the stored
    // position itself, nothing.
    r.engine.BacklashEnableClick(0);
    r.setPosition(5000);
    m = r.mark();
    r.engine.GoToNClick(1);
    completeGoTos(r, 3000);
    EXPECT_EQ(r.goToTargets(m), (std::vector<long>{3000}));
    r.setPosition(3000);
    m = r.mark();
    r.engine.GoToNClick(1);
    r.engine.GoToNClick(5);  // empty
    r.pass();
    EXPECT_EQ(r.sentFrom(m), "");
}

TEST(EngineStoredPositions, ClippedOvershootAsksFirstAndEndsAfterTheFinalLeg) {
    Rig r;
    r.startCommunicating(1000);
    r.engine.BacklashEnableClick(1);
    // Stored at 6400 after an inward move: 6400 + 733 passes the maximum
    // travel of 6600.
    store(r, 2, 6400, true);
    EXPECT_EQ(profileOnDisk(r).directionFlags & 2u, 2u);
    r.setPosition(3000);

    size_t m = r.mark();
    r.engine.GoToNClick(2);
    ASSERT_TRUE(r.screen().question.visible);
    EXPECT_EQ(r.screen().question.text,
              "\nThe backlash correction is not optimal due to the mechanical stops on the focuser.");
    r.engine.question_answered(r.screen().question.id, false);
    r.pass();
    r.advance(100);
    EXPECT_EQ(r.sentFrom(m), "") << "declined: nothing moves";

    m = r.mark();
    r.engine.GoToNClick(2);
    r.engine.question_answered(r.screen().question.id, true);
    r.pass();
    EXPECT_TRUE(r.screen().stopGoToVisible);
    completeGoTos(r, 6400);
    EXPECT_EQ(r.goToTargets(m), (std::vector<long>{6600, 6400}));
    EXPECT_FALSE(r.screen().stopGoToVisible);
    r.advance(3000);
    EXPECT_EQ(r.goToTargets(m).size(), 2u) << "the sequence ends after the final leg";
}

TEST(EngineStoredPositions, ZeroScaleMovesNothingAndStaysReadable) {
    Rig r;
    FocuserProfile unscaled;
    unscaled.inchesPerCount = 0;
    r.saveProfile(1, unscaled);
    r.startCommunicating(1000);
    EXPECT_EQ(r.screen().encoderStep, "0.000");
    const size_t m = r.mark();
    r.engine.StepOutButtonClick();
    EXPECT_EQ(r.screen().activity,
              (Lines{"The focuser scale (encoder counts per inch) is not set", "Step Out not started"}));
    r.engine.go_to_command();
    r.engine.entry_confirmed(r.screen().entry.id, "0.1");
    EXPECT_TRUE(r.screen().entry.visible);
    r.engine.entry_cancelled(r.screen().entry.id);
    r.pass();
    EXPECT_EQ(r.sentFrom(m), "");
    // A go-to by count (another front end's) waits 30000 ms for its completion.
    r.runGoTo(2000);
    EXPECT_TRUE(r.completionAwaited(30000));
}

TEST(EngineStoredPositions, TheLastSlotAndASlotAtCountZeroAreStoredSlots) {
    Rig r;
    r.startCommunicating(0);
    // Slot 20 stores like any other; a slot holding count 0 is occupied:
    // storing over it asks first, deleting it asks too.
    EXPECT_FALSE(r.screen().slotStored[19]);
    store(r, 20, 700, false);
    EXPECT_EQ(r.engine.stored_position(20).count, 700);
    EXPECT_TRUE(r.screen().slotStored[19]);
    EXPECT_EQ(profileOnDisk(r).positions[19], 700);
    r.setPosition(0);
    r.engine.StoreNClick(5);
    r.pass();
    r.engine.save_position_N(5, "zero");
    ASSERT_EQ(r.engine.stored_position(5).count, 0);
    EXPECT_TRUE(r.screen().slotStored[4]) << "count 0 is stored";
    r.setPosition(50);
    r.engine.StoreNClick(5);
    EXPECT_TRUE(r.screen().question.visible) << "count 0 is a stored position";
    r.engine.question_answered(r.screen().question.id, true);
    r.pass();
    EXPECT_EQ(r.engine.stored_position(5).count, 50);
    EXPECT_EQ(r.screen().descriptions[4], "zero") << "an occupied slot keeps its description";
}

// An INDI client's moves, corrected: each ends moving outward, from at
// least the correction distance below its count, the overshoot stopping at
// the zero stop. Between the legs the move is one go-to: busy, and a second
// move is refused.
TEST(EngineStoredPositions, CorrectedGoTosEndMovingOutwardFromTheDistanceBelow) {
    constexpr auto kCorrected = Engine::Approach::Corrected;
    const struct {
        const char* what;
        bool on;
        Engine::Approach approach;
        unsigned from;
        long to;
        std::vector<long> legs;
    } cases[] = {
        {"out by more than the distance", true, kCorrected, 1000, 3000, {3000}},
        {"inward", true, kCorrected, 3000, 2000, {1750, 2000}},
        {"out by less than the distance", true, kCorrected, 2000, 2100, {1850, 2100}},
        {"inward, nearer zero than the distance", true, kCorrected, 2100, 100, {0, 100}},
        {"out from the zero stop", true, kCorrected, 0, 100, {100}},
        {"straight, as the Alpaca server asks", true, Engine::Approach::Straight, 3000, 2000, {2000}},
        {"correction off", false, kCorrected, 3000, 2000, {2000}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        Rig r;
        r.startCommunicating(k.from);
        ASSERT_EQ(r.engine.set_backlash_count(250), "");
        ASSERT_EQ(r.engine.set_backlash(k.on), "");
        const size_t m = r.mark();
        ASSERT_EQ(r.engine.move_to(k.to, OutsideTravel::Refuse, k.approach), "");
        for (size_t leg = 0; leg < k.legs.size(); ++leg) {
            ASSERT_EQ(r.goToTargets(m).size(), leg + 1);
            EXPECT_TRUE(r.engine.moving() && r.engine.operation_pending());
            EXPECT_EQ(r.engine.move_to(5000, OutsideTravel::Refuse, k.approach), "A Go To is in progress");
            r.reply({'g'});
            r.reply({'c'});
            r.statusAndPosition(static_cast<unsigned>(k.legs[leg]));
        }
        EXPECT_EQ(r.goToTargets(m), k.legs);
        EXPECT_FALSE(r.engine.moving() || r.engine.operation_pending());
    }

    // Asked while a poll is on the line, both legs follow it; Stop in the
    // overshoot ends both.
    Rig r;
    r.startCommunicating(3000);
    r.engine.set_backlash_count(250);
    r.engine.set_backlash(true);
    r.link.module.enabled = true;
    r.link.module.position = 3000;
    r.pollOnTheLine();
    const size_t m = r.mark();
    ASSERT_EQ(r.engine.move_to(2000, OutsideTravel::Refuse, kCorrected), "");
    r.advance(10);
    EXPECT_EQ(r.goToTargets(m), (std::vector<long>{1750}));
    r.engine.halt();
    r.advance(5000);
    EXPECT_EQ(r.goToTargets(m), (std::vector<long>{1750}));
    EXPECT_NE(r.sentFrom(m).find('s'), std::string::npos);
    EXPECT_FALSE(r.engine.moving() || r.engine.operation_pending());
}

// The idle poll a client sets, within the range the module allows; a
// continuous move keeps the program's own interval, by which its end is
// seen.
TEST(EngineSteps, TheIdlePollIsSetWithinItsRangeAndAContinuousMoveKeepsItsOwn) {
    Rig r;
    r.startCommunicating(1000);
    for (long outside : {0L, 99L, 1501L, -200L})
        EXPECT_EQ(r.engine.set_idle_poll(outside), "The polling period must be 100 to 1500 ms") << outside;
    EXPECT_EQ(r.engine.idle_poll(), 1500);
    ASSERT_EQ(r.engine.set_idle_poll(200), "");
    r.setPosition(1000);
    EXPECT_EQ(r.timer.loads.back(), 200);
    const long long before = r.timer.now;
    r.setPosition(1000);
    EXPECT_EQ(r.timer.now - before, 200) << "the next read 200 ms after the last";
    r.engine.move_in_command();
    r.reply({'i'});
    r.statusAndPosition(900);
    EXPECT_EQ(r.timer.loads.back(), 1500);
}
