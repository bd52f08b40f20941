// corvell-sim: a simulated control module on a pseudo-terminal.
//
// Prints the slave path on standard output, optionally makes a symlink to
// it, and takes control lines on standard input until "quit", SIGINT or
// SIGTERM. The end of standard input does not end the simulator, so it can
// run in the background.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>
#include <chrono>
#include <algorithm>

#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/console.h"
#include "sim/simulator.h"

using corvell::sim::Button;
using corvell::sim::ConsoleResult;
using corvell::sim::SimOptions;
using corvell::sim::Simulator;

namespace {

void usage(std::ostream& out) {
    out << "Usage: corvell-sim [--link PATH] [--baud 9600|2400] [--speed COUNTS_PER_S]\n"
           "                   [--position N] [--length N] [--processing MS] [--press in|out|wait:MS ...]\n"
           "Runs a simulated Corvell control module on a pseudo-terminal and prints\n"
           "the path of its slave side. --link makes PATH a symlink to it (removed at exit).\n"
           "--processing sets the time from a command's arrival to its reply (default 2 ms).\n"
           "--press holds the module's In or Out push button for MS milliseconds (or waits\n"
           "MS with wait:MS); given several times, the presses follow one another from the start.\n\n"
        << corvell::sim::controlLineHelp();
}

// One step of a scripted series of push-button presses.
struct Press {
    enum { In, Out, Wait } what;
    int ms;
};

bool parsePress(const std::string& text, Press& press) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    const std::string what = text.substr(0, colon);
    char* end = nullptr;
    const long ms = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || ms < 0 || ms > 600000 || end == text.c_str() + colon + 1) return false;
    if (what == "in")
        press.what = Press::In;
    else if (what == "out")
        press.what = Press::Out;
    else if (what == "wait")
        press.what = Press::Wait;
    else
        return false;
    press.ms = static_cast<int>(ms);
    return true;
}

bool parseNumber(const char* text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0';
}

// Replaces an old symlink at `path`; anything else there is left alone.
bool makeLink(const std::string& target, const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            std::cerr << "corvell-sim: " << path << " exists and is not a symlink\n";
            return false;
        }
        ::unlink(path.c_str());
    }
    if (::symlink(target.c_str(), path.c_str()) != 0) {
        std::cerr << "corvell-sim: symlink " << path << ": " << std::strerror(errno) << "\n";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    std::string link;
    std::vector<Press> presses;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(std::cout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::cerr << "corvell-sim: " << a << " needs a value (try --help)\n";
            return 2;
        }
        const char* v = argv[++i];
        double n = 0;
        if (a == "--link") {
            link = v;
        } else if (a == "--baud" && parseNumber(v, n) && (n == 9600 || n == 2400)) {
            options.baudSwitch = static_cast<int>(n);
        } else if (a == "--speed" && parseNumber(v, n) && n > 0) {
            options.countsPerSecond = n;
        } else if (a == "--position" && parseNumber(v, n) && n >= 0 && n <= 65535) {
            options.startPosition = static_cast<long>(n);
        } else if (a == "--length" && parseNumber(v, n) && n >= 0) {
            options.mechanicalLength = static_cast<long>(n);
        } else if (a == "--processing" && parseNumber(v, n) && n >= 0 && n <= 600000) {
            options.processingDelayMs = static_cast<int>(n);
        } else if (Press p{}; a == "--press" && parsePress(v, p)) {
            presses.push_back(p);
        } else {
            std::cerr << "corvell-sim: bad option " << a << " " << v << " (try --help)\n";
            return 2;
        }
    }

    // SIGINT and SIGTERM arrive through a descriptor, blocked before the
    // simulator's thread starts so that only this loop sees them.
    sigset_t quitSignals;
    sigemptyset(&quitSignals);
    sigaddset(&quitSignals, SIGINT);
    sigaddset(&quitSignals, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &quitSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    const int sigFd = ::signalfd(-1, &quitSignals, SFD_CLOEXEC);
    if (sigFd < 0) {
        std::cerr << "corvell-sim: signalfd: " << std::strerror(errno) << "\n";
        return 1;
    }

    Simulator sim(options);
    std::string error;
    if (!sim.start(&error)) {
        std::cerr << "corvell-sim: " << error << "\n";
        return 1;
    }
    const std::string slave = sim.slavePath();
    if (!link.empty() && !makeLink(slave, link)) return 1;
    bool linkMade = !link.empty();
    std::cout << slave << std::endl;

    bool inputOpen = true;
    bool quit = false;
    std::string pending;
    // The scripted presses: the button of the current one is held until its
    // time is up, then the next one starts.
    using Clock = std::chrono::steady_clock;
    size_t nextPress = 0;
    bool held = false;
    Button heldButton = Button::In;
    Clock::time_point pressEnds = Clock::now();
    auto runPresses = [&] {
        while (Clock::now() >= pressEnds) {
            if (held) {
                sim.pressButton(heldButton, false);
                held = false;
            }
            if (nextPress >= presses.size()) return;
            const Press& p = presses[nextPress++];
            pressEnds = Clock::now() + std::chrono::milliseconds(p.ms);
            if (p.what != Press::Wait) {
                heldButton = p.what == Press::In ? Button::In : Button::Out;
                sim.pressButton(heldButton, true);
                held = true;
            }
        }
    };
    runPresses();
    while (!quit) {
        pollfd fds[2] = {{sigFd, POLLIN, 0}, {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        int timeout = -1;
        if (held || nextPress < presses.size()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(pressEnds - Clock::now()).count();
            timeout = static_cast<int>(std::max<long long>(0, left) + 1);
        }
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        runPresses();
        if (ready == 0) continue;
        if (fds[0].revents & POLLIN) break;
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[1024];
            const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) continue;
                inputOpen = false;  // keep running on signals alone
                continue;
            }
            pending.append(buf, static_cast<size_t>(n));
            size_t nl;
            while (!quit && (nl = pending.find('\n')) != std::string::npos) {
                const std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                const ConsoleResult r = corvell::sim::runControlLine(sim, line, std::cout);
                if (r == ConsoleResult::Quit) quit = true;
                // An unplugged adapter's device link goes away with it.
                std::string word;
                std::istringstream(line) >> word;
                if (word == "hangup" && r == ConsoleResult::Ok && linkMade) {
                    ::unlink(link.c_str());
                    linkMade = false;
                }
            }
        }
    }
    sim.stop();
    if (linkMade) ::unlink(link.c_str());
    return 0;
}
