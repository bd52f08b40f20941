// The configuration and profile files as the engine reads and writes them.
#include <csignal>
#include <dirent.h>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>

#include "tests/profile_bytes.h"
#include "tests/engine/engine_rig.h"

#include "storage/file_store.h"

using namespace corvell;
using namespace corvell::test;

namespace {

void writeProfile(const Rig& r, int number, const FocuserProfile& p) {
    std::string error;
    ASSERT_TRUE(save_file_atomically(r.dir.file(*profile_file_name(number)), encode_profile(p), error)) << error;
}

void writeConfig(const Rig& r, const ProgramConfig& c) {
    std::string error;
    ASSERT_TRUE(save_file_atomically(r.dir.file("focuser.dc1"), encode_config(c), error)) << error;
}

std::string readAll(const std::string& path) {
    auto bytes = read_file_head(path, 4096);
    return bytes ? *bytes : std::string();
}

std::array<std::string, kStoredSlots> emptySlots() {
    std::array<std::string, kStoredSlots> slots;
    slots.fill(" ");
    return slots;
}

void writeRaw(const std::string& path, const std::string& bytes) {
    std::string error;
    ASSERT_TRUE(save_file_atomically(path, bytes, error)) << error;
}

// Configuration naming profile 1 as current, 2 as the next free number.
void writeConfigForOneProfile(const Rig& r) {
    ProgramConfig cfg;
    cfg.currentFileNumber = 1;
    cfg.nextFileNumber = 2;
    writeConfig(r, cfg);
}

std::set<std::string> filesIn(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") names.insert(n);
        }
        ::closedir(d);
    }
    return names;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

const Lines kResponding{"Focuser responding", "Waiting for command"};

}  // namespace

TEST(EngineFiles, NoFilesAtAllGiveTheDefaultConfigurationAndAnEmptyList) {
    Rig r;
    r.emptyFolder = true;
    r.start();
    std::string expected;
    for (const char* field : {"0", "0", "0", "0.01", "1", "1"}) expected += std::string(field) + '\0';
    EXPECT_EQ(readAll(r.dir.file("focuser.dc1")), expected);
    EXPECT_TRUE(r.screen().focuserList.empty());
    EXPECT_EQ(r.screen().focuserRow, -1);
    EXPECT_FALSE(r.screen().noFocuser) << "the defaults are in use";
    EXPECT_EQ(r.screen().maxTravelStop, "6600");
}

TEST(EngineFiles, StartUpFallsBackToTheFirstListedFocuser) {
    Rig r;
    FocuserProfile a, b, c;
    a.description = "Refractor";
    b.description = "Newtonian";
    c.description = "Cassegrain";
    b.maxTravel = 5000;
    writeProfile(r, 1, a);
    writeProfile(r, 3, b);
    writeProfile(r, 4, c);
    ProgramConfig cfg;
    cfg.currentFileNumber = 2;
    cfg.nextFileNumber = 5;
    writeConfig(r, cfg);
    r.start();
    EXPECT_EQ(r.screen().focuserList, (Lines{"Refractor", "Newtonian", "Cassegrain"}));
    EXPECT_EQ(r.screen().focuserFiles, (std::vector<int>{1, 3, 4}));
    EXPECT_EQ(r.screen().focuserRow, 0);
    EXPECT_EQ(r.screen().focuserType, "Refractor");
    std::string config = readAll(r.dir.file("focuser.dc1"));
    EXPECT_EQ(parse_config(config.data(), config.size()).currentFileNumber, 1);
}

TEST(EngineFiles, RestoreDefaultsRescansProfilesAndKeepsThem) {
    Rig r;
    FocuserProfile a, b;
    a.description = "First";
    b.description = "Second";
    writeProfile(r, 1, a);
    writeProfile(r, 2, b);
    r.startCommunicating();
    r.engine.UnitsClick(1);
    r.engine.RestoreDefaultsClick();
    r.engine.question_answered(r.screen().question.id, true);
    r.pass();
    EXPECT_EQ(r.screen().unitsIndex, 0);
    EXPECT_EQ(r.screen().focuserList, (Lines{"First", "Second"}));
    EXPECT_EQ(r.screen().focuserType, "Second");
    std::string expected;
    for (const char* field : {"0", "0", "0", "0.01", "3", "2"}) expected += std::string(field) + '\0';
    EXPECT_EQ(readAll(r.dir.file("focuser.dc1")), expected);
    std::string first = readAll(r.dir.file("fc00001.df1"));
    EXPECT_EQ(parse_profile(first.data(), first.size()).description, "First");
    EXPECT_FALSE(file_exists(r.dir.file("fc00003.df1")));
}

TEST(EngineFiles, AFailedSaveIsReportedAndKeepsTheOldProfile) {
    Rig r;
    r.startCommunicating();
    r.engine.BacklashEnableClick(1);
    const std::string before = readAll(r.dir.file("fc00001.df1"));
    ASSERT_FALSE(before.empty());
    // A file-size limit stops every writer, root included, as a full disk would.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny{16, old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &tiny);
    r.engine.BacklashEnableClick(0);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(readAll(r.dir.file("fc00001.df1")), before);
    ASSERT_EQ(r.screen().activity.size(), 2u);
    EXPECT_NE(r.screen().activity[0].find("fc00001.df1"), std::string::npos) << r.screen().activity[0];
    EXPECT_EQ(r.screen().activity[1], "Settings not saved");
}

TEST(EngineFiles, DeletingTheCurrentProfileSelectsTheNeighbour) {
    Rig r;
    for (int n : {1, 2, 3}) {
        FocuserProfile p;
        p.description = "F" + std::to_string(n);
        writeProfile(r, n, p);
    }
    ProgramConfig cfg;
    cfg.currentFileNumber = 3;
    cfg.nextFileNumber = 4;
    writeConfig(r, cfg);
    r.startCommunicating();
    ASSERT_EQ(r.screen().focuserRow, 2);
    r.engine.DeleteFocuserClick();
    ASSERT_TRUE(r.screen().question.visible);
    r.engine.question_answered(r.screen().question.id, true);
    r.pass();
    EXPECT_FALSE(file_exists(r.dir.file("fc00003.df1")));
    EXPECT_EQ(r.screen().focuserList, (Lines{"F1", "F2"}));
    EXPECT_EQ(r.screen().focuserRow, 1);
    EXPECT_EQ(r.screen().focuserType, "F2");
    EXPECT_EQ(r.engine.focuser_description(), "F2");
    EXPECT_EQ(r.configFile().currentFileNumber, 2);
}

TEST(EngineFiles, LongDescriptionsAreShownWholeAndShortenedOnceAtTheNextSave) {
    Rig r;
    // Code-page bytes above 0x7F among them: degree, micro, e acute, euro,
    // curly quotes.
    const std::string focuser = "Refractor 80/480 \xB0\xB5\xE9\x80 with reducer and flattener";
    const std::string slot3 =
        "Camera at prime focus, \x93"
        "filter wheel\x94 in";
    const std::string slot5 = "Eyepiece 9\xB5m \xE9t\xE9";
    const std::string slot7 = std::string(kDescriptionLimit + 1, 'x');
    ASSERT_GT(focuser.size(), kDescriptionLimit);
    ASSERT_GT(slot3.size(), kDescriptionLimit);
    auto slots = emptySlots();
    slots[2] = slot3;
    slots[4] = slot5;
    slots[6] = slot7;
    writeRaw(r.dir.file("fc00001.df1"), raw_profile(focuser, texts_of(slots)));
    writeConfigForOneProfile(r);
    r.startCommunicating();

    // Shown whole, as read.
    EXPECT_EQ(r.screen().focuserType, focuser);
    EXPECT_EQ(r.screen().focuserList, (Lines{focuser}));
    EXPECT_EQ(r.screen().descriptions[2], slot3);
    EXPECT_EQ(r.screen().descriptions[4], slot5);

    // The next save holds them to 32 bytes and says so.
    r.engine.BacklashEnableClick(1);
    auto held = slots;
    held[2] = slot3.substr(0, kDescriptionLimit);
    held[6] = slot7.substr(0, kDescriptionLimit);
    const std::string shortFocuser = focuser.substr(0, kDescriptionLimit);
    EXPECT_EQ(readAll(r.dir.file("fc00001.df1")), raw_profile(shortFocuser, texts_of(held), "1"));
    EXPECT_EQ(r.screen().activity, (Lines{"Focuser description shortened to 32 characters",
                                          "Descriptions of positions 3 and 7 shortened to 32 characters"}));
    // What is shown is what the file now holds.
    EXPECT_EQ(r.screen().focuserType, shortFocuser);
    EXPECT_EQ(r.screen().focuserList, (Lines{shortFocuser}));
    EXPECT_EQ(r.screen().descriptions[2], held[2]);

    // Saved again: nothing left to shorten, every byte as before.
    r.engine.BacklashEnableClick(0);
    EXPECT_EQ(readAll(r.dir.file("fc00001.df1")), raw_profile(shortFocuser, texts_of(held), "0"));
    EXPECT_EQ(r.screen().activity, kResponding);
}

TEST(EngineFiles, ShortenedPositionsAreNamedUpToThreeAndCountedBeyond) {
    const struct {
        std::vector<int> slots;
        const char* line;
    } cases[] = {
        {{20}, "Description of position 20 shortened to 32 characters"},
        {{1, 9, 20}, "Descriptions of positions 1, 9 and 20 shortened to 32 characters"},
        {{2, 4, 6, 8, 10}, "Descriptions of 5 positions shortened to 32 characters"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Rig r;
        auto slots = emptySlots();
        for (int n : c.slots) slots[n - 1] = std::string(40, 'a' + n);
        writeRaw(r.dir.file("fc00001.df1"), raw_profile("Scope", texts_of(slots)));
        writeConfigForOneProfile(r);
        r.startCommunicating();
        r.engine.BacklashEnableClick(1);
        EXPECT_EQ(r.screen().activity, (Lines{c.line}));
    }
}

TEST(EngineFiles, ReadOnlyFilesAreLoadedButNeverReplaced) {
    Rig r;
    const std::string focuser = "Read-only refractor with a long description";
    const std::string profileBytes = raw_profile(focuser, texts_of(emptySlots()));
    writeRaw(r.dir.file("fc00001.df1"), profileBytes);
    writeConfigForOneProfile(r);
    const std::string configBytes = readAll(r.dir.file("focuser.dc1"));
    ASSERT_EQ(::chmod(r.dir.file("fc00001.df1").c_str(), 0444), 0);
    ASSERT_EQ(::chmod(r.dir.file("focuser.dc1").c_str(), 0444), 0);
    r.startCommunicating();
    EXPECT_EQ(r.screen().focuserType, focuser);

    r.engine.BacklashEnableClick(1);
    EXPECT_EQ(r.screen().activity, (Lines{"Cannot save fc00001.df1: File is read-only", "Settings not saved"}));
    // Nothing was written, so nothing was shortened either.
    EXPECT_EQ(r.screen().focuserType, focuser);

    r.engine.UnitsClick(1);
    EXPECT_EQ(r.screen().activity, (Lines{"Cannot save focuser.dc1: File is read-only", "Settings not saved"}));

    EXPECT_EQ(readAll(r.dir.file("fc00001.df1")), profileBytes);
    EXPECT_EQ(readAll(r.dir.file("focuser.dc1")), configBytes);
    EXPECT_EQ(modeOf(r.dir.file("fc00001.df1")), 0444u);
    EXPECT_EQ(modeOf(r.dir.file("focuser.dc1")), 0444u);
    EXPECT_EQ(filesIn(r.dir.path), (std::set<std::string>{"fc00001.df1", "focuser.dc1"}));
}

TEST(EngineFiles, AFileNoteHoldsActivityUntilTheUserActs) {
    Rig r;
    FocuserProfile p;
    p.description = "Only";
    writeProfile(r, 1, p);
    // The configuration names a profile that is gone: start-up falls back to
    // profile 1 and must rewrite the configuration, which it may not.
    ProgramConfig cfg;
    cfg.currentFileNumber = 2;
    cfg.nextFileNumber = 3;
    writeConfig(r, cfg);
    ASSERT_EQ(::chmod(r.dir.file("focuser.dc1").c_str(), 0444), 0);
    const Lines note{"Cannot save focuser.dc1: File is read-only", "Settings not saved"};

    r.start();
    EXPECT_EQ(r.screen().activity, note);
    // The exchanges that follow at once write their lines behind the note.
    r.reply({'b', 'j'});
    r.statusAndPosition(1000);
    EXPECT_EQ(r.screen().activity, note);
    // So do a time-out, the identify after it and a wrong status reply.
    r.advance(1500);
    r.advance(1500);
    EXPECT_EQ(r.screen().status, (Lines{"Serial Communications Timeout", "Check Corvell connections"}));
    EXPECT_EQ(r.screen().activity, note);
    r.reply({'b', 'j'});
    r.reply({'x', 0x01});
    r.reply({'p', 0x03, 0xE8});
    EXPECT_EQ(r.screen().activity, note);

    // The user's next action, even one that does nothing, ends the note:
    // Activity shows what it would show without it.
    r.engine.GoToNClick(1);
    EXPECT_EQ(r.screen().activity, (Lines{"Focuser response error", "Waiting for command"}));

    // A command the user asked for during an exchange is dispatched by the
    // executive: that is not another action of the user's, and a note that
    // came in between stays.
    r.pollOnTheLine();
    r.engine.move_in_command();
    ASSERT_TRUE(r.engine.situations() & situation_bit(Situation::Queued));
    r.engine.UnitsClick(1);
    EXPECT_EQ(r.screen().activity, (Lines{"Cannot save focuser.dc1: File is read-only", "Settings not saved"}));
    const size_t m = r.mark();
    r.reply({'p', 0x03, 0xE8});
    EXPECT_EQ(r.sentFrom(m), "i");
    r.reply({'i'});
    EXPECT_EQ(r.screen().activity, (Lines{"Cannot save focuser.dc1: File is read-only", "Settings not saved"}));
    // The user stops: the note goes and the stop's lines are shown.
    r.engine.stop_command();
    EXPECT_EQ(r.screen().activity, (Lines{"Waiting"}));
    r.reply({'t', 0x01});  // the status read on the line ends, then the stop echoes
    r.reply({'s'});
    EXPECT_EQ(r.screen().activity, (Lines{"Stopped", "Waiting for command"}));
}

TEST(EngineFiles, LeftoverTemporariesAreRemovedBeforeTheFirstSave) {
    Rig r;
    const std::vector<std::string> leftovers = {".focuser.dc1.corvell-tmp-Ab12Cd", ".fc00001.df1.corvell-tmp-x9Y8z7"};
    // Named like temporaries, but not of our files, or not named quite so,
    // or not a plain file.
    const std::vector<std::string> lookAlikes = {".notes.txt.corvell-tmp-abc123", ".fc00001.df1.corvell-tmp-abc",
                                                 "fc00001.df1.corvell-tmp-abc123"};
    for (const std::string& name : leftovers) {
        ASSERT_TRUE(temporary_target(name)) << name;
        writeRaw(r.dir.file(name), "half a profile");
    }
    for (const std::string& name : lookAlikes) writeRaw(r.dir.file(name), "someone else's");
    const std::string dirLookAlike = ".fc00002.df1.corvell-tmp-qwerty";
    ASSERT_EQ(::mkdir(r.dir.file(dirLookAlike).c_str(), 0755), 0);

    // No configuration file: construction writes one. The leftovers are
    // gone by then.
    std::set<std::string> atFirstSave;
    set_before_rename_hook([&] {
        if (atFirstSave.empty()) atFirstSave = filesIn(r.dir.path);
    });
    r.engine.construct();
    set_before_rename_hook(nullptr);
    ASSERT_FALSE(atFirstSave.empty()) << "construction saved nothing";
    for (const std::string& name : leftovers) EXPECT_EQ(atFirstSave.count(name), 0u) << name;

    const std::set<std::string> now = filesIn(r.dir.path);
    for (const std::string& name : leftovers) EXPECT_EQ(now.count(name), 0u) << name;
    for (const std::string& name : lookAlikes) EXPECT_EQ(now.count(name), 1u) << name;
    EXPECT_EQ(now.count(dirLookAlike), 1u);
    EXPECT_EQ(r.screen().activity, (Lines{"Initializing"}));
}

TEST(EngineFiles, ACleanupThatFailsIsReportedWithTheSaveThatFollows) {
    Rig r("missing");
    const Lines note{"Cannot clean " + r.dir.file("missing") + ": No such file or directory",
                     "Cannot save focuser.dc1: No such file or directory", "Settings not saved"};
    r.start();
    EXPECT_EQ(r.screen().activity, note);
}
