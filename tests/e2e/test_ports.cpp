// Ports through the real window against the timed simulator: trouble named
// in words, the search over COM1..COM5 at both speeds, initialization, and
// a device that goes away and comes back.
#include <QDir>
#include <QLabel>
#include <QRadioButton>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "storage/file_store.h"
#include "storage/settings_codec.h"
#include "tests/e2e/form_harness.h"
#include "ui/Dialogs.h"
#include "ui/RadioGroup.h"

using namespace e2e;

namespace {

corvell::ProgramConfig configOnDisk(const Harness& h) {
    auto bytes = corvell::read_file_head(h.path("focuser.dc1"), 1024);
    return bytes ? corvell::parse_config(bytes->data(), bytes->size()) : corvell::ProgramConfig();
}

// Runs `argv` as uid/gid 65534 with no other groups; returns what it printed
// (empty if it could not run or did not finish within 15 s).
std::string runAsNobody(const std::vector<std::string>& argv) {
    int out[2];
    if (::pipe(out) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(111);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::setenv("XDG_RUNTIME_DIR", "/tmp", 1);
        ::execv(args[0], args.data());
        ::_exit(112);
    }
    ::close(out[1]);
    std::string text;
    pollfd p{out[0], POLLIN, 0};
    char buf[512];
    while (::poll(&p, 1, 15000) > 0) {
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return text;
}

}  // namespace

TEST(PortTrouble, EachReasonIsNamedWithTheChoiceAndTheDevice) {
    Harness h;
    const std::string dirPath = h.path("a-directory");
    const std::string filePath = h.path("a-file");
    QDir().mkpath(QString::fromStdString(dirPath));
    std::ofstream(filePath) << "not a port";
    h.ports[1] = h.path("missing-device");
    h.ports[2] = dirPath;
    h.ports[3] = filePath;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    struct Case {
        int index;
        std::string line;
    } cases[] = {
        {1, "COM2: " + h.ports[1] + " - no such device"},
        {2, "COM3: " + h.ports[2] + " - not a serial device (a directory)"},
        {3, "COM4: " + h.ports[3] + " - not a serial device (a regular file)"},
    };
    for (const Case& c : cases) {
        h.form->ComPortSelect->button(c.index)->click();
        EXPECT_EQ(h.form->Connection->text().toStdString(), c.line);
        // The retry of the port does not change the reason.
        pump(300);
        EXPECT_EQ(h.form->Connection->text().toStdString(), c.line);
    }
    // Back to the module: communicating again.
    h.form->ComPortSelect->button(0)->click();
    EXPECT_TRUE(h.waitCommunicating());
}

TEST(PortTrouble, AUserWithoutAccessToTheDeviceIsToldWhichGroupIsNeeded) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the window as another user";
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string slave = ::ptsname(master);
    const group* dialout = ::getgrnam("dialout");
    const gid_t gid = dialout ? dialout->gr_gid : 0;
    ASSERT_EQ(::chown(slave.c_str(), 0, gid), 0);
    ASSERT_EQ(::chmod(slave.c_str(), 0660), 0);
    QTemporaryDir data;
    ::chmod(data.path().toLocal8Bit().constData(), 0777);
    const std::string line = runAsNobody({CORVELL_PROBE_EXE, "--com1", slave, "--data-dir", data.path().toStdString()});
    ::close(master);
    const std::string group = dialout ? "dialout" : "root";
    EXPECT_EQ(line, "COM1: " + slave + " - permission denied: the user needs to be in the group '" + group +
                        "' that owns the device (sudo usermod -aG " + group + " $USER, then log out and in again)\n");
}

TEST(PortSearch, FindsTheModuleOnCom3At2400AndKeepsTheChoice) {
    corvell::sim::SimOptions o = Harness::fastModule();
    o.baudSwitch = 2400;
    Harness h(o);
    h.ports[2] = h.ports[0];
    h.ports[0] = "/nonexistent/corvell-test-com1";
    h.openWindow();
    pump(200);
    h.form->PageControl1->setCurrentWidget(h.form->TabSheet2);
    h.form->AutoDetect->click();
    EXPECT_TRUE(h.form->AutoDetectText->isVisible());
    // During the search the program sets the groups itself: no file is written.
    const std::string before = *corvell::read_file_head(h.path("focuser.dc1"), 1024);
    ASSERT_TRUE(waitUntil([&] { return h.form->AutoDetectDialog->isVisible(); }, 20000));
    EXPECT_EQ(h.form->AutoDetectDialog->windowTitle(), "Auto Detect");
    EXPECT_EQ(h.form->AutoDetectDialog->AutoDetectResult->text(), "Communication with focuser established.");
    EXPECT_FALSE(h.form->AutoDetectText->isVisible());
    EXPECT_EQ(h.form->ComPortSelect->itemIndex(), 2);
    EXPECT_EQ(h.form->BaudRateSelect->itemIndex(), 1);
    EXPECT_TRUE(h.form->ComPortSelect->button(2)->isChecked());
    EXPECT_TRUE(h.form->BaudRateSelect->button(1)->isChecked());
    EXPECT_NE(*corvell::read_file_head(h.path("focuser.dc1"), 1024), before);
    EXPECT_EQ(configOnDisk(h).portIndex, 2);
    EXPECT_EQ(configOnDisk(h).baudIndex, 1);
    h.form->AutoDetectDialog->AutoDetectOK->click();
    EXPECT_FALSE(h.form->AutoDetectDialog->isVisible());
    EXPECT_TRUE(h.waitCommunicating());
    EXPECT_EQ(h.sim->lineBaud(), 2400);
}

TEST(Initialization, WritesTheSettingsInOrderAndHomesWithTheDialogUp) {
    Harness h;
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    const size_t mark = h.receivedCount();
    h.form->ReinitializeFocuser->click();
    ASSERT_TRUE(h.form->AreYouSureDialog->isVisible());
    h.form->AreYouSureDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return h.form->StopInitDialog->isVisible(); }, 1000));
    EXPECT_EQ(h.form->StopInitDialog->windowTitle(), "Initialization In Progress");
    ASSERT_TRUE(waitUntil([&] { return lines(h.form->ActivityDisplay).contains("Initialization completed"); }, 5000))
        << letters(h.received());
    EXPECT_FALSE(h.form->StopInitDialog->isVisible());
    // The default scale and travel: d 227, e 136, f 27, w 6600.
    auto bytes = h.received();
    const std::vector<uint8_t> expected = {'s', 'd',  0x00, 0xE3, 'e',  0x00, 0x88,
                                           'f', 0x00, 0x1B, 'w',  0x19, 0xC8, 'h'};
    ASSERT_GE(bytes.size(), mark + expected.size());
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + mark, bytes.begin() + mark + expected.size()), expected)
        << letters(bytes);
    EXPECT_EQ(h.sim->maxTravel(), 6600);
    ASSERT_TRUE(h.waitIdle());
    EXPECT_EQ(h.form->EncoderPosition->text(), "0");
}

TEST(Replug, AnAdapterPulledOutAndPluggedBackInIsFoundAgain) {
    Harness h;
    const std::string link = h.useLink();
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    h.form->MoveOutButton->click();
    ASSERT_TRUE(waitUntil([&] { return lines(h.form->ActivityDisplay).contains("Moving Out"); }, 2000));
    // Pulled out: the device node goes away with the line. (A link left
    // pointing at the dead pseudo-terminal's path would lead the retries to
    // whichever test's simulator is given that path next.)
    ASSERT_EQ(::unlink(link.c_str()), 0);
    h.sim->hangUp();
    // Said on the Operate page at once, the position no longer shown as current.
    ASSERT_TRUE(waitUntil([&] { return lines(h.form->ActivityDisplay).contains("Not communicating"); }, 1000));
    EXPECT_TRUE(h.form->Connection->text().contains("the device went away"))
        << h.form->Connection->text().toStdString();
    EXPECT_EQ(lines(h.form->PositionDisplay), QStringList{"Unknown"});
    EXPECT_EQ(lines(h.form->StatusDisplay), QStringList{"Unknown"});
    const double before = cpuSeconds();
    sleepInLoop(2000);
    EXPECT_LT(cpuSeconds() - before, 0.02) << "CPU seconds used in 2 s after the hang-up";
    ASSERT_TRUE(waitUntil([&] { return h.form->Connection->text().endsWith("no such device"); }, 3000))
        << h.form->Connection->text().toStdString();
    EXPECT_TRUE(h.form->Connection->text().startsWith("COM1: "));

    corvell::sim::Simulator back(Harness::fastModule());
    ASSERT_TRUE(back.start());
    h.relink(back);
    ASSERT_TRUE(waitUntil([&] { return h.form->Connection->text() == "Communicating"; }, 15000));
    ASSERT_TRUE(h.waitIdle());
    for (uint8_t b : back.receivedBytes())
        EXPECT_TRUE(b == 'b' || b == 't' || b == 'p') << "no motion of its own: " << letters(back.receivedBytes());
    EXPECT_EQ(h.form->EncoderPosition->text(), "1000");
    h.closeWindow();
}

TEST(Replug, ADeviceThatAppearsAfterTheStartIsOpened) {
    Harness h(Harness::fastModule(), false);
    h.ports[0] = h.path("com1-link");
    h.openWindow();
    ASSERT_TRUE(waitUntil([&] { return h.form->Connection->text().endsWith("no such device"); }, 1000));
    pump(1000);
    ASSERT_TRUE(h.sim->start());
    h.relink(*h.sim);
    ASSERT_TRUE(waitUntil([&] { return h.form->Connection->text() == "Communicating"; }, 15000));
    ASSERT_TRUE(h.waitIdle());
    for (uint8_t b : h.received()) EXPECT_TRUE(b == 'b' || b == 't' || b == 'p') << letters(h.received());
}
