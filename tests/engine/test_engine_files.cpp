// The configuration and profile files as the engine reads and writes them.
#include <csignal>
#include <sys/resource.h>

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

}  // namespace

TEST(EngineFiles, NoFilesAtAllGiveTheDefaultConfigurationAndAnEmptyList) {
    Rig r;
    r.start();
    std::string expected;
    for (const char* field : {"0", "0", "0", "0.01", "1", "1"}) expected += std::string(field) + '\0';
    EXPECT_EQ(readAll(r.dir.file("focuser.dc1")), expected);
    EXPECT_TRUE(r.screen().focuserList.empty());
    EXPECT_EQ(r.screen().focuserRow, -1);
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
    EXPECT_EQ(r.engine.config.unitsIndex, 0);
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
    r.engine.delete_file_command();
    EXPECT_FALSE(file_exists(r.dir.file("fc00003.df1")));
    EXPECT_EQ(r.screen().focuserList, (Lines{"F1", "F2"}));
    EXPECT_EQ(r.screen().focuserRow, 1);
    EXPECT_EQ(r.screen().focuserType, "F2");
    EXPECT_EQ(r.engine.config.currentFileNumber, 2);
}
