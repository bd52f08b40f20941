// Drives the engine without a window, a serial line or real time: a
// scripted module link that records every byte written and hands over the
// bytes a test queues, a manual clock behind the reply timer, and a view
// that only counts. Tests read the engine's screen and state directly.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <functional>
#include <ftw.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "control/engine.h"

namespace corvell::test {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

class ScriptedLink : public ModuleLink {
public:
    struct Open {
        std::string port;
        int baud;
        long long at;  // ms on the manual clock
        bool opened;
    };
    bool opens = true;          // whether open() succeeds (unless `openable` decides)
    std::function<bool(const std::string& port, int baud)> openable;
    const long long* clock = nullptr;
    std::vector<Open> openLog;
    bool isOpen = false;
    int openCalls = 0;
    std::string port;
    int baud = 0;
    Bytes written;              // every byte written, in order
    std::deque<uint8_t> waiting;  // bytes the program has not read yet
    std::string failure = "no such device";

    bool open(const std::string& portName, int b) override {
        ++openCalls;
        port = portName;
        baud = b;
        isOpen = openable ? openable(portName, b) : opens;
        lastOpenFailed = !isOpen;
        openLog.push_back(Open{portName, b, clock ? *clock : 0, isOpen});
        return isOpen;
    }
    bool lastOpenFailed = false;
    void close() override { isOpen = false; }
    bool connected() const override { return isOpen; }
    void purge(unsigned long flags) override {
        if (flags & kPurgeRxClear) waiting.clear();
    }
    bool writeByte(uint8_t byte) override {
        if (!isOpen) return false;
        written.push_back(byte);
        return true;
    }
    int read(uint8_t* buffer, int max) override {
        int n = 0;
        while (n < max && !waiting.empty()) {
            buffer[n++] = waiting.front();
            waiting.pop_front();
        }
        return n;
    }
    std::string device(const std::string& portName) const override { return "/dev/test-" + portName; }
    std::string openFailure() const override { return lastOpenFailed ? failure : std::string(); }
};

// The reply timer on a clock that moves only when the test says so.
class ManualTimer : public ReplyTimer {
public:
    long long now = 0;          // ms
    int interval = 0;
    long long nextExpiry = -1;  // -1: never loaded
    std::vector<int> loads;     // every interval loaded, in order
    void load(int ms) override {
        interval = ms;
        nextExpiry = now + ms;
        loads.push_back(ms);
    }
};

class CountingView : public EngineView {
public:
    int renders = 0;
    unsigned lastChanged = 0;
    int passRequests = 0;
    void requestPass() override { ++passRequests; }
    std::vector<std::string> warnings;
    void render(const Screen&, unsigned changed) override {
        ++renders;
        lastChanged = changed;
    }
    void warnInvalidNumber(const std::string& text) override { warnings.push_back(text); }
};

// A fresh data directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/corvell-engine-XXXXXX";
        const char* made = ::mkdtemp(tmpl);
        path = made ? made : "/tmp";
    }
    ~TempDir() {
        if (path == "/tmp") return;
        ::nftw(
            path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

struct Rig {
    TempDir dir;
    ScriptedLink link;
    ManualTimer timer;
    CountingView view;
    Engine engine;

    Rig() : engine(link, timer, view, EngineOptions{dir.path}) { link.clock = &timer.now; }
    // A data directory at `relative` inside the temporary one (which may
    // not exist).
    explicit Rig(const std::string& relative) : engine(link, timer, view, EngineOptions{dir.file(relative)}) {
        link.clock = &timer.now;
    }

    // Construction and start-up: the identify goes out.
    void start() {
        engine.construct();
        engine.ExecutiveActivate();
    }

    // One pass, and the further passes it asks for, as the event loop runs them.
    void pass() {
        view.passRequests = 0;
        engine.executiveIdle();
        for (int i = 0; i < 100 && view.passRequests > 0; ++i) {
            view.passRequests = 0;
            engine.executiveIdle();
        }
        EXPECT_EQ(view.passRequests, 0) << "the engine keeps asking for passes";
    }

    // Bytes from the module: they wait in the port, the data-available
    // event takes what the reply needs, and the executive makes a pass.
    void reply(const Bytes& bytes) {
        for (uint8_t b : bytes) link.waiting.push_back(b);
        engine.ComPortDataAvailable();
        pass();
    }

    // Moves the clock on by `ms`, firing the reply timer at each of its
    // expiries with a pass after each, as the event loop would.
    void advance(long long ms) {
        const long long until = timer.now + ms;
        while (timer.nextExpiry >= 0 && timer.nextExpiry <= until) {
            timer.now = timer.nextExpiry;
            timer.nextExpiry += timer.interval;
            engine.SerialTimerTimer();
            pass();
        }
        timer.now = until;
        pass();
    }

    // Start-up answered by a module at `position` with status "ready":
    // identify, status and position exchanges, then idle.
    void startCommunicating(unsigned position = 1000) {
        start();
        reply({'b', 'j'});
        reply({'t', 0x01});
        reply({'p', static_cast<uint8_t>(position >> 8), static_cast<uint8_t>(position & 0xFF)});
    }

    // Answers the status and position reads that end every command.
    void statusAndPosition(unsigned position, uint8_t status = 0x01) {
        reply({'t', status});
        reply({'p', static_cast<uint8_t>(position >> 8), static_cast<uint8_t>(position & 0xFF)});
    }

    // A position read answered with `position`.
    void setPosition(unsigned position) {
        engine.read_position();
        reply({'p', static_cast<uint8_t>(position >> 8), static_cast<uint8_t>(position & 0xFF)});
    }

    // A go-to sent and its echo answered: the completion is awaited.
    void runGoTo(long target) {
        engine.set_command_argument(target);
        engine.go_to_position_command();
        reply({'g'});
    }

    // The targets of every go-to written from index `from` on.
    std::vector<long> goToTargets(size_t from) const {
        std::vector<long> t;
        const Bytes& w = link.written;
        for (size_t i = from; i + 2 < w.size(); ++i)
            if (w[i] == 'g') {
                t.push_back(w[i + 1] * 256 + w[i + 2]);
                i += 2;
            }
        return t;
    }

    // Stores the current position in slot `n` (answering the overwrite
    // question yes) and closes its description.
    void storeHere(int n) {
        engine.StoreNClick(n);
        if (engine.screen().question.visible) engine.question_answered(engine.screen().question.id, true);
        pass();
        engine.save_position_N(n, "slot");
    }

    // The bytes written from index `from` on, as text.
    std::string sentFrom(size_t from) const {
        std::string s;
        for (size_t i = from; i < link.written.size(); ++i) s += static_cast<char>(link.written[i]);
        return s;
    }
    size_t mark() const { return link.written.size(); }

    const Screen& screen() const { return engine.screen(); }
};

}  // namespace corvell::test
