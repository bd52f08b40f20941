// Control lines and the corvell-sim executable.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <string>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "sim/console.h"
#include "tests/sim/sim_session.h"

extern char** environ;

using namespace corvell::sim;
using namespace corvell::sim::test;

TEST(SimConsole, ControlLinesDriveTheSimulator) {
    SimSession s;
    ASSERT_NO_FATAL_FAILURE(s.open());
    std::ostringstream out;
    EXPECT_EQ(runControlLine(s.sim, "position 1234", out), ConsoleResult::Ok);
    EXPECT_EQ(s.sim.position(), 1234);
    EXPECT_EQ(runControlLine(s.sim, "status", out), ConsoleResult::Ok);
    EXPECT_EQ(out.str(), "position 1234 moving no maxtravel 65535 linebaud 9600\n");

    EXPECT_EQ(runControlLine(s.sim, "fault on", out), ConsoleResult::Ok);
    EXPECT_EQ(s.readStatus(), 0x09);
    EXPECT_EQ(runControlLine(s.sim, "fault off", out), ConsoleResult::Ok);

    EXPECT_EQ(runControlLine(s.sim, "noise 62 6a", out), ConsoleResult::Ok);
    EXPECT_EQ(s.line.read(2, 500), (Bytes{0x62, 0x6A}));
    EXPECT_EQ(runControlLine(s.sim, "noise 0xff01", out), ConsoleResult::Ok);
    EXPECT_EQ(s.line.read(2, 500), (Bytes{0xFF, 0x01}));

    EXPECT_EQ(runControlLine(s.sim, "out down", out), ConsoleResult::Ok);
    EXPECT_TRUE(s.sim.moving());
    EXPECT_EQ(runControlLine(s.sim, "out up", out), ConsoleResult::Ok);
    EXPECT_FALSE(s.sim.moving());

    EXPECT_EQ(runControlLine(s.sim, "reject on", out), ConsoleResult::Ok);
    EXPECT_EQ(s.ask({'b'}, 1), (Bytes{'r'}));
    EXPECT_EQ(runControlLine(s.sim, "reject off", out), ConsoleResult::Ok);

    // The processing delay: the reply is due that long after the command arrived.
    EXPECT_EQ(runControlLine(s.sim, "processing 25", out), ConsoleResult::Ok);
    s.sim.clearTranscript();
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{'b', 'j'}));
    ASSERT_EQ(s.sim.sent().size(), 2u);
    EXPECT_NEAR(s.sim.sent()[0].dueMs - s.sim.received()[0].ms, 25, 0.001);
    EXPECT_EQ(runControlLine(s.sim, "delay 10", out), ConsoleResult::Ok);
    s.sim.clearTranscript();
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{'b', 'j'}));
    ASSERT_EQ(s.sim.sent().size(), 2u);
    EXPECT_NEAR(s.sim.sent()[0].dueMs - s.sim.received()[0].ms, 35, 0.001) << "the reply delay adds on top";
    EXPECT_EQ(runControlLine(s.sim, "delay 0", out), ConsoleResult::Ok);
    EXPECT_EQ(runControlLine(s.sim, "processing 2", out), ConsoleResult::Ok);

    // What the program sent, in order, until cleared.
    out.str("");
    EXPECT_EQ(runControlLine(s.sim, "clear", out), ConsoleResult::Ok);
    EXPECT_EQ(runControlLine(s.sim, "received", out), ConsoleResult::Ok);
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{'b', 'j'}));  // the reply shows the byte was taken
    EXPECT_EQ(s.ask({'t'}, 2).size(), 2u);
    EXPECT_EQ(runControlLine(s.sim, "received", out), ConsoleResult::Ok);
    EXPECT_EQ(runControlLine(s.sim, "clear", out), ConsoleResult::Ok);
    EXPECT_EQ(runControlLine(s.sim, "received", out), ConsoleResult::Ok);
    EXPECT_EQ(out.str(), "received\nreceived 62 74\nreceived\n");

    EXPECT_EQ(runControlLine(s.sim, "baud 2400", out), ConsoleResult::Ok);
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{0x00, 0xF8}));

    EXPECT_EQ(runControlLine(s.sim, "", out), ConsoleResult::Ok);
    EXPECT_EQ(runControlLine(s.sim, "quit", out), ConsoleResult::Quit);
}

TEST(SimConsole, BadLinesAreReportedAndChangeNothing) {
    SimSession s;
    ASSERT_NO_FATAL_FAILURE(s.open());
    std::ostringstream out;
    for (const char* line :
         {"bogus", "in sideways", "baud 4800", "silent maybe", "noise zz", "position -5", "position 70000",
          "delay soon", "noise", "processing", "processing -1", "processing 5ms", "processing 1 2"}) {
        out.str("");
        EXPECT_EQ(runControlLine(s.sim, line, out), ConsoleResult::Error) << line;
        EXPECT_NE(out.str().find("error"), std::string::npos) << line;
    }
    EXPECT_FALSE(s.sim.moving());
    EXPECT_EQ(s.sim.position(), 0);
    EXPECT_EQ(s.ask({'b'}, 2), (Bytes{'b', 'j'}));
    ASSERT_EQ(s.sim.sent().size(), 2u);
    EXPECT_NEAR(s.sim.sent()[0].dueMs - s.sim.received()[0].ms, 2, 0.001) << "processing delay unchanged";
}

namespace {

// corvell-sim as a child process with pipes on its standard input and output.
struct SimProcess {
    pid_t pid = -1;
    int toChild = -1;
    int fromChild = -1;

    bool spawn(const std::vector<std::string>& args) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<char*> argv;
        std::vector<std::string> all{CORVELL_SIM_EXE};
        all.insert(all.end(), args.begin(), args.end());
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int r = posix_spawn(&pid, CORVELL_SIM_EXE, &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        toChild = in[1];
        fromChild = out[0];
        return r == 0;
    }

    // One line of the child's output (given up after 10 s).
    std::string readLine() {
        std::string line;
        char c;
        while (true) {
            pollfd p{fromChild, POLLIN, 0};
            if (poll(&p, 1, 10000) != 1) return line;
            if (::read(fromChild, &c, 1) != 1 || c == '\n') return line;
            line += c;
        }
    }

    void send(const std::string& text) {
        ASSERT_EQ(::write(toChild, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    int waitExit() {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }

    ~SimProcess() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (toChild >= 0) ::close(toChild);
        if (fromChild >= 0) ::close(fromChild);
    }
};

}  // namespace

TEST(SimExecutable, LinkControlLinesAndCleanExit) {
    char dir[] = "/tmp/corvell-sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/module";

    SimProcess p;
    ASSERT_TRUE(p.spawn({"--link", link, "--position", "77", "--baud", "2400", "--processing", "40"}));
    const std::string slave = p.readLine();
    ASSERT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(slave, target);

    // One byte in and three out at 2400 baud (16.7 ms) after the processing
    // delay set on the command line; then after the one set by a control line.
    PtyClient line;
    ASSERT_TRUE(line.open(link, B2400));
    auto timedPositionRead = [&line](Bytes expected) {
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_TRUE(line.write({'p'}));
        EXPECT_EQ(line.read(3, 1000), expected);
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    };
    EXPECT_GE(timedPositionRead({'p', 0x00, 77}), 40 + 16.66);

    p.send("position 300\nprocessing 80\nstatus\n");
    EXPECT_EQ(p.readLine(), "position 300 moving no maxtravel 65535 linebaud 2400");
    EXPECT_GE(timedPositionRead({'p', 0x01, 0x2C}), 80 + 16.66);

    // The end of standard input does not end the simulator.
    ::close(p.toChild);
    p.toChild = -1;
    EXPECT_GE(timedPositionRead({'p', 0x01, 0x2C}), 80 + 16.66) << "still answering";

    kill(p.pid, SIGTERM);
    const int status = p.waitExit();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link is removed at exit";
    rmdir(dir);
}

TEST(SimExecutable, QuitLineAndHelp) {
    {
        SimProcess p;
        ASSERT_TRUE(p.spawn({}));
        EXPECT_EQ(p.readLine().rfind("/dev/pts/", 0), 0u);
        p.send("quit\n");
        const int status = p.waitExit();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    {
        SimProcess p;
        ASSERT_TRUE(p.spawn({"--help"}));
        EXPECT_EQ(p.readLine().rfind("Usage: corvell-sim", 0), 0u);
        const int status = p.waitExit();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--baud", "4800"},
                                                {"--processing", "-1"},
                                                {"--processing", "soon"},
                                                {"--processing"}}) {
        SimProcess p;
        ASSERT_TRUE(p.spawn(bad));
        const int status = p.waitExit();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << bad[0] << " " << bad.back();
    }
}
