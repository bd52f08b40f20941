// corvell-bench-indi: how long an INDI request takes to reach the line, and
// what the driver costs while idle.
//
// The driver (indi_corvell_focuser) runs as indiserver runs it, with pipes
// on its standard streams, connected to a simulated module in this process.
// Each run writes one newNumberVector ABS_FOCUS_POSITION to the driver's
// standard input and takes the time from just before that write to the
// moment the simulator read the go-to's 'g' from the line (its transcript,
// on the same steady clock), then waits for the move to end Ok. Runs start
// at random moments of the driver's 1.5 s poll cycle, so some requests wait
// behind a status or position exchange on the line, as they would in use.
// Then the driver's CPU time over an idle stretch, connected and polling.
//
//   corvell-bench-indi [--runs N] [--idle-seconds S]
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/simulator.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "corvell-bench-indi: %s\n", what.c_str());
    std::exit(1);
}

class DriverProcess {
public:
    DriverProcess(const std::string& path, const std::vector<std::string>& env) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) fail("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::vector<char*> argv{const_cast<char*>(path.c_str()), nullptr};
        std::vector<char*> envp;
        for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
            fail("cannot start " + path);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~DriverProcess() {
        ::close(in_);  // the end of its input ends it
        int status = 0;
        ::waitpid(pid_, &status, 0);
        ::close(out_);
    }
    pid_t pid() const { return pid_; }
    void write(const std::string& text) {
        if (::write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) fail("write to the driver");
    }
    // Reads the driver's output until an element's start tag matches.
    std::string waitFor(const std::regex& tag, int seconds = 60) {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            std::smatch m;
            size_t start = 0;
            while ((start = buffer_.find('<', start)) != std::string::npos) {
                const size_t end = buffer_.find('>', start);
                if (end == std::string::npos) break;
                std::string element = buffer_.substr(start, end - start + 1);
                std::replace(element.begin(), element.end(), '\n', ' ');
                if (std::regex_search(element, m, tag)) {
                    buffer_.erase(0, end + 1);
                    return element;
                }
                start = end;
            }
            buffer_.erase(0, buffer_.rfind('<') == std::string::npos ? buffer_.size() : buffer_.rfind('<'));
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) fail("no answer from the driver");
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char chunk[8192];
            const ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0) fail("the driver ended");
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

private:
    pid_t pid_ = 0;
    int in_ = -1, out_ = -1;
    std::string buffer_;
};

double cpuSeconds(pid_t pid) {
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f) fail("cannot read the driver's CPU time");
    char text[1024] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    // Fields after the command name's closing parenthesis: utime is the 12th, stime the 13th.
    const char* p = std::strrchr(text, ')');
    if (!p || n == 0) fail("unexpected /proc stat");
    unsigned long utime = 0, stime = 0;
    std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5));
    return v[i];
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 200;
    int idleSeconds = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--runs"))
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--idle-seconds"))
            idleSeconds = std::max(1, std::atoi(argv[i + 1]));
        else
            fail(std::string("unknown option ") + argv[i]);
    }
    ::signal(SIGPIPE, SIG_IGN);

    corvell::sim::SimOptions so;
    so.countsPerSecond = 50000;  // moves of a few milliseconds: the runs measure the request, not the motor
    so.mechanicalLength = 30000;
    so.startPosition = 1000;
    corvell::sim::Simulator sim(so);
    std::string error;
    if (!sim.start(&error)) fail("simulator: " + error);

    char folderTemplate[] = "/tmp/corvell-bench-indi-XXXXXX";
    const std::string folder = ::mkdtemp(folderTemplate);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string v = *e;
        if (v.rfind("CORVELL_", 0) != 0 && v.rfind("HOME=", 0) != 0) env.push_back(v);
    }
    env.push_back("HOME=" + folder);
    env.push_back("CORVELL_DATA_DIR=" + folder + "/data");
    env.push_back("CORVELL_COM1=" + sim.slavePath());
    for (int n = 2; n <= 5; ++n) env.push_back("CORVELL_COM" + std::to_string(n) + "=" + folder + "/absent");

    std::vector<double> latencies;
    double idleCpu = 0;
    {
        DriverProcess driver(CORVELL_INDI_DRIVER, env);
        driver.write("<getProperties version='1.7'/>\n");
        driver.waitFor(std::regex("defSwitchVector .*name='DEVICE_AUTO_SEARCH'"));
        driver.write(
            "<newSwitchVector device='Corvell Focuser' name='CONNECTION'>"
            "<oneSwitch name='CONNECT'>On</oneSwitch></newSwitchVector>\n");
        const std::string connected =
            driver.waitFor(std::regex("setSwitchVector .*name='CONNECTION'.*state='(Ok|Alert)'"));
        if (connected.find("'Ok'") == std::string::npos) fail("not connected: " + connected);

        std::mt19937 random(7);
        std::uniform_int_distribution<int> pause(0, 1500);
        const std::regex ended("setNumberVector .*name='ABS_FOCUS_POSITION'.*state='(Ok|Alert)'");
        for (int i = 0; i < runs; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
            const long target = i % 2 ? 2000 : 3000;
            const size_t before = sim.received().size();
            const double sentMs = sim.nowMs();
            driver.write(
                "<newNumberVector device='Corvell Focuser' name='ABS_FOCUS_POSITION'>"
                "<oneNumber name='FOCUS_ABSOLUTE_POSITION'>" +
                std::to_string(target) + "</oneNumber></newNumberVector>\n");
            const std::string end = driver.waitFor(ended);
            if (end.find("'Ok'") == std::string::npos) fail("move not Ok: " + end);
            const std::vector<corvell::sim::ByteEvent> received = sim.received();
            for (size_t k = before; k < received.size(); ++k) {
                if (received[k].byte == 'g') {
                    latencies.push_back(received[k].wireMs - sentMs);
                    break;
                }
            }
        }

        std::this_thread::sleep_for(std::chrono::seconds(2));
        const double cpu0 = cpuSeconds(driver.pid());
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        idleCpu = (cpuSeconds(driver.pid()) - cpu0) / wall;
    }
    std::string cleanup = "rm -rf '" + folder + "'";
    if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", folder.c_str());

    if (latencies.empty()) fail("no go-to reached the line");
    std::printf("INDI newNumberVector ABS_FOCUS_POSITION to 'g' on the line (%zu runs, %s build):\n", latencies.size(),
                CORVELL_BUILD_TYPE);
    std::printf("  median %.2f ms, p90 %.2f ms, p99 %.2f ms, min %.2f ms, max %.2f ms\n", percentile(latencies, 0.5),
                percentile(latencies, 0.9), percentile(latencies, 0.99), percentile(latencies, 0.0),
                percentile(latencies, 1.0));
    const long waited = std::count_if(latencies.begin(), latencies.end(), [](double ms) { return ms > 1.0; });
    std::printf("  %ld of %zu requests took over 1 ms: they waited for the exchange on the line to end\n", waited,
                latencies.size());
    std::printf("Driver idle, connected and polling, over %d s: %.3f%% of one core\n", idleSeconds, 100 * idleCpu);
    return 0;
}
