// TZComm against real pseudo-terminals.
#include <gtest/gtest.h>

#include <QThread>

#include <sys/ioctl.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "serial/TZComm.h"
#include "tests/serial/serial_test_support.h"

using namespace serial_test;

namespace {

// The port values the main window uses for the control module.
void useModuleSettings(TZComm& c, const std::string& path) {
    c.Port = path;
    c.MaxReadLength = 16;
    c.InputQueueSize = 16;
    c.OutputQueueSize = 16;
    c.EnableParity = false;
    c.XOuputFlowCtl = false;
    c.XInputFlowCtl = false;
    c.AbortOnError = false;
    c.TimeoutReadInterval = 0;
    c.TimeoutReadConstant = 1500;
    c.TimeoutWriteConstant = 1500;
}

class SerialTest : public ::testing::Test {
protected:
    void SetUp() override {
        app();
        // Every earlier test joined its threads, but one can still be listed
        // for a moment: wait for the count the first test started with.
        static const int resting = threadCount();
        baseThreads = threadCountReaching(resting);
        ASSERT_EQ(baseThreads, resting) << "a thread of an earlier test is still running";
    }
    int baseThreads = 0;
};

// A port opened with the module's settings on a pseudo-terminal of its own.
class OpenPort : public SerialTest {
protected:
    void SetUp() override {
        SerialTest::SetUp();
        useModuleSettings(c, pty.slave());
        ASSERT_NE(c.OpenConnection(), 0) << c.LastError();
    }
    Pty pty;
    TZComm c;
};

// Collects what OnDataAvailable reads, and on which thread it ran.
struct Receiver {
    std::string bytes;
    int calls = 0;
    bool offMainThread = false;
    void attach(TZComm& c) {
        c.OnDataAvailable = [this](TZComm* sender) {
            ++calls;
            if (QThread::currentThread() != QCoreApplication::instance()->thread()) offMainThread = true;
            unsigned char buf[64];
            int n;
            while ((n = sender->ReadComm(buf, sizeof buf)) > 0) bytes.append(reinterpret_cast<char*>(buf), size_t(n));
        };
    }
};

}  // namespace

// ---- opening and closing ----

TEST_F(SerialTest, OpenOfMissingPathFailsAndStartsNoThread) {
    TZComm c;
    c.Port = "/dev/no-such-serial-port-here";
    EXPECT_EQ(c.OpenConnection(), 0);
    EXPECT_FALSE(c.Connected());
    EXPECT_NE(c.LastError().find("No such file"), std::string::npos) << c.LastError();
    EXPECT_EQ(threadCountReaching(baseThreads), baseThreads);
    EXPECT_EQ(c.CloseConnection(), 1);
}

TEST_F(SerialTest, PortHeldByOneComponentCannotBeOpenedByAnother) {
    Pty pty;
    TZComm first, second;
    useModuleSettings(first, pty.slave());
    useModuleSettings(second, pty.slave());
    ASSERT_NE(first.OpenConnection(), 0) << first.LastError();
    EXPECT_TRUE(first.Connected());

    EXPECT_EQ(second.OpenConnection(), 0);
    EXPECT_FALSE(second.Connected());
    EXPECT_NE(second.LastError().find("busy"), std::string::npos) << second.LastError();

    // The failed attempt left the holder's port working.
    Receiver r;
    r.attach(first);
    pty.send("ok");
    EXPECT_TRUE(pumpUntil([&] { return r.bytes == "ok"; }, 2000)) << r.bytes;

    first.CloseConnection();
    EXPECT_NE(second.OpenConnection(), 0) << second.LastError();
    second.CloseConnection();
}

TEST_F(OpenPort, CloseReleasesExclusiveUseSoThePortReopens) {
    EXPECT_EQ(threadCountReaching(baseThreads + 1), baseThreads + 1);
    EXPECT_EQ(c.CloseConnection(), 1);
    EXPECT_FALSE(c.Connected());
    EXPECT_EQ(threadCountReaching(baseThreads), baseThreads);
    EXPECT_EQ(descriptorOn(pty.slave()), -1);

    // The exclusive flag stays on the tty while the master is open unless
    // the component clears it.
    const int probe = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0) << "slave still exclusive after close";
    int exclusive = -1;
    ASSERT_EQ(::ioctl(probe, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ::close(probe);

    // Reopening, with another speed, works and data flows again.
    c.BaudRate = 2400;
    ASSERT_NE(c.OpenConnection(), 0) << c.LastError();
    const termios t = pty.lineSettings();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B2400));
    Receiver r;
    r.attach(c);
    pty.send("again");
    EXPECT_TRUE(pumpUntil([&] { return r.bytes == "again"; }, 2000)) << r.bytes;
}

TEST_F(SerialTest, PortNameGoesThroughTheResolver) {
    Pty pty;
    TZComm c;
    useModuleSettings(c, "COM3");
    std::string asked;
    c.PortResolver = [&](const std::string& name) {
        asked = name;
        return pty.slave();
    };
    ASSERT_NE(c.OpenConnection(), 0) << c.LastError();
    EXPECT_EQ(asked, "COM3");
    EXPECT_GE(descriptorOn(pty.slave()), 0);
}

TEST_F(SerialTest, DestroyingAnOpenComponentStopsItsThread) {
    Pty pty;
    auto c = std::make_unique<TZComm>();
    useModuleSettings(*c, pty.slave());
    ASSERT_NE(c->OpenConnection(), 0) << c->LastError();
    pty.send("pending");  // a notification may be in flight
    c.reset();
    EXPECT_EQ(threadCountReaching(baseThreads), baseThreads);
    EXPECT_EQ(descriptorOn(pty.slave()), -1);
    pumpFor(50);  // a notification posted to the dead component must not be delivered
}

// ---- line settings ----

TEST_F(SerialTest, LineIsRawAtTheRequestedSpeed) {
    Pty pty;
    TZComm c;
    useModuleSettings(c, pty.slave());
    c.BaudRate = 2400;
    ASSERT_NE(c.OpenConnection(), 0) << c.LastError();
    termios t = pty.lineSettings();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B2400));
    EXPECT_EQ(cfgetispeed(&t), speed_t(B2400));
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);

    c.BaudRate = 9600;
    c.StopBits = stop2;
    EXPECT_NE(c.SetConnection(), 0);
    t = pty.lineSettings();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);

    // XON/XOFF both ways from bit 0.
    EXPECT_NE(c.SetFlowCtl(3), 0);
    EXPECT_EQ(pty.lineSettings().c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    EXPECT_NE(c.SetFlowCtl(2), 0);
    EXPECT_EQ(pty.lineSettings().c_iflag & (IXON | IXOFF), 0u);
}

TEST_F(SerialTest, SettingsTheLineCannotTakeFailTheOpenAndLeaveNothingOpen) {
    Pty pty;
    struct Case {
        const char* what;
        void (*apply)(TZComm&);
        const char* named;  // the refused setting, as the reason names it
    } cases[] = {
        {"4 data bits", [](TZComm& c) { c.DataBits = databits4; }, "4 data bits"},
        {"1.5 stop bits", [](TZComm& c) { c.StopBits = stop1x5; }, "1.5 stop bits"},
        {"unknown speed", [](TZComm& c) { c.BaudRate = 12345; }, "12345"},
    };
    for (const Case& k : cases) {
        TZComm c;
        useModuleSettings(c, pty.slave());
        k.apply(c);
        EXPECT_EQ(c.OpenConnection(), 0) << k.what;
        EXPECT_FALSE(c.Connected()) << k.what;
        EXPECT_FALSE(c.LastError().empty()) << k.what;
        const serial_port::OpenFailure o = c.LastOpenFailure();
        EXPECT_EQ(o.kind, serial_port::OpenFailureKind::lineSettings) << k.what;
        EXPECT_EQ(o.path, pty.slave()) << k.what;
        const std::string reason = serial_port::openFailureReason(o);
        EXPECT_EQ(reason.rfind("the port does not take the line settings: ", 0), 0u) << reason;
        EXPECT_NE(reason.find(k.named), std::string::npos) << reason;
        EXPECT_EQ(descriptorOn(pty.slave()), -1) << k.what;
        EXPECT_EQ(threadCountReaching(baseThreads), baseThreads) << k.what;
    }

    // On an open port a bad speed fails and the line keeps its speed.
    TZComm c;
    useModuleSettings(c, pty.slave());
    ASSERT_NE(c.OpenConnection(), 0) << c.LastError();
    c.BaudRate = 12345;
    EXPECT_EQ(c.SetConnection(), 0);
    termios t = pty.lineSettings();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
    EXPECT_TRUE(c.Connected());
}

// ---- reading ----

TEST_F(OpenPort, ReadWithNothingQueuedReturnsZeroAtOnce) {
    unsigned char buf[16];
    c.ReadComm(buf, sizeof buf);  // once, so that what runs first is loaded
    const ThreadUsage before = threadUsage();
    EXPECT_EQ(c.ReadComm(buf, sizeof buf), 0);
    EXPECT_EQ(c.GetText(), "");
    const ThreadUsage after = threadUsage();
    EXPECT_EQ(after.sleeps - before.sleeps, 0) << "a read waited for bytes that were not there";
    EXPECT_LT(after.cpuSeconds - before.cpuSeconds, 0.1) << "a read spun waiting for bytes";
}

TEST_F(OpenPort, ReadTakesAtMostMaxAndLeavesTheRestQueued) {
    int calls = 0;
    c.OnDataAvailable = [&](TZComm*) { ++calls; };
    pty.send("0123456789");
    ASSERT_TRUE(pumpUntil([&] { return calls > 0 && c.GetQCountIn() == 10; }, 2000)) << c.GetQCountIn();

    unsigned char buf[32] = {};
    ASSERT_EQ(c.ReadComm(buf, 4), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "0123");
    EXPECT_EQ(c.GetQCountIn(), 6);
    ASSERT_EQ(c.ReadComm(buf, sizeof buf), 6);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 6), "456789");
    EXPECT_EQ(c.GetQCountIn(), 0);
    EXPECT_EQ(c.ReadComm(buf, 0), 0);
}

TEST_F(OpenPort, PurgeClearsOnlyTheQueuesItNames) {
    int calls = 0;
    c.OnDataAvailable = [&](TZComm*) { ++calls; };
    pty.send("stale");
    ASSERT_TRUE(pumpUntil([&] { return calls > 0 && c.GetQCountIn() == 5; }, 2000));

    EXPECT_NE(c.PurgeCommPort(1 | 4), 0);  // transmit side only
    EXPECT_EQ(c.GetQCountIn(), 5);
    EXPECT_NE(c.PurgeCommPort(2 | 8), 0);  // receive side
    EXPECT_EQ(c.GetQCountIn(), 0);
    unsigned char buf[8];
    EXPECT_EQ(c.ReadComm(buf, sizeof buf), 0);

    // Fresh bytes after the purge are read normally.
    pty.send("new");
    ASSERT_TRUE(pumpUntil([&] { return c.GetQCountIn() == 3; }, 2000));
    EXPECT_EQ(c.GetText(), "new");
}

// ---- writing ----

TEST_F(OpenPort, WrittenBytesReachTheOtherEndInOrder) {
    const unsigned char none[1] = {'x'};
    EXPECT_EQ(c.WriteComm(none, 0), 0);
    EXPECT_EQ(c.WriteCommByte('p'), 1);
    const unsigned char word[] = {'t', 0x00, 0xff, 's'};
    EXPECT_EQ(c.WriteComm(word, 4), 1);
    c.SetText("abc");
    EXPECT_EQ(pty.receive(8, 1000), std::string("pt\0\xffs", 5) + "abc");
    EXPECT_EQ(pty.receive(1, 50), "");  // nothing from the len 0 write
}

TEST_F(OpenPort, WriteAfterHangUpFailsAtOnceAndMarksTheLineLost) {
    EXPECT_EQ(c.WriteCommByte('w'), 1);  // once, so that what runs first is loaded
    EXPECT_FALSE(c.LineLost());
    pty.hangUp();
    const ThreadUsage before = threadUsage();
    EXPECT_EQ(c.WriteCommByte('p'), 0);
    const unsigned char two[] = {'a', 'b'};
    EXPECT_EQ(c.WriteComm(two, 2), 0);
    const ThreadUsage after = threadUsage();
    EXPECT_EQ(after.sleeps - before.sleeps, 0) << "a write waited on a line that is gone";
    EXPECT_LT(after.cpuSeconds - before.cpuSeconds, 0.1) << "a write spun on a line that is gone";
    EXPECT_TRUE(c.LineLost());
}

// ---- notifications ----

TEST_F(OpenPort, ArrivingBytesFireOnDataAvailableOnTheMainThread) {
    Receiver r;
    r.attach(c);
    pty.send("xyz");
    ASSERT_TRUE(pumpUntil([&] { return r.bytes == "xyz"; }, 2000)) << r.bytes;
    pty.send("12");
    ASSERT_TRUE(pumpUntil([&] { return r.bytes == "xyz12"; }, 2000)) << r.bytes;
    EXPECT_FALSE(r.offMainThread);
    EXPECT_GE(r.calls, 2);
}

TEST_F(OpenPort, MessageForAnOldOrForeignHandleDoesNotFire) {
    int calls = 0;
    c.OnDataAvailable = [&](TZComm*) { ++calls; };
    const int fd = descriptorOn(pty.slave());
    ASSERT_GE(fd, 0);

    EXPECT_EQ(c.MessageCOMM(fd), 1);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(c.MessageCOMM(fd + 100), 0);
    EXPECT_EQ(calls, 1);
    c.CloseConnection();
    EXPECT_EQ(c.MessageCOMM(fd), 0);
    EXPECT_EQ(calls, 1);
}

namespace {
// Closes the port when the component's notification is about to be delivered,
// so the notification arrives after the close, as one still queued would.
class CloseBeforeDelivery : public QObject {
public:
    explicit CloseBeforeDelivery(TZComm& c, bool reopen) : comm(c), reopen(reopen) {}
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (watched == &comm && e->type() >= QEvent::User && !closed) {
            closed = true;
            comm.CloseConnection();
            if (reopen) comm.OpenConnection();
        }
        return false;
    }
    TZComm& comm;
    bool reopen;
    bool closed = false;
};
}  // namespace

TEST_F(OpenPort, NotificationQueuedAcrossACloseIsDropped) {
    int calls = 0;
    c.OnDataAvailable = [&](TZComm*) { ++calls; };
    CloseBeforeDelivery closer(c, false);
    c.installEventFilter(&closer);
    pty.send("late");
    ASSERT_TRUE(pumpUntil([&] { return closer.closed; }, 2000));
    pumpFor(50);
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(c.Connected());
}

TEST_F(OpenPort, AfterReopeningOnTheSameDescriptorOnlyTheNewConnectionNotifies) {
    Receiver r;
    r.attach(c);
    CloseBeforeDelivery closer(c, true);
    c.installEventFilter(&closer);
    pty.send("A");
    ASSERT_TRUE(pumpUntil([&] { return closer.closed; }, 2000));
    ASSERT_TRUE(c.Connected()) << c.LastError();
    // The close discarded "A" and the new connection has received nothing:
    // the old notification, though it names the same descriptor, must not
    // reach the handler.
    // The new connection may announce an empty queue once (the flush at the
    // close can race with its first wait); handlers tolerate that. What must
    // never happen is the old byte reaching the handler.
    pumpFor(50);
    EXPECT_LE(r.calls, 1);
    EXPECT_EQ(r.bytes, "");
    r.calls = 0;
    // Bytes sent now arrive through the new thread.
    for (const char* chunk : {"B", "C", "D"}) {
        const std::string want = r.bytes + chunk;
        pty.send(chunk);
        ASSERT_TRUE(pumpUntil([&] { return r.bytes == want; }, 2000)) << r.bytes;
    }
    EXPECT_EQ(threadCountReaching(baseThreads + 1), baseThreads + 1);
}

TEST_F(OpenPort, BytesLeftUnreadAreNotAnnouncedAgainUntilMoreArrive) {
    int calls = 0;
    c.OnDataAvailable = [&](TZComm*) { ++calls; };  // reads nothing
    pty.send("abc");
    ASSERT_TRUE(pumpUntil([&] { return calls > 0; }, 2000));
    const double cpu0 = cpuSeconds();
    pumpFor(300);
    EXPECT_LE(calls, 2);
    EXPECT_LT(cpuSeconds() - cpu0, 0.05);
    const int before = calls;
    pty.send("d");
    ASSERT_TRUE(pumpUntil([&] { return calls > before; }, 2000));
    EXPECT_EQ(c.GetQCountIn(), 4);
}

TEST_F(OpenPort, HandlerThatClosesThePortDoesNotHang) {
    int calls = 0;
    c.OnDataAvailable = [&](TZComm* sender) {
        ++calls;
        sender->CloseConnection();
    };
    pty.send("bye");
    ASSERT_TRUE(pumpUntil([&] { return calls > 0; }, 2000));
    EXPECT_FALSE(c.Connected());
    EXPECT_EQ(threadCountReaching(baseThreads), baseThreads);
}

// Command and echo, one byte at a time, as the focuser protocol runs it: every
// reply must be announced, none lost, and the pacing must keep up.
TEST_F(OpenPort, ManyRoundTripsLoseNoNotification) {
    std::atomic<bool> peerRunning{true};
    const int master = pty.master();
    std::thread peer([&] {  // echoes every byte back
        while (peerRunning) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            unsigned char b[64];
            const ssize_t n = ::read(master, b, sizeof b);
            if (n <= 0) break;
            if (::write(master, b, size_t(n)) != n) break;
        }
    });

    const int rounds = 500;
    int next = 0;
    bool mismatch = false;
    int calls = 0;
    c.OnDataAvailable = [&](TZComm* sender) {
        ++calls;
        unsigned char buf[16];
        const int n = sender->ReadComm(buf, sizeof buf);
        for (int i = 0; i < n; ++i) {
            if (buf[i] != static_cast<unsigned char>(next & 0xff)) mismatch = true;
            ++next;
            if (next < rounds) sender->WriteCommByte(static_cast<unsigned char>(next & 0xff));
        }
    };
    ASSERT_EQ(c.WriteCommByte(0), 1);
    // A lost notification stalls the exchange for good; the limit only
    // ends the wait for one (how fast the round trips go is measured by the
    // exchange benchmark).
    const bool done = pumpUntil([&] { return next >= rounds; }, 60000);
    peerRunning = false;
    peer.join();
    EXPECT_TRUE(done) << "stalled after " << next << " round trips";
    EXPECT_FALSE(mismatch);
    EXPECT_LT(calls, 2 * rounds + 2);
}

TEST_F(OpenPort, HangUpIsReportedOnceAndCostsNoCpu) {
    int calls = 0;
    bool lostSeenInHandler = false;
    c.OnDataAvailable = [&](TZComm* sender) {
        ++calls;
        lostSeenInHandler = sender->LineLost();
        unsigned char buf[16];
        sender->ReadComm(buf, sizeof buf);
    };
    pty.hangUp();
    ASSERT_TRUE(pumpUntil([&] { return calls > 0; }, 2000));
    EXPECT_TRUE(lostSeenInHandler);
    EXPECT_TRUE(c.LineLost());

    const double cpu0 = cpuSeconds();
    pumpFor(1000);
    const double used = cpuSeconds() - cpu0;
    EXPECT_LT(used, 0.1) << used << " s of CPU in 1 s after the hang-up";
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(c.Connected());  // the owner decides when to close

    {
        Watchdog closing(20000, "CloseConnection after a hang-up");
        EXPECT_EQ(c.CloseConnection(), 1);
    }
    EXPECT_EQ(threadCountReaching(baseThreads), baseThreads);
}
