// The real corvell-focuser executable against the real corvell-sim: how it
// ends on signals, what it leaves behind on the port, its data directory and
// a save past the file-size limit.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void sleepMs(int ms) {
    const timespec pause{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Looks every 20 ms until `condition` holds; false when `ms` passed first.
template <typename Condition>
bool waitFor(Condition condition, int ms) {
    const auto t0 = Clock::now();
    while (!condition()) {
        if (secondsSince(t0) * 1000 >= ms) return false;
        sleepMs(20);
    }
    return true;
}

// A TCP port of 127.0.0.1 that nothing listens on now.
int freeTcpPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
    ::close(s);
    return ntohs(a.sin_port);
}

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/corvell-app-test-XXXXXX";
        if (!mkdtemp(name)) throw std::runtime_error("no temporary directory");
        path_ = name;
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A child process. Standard input and output are pipes when asked for;
// standard error goes to a file.
class Process {
public:
    struct Options {
        bool pipes = false;
        std::string errorFile = "/dev/null";
        long fileSizeLimit = -1;  // RLIMIT_FSIZE in bytes; -1 leaves it
        std::string workDir;      // the child's working folder; empty leaves it
    };

    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : {toChild_, fromChild_})
            if (fd >= 0) ::close(fd);
    }

    bool start(const std::vector<std::string>& argv, const Options& o) {
        int in[2] = {-1, -1}, out[2] = {-1, -1};
        if (o.pipes && (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)) return false;
        std::vector<char*> args;
        std::vector<std::string> copy = argv;
        for (std::string& a : copy) args.push_back(a.data());
        args.push_back(nullptr);
        started_ = Clock::now();
        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            if (o.pipes) {
                ::dup2(in[0], 0);
                ::dup2(out[1], 1);
            } else {
                const int null = ::open("/dev/null", O_RDWR);
                ::dup2(null, 0);
                ::dup2(null, 1);
            }
            const int err = ::open(o.errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(err, 2);
            if (o.fileSizeLimit >= 0) {
                const rlimit limit{rlim_t(o.fileSizeLimit), rlim_t(o.fileSizeLimit)};
                ::setrlimit(RLIMIT_FSIZE, &limit);
            }
            if (!o.workDir.empty() && ::chdir(o.workDir.c_str()) != 0) ::_exit(126);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        if (o.pipes) {
            ::close(in[0]);
            ::close(out[1]);
            toChild_ = in[1];
            fromChild_ = out[0];
        }
        return true;
    }

    pid_t pid() const { return pid_; }
    Clock::time_point started() const { return started_; }

    // One line of the child's standard output (`ms` limit).
    std::string readLine(int ms = 2000) {
        std::string line;
        const auto t0 = Clock::now();
        for (;;) {
            const int left = ms - int(secondsSince(t0) * 1000);
            pollfd p{fromChild_, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, left) != 1) return line;
            char c;
            if (::read(fromChild_, &c, 1) != 1 || c == '\n') return line;
            line += c;
        }
    }

    bool send(const std::string& text) { return ::write(toChild_, text.data(), text.size()) == ssize_t(text.size()); }

    // Waits up to `ms` for the child to end; true with its status when it did.
    bool waitExit(int ms, int& status) {
        const auto t0 = Clock::now();
        for (;;) {
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return true;
            }
            if (r < 0 || secondsSince(t0) * 1000 >= ms) return false;
            sleepMs(5);
        }
    }

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    Clock::time_point started_;
};

// corvell-sim on a link in `dir`, asked through its control lines.
class Module {
public:
    explicit Module(const TempDir& dir) : link(dir.file("module")) {}

    void start() {
        ASSERT_TRUE(sim.start({CORVELL_SIM_EXE, "--link", link}, {true, "/dev/null", -1, ""}));
        slave = sim.readLine();
        ASSERT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;
    }

    // The bytes the program has sent since the last clear(), in hex.
    std::string received() {
        if (!sim.send("received\n")) return "?";
        const std::string line = sim.readLine();
        return line.size() > 8 ? line.substr(9) : std::string();
    }

    void clear() { ASSERT_TRUE(sim.send("clear\n")); }

    // Looks every 20 ms until the program has sent the identify command.
    bool identifyWithin(int ms) {
        const auto t0 = Clock::now();
        for (;;) {
            if (received().find("62") != std::string::npos) return true;
            if (secondsSince(t0) * 1000 >= ms) return false;
            sleepMs(20);
        }
    }

    std::string link;
    std::string slave;
    Process sim;
};

std::vector<std::string> focuserArgs(const TempDir& dir, const std::string& com1, const std::string& dataDir) {
    // COM2..COM5 lead nowhere, so nothing of the machine's is touched. An
    // empty `dataDir` leaves the choice to the program.
    std::vector<std::string> args{CORVELL_FOCUSER_EXE, "--com1", com1};
    if (!dataDir.empty()) {
        args.push_back("--data-dir");
        args.push_back(dataDir);
    }
    for (int n = 2; n <= 5; ++n) {
        args.push_back("--com" + std::to_string(n));
        args.push_back(dir.file("absent-com" + std::to_string(n)));
    }
    return args;
}

class AppProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        for (int n = 1; n <= 5; ++n) ::unsetenv(("CORVELL_COM" + std::to_string(n)).c_str());
        ::unsetenv("CORVELL_DATA_DIR");
    }
};

// The names in a folder with each file's bytes and modification time: what
// "nothing was touched" compares.
std::string folderState(const std::string& dir) {
    std::vector<std::string> lines;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            struct stat st {};
            ::lstat((dir + "/" + name).c_str(), &st);
            lines.push_back(name + " " + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) +
                            " " + readFile(dir + "/" + name));
        }
        ::closedir(d);
    }
    std::sort(lines.begin(), lines.end());
    std::string all;
    for (const std::string& l : lines) all += l + "\n";
    return all;
}

}  // namespace

// Each quit signal ends the program as closing its window does: with exit
// status 0 and with the port given back (no exclusive flag, no lock), so the
// program started again on the same running module opens it and identifies
// the module. The waits for the start and the end only give up: how fast
// the program starts and ends depends on how busy the machine is.
TEST_F(AppProcess, QuitSignalsCloseTheProgramAndFreeThePort) {
    TempDir dir;
    Module module(dir);
    ASSERT_NO_FATAL_FAILURE(module.start());
    const std::string data = dir.file("data");
    ASSERT_EQ(::mkdir(data.c_str(), 0755), 0);

    const struct {
        int signo;
        const char* name;
    } signals[] = {{SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGHUP, "SIGHUP"}};
    for (const auto& s : signals) {
        SCOPED_TRACE(s.name);
        module.clear();
        Process app;
        const std::string errors = dir.file(std::string("stderr-") + s.name);
        ASSERT_TRUE(app.start(focuserArgs(dir, module.link, data), {false, errors, -1, ""}));
        // Every start must find the port free and talk: a port left held
        // by the program before would not open again.
        EXPECT_TRUE(module.identifyWithin(10000)) << "no identify within 10 s; sent: " << module.received() << "\n"
                                                  << readFile(errors);
        sleepMs(200);  // let it run its polling for a moment

        ASSERT_EQ(::kill(app.pid(), s.signo), 0);
        int status = 0;
        ASSERT_TRUE(app.waitExit(10000, status)) << "still running 10 s after the signal";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "status " << status << (WIFSIGNALED(status) ? " (killed by the signal)" : "");
        EXPECT_NE(readFile(errors).find(std::string(s.name) + " received, closing"), std::string::npos)
            << readFile(errors);

        // Nothing of the program's claim stays on the device.
        const int probe = ::open(module.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(probe, 0) << std::strerror(errno);
        int exclusive = -1;
        EXPECT_EQ(::ioctl(probe, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0) << "the exclusive flag was left on";
        EXPECT_EQ(::flock(probe, LOCK_EX | LOCK_NB), 0) << "the lock was left held";
        ::close(probe);
    }

    // After the last signal the port is free as well.
    module.clear();
    Process app;
    ASSERT_TRUE(app.start(focuserArgs(dir, module.link, data), {}));
    EXPECT_TRUE(module.identifyWithin(10000)) << module.received();
    ::kill(app.pid(), SIGTERM);
    int status = 0;
    ASSERT_TRUE(app.waitExit(5000, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A missing data directory is made with its parents; one that cannot be
// made stops the program at once with exit status 2 and says why.
TEST_F(AppProcess, DataDirectoryIsCreatedOrRefusedClearly) {
    TempDir dir;
    Module module(dir);
    ASSERT_NO_FATAL_FAILURE(module.start());

    const std::string nested = dir.file("new/nested/data");
    Process app;
    ASSERT_TRUE(app.start(focuserArgs(dir, module.link, nested), {}));
    EXPECT_TRUE(module.identifyWithin(10000));
    struct stat st {};
    ASSERT_EQ(::stat(nested.c_str(), &st), 0) << nested << " not made";
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(exists(nested + "/focuser.dc1")) << "the settings were not saved there";
    ::kill(app.pid(), SIGTERM);
    int status = 0;
    ASSERT_TRUE(app.waitExit(5000, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    const std::string file = dir.file("plain-file");
    std::ofstream(file) << "x";
    module.clear();
    const struct {
        std::string dataDir;
        const char* says;
    } refused[] = {
        {file + "/data", "Not a directory"},      // a parent is a file
        {file, "exists but is not a directory"},  // the directory itself is a file
    };
    for (const auto& k : refused) {
        const std::string errors = dir.file("stderr-refused");
        Process bad;
        ASSERT_TRUE(bad.start(focuserArgs(dir, module.link, k.dataDir), {false, errors, -1, ""}));
        int code = 0;
        ASSERT_TRUE(bad.waitExit(5000, code)) << k.dataDir;
        EXPECT_TRUE(WIFEXITED(code) && WEXITSTATUS(code) == 2) << k.dataDir << " status " << code;
        const std::string text = readFile(errors);
        EXPECT_NE(text.find(k.dataDir), std::string::npos) << text;
        EXPECT_NE(text.find(k.says), std::string::npos) << text;
        EXPECT_EQ(module.received(), "") << "the program went on to open the port";
    }
}

// With the file-size limit at 0 every save fails; the program reports it and
// keeps running instead of being ended by SIGXFSZ, and no half file is left.
TEST_F(AppProcess, SavePastTheFileSizeLimitFailsWithoutEndingTheProgram) {
    TempDir dir;
    Module module(dir);
    ASSERT_NO_FATAL_FAILURE(module.start());
    const std::string data = dir.file("data");
    ASSERT_EQ(::mkdir(data.c_str(), 0755), 0);

    Process app;
    Process::Options o;
    o.fileSizeLimit = 0;
    ASSERT_TRUE(app.start(focuserArgs(dir, module.link, data), o));
    // A fresh data directory gets its settings file while the window is
    // built, before the program talks (DataDirectoryIsCreatedOrRefusedClearly
    // sees that file appear): here that save runs into the limit.
    EXPECT_TRUE(module.identifyWithin(10000)) << "the program did not come up";
    int status = 0;
    ASSERT_FALSE(app.waitExit(0, status)) << "ended with status " << status;
    EXPECT_FALSE(exists(data + "/focuser.dc1"));

    ::kill(app.pid(), SIGTERM);
    ASSERT_TRUE(app.waitExit(5000, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "status " << status << (WIFSIGNALED(status) ? " (killed by a signal)" : "");
}

// Without --data-dir the settings go to the user's data folder (made on
// first use, for the user alone), never into the working folder; the
// environment and the command line choose another, the command line first.
TEST_F(AppProcess, WithoutADataFolderTheUsersDataFolderIsUsed) {
    TempDir dir;
    Module module(dir);
    ASSERT_NO_FATAL_FAILURE(module.start());
    const std::string home = dir.file("home"), work = dir.file("work");
    ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(work.c_str(), 0755), 0);
    const std::string userFolder = home + "/.local/share/corvell-focuser";
    const std::string xdg = dir.file("xdg"), fromEnv = dir.file("env"), fromArg = dir.file("arg");
    ::setenv("HOME", home.c_str(), 1);

    const struct {
        const char* what;
        const char* xdgDataHome;  // null: unset
        const char* env;          // CORVELL_DATA_DIR, null: unset
        std::string arg;          // --data-dir, empty: none
        std::string folder;       // where the settings must go
    } cases[] = {
        {"XDG_DATA_HOME unset", nullptr, nullptr, "", userFolder},
        {"XDG_DATA_HOME empty", "", nullptr, "", userFolder},
        {"XDG_DATA_HOME relative", "share", nullptr, "", userFolder},
        {"XDG_DATA_HOME absolute", xdg.c_str(), nullptr, "", xdg + "/corvell-focuser"},
        {"CORVELL_DATA_DIR", xdg.c_str(), fromEnv.c_str(), "", fromEnv},
        {"--data-dir over CORVELL_DATA_DIR", nullptr, fromEnv.c_str(), fromArg, fromArg},
        {"--data-dir .", nullptr, fromEnv.c_str(), ".", work},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::system(("rm -rf '" + home + "/.local' '" + xdg + "' '" + fromEnv + "' '" + fromArg + "'").c_str());
        c.xdgDataHome ? ::setenv("XDG_DATA_HOME", c.xdgDataHome, 1) : ::unsetenv("XDG_DATA_HOME");
        c.env ? ::setenv("CORVELL_DATA_DIR", c.env, 1) : ::unsetenv("CORVELL_DATA_DIR");
        module.clear();
        Process app;
        Process::Options o;
        o.workDir = work;
        o.errorFile = dir.file("stderr");
        ASSERT_TRUE(app.start(focuserArgs(dir, module.link, c.arg), o));
        EXPECT_TRUE(module.identifyWithin(10000)) << readFile(o.errorFile);
        // The settings file is written while the window is built.
        EXPECT_TRUE(exists(c.folder + "/focuser.dc1")) << readFile(o.errorFile);
        EXPECT_TRUE(exists(c.folder + "/.corvell-focuser.lock"));
        if (c.folder != work) {
            EXPECT_EQ(folderState(work), "") << "written into the working folder";
        }
        if (c.folder == userFolder) {
            struct stat st {};
            ASSERT_EQ(::stat(userFolder.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0700u);
        }
        ::kill(app.pid(), SIGTERM);
        int status = 0;
        ASSERT_TRUE(app.waitExit(5000, status));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("CORVELL_DATA_DIR");
}

// One program per data folder. A second one on the same folder, by its name
// or another, says which process has it and exits with status 3 before it
// touches a file or the port: a save of the first one that is in progress
// (its temporary beside the file) is left alone. Killed, the first one
// leaves no stale lock: the next program takes the folder and, holding it,
// clears what the interrupted save left.
TEST_F(AppProcess, SecondProgramOnTheSameDataFolderIsRefusedAndTouchesNothing) {
    TempDir dir;
    Module module(dir);
    ASSERT_NO_FATAL_FAILURE(module.start());
    const std::string data = dir.file("data");
    ASSERT_EQ(::mkdir(data.c_str(), 0755), 0);
    ASSERT_EQ(::symlink(data.c_str(), dir.file("same-data").c_str()), 0);

    Process first;
    ASSERT_TRUE(first.start(focuserArgs(dir, module.link, data), {}));
    ASSERT_TRUE(module.identifyWithin(10000));
    const std::string pending = data + "/.focuser.dc1.corvell-tmp-Ab12Cd";
    std::ofstream(pending) << "a save in progress";
    const std::string before = folderState(data);
    ASSERT_NE(before.find("focuser.dc1 "), std::string::npos) << before;

    for (const std::string& name : {data, dir.file("same-data")}) {
        SCOPED_TRACE(name);
        module.clear();
        Process second;
        const std::string errors = dir.file("stderr-second");
        Process::Options o;
        o.errorFile = errors;
        ASSERT_TRUE(second.start(focuserArgs(dir, module.link, name), o));
        int status = 0;
        ASSERT_TRUE(second.waitExit(10000, status)) << "the second program kept running";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << "status " << status;
        EXPECT_NE(readFile(errors).find("the data folder " + name + " is in use by corvell-focuser (process " +
                                        std::to_string(first.pid()) + ")"),
                  std::string::npos)
            << readFile(errors);
        EXPECT_EQ(folderState(data), before);
        // The first program polls; the second never identifies the module.
        EXPECT_EQ(module.received().find("62"), std::string::npos) << "the second program talked to the module";
    }
    int status = 0;
    EXPECT_FALSE(first.waitExit(0, status)) << "the first program ended";

    ASSERT_EQ(::kill(first.pid(), SIGKILL), 0);
    ASSERT_TRUE(first.waitExit(5000, status));
    Process third;
    ASSERT_TRUE(third.start(focuserArgs(dir, module.link, data), {}));
    for (int i = 0; i < 500 && exists(pending); ++i) sleepMs(20);
    EXPECT_FALSE(exists(pending)) << "the leftover temporary was not cleared";
    EXPECT_EQ(readFile(data + "/.corvell-focuser.lock"), std::to_string(third.pid()) + " corvell-focuser\n");
    EXPECT_TRUE(exists(data + "/focuser.dc1"));
    ::kill(third.pid(), SIGTERM);
    ASSERT_TRUE(third.waitExit(5000, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Without a display, without QT_QPA_PLATFORM: --headless serves Alpaca and
// moves the focuser (the module receives the go-to with its two argument
// bytes, high then low), with no Qt GUI library in the process; --trace
// writes those bytes; the log has the go-to's Activity lines and a refused
// move; a second program on the folder is refused, one on the same HTTP
// port ends with status 1 (it could not serve); SIGTERM
// ends it with status 0, the serial port and the HTTP port given back.
TEST_F(AppProcess, HeadlessServesAlpacaWithoutAGuiLibraryAndTracesTheLine) {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) ::unsetenv(name);
    TempDir dir;
    Module module(dir);
    ASSERT_NO_FATAL_FAILURE(module.start());
    const std::string data = dir.file("data"), errors = dir.file("stderr");
    const int port = freeTcpPort();
    std::vector<std::string> args = focuserArgs(dir, module.link, data);
    args.insert(args.end(), {"--headless", "--alpaca", std::to_string(port), "--trace"});

    Process app;
    ASSERT_TRUE(app.start(args, {false, errors, -1, ""}));
    const std::string listening = "Alpaca server on, port " + std::to_string(port) + " (this computer only)";
    // A client connects only while the module answers.
    ASSERT_TRUE(waitFor(
        [&] {
            return readFile(errors).find(listening) != std::string::npos &&
                   readFile(errors).find("Connection: Communicating") != std::string::npos;
        },
        10000))
        << readFile(errors);

    const std::string maps = readFile("/proc/" + std::to_string(app.pid()) + "/maps");
    EXPECT_NE(maps.find("libQt6Core.so"), std::string::npos) << "not the program's maps";
    EXPECT_EQ(maps.find("libQt6Gui"), std::string::npos) << maps;
    EXPECT_EQ(maps.find("libQt6Widgets"), std::string::npos) << maps;

    httplib::Client client("127.0.0.1", port);
    auto put = [&](const std::string& member, const std::string& body) {
        const auto reply =
            client.Put(("/api/v1/focuser/0/" + member).c_str(), body, "application/x-www-form-urlencoded");
        return reply ? reply->body : std::string("no reply");
    };
    auto get = [&](const std::string& member) {
        const auto reply = client.Get(("/api/v1/focuser/0/" + member).c_str());
        return reply ? reply->body : std::string("no reply");
    };
    ASSERT_NE(put("connected", "Connected=true&ClientID=7&ClientTransactionID=1").find("\"ErrorNumber\":0"),
              std::string::npos);
    module.clear();
    EXPECT_NE(put("move", "Position=3000&ClientID=7&ClientTransactionID=2").find("\"ErrorNumber\":0"),
              std::string::npos);
    EXPECT_TRUE(waitFor(
        [&] {
            return get("ismoving").find("\"Value\":false") != std::string::npos &&
                   get("position").find("\"Value\":3000") != std::string::npos;
        },
        20000))
        << get("position") << "\n"
        << readFile(errors);
    EXPECT_NE(module.received().find("67 0b b8"), std::string::npos) << module.received();
    // A module that never reports the arrival keeps the next go-to running:
    // a move asked for meanwhile is refused, and the log says so.
    ASSERT_TRUE(module.sim.send("nocompletion on\n"));
    module.received();  // the console answers in order: the line before has been taken
    EXPECT_NE(put("move", "Position=2000").find("\"ErrorNumber\":0"), std::string::npos);
    EXPECT_NE(put("move", "Position=2500").find("\"ErrorNumber\":1035"), std::string::npos);
    const std::string log = readFile(errors);
    for (const char* said : {" trace -> 67 0b b8                 g..", " trace <- 67 ", "Go To completed",
                             "(3000 counts)", "Alpaca move to 2500 refused: "})
        EXPECT_NE(log.find(said), std::string::npos) << said << "\n" << log;

    // On another folder and the same HTTP port it could not serve: it ends.
    Process other;
    std::vector<std::string> otherArgs = args;
    otherArgs[std::find(args.begin(), args.end(), data) - args.begin()] = dir.file("other-data");
    ASSERT_TRUE(other.start(otherArgs, {false, dir.file("stderr-other"), -1, ""}));
    int status = 0;
    ASSERT_TRUE(other.waitExit(10000, status)) << "a program that cannot serve kept running";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
    // The failure and its reason on one line.
    EXPECT_NE(readFile(dir.file("stderr-other"))
                  .find(" Alpaca server not listening: port " + std::to_string(port) +
                        " is in use by another program (127.0.0.1:" + std::to_string(port) + ")\n"),
              std::string::npos)
        << readFile(dir.file("stderr-other"));

    Process second;
    const std::string secondErrors = dir.file("stderr-second");
    args[args.size() - 2] = std::to_string(freeTcpPort());
    ASSERT_TRUE(second.start(args, {false, secondErrors, -1, ""}));
    ASSERT_TRUE(second.waitExit(10000, status)) << "the second program kept running";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << "status " << status;
    EXPECT_NE(readFile(secondErrors).find("is in use by corvell-focuser (process " + std::to_string(app.pid())),
              std::string::npos)
        << readFile(secondErrors);

    ASSERT_EQ(::kill(app.pid(), SIGTERM), 0);
    ASSERT_TRUE(app.waitExit(10000, status)) << "still running 10 s after SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_NE(readFile(errors).find("SIGTERM received, closing"), std::string::npos);
    EXPECT_NE(readFile(errors).find(" trace com1 closed"), std::string::npos);
    const int probe = ::open(module.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0) << std::strerror(errno);
    EXPECT_EQ(::flock(probe, LOCK_EX | LOCK_NB), 0) << "the serial port was left locked";
    ::close(probe);
    EXPECT_EQ(get("position"), "no reply") << "the HTTP port still answers";
}

// The headless log in the journal (JOURNAL_STREAM names standard error):
// each line starts with its priority, not the time; the port is named when
// the module answers and when it falls silent; a second client's disconnect
// leaves the first connected. A move accepted as the module falls silent, or
// that it rejects, is not made: the client's next IsMoving says so, once.
TEST_F(AppProcess, HeadlessLogInTheJournalHasPrioritiesPortsClientsAndMovesNotMade) {
    TempDir dir;
    Module module(dir);
    ASSERT_NO_FATAL_FAILURE(module.start());
    const std::string errors = dir.file("journal");
    std::ofstream(errors).flush();
    struct stat st {};
    ::stat(errors.c_str(), &st);
    ::setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
    const int port = freeTcpPort();
    ::mkdir(dir.file("data").c_str(), 0700);  // a focuser in use, as the window leaves one
    static const char profile[] = " ", settings[] =
                                           "0\0"
                                           "0\0"
                                           "0\0"
                                           "0.01\0"
                                           "2\0"
                                           "1";
    std::ofstream(dir.file("data/fc00001.df1"), std::ios::binary).write(profile, sizeof profile);
    std::ofstream(dir.file("data/focuser.dc1"), std::ios::binary).write(settings, sizeof settings);
    std::vector<std::string> args = focuserArgs(dir, module.link, dir.file("data"));
    args.insert(args.end(), {"--headless", "--alpaca", std::to_string(port)});
    Process app;
    ASSERT_TRUE(app.start(args, {false, errors, -1, ""}));
    ::unsetenv("JOURNAL_STREAM");
    const std::string onPort = "COM1: " + module.link + " at 9600 baud";
    const std::string silent = "no answer from the control module on " + onPort;
    ASSERT_TRUE(waitFor([&] { return readFile(errors).find("\n<6>Position: 0.000\"") != std::string::npos; }, 10000));

    httplib::Client client("127.0.0.1", port);
    std::string said;  // the last answer
    auto error = [&](const char* method, const std::string& member, const std::string& params) {
        const std::string path = "/api/v1/focuser/0/" + member;
        const auto r = std::string(method) == "PUT"
                           ? client.Put(path.c_str(), params, "application/x-www-form-urlencoded")
                           : client.Get((path + "?" + params).c_str());
        said = r ? r->body : "no reply";
        const size_t at = said.find("\"ErrorNumber\":");
        return at == std::string::npos ? -1 : std::atoi(said.c_str() + at + 14);
    };
    EXPECT_EQ(error("PUT", "connected", "Connected=true&ClientID=7"), 0);
    EXPECT_EQ(error("PUT", "connected", "Connected=false&ClientID=9"), 0);
    EXPECT_EQ(error("GET", "position", "ClientID=7"), 0) << "still connected: " << said;
    EXPECT_EQ(error("PUT", "move", "Position=3000&ClientID=7"), 0);
    EXPECT_TRUE(waitFor(
        [&] { return error("GET", "position", "") == 0 && said.find("\"Value\":3000") != std::string::npos; }, 20000));
    for (const char* fault : {"silent", "reject"}) {
        module.sim.send(std::string(fault) + " on\n");
        module.received();  // the console answers in order: the fault is on
        EXPECT_EQ(error("PUT", "move", "Position=2000&ClientID=7"), 0);
        EXPECT_TRUE(waitFor([&] { return error("GET", "ismoving", "ClientID=7") != 0; }, 20000));
        // (Rejected, or waiting behind a read the module answered with 'r' alone.)
        EXPECT_TRUE(
            said.find("\"ErrorNumber\":1282,") != std::string::npos &&
            (said.find("The move to 2000 was not made: " + silent) != std::string::npos ||
             said.find("The move to 2000 was not made: the control module refused the Go To") != std::string::npos))
            << said;
        EXPECT_EQ(error("GET", "ismoving", "ClientID=7"), 0) << "told once: " << said;
        if (std::string(fault) == "silent") {
            EXPECT_EQ(error("PUT", "move", "Position=2500&ClientID=7"), 0x500);
        }
        module.sim.send(std::string(fault) + " off\n");
        const size_t lost = readFile(errors).rfind("<4>Connection: Not communicating");
        ASSERT_TRUE(waitFor(
            [&] { return lost != std::string::npos && readFile(errors).rfind("<6>Connection: Comm") > lost; }, 20000))
            << readFile(errors);
    }
    const std::string log = readFile(errors);
    for (const std::string& line : std::vector<std::string>{
             "<6>Connection: Communicating on " + onPort,
             "<6>Focuser in use: (no description), maximum travel 6600 counts, 3666.93 counts per inch",
             "<3>Status: Serial Communications Timeout / Check Corvell connections (" + silent + ")",
             "<3>Alpaca move to 2000 not made, client 7 at 127.0.0.1 told: " + silent,
             "<4>Alpaca move to 2500 refused: Not communicating: " + silent + " (client 7 at 127.0.0.1)"})
        EXPECT_NE(log.find("\n" + line + "\n"), std::string::npos) << line << "\n" << log;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.size() > 3 && line[0] == '<' && std::strchr("3467", line[1]) && line[2] == '>') << line;
}
