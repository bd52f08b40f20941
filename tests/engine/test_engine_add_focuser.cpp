// The add-focuser setup: by model tables, by typed parameters and by the
// manual setup with the module's push buttons; cancelled at any page; the
// number of the file it writes.
#include <cmath>

#include "positioning/focuser_models.h"
#include "tests/engine/focuser_steps.h"

using namespace corvell;
using namespace corvell::test;

TEST(AddFocuser, ModelTablesGiveTheScaleAndTheTravel) {
    struct Case {
        int model, drawtube, encoder;
        double roller, travel, lines;
    } cases[] = {
        {3, 3, 2, 0.1875, 3.4, 4096},  // Mavrel 3, 4.60", 4096
        {4, 1, 0, 0.1875, 1.8, 1440},  // Nusset (all), 3.00": 1.8"
        {0, 0, 1, 0.125, 0.6, 2160},   // Kestin
        {2, 4, 2, 0.125, 4.55, 4096},  // Mavrel 1 or 2, 5.75"
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        Rig r;
        FocuserProfile old;  // its stored positions and backlash do not pass to the new one
        old.description = "Old";
        old.backlashEnable = old.directionFlags = 1;
        old.positions.fill(100);
        r.saveProfile(1, old);
        writeConfig(r, 1, 2);
        startWithModule(r);
        toModes(r, "By the tables");
        choose(r, 0);
        EXPECT_EQ(page(r).text1, "Select the Tav Focuser model.");
        choose(r, c.model);
        EXPECT_EQ(page(r).text1, "Select the focuser drawtube length.");
        EXPECT_EQ(page(r).choices,
                  focuser_models()[c.model].drawtubes.size() == 0
                      ? Lines{}
                      : Lines(focuser_models()[c.model].drawtubes.begin(), focuser_models()[c.model].drawtubes.end()));
        choose(r, c.drawtube);
        EXPECT_EQ(page(r).choices, (Lines{"1440", "2160", "4096"}));
        choose(r, c.encoder);
        EXPECT_EQ(page(r).text1, "Setup is now complete.");
        const float ipc = static_cast<float>(c.roller * 3.14159 / c.lines);
        const long travel = static_cast<long>(std::floor(static_cast<float>(c.travel) / static_cast<double>(ipc)));
        EXPECT_EQ(r.engine.inches_per_count(), ipc);
        EXPECT_EQ(r.engine.max_travel(), travel);
        // The new focuser: its own file, a row of its own, selected, current.
        auto saved = profileFile(r, 2);
        ASSERT_TRUE(saved);
        EXPECT_EQ(saved->description, "By the tables");
        EXPECT_EQ(saved->maxTravel, travel);
        EXPECT_EQ(saved->backlashEnable, 0);
        EXPECT_EQ(saved->backlashCount, static_cast<long>(std::floor(0.2 / static_cast<double>(ipc))));
        EXPECT_EQ(saved->directionFlags, 0u);
        for (int i = 0; i < kStoredSlots; ++i) {
            EXPECT_EQ(saved->positions[i], -1);
            EXPECT_EQ(saved->descriptions[i], " ");
        }
        EXPECT_EQ(r.screen().focuserList, (Lines{"Old", "By the tables"}));
        EXPECT_EQ(r.screen().focuserRow, 1);
        EXPECT_EQ(configFile(r).currentFileNumber, 2);
        EXPECT_EQ(configFile(r).nextFileNumber, 3);
        EXPECT_TRUE(r.screen().reinitTextVisible);
        EXPECT_EQ(page(r).okCaption, "Initialize now");
        // "Initialize now" asks the initialization's own question.
        ok(r);
        EXPECT_FALSE(page(r).visible);
        EXPECT_EQ(r.screen().question.text.rfind("Are you sure you want to initialize", 0), 0u);
    }
}

TEST(AddFocuser, TypedParametersThatAreNoScaleOrBeyondTheModuleAreAskedAgain) {
    for (int units : {0, 1}) {
        SCOPED_TRACE(units);
        Rig r;
        writeConfig(r, 1, 1, units);
        startWithModule(r);
        toModes(r, "Typed");
        choose(r, 1);
        r.engine.setup_back(page(r).id);
        r.pass();
        EXPECT_EQ(page(r).choice, 1) << "Back shows the mode chosen";
        choose(r, 1);
        EXPECT_EQ(page(r).entryLabel, units ? "Encoder lines per cm" : "Encoder lines per inch");
        EXPECT_FALSE(page(r).okEnabled);
        const std::string scale =
            units ? "Encoder counts per cm must be 39.37 to 39370.08" : "Encoder counts per inch must be 100 to 100000";
        const struct {
            const char* typed;
            std::string reason;
        } wrongs[] = {{"0", scale},
                      {"-5", scale},
                      {"1", scale},
                      {"1e30", scale},
                      {"39", scale},
                      {"nan", "'nan' is not a valid number"},
                      {"inf", "'inf' is not a valid number"},
                      {"abc", "'abc' is not a valid number"},
                      {"", "'' is not a valid number"}};
        for (const auto& wrong : wrongs) {
            enterDescription(r, wrong.typed);
            EXPECT_EQ(page(r).description, "Incorrect entry") << wrong.typed;
            EXPECT_EQ(page(r).refusal, wrong.reason) << wrong.typed;
        }
        enterDescription(r, units ? "500" : "2000");
        EXPECT_EQ(r.engine.inches_per_count(), units ? static_cast<float>(1.0 / (500 * 2.54)) : 0.0005f);
        EXPECT_EQ(page(r).focus, SetupScreen::Focus::Maximum);
        // OK is not enabled before a maximum is typed: pressing it changes nothing.
        const SetupScreen shown = page(r);
        ok(r, "2000", "5000");
        EXPECT_EQ(page(r).id, shown.id);
        EXPECT_EQ(page(r).text1, shown.text1);
        EXPECT_EQ(r.engine.max_travel(), 6600);
        for (const char* wrong : {"1", "70000", "65536"}) {
            enterMaximum(r, wrong);
            EXPECT_EQ(page(r).maximum, "Incorrect entry") << wrong;
            EXPECT_FALSE(page(r).okEnabled) << "nothing to take until a key is typed";
            EXPECT_EQ(page(r).refusal, "The maximum travel must be 2 to 65535 counts") << wrong;
        }
        EXPECT_EQ(r.engine.max_travel(), 6600) << "not taken";
        enterMaximum(r, "6000.9");
        EXPECT_EQ(page(r).maximum, "6000");
        ok(r);
        EXPECT_EQ(page(r).text1, "Setup is now complete.");
        EXPECT_EQ(profileFile(r, 1)->maxTravel, 6000);
        // "Initialize later": nothing more.
        r.engine.setup_cancelled(page(r).id);
        r.pass();
        r.advance(50);
        EXPECT_FALSE(r.screen().question.visible);
        EXPECT_EQ(r.engine.max_travel(), 6000);
    }
}

TEST(AddFocuser, TheManualSetupMeasuresWithThePushButtons) {
    Rig r;
    writeProfile(r, 1, "A");
    writeConfig(r, 1, 7, 1);  // cm
    startWithModule(r);
    r.engine.AddFocuserClick();
    r.pass();
    r.advance(50);
    EXPECT_EQ(page(r).caption, "Add New Focuser");
    ok(r);
    EXPECT_EQ(page(r).description, "Focuser 00007");
    ok(r, "Pushed");
    choose(r, 2);
    EXPECT_TRUE(page(r).showPosition);
    // The count follows the module's buttons.
    r.link.module.position = 1234;
    r.advance(600);
    EXPECT_EQ(page(r).position, "1234");
    ok(r);
    EXPECT_EQ(page(r).text1.rfind("Move the focuser to the end of travel", 0), 0u);
    r.link.module.position = 40;
    const size_t zero = r.mark();
    ok(r);
    EXPECT_NE(r.sentFrom(zero).find('z'), std::string::npos) << "the count becomes 0";
    EXPECT_EQ(page(r).description, "2.000");
    EXPECT_EQ(page(r).text1.rfind("Move the focuser out two cm", 0), 0u);
    // Not moved: the zero step again.
    ok(r);
    EXPECT_EQ(page(r).text1.rfind("The focuser has not moved from the zero position", 0), 0u);
    ok(r);
    EXPECT_EQ(page(r).description, "2.000") << "zeroed and asked again";
    // A distance that is no length is asked again; 2 cm at count 1000.
    r.link.module.position = 1000;
    r.advance(600);
    for (const char* wrong : {"0", "-2", "nan", "x"}) {
        r.engine.setup_description_typed(page(r).id);  // OK waits for a key
        ok(r, wrong);
        EXPECT_EQ(page(r).description, "Incorrect entry") << wrong;
        EXPECT_FALSE(page(r).okEnabled) << wrong;
    }
    r.engine.setup_description_typed(page(r).id);
    ok(r, "2.000");
    EXPECT_EQ(r.screen().encoderStep, "500.000") << "counts per cm";
    r.link.module.position = 5000;
    r.advance(600);
    ok(r);
    EXPECT_EQ(page(r).text1, "Setup is now complete.");
    EXPECT_EQ(r.engine.max_travel(), 5000);
    EXPECT_EQ(r.screen().focuserFiles, (std::vector<int>{1, 7}));
    EXPECT_TRUE(profileFile(r, 7));

    // Run alone on the current focuser: its own file takes the values, no row is added.
    r.engine.setup_cancelled(page(r).id);
    r.pass();
    r.advance(50);
    r.engine.ManualSetupButtonClick();
    r.pass();
    r.advance(50);
    EXPECT_EQ(page(r).text1, "Do you want to run the Manual Setup procedure on this focuser?");
    EXPECT_EQ(page(r).caption, "Focuser Manual Setup");
    EXPECT_EQ(page(r).description, "Pushed");
    ok(r, "Pushed again");
    ok(r);  // watch
    ok(r);  // zero
    r.link.module.position = 2000;
    r.advance(600);
    // The distance page has the keys in its edit, also after Back.
    for (int visit = 0; visit < 2; ++visit, r.engine.setup_back(page(r).id), r.pass(), r.advance(600)) {
        EXPECT_EQ(page(r).focus, SetupScreen::Focus::Description);
        EXPECT_EQ(page(r).entryLabel, "Distance (cm)");
        ok(r, "1");
    }
    ok(r, "2");
    r.link.module.position = 3000;
    r.advance(600);
    ok(r);
    EXPECT_EQ(r.screen().focuserFiles, (std::vector<int>{1, 7}));
    EXPECT_EQ(r.screen().focuserList, (Lines{"A", "Pushed again"})) << "renamed in the list before any restart";
    EXPECT_EQ(profileFile(r, 7)->description, "Pushed again");
    EXPECT_EQ(profileFile(r, 7)->maxTravel, 3000);
    EXPECT_EQ(profileFile(r, 7)->inchesPerCount, static_cast<float>(2 / 2.54 / 2000)) << "the distance typed last";
}

TEST(AddFocuser, CancelOrCloseAtAnyPageLeavesNoFileNoRowAndTheStoredValues) {
    // Each case goes that many answers into the setup, then cancels.
    const std::vector<std::function<void(Rig&)>> walks = {
        [](Rig&) {},                      // found
        [](Rig& r) { ok(r); },            // description
        [](Rig& r) { toModes(r, "X"); },  // mode
        [](Rig& r) {
            toModes(r, "X");
            choose(r, 0);
        },  // model
        [](Rig& r) {
            toModes(r, "X");
            choose(r, 0);
            choose(r, 3);
        },  // drawtube
        [](Rig& r) {
            toModes(r, "X");
            choose(r, 0);
            choose(r, 3);
            choose(r, 1);
        },  // encoder
        [](Rig& r) {
            toModes(r, "X");
            choose(r, 1);
            enterDescription(r, "3000");
        },  // parameters
        [](Rig& r) {
            toModes(r, "X");
            choose(r, 2);
            ok(r);
            ok(r);
        },  // distance
    };
    for (size_t w = 0; w < walks.size(); ++w) {
        SCOPED_TRACE(w);
        Rig r;
        writeProfile(r, 1, "Kept", 0.0004f);
        writeConfig(r, 1, 2);
        startWithModule(r);
        const std::string configBefore = *read_file_head(r.dir.file("focuser.dc1"), 4096);
        r.engine.AddFocuserClick();
        r.pass();
        r.advance(50);
        if (w > 0) walks[w](r);
        ASSERT_TRUE(page(r).visible);
        r.engine.setup_cancelled(page(r).id);
        r.pass();
        r.advance(50);
        EXPECT_FALSE(page(r).visible);
        EXPECT_TRUE(r.engine.idle());
        EXPECT_FALSE(file_exists(r.dir.file("fc00002.df1")));
        EXPECT_EQ(r.screen().focuserList, (Lines{"Kept"}));
        EXPECT_EQ(*read_file_head(r.dir.file("focuser.dc1"), 4096), configBefore);
        EXPECT_EQ(r.engine.focuser_description(), "Kept");
        EXPECT_EQ(r.screen().focuserType, "Kept");
        EXPECT_EQ(r.engine.inches_per_count(), 0.0004f);
        EXPECT_EQ(r.engine.refusal_reason(Action::MoveIn), "") << "the setup is over";
    }
}

TEST(AddFocuser, ANewFocuserNeverTakesTheNumberOfAFileThatExists) {
    // A first run: profiles 1 and 2 exist while the next number is still 1;
    // a configuration naming a missing current number is no help either.
    Rig r;
    writeProfile(r, 1, "One");
    writeProfile(r, 2, "Two");
    writeConfig(r, 5, 1);
    startWithModule(r);
    toModes(r, "Three");
    choose(r, 1);
    enterDescription(r, "3000");
    enterMaximum(r, "4000");
    ok(r);
    EXPECT_EQ(profileFile(r, 1)->description, "One");
    EXPECT_EQ(profileFile(r, 2)->description, "Two");
    EXPECT_EQ(profileFile(r, 3)->description, "Three");
    EXPECT_EQ(configFile(r).currentFileNumber, 3);
    EXPECT_EQ(configFile(r).nextFileNumber, 4);
    EXPECT_EQ(default_focuser_description(123456), "Unknown focuser");
}
