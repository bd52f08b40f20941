// The byte trace over a scripted link, and the headless log of what the
// engine answered for nobody.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "app/core.h"
#include "app/headless.h"
#include "app/trace_link.h"
#include "sim/simulator.h"
#include "storage/file_store.h"
#include "storage/settings_codec.h"

using namespace corvell;
using namespace corvell::app;

namespace {

class ScriptedLink : public ModuleLink {
public:
    bool opens = true, writes = true, present = true;
    std::deque<uint8_t> waiting;  // what the module sent, not read yet
    int purges = 0;
    bool open(const std::string&, int) override { return opens; }
    void close() override {}
    bool connected() const override { return present; }
    void discardReceived() override { waiting.clear(), ++purges; }
    bool writeByte(uint8_t) override { return writes; }
    int read(uint8_t* buffer, int max) override {
        int n = 0;
        for (; n < max && !waiting.empty(); ++n) buffer[n] = waiting.front(), waiting.pop_front();
        return n;
    }
    std::string device(const std::string& port) const override {
        return port == "com1" ? "/dev/pts/7" : "/dev/ttyUSB0";
    }
    std::string openFailure() const override { return opens ? "" : "permission denied"; }
};

}  // namespace

// Every event of the line as a user's report shows it: times to the
// millisecond (a burst has its first byte's), hex and text, one line per
// burst in a direction and at most 16 bytes a line; what a purge drops is
// read first and marked; a device that went away is said once.
TEST(TraceLink, WritesEveryByteOnTheLineWithItsTimeAndDirection) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    ScriptedLink link;
    std::string out;
    // 2025-06-01 21:14:03.118 UTC, one millisecond more at each look at the clock.
    LogClock::time_point t = LogClock::from_time_t(1748812443) + std::chrono::milliseconds(117);
    TraceLink trace(
        link, [&](const std::string& line) { out += line + "\n"; }, [&] { return t += std::chrono::milliseconds(1); });
    uint8_t buffer[32];

    link.opens = false;
    EXPECT_FALSE(trace.open("com5", 2400));
    link.opens = true;
    EXPECT_TRUE(trace.open("com1", 9600));
    for (uint8_t b : {0x67, 0x0b, 0xb8}) EXPECT_TRUE(trace.writeByte(b));
    link.waiting = {'g'};
    EXPECT_EQ(trace.read(buffer, 16), 1);
    EXPECT_EQ(buffer[0], 'g');
    link.waiting = {'c'};
    EXPECT_EQ(trace.read(buffer, 16), 1);
    EXPECT_FALSE(trace.pending() && out.find("<-") != std::string::npos);
    trace.flush();
    EXPECT_FALSE(trace.pending());
    link.waiting = {0x7e, 0x02};
    trace.discardReceived();
    trace.discardReceived();  // nothing waits: no line
    EXPECT_EQ(link.purges, 2);
    for (int i = 0; i < 20; ++i) link.waiting.push_back(static_cast<uint8_t>('A' + i));
    EXPECT_EQ(trace.read(buffer, 32), 20);
    link.writes = false;
    EXPECT_FALSE(trace.writeByte('t'));
    link.present = false;
    trace.flush();
    trace.flush();
    trace.close();

    EXPECT_EQ(out,
              "2025-06-01 21:14:03.118 trace com5 open at 2400 baud (/dev/ttyUSB0) failed: permission denied\n"
              "2025-06-01 21:14:03.119 trace com1 open at 9600 baud (/dev/pts/7)\n"
              "2025-06-01 21:14:03.120 trace -> 67 0b b8                 g..\n"
              "2025-06-01 21:14:03.121 trace <- 67 63                    gc\n"
              "2025-06-01 21:14:03.122 trace <- 7e 02                    ~.  discarded\n"
              "2025-06-01 21:14:03.124 trace <- 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50  ABCDEFGHIJKLMNOP\n"
              "2025-06-01 21:14:03.124 trace <- 51 52 53 54              QRST\n"
              "2025-06-01 21:14:03.125 trace -> 74                       t  not written\n"
              "2025-06-01 21:14:03.126 trace com1 went away (the device is gone)\n"
              "2025-06-01 21:14:03.127 trace com1 closed (it was at 9600 baud)\n");
    ::unsetenv("TZ");
    ::tzset();
}

// The engine opens a question, a number entry, the description entry and
// the add-focuser setup when the window's buttons are clicked. Without a
// window the engine answers each No or cancels it at once, the log says so, and
// nothing of what a Yes or an OK would start reaches the module: until the
// next poll after it, the module is only asked (position, status, identify).
TEST(HeadlessView, AnswersNoOrCancelsWhatNobodyIsThereToAnswer) {
    int argc = 1;
    char name[] = "test_headless";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    sim::Simulator module{sim::SimOptions{}};
    ASSERT_TRUE(module.start());
    char folder[] = "/tmp/corvell-headless-XXXXXX";
    ASSERT_TRUE(::mkdtemp(folder));
    // A focuser in use, so that its questions and entries open.
    std::string error;
    ASSERT_TRUE(save_file_atomically(std::string(folder) + "/fc00001.df1", encode_profile(FocuserProfile()), error));
    ASSERT_TRUE(save_file_atomically(std::string(folder) + "/focuser.dc1",
                                     std::string("0\0"
                                                 "0\0"
                                                 "0\0"
                                                 "0.01\0"
                                                 "2\0",
                                                 13),
                                     error));
    CoreOptions options;
    options.dataDir = folder;
    options.attended = false;
    options.portMap.paths = {module.slavePath(), "/nonexistent/2", "/nonexistent/3", "/nonexistent/4",
                             "/nonexistent/5"};
    const std::string logFile = std::string(folder) + "/log";
    const int savedStderr = ::dup(2), logFd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(logFd, 2);
    auto log = [&] {
        std::ifstream in(logFile);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    };
    auto pumpUntil = [](const std::function<bool()>& condition) {
        QElapsedTimer t;
        t.start();
        // Sleeps in the event loop, where the executive runs.
        while (!condition() && t.elapsed() < 20000) {
            QEventLoop loop;
            QTimer::singleShot(5, &loop, &QEventLoop::quit);
            loop.exec();
        }
        return condition();
    };

    {
        Core core(options);
        HeadlessView view(core);
        core.start();
        core.activate();
        Engine& e = core.engine();
        ASSERT_TRUE(pumpUntil([&] { return e.communicating(); })) << log();
        const struct {
            std::function<void()> click;
            const char* said;
        } cases[] = {
            {[&] { e.ReinitializeClick(); },
             "Question with no one to answer it, answered No: Are you sure you want to initialize the focuser?"},
            {[&] { e.go_to_command(); }, "Entry with no one to type in it, cancelled: Enter Focuser Go To Position"},
            {[&] { e.ChangeDescriptionClick(); }, "Description entry with no one to type in it, cancelled"},
            {[&] { e.AddFocuserClick(); }, "Setup page with no one to answer it, cancelled: Add New Focuser"},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.said);
            module.clearTranscript();
            c.click();
            const Screen& s = core.screen();
            EXPECT_TRUE(pumpUntil([&] {
                return !s.question.visible && !s.entry.visible && !s.textEntry.visible && !s.setup.visible &&
                       log().find(c.said) != std::string::npos;
            })) << log();
            // A poll after the answer: whatever it started was sent before.
            const size_t answered = module.receivedBytes().size();
            EXPECT_TRUE(pumpUntil([&] {
                const std::vector<uint8_t> sent = module.receivedBytes();
                return std::find(sent.begin() + answered, sent.end(), 'p') != sent.end();
            }));
            for (uint8_t b : module.receivedBytes())
                EXPECT_NE(std::string("pbt").find(char(b)), std::string::npos) << "sent " << b;
        }
    }
    ::dup2(savedStderr, 2);
    std::system(("rm -rf '" + std::string(folder) + "'").c_str());
}
