// Nobody there to answer: the engine answers its own questions, entries,
// setup pages and the port search's result at the next pass, says what it
// did, and nothing a Yes or an OK would start reaches the module.
#include "tests/engine/engine_rig.h"

namespace corvell::test {
namespace {

using Kind = UnattendedAnswer::Kind;

TEST(EngineUnattended, EveryDialogIsAnsweredAtTheNextPassAndSaid) {
    const struct {
        const char* name;
        void (*open)(Engine&);
        Kind kind;
        const char* line;  // the start of what is said
    } cases[] = {
        {"question", [](Engine& e) { e.ReinitializeClick(); }, Kind::QuestionNo,
         "Question with no one to answer it, answered No: Are you sure you want to initialize the focuser? The "
         "focuser will recompute"},
        {"set zero", [](Engine& e) { e.set_zero_command(); }, Kind::QuestionNo,
         "Question with no one to answer it, answered No: Are you sure you want to zero the position value?"},
        {"go-to entry", [](Engine& e) { e.go_to_command(); }, Kind::EntryCancelled,
         "Entry with no one to type in it, cancelled: Enter Focuser Go To Position"},
        {"number entry", [](Engine& e) { e.SetMaxTravelClick(); }, Kind::EntryCancelled,
         "Entry with no one to type in it, cancelled: Enter Maximum Travel Count"},
        {"description", [](Engine& e) { e.ChangeDescriptionClick(); }, Kind::DescriptionCancelled,
         "Description entry with no one to type in it, cancelled"},
        {"setup", [](Engine& e) { e.AddFocuserClick(); }, Kind::SetupCancelled,
         "Setup page with no one to answer it, cancelled: Add New Focuser"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        r.engine.set_attended(false);
        r.startCommunicating(1000);
        r.link.module.enabled = true;
        const size_t sent = r.link.written.size();
        c.open(r.engine);
        r.pass();
        ASSERT_EQ(r.view.answered.size(), 1u);
        EXPECT_EQ(r.view.answered[0].kind, c.kind);
        EXPECT_EQ(r.view.answered[0].line.rfind(c.line, 0), 0u) << r.view.answered[0].line;
        const Screen& s = r.screen();
        EXPECT_FALSE(s.question.visible || s.entry.visible || s.textEntry.visible || s.setup.visible);
        r.advance(3000);
        for (size_t i = sent; i < r.link.written.size(); ++i)
            EXPECT_NE(std::string("pbt").find(static_cast<char>(r.link.written[i])), std::string::npos)
                << "sent " << r.link.written[i];
        EXPECT_EQ(r.view.answered.size(), 1u) << "answered once";
    }
}

// Someone leaves (the last page closes) while a question is open: it is
// answered then. The port search's result is taken note of, and the search
// ends by itself.
TEST(EngineUnattended, WhatIsOpenWhenNobodyIsLeftAndThePortSearch) {
    Rig r;
    r.startCommunicating(1000);
    r.engine.set_zero_command();
    r.pass();
    ASSERT_TRUE(r.screen().question.visible);
    EXPECT_TRUE(r.view.answered.empty()) << "someone is there";
    r.engine.set_attended(false);
    EXPECT_GT(r.view.passRequests, 0) << "a pass is asked for, to answer it";
    r.pass();
    EXPECT_FALSE(r.screen().question.visible);
    ASSERT_EQ(r.view.answered.size(), 1u);
    EXPECT_EQ(r.view.answered[0].kind, Kind::QuestionNo);

    r.link.opens = false;
    ASSERT_EQ(r.engine.search_ports(), "");
    EXPECT_TRUE(r.engine.searching_ports());
    EXPECT_NE(r.engine.search_ports(), "") << "a search runs";
    r.advance(20 * 1000);
    EXPECT_FALSE(r.engine.searching_ports());
    EXPECT_EQ(r.engine.port_search_result(), "Focuser not found on any COM Port.");
    ASSERT_EQ(r.view.answered.size(), 2u);
    EXPECT_EQ(r.view.answered[1].kind, Kind::SearchResult);
    EXPECT_FALSE(r.screen().autoDetect.visible);
}

// The older release's file: not offered while nobody is there, and kept
// when its question is left open by the one who leaves.
TEST(EngineUnattended, TheOlderReleasesFileIsKeptForLater) {
    std::string legacy;
    for (int i = 0; i < 48; ++i) legacy += std::string(i == 6 ? "-1" : "0") + '\0';
    for (bool leaves : {false, true}) {
        SCOPED_TRACE(leaves ? "left open when nobody is left" : "nobody there at the start");
        Rig r;
        std::string error;
        ASSERT_TRUE(save_file_atomically(r.dir.file("focuser.dat"), legacy, error));
        r.engine.set_attended(leaves);
        r.start();
        if (leaves) {
            ASSERT_TRUE(r.screen().question.visible);
            r.engine.set_attended(false);
        }
        r.pass();
        ASSERT_EQ(r.view.answered.size(), 1u);
        EXPECT_EQ(r.view.answered[0].kind, leaves ? Kind::QuestionLater : Kind::ConversionLeft);
        EXPECT_FALSE(r.screen().question.visible);
        EXPECT_TRUE(file_exists(r.dir.file("focuser.dat")));
        EXPECT_FALSE(file_exists(r.dir.file("fc00001.df1")));
        EXPECT_EQ(r.sentFrom(0), "b") << "the start-up went on";
        if (leaves) {
            r.reply({'b', 'j'});
            r.statusAndPosition(1000);
            r.engine.set_attended(true);  // someone is there again: asked again
            r.pass();
            EXPECT_TRUE(r.screen().question.visible);
            continue;
        }
        // Someone comes (a setup page opens): the file is offered then, and
        // converted as at a start.
        r.reply({'b', 'j'});
        r.statusAndPosition(1000);
        r.engine.set_attended(true);
        r.pass();
        ASSERT_TRUE(r.screen().question.visible);
        EXPECT_EQ(r.screen().question.yesCaption, "Convert");
        r.engine.question_answered(r.screen().question.id, true);
        r.pass();
        ASSERT_TRUE(r.screen().textEntry.visible);
        r.engine.text_entered(r.screen().textEntry.id, "Old one");
        r.pass();
        EXPECT_FALSE(file_exists(r.dir.file("focuser.dat")));
        EXPECT_TRUE(file_exists(r.dir.file("fc00001.df1")));
        EXPECT_EQ(r.screen().focuserList, (Lines{"Old one"}));
        r.engine.set_attended(false);
        r.engine.set_attended(true);
        r.pass();
        EXPECT_FALSE(r.screen().question.visible) << "offered once";
    }
}

// The speed and port choices as operations: refused with the busy table's
// reason while a question is open, acting and saved otherwise.
TEST(EngineUnattended, SpeedAndPortChoicesAreOperations) {
    Rig r;
    r.startCommunicating(1000);
    r.engine.set_zero_command();
    r.pass();
    EXPECT_EQ(r.engine.select_speed(1), "Answer the open question first");
    EXPECT_EQ(r.engine.speed_choice(), 0);
    r.engine.question_answered(r.screen().question.id, false);
    r.pass();
    EXPECT_EQ(r.engine.select_speed(2), "There is no speed choice 2");
    EXPECT_EQ(r.engine.select_port(5), "There is no port COM6");
    EXPECT_EQ(r.engine.select_speed(1), "");
    EXPECT_EQ(r.link.baud, 2400);
    EXPECT_TRUE(r.engine.awaiting_first_answer());
    EXPECT_EQ(r.engine.select_port(4), "");
    EXPECT_EQ(r.link.port, "com5");
    EXPECT_EQ(r.configFile().baudIndex, 1);
    EXPECT_EQ(r.configFile().portIndex, 4);
    EXPECT_EQ(r.screen().baudIndex, 1);
}

}  // namespace
}  // namespace corvell::test

namespace corvell::test {
namespace {

// The engine's log: what it says with how grave it is, each line once.
TEST(EngineLog, LinesAndTheirLevels) {
    Rig r;
    r.engine.set_attended(false);
    r.startCommunicating(1200);
    r.engine.ReinitializeClick();  // answered No for nobody
    r.pass();
    r.engine.set_attended(true);
    r.engine.set_zero_command();  // the question is open: a move is refused
    r.engine.move_out_command();
    r.engine.question_answered(r.screen().question.id, false);
    r.pass();
    r.advance(1500);  // the idle poll, unanswered: a silent module
    r.advance(1500);
    r.unplug();
    std::string log;
    for (const LogLine& l : r.view.log)
        log += std::string(l.level == LogLevel::Error     ? "E "
                           : l.level == LogLevel::Warning ? "W "
                                                          : "I ") +
               l.text + "\n";
    for (const char* line : {
             "I Connection: Communicating on COM1: /dev/test-com1 at 9600 baud\n",
             "I Position: 0.327\" (1200 counts)\n",
             "I Focuser in use: Focuser 00001, maximum travel 6600 counts, 3666.93 counts per inch\n",
             "W Question with no one to answer it, answered No: Are you sure you want to initialize the focuser?",
             "W Answer the open question first\nW Move Out not started\n",
             "E Status: Serial Communications Timeout / Check Corvell connections (no answer from the control module "
             "on COM1: /dev/test-com1 at 9600 baud)\n",
             "W Connection: Not communicating\n",
             "E Not communicating: COM1: the device went away\n",
         })
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    EXPECT_EQ(log.find("I Connection: Communicating"), log.rfind("I Connection: Communicating")) << "said once";
}

}  // namespace
}  // namespace corvell::test
