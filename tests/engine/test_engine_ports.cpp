// The port search over COM1..COM5 at both speeds, port trouble, and a port
// that goes away and comes back.
#include "tests/engine/engine_rig.h"

#include "storage/file_store.h"

using namespace corvell;
using namespace corvell::test;

namespace {

struct Placement {
    std::vector<std::string> present;  // ports that open
    std::string modulePort;            // where a module answers ("" none)
    int moduleBaud = 9600;
    Bytes wrongAnswer;  // what a present port without the module answers
};

// Runs the search to its end, answering each identify probe as the
// placement says; returns false if it does not end within `limitMs`.
bool runSearch(Rig& r, const Placement& p, long long limitMs = 20000) {
    r.link.openable = [p](const std::string& port, int) {
        for (const std::string& q : p.present)
            if (q == port) return true;
        return false;
    };
    r.engine.AutoDetectClick();
    const long long end = r.timer.now + limitMs;
    size_t answered = r.link.written.size();
    while (r.timer.now < end) {
        r.pass();
        // Ended: its result is shown, or it is over.
        if (r.screen().autoDetect.visible || !(r.engine.situations() & situation_bit(Situation::AutoDetect)))
            return true;
        if (r.link.written.size() > answered && r.link.written.back() == 'b') {
            answered = r.link.written.size();
            if (r.link.port == p.modulePort && r.link.baud == p.moduleBaud)
                r.reply({'b', 'j'});
            else if (!p.wrongAnswer.empty())
                r.reply(p.wrongAnswer);
            continue;
        }
        r.advance(r.timer.nextExpiry - r.timer.now);
    }
    return false;
}

std::vector<std::string> attempts(const Rig& r, size_t from) {
    std::vector<std::string> a;
    for (size_t i = from; i < r.link.openLog.size(); ++i)
        a.push_back(r.link.openLog[i].port + "@" + std::to_string(r.link.openLog[i].baud));
    return a;
}

std::string readAll(const std::string& path) {
    auto bytes = read_file_head(path, 4096);
    return bytes ? *bytes : std::string();
}

const std::vector<std::string> kOrder = {"com1@9600", "com1@2400", "com2@9600", "com2@2400", "com3@9600",
                                         "com3@2400", "com4@9600", "com4@2400", "com5@9600", "com5@2400"};

}  // namespace

TEST(EnginePortSearch, NoPortsAtAllEndsNotFoundAfterTenAttemptsOf500msAndGoesBackToTheSavedChoice) {
    Rig r;
    r.startCommunicating();
    r.engine.ComPortSelectClick(2);
    r.engine.BaudRateSelectClick(1);
    r.reply({'b', 'j'});
    r.statusAndPosition(1000);
    const std::string config = readAll(r.dir.file("focuser.dc1"));
    const size_t from = r.link.openLog.size();
    const long long t0 = r.timer.now;
    ASSERT_TRUE(runSearch(r, Placement{}));
    EXPECT_EQ(attempts(r, from), kOrder);
    EXPECT_EQ(r.timer.now - t0, 5000) << "ten attempts of 500 ms";
    ASSERT_TRUE(r.screen().autoDetect.visible);
    EXPECT_EQ(r.screen().autoDetect.message, "Focuser not found on any COM Port.");
    EXPECT_FALSE(r.screen().autoDetectTextVisible);
    EXPECT_EQ(readAll(r.dir.file("focuser.dc1")), config) << "the search never writes the configuration itself";
    // The groups show the choice that is saved, not the last one tried.
    EXPECT_EQ(r.screen().portIndex, 2);
    EXPECT_EQ(r.screen().baudIndex, 1);
    // The user presses OK: the saved choice is opened and asked again, and
    // Activity says so.
    const size_t m = r.mark();
    r.link.openable = nullptr;
    r.engine.AutoDetectOKClick(r.screen().autoDetect.id);
    r.pass();
    EXPECT_EQ(r.link.port, "com3");
    EXPECT_EQ(r.link.baud, 2400);
    EXPECT_EQ(r.sentFrom(m), "b");
    EXPECT_EQ(r.screen().activity, (Lines{"Focuser not found on any COM Port", "Back to COM3: at 2400 baud",
                                          "Waiting for focuser response"}));
    EXPECT_EQ(readAll(r.dir.file("focuser.dc1")), config);
}

TEST(EnginePortSearch, SilentPortsCost1500msAndWrongAnswersMoveOn) {
    Rig r;
    r.startCommunicating();
    Placement p;
    p.present = {"com1", "com2"};
    const long long t0 = r.timer.now;
    ASSERT_TRUE(runSearch(r, p));
    // Four silent probes of 1500 ms and six unopenable ports of 500 ms.
    EXPECT_EQ(r.timer.now - t0, 4 * 1500 + 6 * 500);

    Rig w;
    w.startCommunicating();
    p.wrongAnswer = {'b', 'x'};
    const long long t1 = w.timer.now;
    ASSERT_TRUE(runSearch(w, p));
    EXPECT_EQ(w.timer.now - t1, 6 * 500) << "an answer without 'j' moves on at once";
    EXPECT_EQ(w.screen().autoDetect.message, "Focuser not found on any COM Port.");
}

TEST(EnginePortSearch, ModuleAtCom3At2400IsFoundOnTheSixthAttemptAndKept) {
    Rig r;
    r.startCommunicating();
    const size_t from = r.link.openLog.size();
    Placement p;
    p.present = {"com1", "com3", "com5"};
    p.modulePort = "com3";
    p.moduleBaud = 2400;
    p.wrongAnswer = {0xF8, 0x00};  // the module's port at the wrong speed
    ASSERT_TRUE(runSearch(r, p));
    std::vector<std::string> tried = attempts(r, from);
    ASSERT_GE(tried.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(tried.begin(), tried.begin() + 6),
              std::vector<std::string>(kOrder.begin(), kOrder.begin() + 6));
    EXPECT_EQ(r.screen().autoDetect.message, "Communication with focuser established.");
    EXPECT_EQ(r.screen().portIndex, 2);
    EXPECT_EQ(r.screen().baudIndex, 1);
    EXPECT_EQ(r.screen().activity, (Lines{"Focuser responding", "Waiting for command"}));
    EXPECT_EQ(r.link.port, "com3");
    EXPECT_EQ(r.link.baud, 2400);
    std::string config = readAll(r.dir.file("focuser.dc1"));
    ProgramConfig c = parse_config(config.data(), config.size());
    EXPECT_EQ(c.portIndex, 2);
    EXPECT_EQ(c.baudIndex, 1);
    // The port is set up again and identified: the normal chain follows.
    EXPECT_EQ(r.onTheLine(), 'b');
    r.reply({'b', 'j'});
    r.statusAndPosition(1000);
    EXPECT_EQ(r.screen().connection, "Communicating");
}

TEST(EnginePortSearch, TheEndRestoresTheGroupsFromTheirTags) {
    Rig r;
    r.startCommunicating();
    ASSERT_TRUE(runSearch(r, Placement{}));
    // The search tried COM5 at 2400 last; the tags (the saved choice, COM1
    // at 9600) decide, and a click on the groups meanwhile is refused.
    EXPECT_EQ(r.link.openLog.back().port + "@" + std::to_string(r.link.openLog.back().baud), "com5@2400");
    r.engine.ComPortSelectClick(1);
    r.engine.BaudRateSelectClick(1);
    EXPECT_EQ(r.screen().activity, (Lines{"Auto detection in progress", "Port settings not changed"}));
    r.engine.AutoDetectOKClick(r.screen().autoDetect.id);
    r.pass();
    EXPECT_EQ(r.screen().portIndex, 0);
    EXPECT_EQ(r.screen().baudIndex, 0);
    EXPECT_EQ(r.link.port, "com1");
    EXPECT_EQ(r.link.baud, 9600);
    // The next click on a group starts from that choice.
    r.engine.BaudRateSelectClick(1);
    EXPECT_EQ(r.link.port, "com1");
    EXPECT_EQ(r.link.baud, 2400);
    EXPECT_EQ(r.configFile().portIndex, 0);
    EXPECT_EQ(r.configFile().baudIndex, 1);
}

TEST(EnginePortSearch, RefusedWhileAGoToRunsAndPortClicksWaitForTheSearch) {
    Rig r;
    r.startCommunicating();
    r.runGoTo(2000);
    r.engine.AutoDetectClick();
    EXPECT_TRUE(r.completionAwaited(65997));
    EXPECT_EQ(r.screen().activity, (Lines{"A Go To is in progress", "COM Port AutoDetection not started"}));
    const int opens = r.link.openCalls;
    r.engine.ComPortSelectClick(3);
    EXPECT_EQ(r.screen().portIndex, 0);
    EXPECT_EQ(r.configFile().portIndex, 0);
    EXPECT_EQ(r.link.openCalls, opens) << "the port is not closed under a running go-to";
    EXPECT_EQ(r.screen().activity.back(), "Port settings not changed");
    r.reply({'c'});
    r.statusAndPosition(2000);

    r.link.openable = [](const std::string&, int) { return false; };
    r.engine.AutoDetectClick();
    r.pass();
    r.engine.BaudRateSelectClick(1);
    EXPECT_TRUE(r.engine.situations() & situation_bit(Situation::AutoDetect));
    EXPECT_FALSE(r.screen().autoDetect.visible) << "the search runs";
    EXPECT_EQ(r.screen().activity, (Lines{"Auto detection in progress", "Port settings not changed"}));
}

TEST(EnginePorts, EachChoiceOpensItsOwnPortAndAnIndexOutsideTheGroupBecomesCom1) {
    Rig r;
    ProgramConfig c;
    c.portIndex = 7;
    c.baudIndex = 5;
    c.unitsIndex = 9;
    std::string error;
    ASSERT_TRUE(save_file_atomically(r.dir.file("focuser.dc1"), encode_config(c), error));
    const std::string onDisk = encode_config(c);
    r.start();
    EXPECT_EQ(r.link.port, "com1");
    EXPECT_EQ(r.link.baud, 9600);
    EXPECT_EQ(r.screen().portIndex, 0);
    EXPECT_EQ(r.screen().baudIndex, 0);
    // A units index outside the group reads as inches, and reading alone
    // does not write the file back.
    EXPECT_EQ(r.screen().unitsIndex, 0);
    EXPECT_EQ(r.screen().encoderLines, "Encoder Counts per inch:");
    auto bytes = read_file_head(r.dir.file("focuser.dc1"), 4096);
    EXPECT_EQ(bytes.value_or(""), onDisk);
    for (int index = 0; index < 5; ++index) {
        r.engine.ComPortSelectClick(index);
        EXPECT_EQ(r.link.port, "com" + std::to_string(index + 1));
        EXPECT_EQ(r.screen().connection, " ") << "asked, not yet answered";
    }
}

TEST(EnginePorts, APortThatWillNotOpenIsNamedAndTriedAgainUntilItOpens) {
    Rig r;
    r.link.opens = false;
    r.link.failure = "no such device";
    r.start();
    EXPECT_EQ(r.screen().connection, "COM1: /dev/test-com1 - no such device");
    // The Operate page says so too.
    EXPECT_EQ(r.screen().activity, (Lines{"Not communicating", "COM1: /dev/test-com1 - no such device"}));
    EXPECT_EQ(r.screen().position, (Lines{"Unknown"}));
    EXPECT_EQ(r.sentFrom(0), "");
    r.advance(200);  // the one quick retry
    EXPECT_EQ(r.link.openCalls, 2);
    r.advance(200 + 1500 * 3);
    EXPECT_GE(r.link.openCalls, 4) << "tried again while it stays missing";
    EXPECT_LE(r.link.openCalls, 6) << "but not more often than every 1500 ms";
    EXPECT_EQ(r.sentFrom(0), "") << "nothing is written to a port that is not open";
    r.link.failure = "in use by another program (sleep, process 42)";
    r.advance(1500);
    EXPECT_EQ(r.screen().activity,
              (Lines{"Not communicating", "COM1: /dev/test-com1 - in use by another program (sleep, process 42)"}));
    // The device appears: opened within one interval, identified, polled,
    // and nothing moves.
    r.link.opens = true;
    r.advance(1500);
    EXPECT_EQ(r.sentFrom(0), "b");
    r.reply({'b', 'j'});
    r.statusAndPosition(1000);
    EXPECT_EQ(r.screen().connection, "Communicating");
    EXPECT_EQ(r.screen().activity, (Lines{"Focuser responding", "Waiting for command"}));
    EXPECT_EQ(r.sentFrom(0), "btp");
    EXPECT_EQ(r.screen().encoderPosition, "1000");
    r.link.opens = false;  // another port that will not open: the position not known on both pages
    r.engine.ComPortSelectClick(1);
    EXPECT_EQ(r.screen().position, (Lines{"Unknown"}));
    EXPECT_EQ(r.screen().encoderPosition, "Unknown");
}

TEST(EnginePorts, ADeviceThatGoesAwayIsLetGoAndFoundAgain) {
    Rig r;
    r.startCommunicating();
    r.engine.move_out_command();
    r.reply({'o'});
    r.statusAndPosition(1200);
    // Unplugged while the focuser moves out: said at once, not after a
    // time-out, with the position no longer shown as current.
    r.unplug();
    EXPECT_EQ(r.screen().activity, (Lines{"Not communicating", "COM1: the device went away"}));
    EXPECT_EQ(r.screen().position, (Lines{"Unknown"}));
    EXPECT_EQ(r.screen().encoderPosition, "Unknown");
    EXPECT_EQ(r.screen().status, (Lines{"Unknown"}));
    EXPECT_EQ(r.engine.position(), std::nullopt);
    // Tried again after 200 ms, then every 1.5 s; each failure named.
    const int before = r.link.openCalls;
    r.advance(200);
    EXPECT_EQ(r.link.openCalls, before + 1);
    EXPECT_EQ(r.screen().connection, "COM1: /dev/test-com1 - no such device");
    r.advance(1499);
    EXPECT_EQ(r.link.openCalls, before + 1);
    r.advance(1);
    EXPECT_EQ(r.link.openCalls, before + 2);
    const size_t m = r.mark();
    r.link.opens = true;
    r.advance(1500);
    EXPECT_TRUE(r.link.connected());
    r.reply({'b', 'j'});
    r.statusAndPosition(1200);
    EXPECT_EQ(r.screen().connection, "Communicating");
    EXPECT_EQ(r.sentFrom(m), "btp") << "no motion of its own";

    // Clicking the port already chosen opens it again.
    const int opens = r.link.openCalls;
    r.engine.ComPortSelectClick(0);
    EXPECT_EQ(r.link.openCalls, opens + 1);
}

// A search started while the module's answer to a poll is still on its way
// probes only once that answer has had its time: the late bytes cannot be
// taken for the first probe's answer. Started with nothing due, it probes
// at once.
TEST(EnginePortSearch, TheFirstProbeWaitsForAnAnswerStillDue) {
    for (bool due : {true, false}) {
        SCOPED_TRACE(due ? "a poll's answer due" : "nothing due");
        Rig r;
        r.startCommunicating(1000);
        if (due) {
            r.advance(1500);  // the idle poll's read goes out
            ASSERT_EQ(r.onTheLine(), 'p');
        }
        const size_t from = r.link.written.size();
        const long long started = r.timer.now;
        ASSERT_EQ(r.engine.search_ports(), "");
        r.pass();
        EXPECT_EQ(r.link.written.size(), from + (due ? 0 : 1)) << "probed at once";
        r.advance(99);
        EXPECT_EQ(r.link.written.size(), from + (due ? 0 : 1));
        r.advance(1);
        ASSERT_EQ(r.link.written.size(), from + 1);
        EXPECT_EQ(r.link.written.back(), 'b');
        if (due) {
            EXPECT_EQ(r.link.openLog.back().at, started + 100) << "the first probe's port opened then";
        }
    }
}
