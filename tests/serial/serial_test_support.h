// Helpers of the serial tests: a pseudo-terminal standing in for the line,
// an event pump with a deadline, thread, wait and CPU-time probes.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace serial_test {

inline QCoreApplication* app() {
    static int argc = 1;
    static char name[] = "test_serial";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* instance = new QCoreApplication(argc, argv);
    return instance;
}

// Runs the main thread's event loop until `done` holds or `ms` pass. Blocks
// in the event dispatcher between events; a single-shot timer ends the wait.
inline bool pumpUntil(const std::function<bool()>& done, int ms) {
    bool expired = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&expired] { expired = true; });
    deadline.start(ms);
    while (!done()) {
        if (expired) return done();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

inline void pumpFor(int ms) {
    pumpUntil([] { return false; }, ms);
}

inline double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

inline int threadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

// The thread count once it has reached `expected`, or the last count seen
// when `ms` pass first. A thread that has been joined can still be listed in
// /proc for up to a millisecond or so while the kernel finishes its exit, so
// a check that a thread has ended looks again every millisecond (sleeping in
// between) instead of once; a thread that really stays keeps the count off
// `expected` and the check fails after `ms`.
inline int threadCountReaching(int expected, int ms = 2000) {
    const auto t0 = std::chrono::steady_clock::now();
    int n = threadCount();
    while (n != expected && secondsSince(t0) * 1000 < ms) {
        const timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
        n = threadCount();
    }
    return n;
}

// Descriptor of this process that is open on `path`, or -1.
inline int descriptorOn(const std::string& path) {
    int found = -1;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            char target[512];
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, size_t(n)) == path) {
                found = atoi(e->d_name);
                break;
            }
        }
        closedir(d);
    }
    return found;
}

inline double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// What the calling thread has done so far: how often it went to sleep of
// its own accord (a wait in poll, a blocking read or write, a sleep; being
// preempted on a busy machine is not counted), and its CPU time. A call
// that returns at once adds neither; one that waits adds a sleep, one that
// spins adds CPU time, however busy the machine is.
struct ThreadUsage {
    long sleeps = 0;
    double cpuSeconds = 0;
};

inline ThreadUsage threadUsage() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return {u.ru_nvcsw, double(ts.tv_sec) + double(ts.tv_nsec) / 1e9};
}

// Ends the test program with a message when it is still not destroyed `ms`
// after it was made: it guards a call that might never return (a thread
// that is never joined), so that the test fails with its reason instead of
// hanging until the test runner's limit. `ms` is far beyond the call's
// normal duration: it only ends the waiting, it does not time the call.
class Watchdog {
public:
    Watchdog(int ms, std::string what)
        : thread_([this, ms, what] {
              std::unique_lock<std::mutex> lock(m_);
              if (!done_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; })) {
                  std::fprintf(stderr, "%s: still not done after %d ms\n", what.c_str(), ms);
                  std::fflush(stderr);
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_);
            done_ = true;
        }
        done_cv_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex m_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::thread thread_;
};

// A pseudo-terminal; the test holds the master, the component opens the slave.
// The slave is put in raw mode through the master before anyone opens it.
class Pty {
public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            throw std::runtime_error("no pseudo-terminal");
        char name[256];
        if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("no slave name");
        slave_ = name;
        termios t{};
        tcgetattr(master_, &t);
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
    }
    ~Pty() { hangUp(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& slave() const { return slave_; }
    int master() const { return master_; }

    void send(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) throw std::runtime_error("master write failed");
            done += size_t(n);
        }
    }

    // Reads from the master until `count` bytes came or `ms` passed.
    std::string receive(size_t count, int ms) {
        std::string out;
        const auto t0 = std::chrono::steady_clock::now();
        while (out.size() < count) {
            const int left = ms - int(secondsSince(t0) * 1000);
            if (left <= 0) break;
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) break;
            char buf[256];
            const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
            if (n <= 0) break;
            out.append(buf, size_t(n));
        }
        return out;
    }

    termios lineSettings() const {
        termios t{};
        tcgetattr(master_, &t);
        return t;
    }

    // Closing the master hangs up the slave, as an unplugged adapter does.
    void hangUp() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    std::string slave_;
};

}  // namespace serial_test
