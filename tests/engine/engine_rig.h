// Drives the engine without a window, a serial line or real time: a
// scripted module link that records every byte written and hands over the
// bytes a test queues, a manual clock behind the reply timer, and a view
// that only counts. Tests drive the engine through its operations, events
// and the files in its data folder, and read what it shows (its screen),
// what it writes (on the line, into the timer, into its files) and its
// public queries.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <functional>
#include <dirent.h>
#include <ftw.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "control/engine.h"
#include "control/screen_parts.h"
#include "storage/file_store.h"

namespace corvell::test {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

// A module behind the scripted link that answers on its own, on the manual
// clock: each command is answered `replyDelayMs` after it was written, in
// order (a reply is never sent before an earlier one), as a module with a
// slow line would. A go-to or homing sends its completion `travelMs` after
// its echo. Switched on by `enabled`.
struct ModuleModel {
    bool enabled = false;
    bool silent = false;
    long long replyDelayMs = 3;
    long long travelMs = 2000;
    unsigned position = 1000;
    uint8_t status = 0x01;
    struct Out {
        long long at;
        uint8_t byte;
    };
    std::deque<Out> out;           // bytes not yet sent, in order
    std::vector<uint8_t> pending;  // the command being received
    long long lastDue = 0;

    void send(long long due, std::initializer_list<uint8_t> bytes) {
        due = std::max(due, lastDue);
        lastDue = due;
        for (uint8_t b : bytes) out.push_back(Out{due, b});
    }
    // A byte the program wrote at `now`.
    void received(uint8_t byte, long long now) {
        if (!enabled) return;
        pending.push_back(byte);
        const char letter = static_cast<char>(pending[0]);
        const size_t need = (letter == 'g' || letter == 'w' || letter == 'd' || letter == 'e' || letter == 'f') ? 3 : 1;
        if (pending.size() < need) return;
        const std::vector<uint8_t> c = pending;
        pending.clear();
        if (silent) return;
        const long long due = now + replyDelayMs;
        switch (letter) {
        case 'b': send(due, {'b', 'j'}); break;
        case 't': send(due, {'t', status}); break;
        case 'p': send(due, {'p', static_cast<uint8_t>(position >> 8), static_cast<uint8_t>(position & 0xFF)}); break;
        case 'g':
            send(due, {'g'});
            position = c[1] * 256u + c[2];
            send(due + travelMs, {'c'});
            break;
        case 'h':
            send(due, {'h'});
            position = 0;
            send(due + travelMs, {'c'});
            break;
        case 'z':
            position = 0;
            send(due, {'z'});
            break;
        case 's':
            // A stop ends a go-to or homing: its completion is not sent.
            while (!out.empty() && out.back().byte == 'c' && out.back().at > now) out.pop_back();
            send(due, {'s'});
            break;
        case 'i':
        case 'o':
        case 'w':
        case 'd':
        case 'e':
        case 'f': send(due, {c[0]}); break;
        default: send(due, {'r'}); break;
        }
    }
    long long nextDue() const { return out.empty() ? -1 : out.front().at; }
};

class ScriptedLink : public ModuleLink {
public:
    ModuleModel module;
    struct Open {
        std::string port;
        int baud;
        long long at;  // ms on the manual clock
        bool opened;
    };
    bool opens = true;  // whether open() succeeds (unless `openable` decides)
    std::function<bool(const std::string& port, int baud)> openable;
    const long long* clock = nullptr;
    std::vector<Open> openLog;
    bool isOpen = false;
    int openCalls = 0;
    std::string port;
    int baud = 0;
    Bytes written;                // every byte written, in order
    std::deque<uint8_t> waiting;  // bytes the program has not read yet
    std::string failure = "no such device";

    bool open(const std::string& portName, int b) override {
        ++openCalls;
        port = portName;
        baud = b;
        isOpen = openable ? openable(portName, b) : opens;
        lastOpenFailed = !isOpen;
        if (isOpen) lost = false;
        openLog.push_back(Open{portName, b, clock ? *clock : 0, isOpen});
        return isOpen;
    }
    bool lastOpenFailed = false;
    bool lost = false;  // the device went away while open
    // The adapter is pulled out: the port stays open but is gone, and
    // opening it fails until `opens` is set again.
    void unplug() {
        lost = true;
        opens = false;
        waiting.clear();
    }
    void close() override { isOpen = false; }
    bool connected() const override { return isOpen && !lost; }
    void discardReceived() override { waiting.clear(); }
    bool writeByte(uint8_t byte) override {
        if (!isOpen || lost) return false;
        written.push_back(byte);
        module.received(byte, clock ? *clock : 0);
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
    long long now = 0;  // ms
    int interval = 0;
    long long nextExpiry = -1;  // -1: never loaded
    std::vector<int> loads;     // every interval loaded, in order
    void load(int ms) override {
        interval = ms;
        nextExpiry = now + ms;
        loads.push_back(ms);
    }
};

// A view that keeps what it was told to show, so tests can check that
// every change of the engine's screen reached it.
class CountingView : public EngineView {
public:
    int renders = 0;
    unsigned lastChanged = 0;
    int passRequests = 0;
    Screen shown;
    void requestPass() override { ++passRequests; }
    std::vector<std::string> warnings;
    std::vector<std::vector<std::string>> activityLog;  // every Activity shown, in order
    void render(const Screen& screen, unsigned changed) override {
        ++renders;
        lastChanged = changed;
        copy_parts(shown, screen, changed);
        if (changed & kActivity) activityLog.push_back(screen.activity);
    }
    // Whether a line was shown in Activity since entry `from` of the log.
    bool showedSince(size_t from, const std::string& line) const {
        for (size_t i = from; i < activityLog.size(); ++i)
            for (const std::string& l : activityLog[i])
                if (l == line) return true;
        return false;
    }
    void warnInvalidNumber(const std::string& text) override { warnings.push_back(text); }
    std::vector<LogLine> log;  // the engine's log, in order
    void logged(const LogLine& l) override { log.push_back(l); }
    std::vector<UnattendedAnswer> answered;  // what the engine answered for nobody, in order
    void answeredForNobody(const UnattendedAnswer& a) override { answered.push_back(a); }
};

// A fresh data directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/corvell-engine-XXXXXX";
        const char* made = ::mkdtemp(tmpl);
        path = made ? made : "/tmp";
    }
    // Another rig's folder, left in place: the program started again on it.
    explicit TempDir(const std::string& existing) : path(existing), owned(false) {}
    ~TempDir() {
        if (path == "/tmp" || !owned) return;
        ::nftw(
            path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    // The names in the folder, sorted.
    std::vector<std::string> names() const {
        std::vector<std::string> n;
        if (DIR* d = ::opendir(path.c_str())) {
            while (const dirent* e = ::readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") n.push_back(e->d_name);
            ::closedir(d);
        }
        std::sort(n.begin(), n.end());
        return n;
    }
    std::string path;
    bool owned = true;
};

// A command the program wrote: its letter and its argument (0 for none).
struct SentCommand {
    char letter;
    unsigned argument;
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

    // The program started again on the data folder of `before`, which
    // outlives this rig.
    struct Restart {};
    Rig(const Rig& before, Restart) : dir(before.dir.path), engine(link, timer, view, EngineOptions{dir.path}) {
        link.clock = &timer.now;
    }

    // Construction and start-up: the identify goes out. An empty data folder first gets a focuser in use.
    bool emptyFolder = false;
    void start() {
        if (!emptyFolder && dir.names().empty()) {
            FocuserProfile p;
            p.description = "Focuser 00001";
            saveProfile(1, p);
            std::string error, next2 = std::string(
                                   "0\0"
                                   "0\0"
                                   "0\0"
                                   "0.01\0"
                                   "2\0",
                                   13);  // the current: 1
            EXPECT_TRUE(save_file_atomically(dir.file(kProgramConfigFileName), next2, error));
        }
        engine.construct();
        engine.ExecutiveActivate();
    }

    // One pass, and the further passes it asks for, as the event loop runs them.
    // After them the window shows what the engine's screen holds.
    void pass() {
        view.passRequests = 0;
        engine.executiveIdle();
        for (int i = 0; i < 100 && view.passRequests > 0; ++i) {
            view.passRequests = 0;
            engine.executiveIdle();
        }
        EXPECT_EQ(view.passRequests, 0) << "the engine keeps asking for passes";
        EXPECT_EQ(differing_parts(view.shown, engine.screen()), 0u) << "a change that never reached the window";
    }

    // The adapter is pulled out; the receive thread reports it.
    void unplug() {
        link.unplug();
        engine.ComPortDataAvailable();
        pass();
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
    // With the module model on, its bytes arrive at their times as well,
    // each as a data event followed by a pass.
    void advance(long long ms) {
        const long long until = timer.now + ms;
        for (;;) {
            const long long expiry = timer.nextExpiry;
            const long long due = link.isOpen && !link.lost ? link.module.nextDue() : -1;
            if (due >= 0 && due <= until && (expiry < 0 || due < expiry)) {
                timer.now = std::max(timer.now, due);
                while (!link.module.out.empty() && link.module.out.front().at <= timer.now) {
                    link.waiting.push_back(link.module.out.front().byte);
                    link.module.out.pop_front();
                }
                engine.ComPortDataAvailable();
                pass();
                continue;
            }
            if (expiry < 0 || expiry > until) break;
            timer.now = expiry;
            timer.nextExpiry += timer.interval;
            engine.SerialTimerTimer();
            pass();
        }
        // Time passing alone wakes nothing: passes follow events.
        timer.now = until;
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

    // The letter of the last command written; 0 when none was.
    char lastCommand() const {
        const std::vector<SentCommand> sent = commandsFrom(0);
        return sent.empty() ? 0 : sent.back().letter;
    }

    // The exchange on the line: the last command written while its reply is
    // awaited (a read: the Poll situation; a command's echo: Command); 0 when
    // neither is awaited.
    char onTheLine() const {
        const Situations s = engine.situations();
        if (!(s & (situation_bit(Situation::Poll) | situation_bit(Situation::Command)))) return 0;
        return lastCommand();
    }

    // A go-to or homing runs on the module: its echo came, the reply timer
    // was loaded with its completion limit `limitMs` after it, and nothing
    // else is on the line.
    bool completionAwaited(int limitMs) const {
        const Situations s = engine.situations();
        const Situations motion =
            situation_bit(Situation::GoTo) | situation_bit(Situation::Homing) | situation_bit(Situation::InitHoming);
        return (s & motion) && !(s & (situation_bit(Situation::Poll) | situation_bit(Situation::Command))) &&
               !timer.loads.empty() && timer.loads.back() == limitMs;
    }

    // The idle poll: the clock runs to the timer's next expiry, where the
    // position read goes out and stays unanswered.
    void pollOnTheLine() {
        const size_t from = mark();
        advance(timer.nextExpiry - timer.now);
        ASSERT_EQ(sentFrom(from), "p") << "the idle poll";
        ASSERT_EQ(onTheLine(), 'p');
    }

    // A position read answered with `position`: the idle poll.
    void setPosition(unsigned position) {
        pollOnTheLine();
        reply({'p', static_cast<uint8_t>(position >> 8), static_cast<uint8_t>(position & 0xFF)});
    }

    // A status read on the line, as after every command: Stop from idle,
    // and its echo.
    void statusOnTheLine() {
        ASSERT_TRUE(engine.idle());
        engine.stop_command();
        reply({'s'});
        ASSERT_EQ(onTheLine(), 't');
    }

    // A go-to asked for (as another front end asks) and its echo answered:
    // the completion is awaited.
    void runGoTo(long target) {
        const size_t from = mark();
        ASSERT_EQ(engine.move_to(target), "");
        ASSERT_EQ(goToTargets(from), std::vector<long>{target}) << "sent at once";
        reply({'g'});
    }

    // The initialization asked for and answered yes; its first settings
    // write goes out.
    void startInitialization() {
        engine.ReinitializeClick();
        ASSERT_TRUE(screen().question.visible);
        engine.question_answered(screen().question.id, true);
        pass();
    }

    // Echoes each settings write of the initialization in turn; the homing
    // goes out after the last.
    void echoSettings() {
        for (char letter : {'s', 'd', 'e', 'f', 'w'}) {
            ASSERT_EQ(lastCommand(), letter);
            ASSERT_TRUE(engine.situations() & situation_bit(Situation::InitSettings));
            reply({static_cast<uint8_t>(letter)});
        }
        ASSERT_EQ(lastCommand(), 'h');
    }

    // A profile or the configuration in the data folder, as saved.
    void saveProfile(int number, const FocuserProfile& p) const {
        std::string error;
        ASSERT_TRUE(save_file_atomically(dir.file(*profile_file_name(number)), encode_profile(p), error)) << error;
    }
    std::optional<FocuserProfile> profileFile(int number) const {
        auto bytes = read_file_head(dir.file(*profile_file_name(number)), 4096);
        if (!bytes) return std::nullopt;
        return parse_profile(bytes->data(), bytes->size());
    }
    ProgramConfig configFile() const {
        auto bytes = read_file_head(dir.file(kProgramConfigFileName), 4096);
        return bytes ? parse_config(bytes->data(), bytes->size()) : ProgramConfig();
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

    // The commands written from index `from` on.
    std::vector<SentCommand> commandsFrom(size_t from) const {
        std::vector<SentCommand> out;
        const Bytes& w = link.written;
        for (size_t i = from; i < w.size(); ++i) {
            const char letter = static_cast<char>(w[i]);
            // The commands that carry a value, two bytes, high byte first.
            const bool withValue = letter == 'g' || letter == 'w' || letter == 'd' || letter == 'e' || letter == 'f';
            unsigned argument = 0;
            if (withValue && i + 2 < w.size()) {
                argument = w[i + 1] * 256u + w[i + 2];
                i += 2;
            }
            out.push_back(SentCommand{letter, argument});
        }
        return out;
    }

    // The bytes written from index `from` on, as text.
    std::string sentFrom(size_t from) const {
        std::string s;
        for (size_t i = from; i < link.written.size(); ++i) s += static_cast<char>(link.written[i]);
        return s;
    }
    size_t mark() const { return link.written.size(); }

    const Screen& screen() const { return engine.screen(); }
    // The situations that hold up actions: without "no focuser is selected
    // in the list", which a data folder without focuser files is in all along.
    Situations busy() const { return engine.situations() & ~situation_bit(Situation::NoRow); }
};

}  // namespace corvell::test
