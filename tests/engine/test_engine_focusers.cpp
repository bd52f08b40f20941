// Focusers: the focuser list, renaming and deleting; the three number
// entries; the older release's file; every entry's quantity rule.
#include "tests/engine/focuser_steps.h"

using namespace corvell;
using namespace corvell::test;

TEST(FocuserList, ChooseRenameAndDeleteKeepTheListAndTheFilesTogether) {
    Rig r;
    writeProfile(r, 1, "One", 0.0005f);
    writeProfile(r, 2, "Two", 0.001f);
    writeProfile(r, 4, "Four");
    writeConfig(r, 1, 5);
    startWithModule(r);
    // A click rewrites the configuration and loads that profile.
    r.engine.FocuserListClick(1);
    r.pass();
    EXPECT_EQ(configFile(r).currentFileNumber, 2);
    EXPECT_EQ(r.engine.inches_per_count(), 0.001f);
    EXPECT_EQ(r.screen().encoderStep, "1000.000");
    // Refused during a go-to: the list shows the focuser in use again.
    r.runGoTo(3000);
    r.engine.FocuserListClick(0);
    r.pass();
    EXPECT_EQ(r.screen().activity, (Lines{"A Go To is in progress", "Focuser not changed"}));
    EXPECT_EQ(r.screen().focuserRow, 1);
    r.advance(3000);
    // Rename: cancelled changes nothing, OK renames the row and the file.
    r.engine.ChangeDescriptionClick();
    r.pass();
    ASSERT_TRUE(r.screen().textEntry.visible);
    EXPECT_EQ(r.screen().textEntry.text, "Two");
    r.engine.text_entry_cancelled(r.screen().textEntry.id);
    r.pass();
    r.advance(10);
    EXPECT_EQ(r.screen().focuserList, (Lines{"One", "Two", "Four"}));
    EXPECT_EQ(profileFile(r, 2)->description, "Two");
    r.engine.ChangeDescriptionClick();
    r.pass();
    r.engine.text_entered(r.screen().textEntry.id, "   ");  // no name: the entry stays with it
    EXPECT_EQ(r.screen().textEntry.refusal, "The description cannot be empty");
    EXPECT_EQ(r.screen().textEntry.text, "   ");
    r.engine.text_entered(r.screen().textEntry.id, "Second");
    r.pass();
    r.advance(10);
    EXPECT_EQ(r.screen().focuserList, (Lines{"One", "Second", "Four"}));
    EXPECT_EQ(r.screen().focuserType, "Second");
    EXPECT_EQ(profileFile(r, 2)->description, "Second");
    // Delete the last row of three: the new last row is selected and loaded.
    r.engine.FocuserListClick(2);
    r.pass();
    r.engine.DeleteFocuserClick();
    r.pass();
    r.engine.question_answered(r.screen().question.id, true);
    r.pass();
    r.advance(10);
    EXPECT_FALSE(file_exists(r.dir.file("fc00004.df1")));
    EXPECT_EQ(r.screen().focuserList, (Lines{"One", "Second"}));
    EXPECT_EQ(r.screen().focuserRow, 1);
    EXPECT_EQ(r.engine.focuser_description(), "Second");
    // "No" deletes nothing; the only row left deleted empties the list.
    r.engine.DeleteFocuserClick();
    r.pass();
    r.engine.question_answered(r.screen().question.id, false);
    r.pass();
    r.advance(10);
    EXPECT_EQ(r.screen().focuserList.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        r.engine.DeleteFocuserClick();
        r.pass();
        r.engine.question_answered(r.screen().question.id, true);
        r.pass();
        r.advance(10);
    }
    EXPECT_TRUE(r.screen().focuserList.empty());
    EXPECT_EQ(r.screen().focuserRow, -1);
    EXPECT_EQ(r.screen().focuserFiles.size(), r.screen().focuserList.size());
}

TEST(NumberEntries, EachEntryIsCheckedSavedAndTheTravelSentToTheModule) {
    Rig r;
    writeProfile(r, 1, "One");
    writeConfig(r, 1, 2);
    startWithModule(r);
    auto confirm = [&r](const std::string& text, bool edited = true) {
        r.engine.entry_confirmed(r.screen().entry.id, text, edited);
        r.pass();
        r.advance(20);
    };
    // Encoder counts per inch.
    r.engine.SetEncoderClick();
    r.pass();
    EXPECT_EQ(r.screen().entry.caption, "Enter Encoder Count value");
    EXPECT_EQ(r.screen().entry.preset, "3666.933");
    confirm("1e30");
    EXPECT_EQ(r.screen().entry.label, "Encoder counts per inch must be 100 to 100000");
    for (const char* wrong : {"0", "nan", "inf", "99", "1e30", "-1"}) {
        confirm(wrong);
        EXPECT_TRUE(r.screen().entry.visible) << wrong;
    }
    EXPECT_EQ(r.screen().entry.label, "Value must be a positive number. Reenter desired value.");
    const size_t m = r.mark();
    confirm("2000");
    EXPECT_EQ(r.engine.inches_per_count(), 0.0005f);
    EXPECT_EQ(profileFile(r, 1)->inchesPerCount, 0.0005f);
    EXPECT_TRUE(r.screen().reinitTextVisible);
    EXPECT_EQ(r.sentFrom(m).find_first_not_of("tp"), std::string::npos) << "nothing sent but polls";
    // OK without editing changes and sends nothing.
    r.engine.SetMaxTravelClick();
    r.pass();
    EXPECT_EQ(r.screen().entry.preset, "6600");
    const size_t n = r.mark();
    confirm("6600", false);
    EXPECT_EQ(r.sentFrom(n).find('w'), std::string::npos);
    // A count: saved and sent as 'w' and two bytes; beyond 65535 refused.
    r.engine.SetMaxTravelClick();
    r.pass();
    for (const char* wrong : {"70000", "65536", "0", "1"}) {
        confirm(wrong);
        EXPECT_EQ(r.screen().entry.label, "The maximum travel must be 2 to 65535 counts") << wrong;
    }
    const size_t w = r.mark();
    confirm("300");
    EXPECT_EQ(r.sentFrom(w).substr(0, 3), std::string("w\x01\x2C", 3));
    EXPECT_EQ(profileFile(r, 1)->maxTravel, 300);
    EXPECT_EQ(r.screen().activity, (Lines{"Maximum travel value updated", "Waiting for command"}));
    // A distance, in cm: 1.27 cm at 0.0005" a count is 1000 counts (999 as
    // the entry rounds down after the conversion to inches).
    r.engine.UnitsClick(1);
    r.pass();
    // Each entry names its unit; in cm the scale is asked per cm.
    for (auto [open, unit] : {std::pair{&Engine::go_to_command, "cm"}, {&Engine::SetEncoderClick, "counts per cm"}}) {
        (r.engine.*open)();
        EXPECT_EQ(r.screen().entry.unit, unit);
        r.engine.entry_cancelled(r.screen().entry.id);
    }
    EXPECT_EQ(r.screen().entry.label, "Enter the desired encoder counts per cm value.");
    r.engine.MaxTravelOverrideClick();
    r.pass();
    EXPECT_EQ(r.screen().entry.caption, "Enter Maximum Travel Distance");
    confirm("100");
    EXPECT_TRUE(r.screen().entry.visible) << "beyond the module's range";
    confirm("1.27");
    EXPECT_NEAR(r.engine.max_travel(), 1000, 1);
    EXPECT_NEAR(profileFile(r, 1)->maxTravel, 1000, 1);
    // Not communicating: saved, and said not to be sent.
    r.link.module.silent = true;
    r.advance(4000);
    r.engine.SetMaxTravelClick();
    r.pass();
    const size_t s = r.mark();
    confirm("2000");
    EXPECT_EQ(profileFile(r, 1)->maxTravel, 2000);
    EXPECT_EQ(r.sentFrom(s).find('w'), std::string::npos);
    EXPECT_EQ(r.screen().activity, (Lines{"Maximum travel 2000 not sent: the focuser is not communicating",
                                          "It is sent when the focuser answers again"}));
}

// A maximum travel the module did not take stays saved and shown, Activity
// says so, and it goes out when the module answers its identify again.
TEST(NumberEntries, ATravelTheModuleDidNotTakeIsSaidAndSentWhenItAnswersAgain) {
    for (const char* why : {"the focuser did not answer", "the focuser did not take it"}) {
        Rig r;
        r.startCommunicating();
        r.engine.SetMaxTravelClick();
        r.engine.entry_confirmed(r.screen().entry.id, "5500");
        r.pass();
        if (std::string(why).find("answer") != std::string::npos)
            r.advance(1600);
        else
            r.reply({'r'});
        EXPECT_EQ(r.screen().activity, (Lines{"Maximum travel 5500 not sent: " + std::string(why),
                                              "It is sent when the focuser answers again"}));
        EXPECT_EQ(r.screen().maxTravelStop + " " + std::to_string(profileFile(r, 1)->maxTravel), "5500 5500");
        const size_t n = r.mark();
        while (r.sentFrom(n).find('b') == std::string::npos) r.advance(1600);
        r.reply({'b', 'j'});
        EXPECT_EQ(r.sentFrom(r.mark() - 3), std::string("w\x15\x7c", 3));
        r.reply({'w'});
        EXPECT_EQ(r.screen().activity, (Lines{"Maximum travel value updated", "Waiting for command"}));
    }
}

TEST(Conversion, TheOlderReleasesFileIsOfferedConvertedAndRemoved) {
    // Encoder code 0, focuser code 4, maximum travel -1, two stored positions.
    std::string legacy;
    auto field = [&legacy](const std::string& f) { legacy += f + '\0'; };
    for (const char* f : {"1", "2", "0", "0", "4", "0", "-1", "0.02"}) field(f);
    for (int i = 0; i < kStoredSlots; ++i) field(i < 2 ? std::to_string(100 * (i + 1)) : "-1");
    for (int i = 0; i < kStoredSlots; ++i) field(i < 2 ? "slot " + std::to_string(i + 1) : " ");
    auto writeLegacy = [&legacy](Rig& r) {
        std::string error;
        ASSERT_TRUE(save_file_atomically(r.dir.file("focuser.dat"), legacy, error));
    };

    // Yes, and a description.
    Rig r;
    writeLegacy(r);
    r.start();
    ASSERT_TRUE(r.screen().question.visible);
    EXPECT_EQ(
        r.screen().question.text.rfind("A parameter file from a previous software version has been found. This", 0),
        0u);
    EXPECT_EQ(r.sentFrom(0), "") << "the start-up waits for the answer";
    r.engine.question_answered(r.screen().question.id, true);
    r.pass();
    ASSERT_TRUE(r.screen().textEntry.visible);
    EXPECT_EQ(r.screen().textEntry.text, "Legacy Focuser Settings");
    r.engine.text_entered(r.screen().textEntry.id, "From the old release");
    r.pass();
    auto p = profileFile(r, 1);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->description, "From the old release");
    EXPECT_EQ(p->inchesPerCount, static_cast<float>(0.1875 * 3.14159 / 1440));
    EXPECT_EQ(p->maxTravel, 6111);
    EXPECT_EQ(p->positions[1], 200);
    EXPECT_EQ(p->descriptions[0], "slot 1");
    EXPECT_EQ(p->backlashEnable, 0);
    EXPECT_EQ(configFile(r).baudIndex, 1);
    EXPECT_EQ(configFile(r).portIndex, 2);
    EXPECT_EQ(configFile(r).stepIncrement, 0.02f);
    EXPECT_FALSE(file_exists(r.dir.file("focuser.dat")));
    EXPECT_EQ(r.screen().focuserList, (Lines{"From the old release"}));
    EXPECT_EQ(r.link.port, "com3") << "started on the converted settings";
    EXPECT_EQ(r.engine.stored_position(1).count, 100) << "the converted profile is in use";

    // No: the file is removed, nothing is converted, the start goes on.
    Rig no;
    writeLegacy(no);
    no.start();
    no.engine.question_answered(no.screen().question.id, false);
    no.pass();
    EXPECT_FALSE(file_exists(no.dir.file("focuser.dat")));
    EXPECT_FALSE(profileFile(no, 1));
    EXPECT_EQ(no.sentFrom(0), "b");

    // The description entry cancelled: nothing written, the file kept for the next start.
    Rig later;
    writeLegacy(later);
    later.start();
    later.engine.question_answered(later.screen().question.id, true);
    later.pass();
    later.engine.text_entry_cancelled(later.screen().textEntry.id);
    later.pass();
    EXPECT_TRUE(file_exists(later.dir.file("focuser.dat")));
    EXPECT_FALSE(profileFile(later, 1));
    EXPECT_EQ(later.sentFrom(0), "b");

    // Without the file no question at all.
    Rig none;
    none.start();
    EXPECT_FALSE(none.screen().question.visible);
    EXPECT_EQ(none.sentFrom(0), "b");

    // A file that cannot be removed is said so, and never converted.
    Rig stuck;
    writeLegacy(stuck);
    ASSERT_EQ(::mkdir(stuck.dir.file(".focuser.dat.corvell-converting").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(stuck.dir.file(".focuser.dat.corvell-converting/x").c_str(), 0755), 0);
    stuck.start();
    EXPECT_FALSE(stuck.screen().question.visible);
    ASSERT_FALSE(stuck.screen().activity.empty());
    EXPECT_EQ(stuck.screen().activity[0].rfind("focuser.dat is not converted: it cannot be removed (Cannot move", 0),
              0u)
        << stuck.screen().activity[0];
    EXPECT_FALSE(profileFile(stuck, 1));
    EXPECT_EQ(stuck.sentFrom(0), "b");
}

// The question's buttons say what they do; closing it keeps the file for the
// next start. A conversion cut short is offered again, or finished once when
// its focuser was written.
TEST(Conversion, ClosingTheQuestionMeansLaterAndACutShortConversionEndsOnce) {
    const std::string legacy = legacyFile({"1", "2", "0", "0", "4", "0", "-1", "0.02"});
    // The file, a conversion cut short before its focuser 2 was written, and
    // one cut short before its number was chosen: each asked about.
    for (const char* name : {"focuser.dat", ".focuser.dat.corvell-converting-2", ".focuser.dat.corvell-converting"}) {
        Rig r;
        writeProfile(r, 1, "One");
        writeFile(r, name, legacy);
        r.start();
        ASSERT_TRUE(r.screen().question.visible) << name;
        EXPECT_EQ(r.screen().question.yesCaption, "Convert");
        EXPECT_EQ(r.screen().question.noCaption, "Delete without converting");
        r.engine.question_closed(r.screen().question.id);
        r.pass();
        EXPECT_EQ(r.dir.names(), (Lines{"fc00001.df1", "focuser.dat", "focuser.dc1"})) << name;
        EXPECT_EQ(*read_file_head(r.dir.file("focuser.dat"), 4096), legacy);
        EXPECT_EQ(r.sentFrom(0), "b") << "the start-up goes on";
        Rig again(r, Rig::Restart{});
        again.start();
        EXPECT_TRUE(again.screen().question.visible) << "asked again";
    }
    // Focuser 2 was written, the settings were not: finished without a
    // question, and without a second copy.
    Rig cut;
    writeProfile(cut, 1, "One");
    writeProfile(cut, 2, "Converted");
    writeConfig(cut, 1, 2);
    writeFile(cut, ".focuser.dat.corvell-converting-2", legacy);
    cut.start();
    EXPECT_FALSE(cut.screen().question.visible);
    EXPECT_EQ(configFile(cut).currentFileNumber, 2);
    EXPECT_EQ(configFile(cut).nextFileNumber, 3);
    EXPECT_EQ(cut.dir.names(), (Lines{"fc00001.df1", "fc00002.df1", "focuser.dc1"}));
    EXPECT_EQ(cut.screen().focuserList, (Lines{"One", "Converted"}));
}

// Values of an older release's file that no setting can hold give way to
// their defaults, named in one line that stays in Activity.
TEST(Conversion, DamagedValuesTakeTheirDefaultsAndActivitySaysWhich) {
    const struct {
        std::string file;
        int baud, port, units;
        float step;
        long maxTravel, slot1;
        std::string line;  // empty: nothing taken
    } cases[] = {
        {legacyFile({"9", "7", "5", "0", "4", "0", "1", "abc"}, "70000"), 0, 0, 0, 0.01f, 6111, -1,
         "focuser.dat held values no setting can take (baud rate, COM port, units, step increment, maximum travel, "
         "stored positions): defaults taken"},
        {legacyFile({"1", "2", "2", "0", "4", "0", "70000", "5"}), 1, 2, 0, 0.01f, 6111, 100,
         "focuser.dat held values no setting can take (units, step increment, maximum travel): defaults taken"},
        // In cm the step's default is 0.2 mm.
        {legacyFile({"0", "4", "1", "0", "4", "0", "6000", "abc"}), 0, 4, 1, 0.007874f, 6000, 100,
         "focuser.dat held values no setting can take (step increment): defaults taken"},
        {legacyFile({"1", "3", "1", "0", "4", "0", "6000", "0.05"}, "65535"), 1, 3, 1, 0.05f, 6000, 65535, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Rig r;
        writeFile(r, "focuser.dat", c.file);
        r.start();
        r.engine.question_answered(r.screen().question.id, true);
        r.pass();
        // The converted focuser needs a name.
        r.engine.text_entered(r.screen().textEntry.id, " ");
        r.pass();
        EXPECT_TRUE(r.screen().textEntry.visible);
        EXPECT_EQ(r.screen().textEntry.refusal, "The description cannot be empty");
        EXPECT_EQ(r.screen().textEntry.text, " ");
        r.engine.text_entered(r.screen().textEntry.id, "Old");
        r.pass();
        const ProgramConfig config = configFile(r);
        EXPECT_EQ(config.baudIndex, c.baud);
        EXPECT_EQ(config.portIndex, c.port);
        EXPECT_EQ(config.unitsIndex, c.units);
        EXPECT_EQ(config.stepIncrement, c.step);
        ASSERT_TRUE(profileFile(r, 1));
        EXPECT_EQ(profileFile(r, 1)->description, "Old");
        EXPECT_EQ(profileFile(r, 1)->maxTravel, c.maxTravel);
        EXPECT_EQ(profileFile(r, 1)->positions[0], c.slot1);
        EXPECT_EQ(r.screen().activity, c.line.empty() ? Lines{"Waiting for focuser response"} : Lines{c.line});
    }
}

// Once the last focuser is deleted nothing of a focuser's own changes, and
// nothing is written under a deleted focuser's name, until one is added;
// a restart does not bring it back.
TEST(FocuserList, ADeletedFocuserStaysDeletedUntilAnotherIsAdded) {
    Rig r;
    writeProfile(r, 1, "One");
    writeProfile(r, 2, "Two");
    writeConfig(r, 1, 3);
    startWithModule(r);
    deleteFocuser(r);
    deleteFocuser(r);
    const std::string why = "No focuser is in use: add one or choose one";
    auto everythingRefused = [&why](Rig& x) {
        EXPECT_TRUE(x.screen().noFocuser);
        EXPECT_TRUE(x.screen().focuserList.empty());
        const Screen& s = x.screen();  // none of its values shown; the position a count
        EXPECT_EQ(s.focuserType + "|" + s.position[0] + "|" + s.maxTravel[0] + s.maxTravelStop + s.encoderStep +
                      s.backlashText + s.posText[0],
                  "No focuser in use|1000 counts|     ");
        const std::pair<std::function<void(Engine&)>, const char*> clicks[] = {
            {[](Engine& e) { e.StepOutButtonClick(); }, "Step Out not started"},
            {[](Engine& e) { e.go_to_command(); }, "Go To not started"},
            {[](Engine& e) { e.SetEncoderClick(); }, "Change Encoder Count Value not started"},
            {[](Engine& e) { e.SetMaxTravelClick(); }, "Change Maximum Travel Count not started"},
            {[](Engine& e) { e.MaxTravelOverrideClick(); }, "Change Maximum Travel Distance not started"},
            {[](Engine& e) { e.ManualSetupButtonClick(); }, "Manual Setup not started"},
            {[](Engine& e) { e.ChangeDescriptionClick(); }, "Change Focuser Description not started"},
            {[](Engine& e) { e.StoreNClick(1); }, "Store Position not started"},
            {[](Engine& e) { e.BacklashEnableClick(1); }, "Backlash correction not changed"},
            {[](Engine& e) { e.ReinitializeClick(); }, "Initialization not started"},
        };
        for (const auto& [click, line] : clicks) {
            click(x.engine);
            x.pass();
            EXPECT_EQ(x.screen().activity, (Lines{why, line}));
        }
        EXPECT_EQ(x.engine.set_backlash(true), why);
        EXPECT_EQ(x.engine.set_backlash_count(10), why);
        EXPECT_EQ(x.engine.set_max_travel(3000), why);
        EXPECT_EQ(x.engine.initialize(), why);
        x.engine.backlash_count_update(true, "0.1");  // the window's box: nothing written either
        x.advance(3000);
        EXPECT_FALSE(x.screen().question.visible || x.screen().entry.visible || x.screen().setup.visible);
        EXPECT_EQ(x.dir.names(), (Lines{"focuser.dc1"})) << "no focuser file written";
    };
    everythingRefused(r);
    Rig again(r, Rig::Restart{});
    startWithModule(again);
    everythingRefused(again);
    // Adding a focuser ends it.
    toModes(again, "Three");
    choose(again, 1);
    enterDescription(again, "3000");
    enterMaximum(again, "4000");
    ok(again);
    EXPECT_FALSE(again.screen().noFocuser);
    EXPECT_EQ(again.screen().focuserList, (Lines{"Three"}));
    again.engine.setup_cancelled(page(again).id);  // "Initialize later"
    again.pass();
    again.engine.SetEncoderClick();
    again.pass();
    EXPECT_TRUE(again.screen().entry.visible);

    // A first start has the defaults in use, shown and usable, in no list:
    // Delete Focuser asks nothing. The first change saves them as a focuser
    // of the list with a name of its own, which a restart lists again.
    Rig fresh;
    fresh.emptyFolder = true;
    startWithModule(fresh);
    EXPECT_FALSE(fresh.screen().noFocuser);
    EXPECT_EQ(fresh.screen().maxTravelStop, "6600");
    fresh.engine.DeleteFocuserClick();
    EXPECT_FALSE(fresh.screen().question.visible);
    EXPECT_EQ(fresh.screen().activity, (Lines{"No focuser is selected in the list", "Delete Focuser not started"}));
    EXPECT_EQ(fresh.dir.names(), (Lines{"focuser.dc1"}));
    fresh.engine.BacklashEnableClick(1);
    EXPECT_EQ(fresh.screen().focuserList, (Lines{"Focuser 00001"}));
    EXPECT_EQ(fresh.screen().focuserType, "Focuser 00001");
    ASSERT_TRUE(profileFile(fresh, 1));
    EXPECT_EQ(profileFile(fresh, 1)->description, "Focuser 00001");
    EXPECT_EQ(configFile(fresh).nextFileNumber, 2);
    Rig later(fresh, Rig::Restart{});
    startWithModule(later);
    EXPECT_EQ(later.screen().focuserList, (Lines{"Focuser 00001"}));
    EXPECT_EQ(later.screen().focuserRow, 0);
    later.engine.AddFocuserClick();
    later.pass();
    later.advance(50);
    ok(later);
    EXPECT_EQ(page(later).description, "Focuser 00002");
}

// The focuser added after the last one was deleted is saved with the values
// its setup gave, and is there after a restart; until then the window's
// backlash distance box is refused like the switch.
TEST(FocuserList, AFocuserAddedAfterTheLastWasDeletedIsSaved) {
    Rig r;
    writeProfile(r, 1, "One");
    writeConfig(r, 1, 2);
    startWithModule(r);
    deleteFocuser(r);
    r.engine.backlash_count_update(true, "0.1");
    EXPECT_EQ(r.screen().activity,
              (Lines{"No focuser is in use: add one or choose one", "Backlash correction distance not changed"}));
    toModes(r, "Two");
    choose(r, 1);
    enterDescription(r, "3000");
    enterMaximum(r, "4000");
    ok(r);
    ASSERT_EQ(page(r).text1, "Setup is now complete.");
    EXPECT_EQ(r.dir.names(), (Lines{"fc00002.df1", "focuser.dc1"}));
    Rig again(r, Rig::Restart{});
    startWithModule(again);
    EXPECT_EQ(again.screen().focuserList, (Lines{"Two"}));
    EXPECT_EQ(again.engine.max_travel(), 4000);
}

// Past fc99999 a new focuser takes a free number, is saved and listed, and
// every focuser stays listed at the next start.
TEST(FocuserList, PastTheLastFileNumberANewFocuserIsSavedAndEveryOneStaysListed) {
    for (bool deleteFirst : {true, false}) {  // fc00001 deleted, or fc00002 and fc99999 there
        Rig r;
        for (int n : deleteFirst ? std::vector<int>{1} : std::vector<int>{2, 99999})
            writeProfile(r, n, std::to_string(n));
        writeConfig(r, deleteFirst ? 1 : 2, 100000);
        startWithModule(r);
        if (deleteFirst) deleteFocuser(r);
        toModes(r, "Added");
        choose(r, 1);
        enterDescription(r, "3000");
        enterMaximum(r, "4000");
        ok(r);
        EXPECT_EQ(profileFile(r, 1)->description, "Added");
        EXPECT_EQ(r.screen().position, (Lines{"0.333\""})) << "in the new focuser's scale";
        Rig again(r, Rig::Restart{});
        startWithModule(again);
        EXPECT_EQ(again.screen().focuserList, (deleteFirst ? Lines{"Added"} : Lines{"Added", "2", "99999"}));
    }
}

// Every entry of a quantity refuses what its rule refuses, with the rule's
// reason, and keeps what it had (a blank name in the rename and the
// conversion: see there); the module's range is taken to its last count.
TEST(Quantities, EveryEntryRefusesWithItsRulesReasonAndKeepsItsValue) {
    const std::string travel = "The maximum travel must be 2 to 65535 counts";
    Rig r;
    writeProfile(r, 1, "One");
    writeConfig(r, 1, 2);
    startWithModule(r);
    // A description: the setup's page and the manual setup's first page stay.
    r.engine.AddFocuserClick();
    r.pass();
    r.advance(50);
    ok(r);
    for (int manual : {0, 1}) {
        const std::string text1 = page(r).text1;
        for (const char* blank : {"", "  "}) {
            r.engine.setup_ok(page(r).id, blank, "");
            r.pass();
            r.advance(50);
            EXPECT_EQ(page(r).refusal, "The description cannot be empty") << manual;
            EXPECT_EQ(page(r).text1, text1);
        }
        r.engine.setup_cancelled(page(r).id);
        r.pass();
        r.engine.ManualSetupButtonClick();
        r.pass();
        r.advance(50);
    }
    // The manual setup's distance must give a scale.
    ok(r, "One");
    ok(r);
    ok(r);
    r.link.module.position = 1000;
    r.advance(600);
    ok(r, "1e30");
    EXPECT_EQ(page(r).description, "Incorrect entry");
    EXPECT_EQ(page(r).refusal, "Encoder counts per inch must be 100 to 100000");
    EXPECT_EQ(r.screen().encoderStep, "3666.933") << "the scale kept";
    r.engine.setup_cancelled(page(r).id);
    r.pass();
    // The step increment: one inch at most.
    r.engine.step_increment_input(true, "2");
    EXPECT_EQ(r.screen().activity, (Lines{"The step increment must be 0 to 1.000\"", "Step increment not changed"}));
    EXPECT_EQ(configFile(r).stepIncrement, 0.01f);
    // The travel as a distance: 100" and 0" are beyond the counts it may be.
    r.engine.MaxTravelOverrideClick();
    r.pass();
    for (const char* wrong : {"100", "0"}) {
        r.engine.entry_confirmed(r.screen().entry.id, wrong);
        r.pass();
        EXPECT_EQ(r.screen().entry.label, travel) << wrong;
    }
    r.engine.entry_cancelled(r.screen().entry.id);
    r.pass();
    // The other front ends' requests.
    EXPECT_EQ(r.engine.move_to(6601), "Entered position exceeds focuser travel limit.");
    EXPECT_EQ(r.engine.move_to(-1), "The position must not be negative");
    EXPECT_EQ(r.engine.set_max_travel(1), travel);
    EXPECT_EQ(r.engine.set_max_travel(65536), travel);
    EXPECT_EQ(r.engine.set_backlash_count(-1), "The backlash correction distance must be 0 to 65535 counts");
    EXPECT_EQ(r.engine.set_backlash_count(65536), "The backlash correction distance must be 0 to 65535 counts");
    EXPECT_EQ(r.engine.max_travel(), 6600);
    // The module's last count: a travel of 65535, and a go-to to it.
    r.engine.SetMaxTravelClick();
    r.pass();
    size_t m = r.mark();
    r.engine.entry_confirmed(r.screen().entry.id, "65535");
    r.pass();
    EXPECT_EQ(r.sentFrom(m).substr(0, 3), std::string("w\xFF\xFF", 3));
    r.advance(50);
    m = r.mark();
    EXPECT_EQ(r.engine.move_to(65536), "Entered position exceeds focuser travel limit.");
    EXPECT_EQ(r.engine.move_to(65535), "");
    EXPECT_EQ(r.sentFrom(m), std::string("g\xFF\xFF", 3));
}
