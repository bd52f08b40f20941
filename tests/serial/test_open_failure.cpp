// Why a port does not open, over real files, devices and pseudo-terminals.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <spawn.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "serial/TZComm.h"
#include "serial/open_failure.h"
#include "serial/posix_port.h"
#include "tests/serial/serial_test_support.h"

using namespace serial_test;
using serial_port::GroupMembership;
using serial_port::OpenFailure;
using serial_port::OpenFailureKind;

namespace {

// A temporary directory, removed with what the test put in it.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/corvell-open-failure-XXXXXX";
        if (!mkdtemp(name)) throw std::runtime_error("no temporary directory");
        path_ = name;
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

int descriptorCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// Opens `path` with a component that must fail; returns its description.
OpenFailure failedOpen(const std::string& path, std::string* lastError = nullptr) {
    TZComm c;
    c.Port = path;
    EXPECT_EQ(c.OpenConnection(), 0) << path;
    EXPECT_FALSE(c.Connected()) << path;
    if (lastError) *lastError = c.LastError();
    return c.LastOpenFailure();
}

// Starts `sleep 60` with `path` open as its descriptor 3, taking no lock on
// it; returns its process id, or -1.
pid_t spawnOpener(const std::string& path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 3, path.c_str(), O_RDWR | O_NOCTTY, 0);
    char sleepName[] = "sleep", seconds[] = "60";
    char* argv[] = {sleepName, seconds, nullptr};
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, "sleep", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

}  // namespace

TEST(SerialOpenFailure, MissingDeviceIsNoSuchDevice) {
    app();
    TempDir dir;
    // A link such as /dev/serial/by-id/... stays behind when its adapter is
    // unplugged; a path can also lead through a file instead of a directory.
    ASSERT_EQ(::symlink("/dev/ttyUSB-gone-for-this-test", dir.file("by-id-link").c_str()), 0);
    std::FILE* f = std::fopen(dir.file("plain").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    const struct {
        std::string path;
        int error;
    } cases[] = {
        {dir.file("ttyUSB7"), ENOENT},
        {dir.file("by-id-link"), ENOENT},
        {dir.file("plain") + "/ttyS0", ENOTDIR},
        {"", ENOENT},
    };
    const int threads = threadCount();
    for (const auto& k : cases) {
        std::string lastError;
        const OpenFailure o = failedOpen(k.path, &lastError);
        EXPECT_EQ(o.kind, OpenFailureKind::noSuchDevice) << k.path;
        EXPECT_EQ(o.path, k.path);
        EXPECT_EQ(o.error, k.error) << k.path;
        EXPECT_EQ(serial_port::openFailureReason(o), "no such device") << k.path;
        EXPECT_FALSE(lastError.empty()) << k.path;
    }
    EXPECT_EQ(threadCountReaching(threads), threads);
    // The system's own text stays available beside the reason.
    std::string lastError;
    failedOpen(dir.file("ttyUSB7"), &lastError);
    EXPECT_EQ(lastError, dir.file("ttyUSB7") + ": " + std::strerror(ENOENT));
}

TEST(SerialOpenFailure, DirectoryRegularFileAndOtherDevicesAreNotSerialDevices) {
    app();
    TempDir dir;
    const std::string file = dir.file("focuser.dc1");
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("settings", f);
    std::fclose(f);
    const struct {
        std::string path;
        int error;
        const char* reason;
    } cases[] = {
        {dir.path(), EISDIR, "not a serial device (a directory)"},
        {file, ENOTTY, "not a serial device (a regular file)"},
        {"/dev/null", ENOTTY, "not a serial device"},  // a character device, but no terminal
    };
    for (const auto& k : cases) {
        const int descriptors = descriptorCount();
        const OpenFailure o = failedOpen(k.path);
        EXPECT_EQ(o.kind, OpenFailureKind::notSerialDevice) << k.path;
        EXPECT_EQ(o.error, k.error) << k.path;
        EXPECT_EQ(serial_port::openFailureReason(o), k.reason) << k.path;
        EXPECT_EQ(descriptorCount(), descriptors) << k.path << " left open";
    }
    // Opening the file to look at it changed nothing in it.
    char back[16] = {};
    f = std::fopen(file.c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fread(back, 1, sizeof back, f), 8u);
    std::fclose(f);
    EXPECT_STREQ(back, "settings");
}

// Another program holding the port: another component (lock and exclusive
// flag), a program that only sets the tty's exclusive flag, and one that only
// takes the lock. Each is reported as in use, and once it lets go the port
// opens and the failure is cleared.
TEST(SerialOpenFailure, PortHeldByAnotherOpenerIsInUse) {
    app();
    Pty pty;
    TZComm holder;
    holder.Port = pty.slave();
    ASSERT_NE(holder.OpenConnection(), 0) << holder.LastError();

    const auto expectInUse = [&](const char* what) {
        TZComm c;
        c.Port = pty.slave();
        EXPECT_EQ(c.OpenConnection(), 0) << what;
        const OpenFailure o = c.LastOpenFailure();
        EXPECT_EQ(o.kind, OpenFailureKind::inUse) << what;
        EXPECT_EQ(o.error, EBUSY) << what;
        EXPECT_EQ(o.path, pty.slave()) << what;
        EXPECT_EQ(serial_port::openFailureReason(o), "in use by another program") << what;
    };
    expectInUse("another component");
    holder.CloseConnection();

    const int exclusiveHolder = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(exclusiveHolder, 0);
    ASSERT_EQ(::ioctl(exclusiveHolder, TIOCEXCL), 0);
    expectInUse("a program with the exclusive flag");
    ::ioctl(exclusiveHolder, TIOCNXCL);
    ::close(exclusiveHolder);

    const int lockHolder = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(lockHolder, 0);
    ASSERT_EQ(::flock(lockHolder, LOCK_EX | LOCK_NB), 0);
    expectInUse("a program with the lock");
    ::close(lockHolder);

    TZComm c;
    c.Port = "/nonexistent/ttyS9";
    EXPECT_EQ(c.OpenConnection(), 0);
    EXPECT_EQ(c.LastOpenFailure().kind, OpenFailureKind::noSuchDevice);
    c.Port = pty.slave();
    ASSERT_NE(c.OpenConnection(), 0) << c.LastError();
    EXPECT_EQ(c.LastOpenFailure().kind, OpenFailureKind::none);
    EXPECT_EQ(serial_port::openFailureReason(c.LastOpenFailure()), "");
}

// A port held by another program names it and its process, as long as it
// holds the port.
TEST(SerialOpenFailure, APortInUseNamesTheProgramThatHoldsIt) {
    Pty pty;
    const pid_t pid = spawnOpener(pty.slave());
    ASSERT_GT(pid, 0);
    const std::string holder = "sleep, process " + std::to_string(pid);
    // The child holds the port once it runs the program.
    for (int i = 0; i < 500 && serial_port::portHolder(pty.slave()) != holder; ++i) ::usleep(10000);
    EXPECT_EQ(serial_port::openFailureReason(serial_port::describeOpenError(pty.slave(), EBUSY)),
              "in use by another program (" + holder + ")");
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(serial_port::portHolder(pty.slave()), "");
    EXPECT_EQ(serial_port::openFailureReason(serial_port::describeOpenError(pty.slave(), EBUSY)),
              "in use by another program");
}

namespace {

// What a child that gave up root found when it opened the port.
struct DroppedOpen {
    int setupError = 0;  // errno of setgroups/setgid/setuid, 0 when they worked
    int opened = 0;
    int kind = 0;
    int error = 0;
    int membership = 0;
    char group[64] = {};
    char reason[256] = {};
};

// Opens `path` in a child process running as uid/gid 65534 ("nobody",
// "nogroup") with no supplementary groups.
DroppedOpen openAsNobody(const std::string& path) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("no pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        DroppedOpen r;
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            r.setupError = errno;
        } else {
            OpenFailure o;
            const serial_port::Handle h = serial_port::openPort(path, o);
            r.opened = h != serial_port::kNoHandle;
            if (r.opened) serial_port::closePort(h);
            r.kind = int(o.kind);
            r.error = o.error;
            r.membership = int(o.membership);
            std::snprintf(r.group, sizeof r.group, "%s", o.group.c_str());
            std::snprintf(r.reason, sizeof r.reason, "%s", serial_port::openFailureReason(o).c_str());
        }
        const ssize_t n = ::write(fds[1], &r, sizeof r);
        ::_exit(n == ssize_t(sizeof r) ? 0 : 1);
    }
    ::close(fds[1]);
    DroppedOpen r;
    const ssize_t n = pid > 0 ? ::read(fds[0], &r, sizeof r) : -1;
    ::close(fds[0]);
    int status = 0;
    if (pid > 0) ::waitpid(pid, &status, 0);
    if (n != ssize_t(sizeof r)) throw std::runtime_error("the child reported nothing");
    return r;
}

}  // namespace

// A device the user may not open names the group that owns it when joining
// that group would help, and says so plainly when it would not (mode 0600).
TEST(SerialOpenFailure, PermissionDeniedNamesTheGroupThatOwnsTheDevice) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to open the device from a child turned into uid 65534";
    app();
    Pty pty;
    const group* dialout = ::getgrnam("dialout");
    struct stat st {};
    ASSERT_EQ(::stat(pty.slave().c_str(), &st), 0);
    const gid_t gid = dialout ? dialout->gr_gid : st.st_gid;
    const group* owner = ::getgrgid(gid);
    const std::string groupName = owner ? owner->gr_name : std::to_string(gid);
    ASSERT_NE(gid, gid_t(65534)) << "the device's group must not be the child's own";
    ASSERT_EQ(::chown(pty.slave().c_str(), 0, gid), 0) << std::strerror(errno);

    const struct {
        mode_t mode;
        std::string reason;
    } cases[] = {
        {0660, "permission denied: the user needs to be in the group '" + groupName +
                   "' that owns the device (sudo usermod -aG " + groupName + " $USER, then log out and in again)"},
        {0600,
         "permission denied: the device allows this user no reading and writing (mode "
         "0600, group '" +
             groupName + "')"},
    };
    for (const auto& k : cases) {
        ASSERT_EQ(::chmod(pty.slave().c_str(), k.mode), 0);
        const DroppedOpen r = openAsNobody(pty.slave());
        if (r.setupError != 0) GTEST_SKIP() << "cannot become uid 65534 here: " << std::strerror(r.setupError);
        EXPECT_FALSE(r.opened) << std::oct << k.mode;
        EXPECT_EQ(r.kind, int(OpenFailureKind::permissionDenied)) << std::oct << k.mode;
        EXPECT_EQ(r.error, EACCES);
        EXPECT_EQ(r.group, groupName);
        EXPECT_EQ(r.membership, int(GroupMembership::none));
        EXPECT_EQ(r.reason, k.reason);
    }
}

// A holder killed with the port open (SIGKILL, as indiserver ends a driver)
// leaves the port to the next program, a moment later; while it lives, no
// other program has it.
TEST(SerialOpenFailure, AKilledHolderLeavesThePortToTheNextProgramALivingOneKeepsIt) {
    Pty pty;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        OpenFailure f;
        const char opened = serial_port::openPort(pty.slave(), f) != serial_port::kNoHandle;
        (void)!::write(ready[1], &opened, 1);
        ::pause();
        ::_exit(0);
    }
    char opened = 0;
    ASSERT_EQ(::read(ready[0], &opened, 1), 1);
    ASSERT_TRUE(opened);
    OpenFailure f;
    EXPECT_EQ(serial_port::openPort(pty.slave(), f), serial_port::kNoHandle);
    EXPECT_EQ(f.kind, OpenFailureKind::inUse);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    serial_port::Handle h = serial_port::kNoHandle;
    for (int i = 0; i < 500 && (h = serial_port::openPort(pty.slave(), f)) == serial_port::kNoHandle; ++i)
        ::usleep(10000);
    EXPECT_NE(h, serial_port::kNoHandle) << serial_port::openFailureReason(f);
    serial_port::closePort(h);
    ::close(ready[0]);
    ::close(ready[1]);
}

// The program named is the one that took the port's lock, not one that
// merely has it open beside (a pty's far end, a monitor).
TEST(SerialOpenFailure, APortInUseNamesTheProgramThatHoldsItsLock) {
    Pty pty;
    const pid_t opener = spawnOpener(pty.slave());
    ASSERT_GT(opener, 0);
    while (serial_port::portHolder(pty.slave()).empty()) ::usleep(10000);
    const pid_t locker = ::fork();
    if (locker == 0) {
        const int fd = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY);
        if (fd >= 0 && ::flock(fd, LOCK_EX) == 0)
            ::execlp("tail", "tail", "-f", "/dev/null", static_cast<char*>(nullptr));
        ::_exit(1);
    }
    const std::string holder = "tail, process " + std::to_string(locker);
    for (int i = 0; i < 500 && serial_port::portHolder(pty.slave()) != holder; ++i) ::usleep(10000);
    EXPECT_EQ(serial_port::openFailureReason(serial_port::describeOpenError(pty.slave(), EBUSY)),
              "in use by another program (" + holder + ")");
    for (pid_t p : {opener, locker}) {
        ::kill(p, SIGTERM);
        ::waitpid(p, nullptr, 0);
    }
}
