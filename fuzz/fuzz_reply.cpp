// The engine's real receive path on arbitrary module bytes: an Engine on a
// scripted link, a manual clock and a view that only counts, fed the input
// as the module's bytes in pieces, with executive passes, reply-timer
// expiries and the user's commands (moves, stop, go-to, stored go-tos, set
// zero and the answers) between them. The reply frame never holds more
// than the reply length, the port is never asked for more than a reply
// lacks, and no event leaves the engine asking for passes without end.
//
// Input, one step after another: a step byte, then its data.
//   step & 7 == 0, 1: (step >> 3) + 1 module bytes arrive at once, one
//                     data-available event
//   step & 7 == 2, 3: (step >> 3) + 1 module bytes arrive one at a time,
//                     an event and a pass after each
//   step & 7 == 4:    the reply timer expires
//   step & 7 == 5:    a pass with no event (the loop woke for another reason)
//   step & 7 == 6:    the user's command number step >> 3 (see user_command)
//   step & 7 == 7:    a data-available event with no new bytes
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <string>

#include "control/engine.h"
#include "fuzz/fuzz_check.h"
#include "storage/file_store.h"
#include "storage/settings_codec.h"

namespace corvell {
// The engine's receive state, for the checks below.
struct ReceiveProbe {
    static const ReplyFrame& reply(const Engine& e) { return e.reply; }
    static State active(const Engine& e) { return e.activeCommand; }
};
}  // namespace corvell

namespace {

using namespace corvell;

// Passes one event may chain. The sequences built here wait for the module
// after a step or two; a chain this long is a loop that only the engine's
// own bound would end.
constexpr int kChainedPassLimit = 16;

class FuzzLink : public ModuleLink {
public:
    std::deque<uint8_t> waiting;
    bool isOpen = false;
    const Engine* engine = nullptr;  // whose reply the reads fill

    bool open(const std::string&, int) override { return isOpen = true; }
    void close() override { isOpen = false; }
    bool connected() const override { return isOpen; }
    void discardReceived() override { waiting.clear(); }
    bool writeByte(uint8_t) override { return isOpen; }
    int read(uint8_t* buffer, int max) override {
        // The engine asks only for what the reply still lacks.
        FUZZ_CHECK(engine && max >= 1 &&
                   max <= ReceiveProbe::reply(*engine).length - ReceiveProbe::reply(*engine).count);
        int n = 0;
        while (n < max && !waiting.empty()) {
            buffer[n++] = waiting.front();
            waiting.pop_front();
        }
        return n;
    }
    std::string device(const std::string& portName) const override { return portName; }
    std::string openFailure() const override { return {}; }
};

class FuzzTimer : public ReplyTimer {
public:
    long long now = 0;
    long long nextExpiry = -1;
    int interval = 0;
    void load(int ms) override {
        interval = ms;
        nextExpiry = now + ms;
    }
};

class FuzzView : public EngineView {
public:
    int passRequests = 0;
    void render(const Screen&, unsigned) override {}
    void warnInvalidNumber(const std::string&) override {}
    void requestPass() override { ++passRequests; }
};

// The data directory, made once per run and removed at exit: a
// configuration naming profile 1, and that profile with three stored
// positions reached from both sides and backlash correction on, so stored
// go-tos take their two legs. Nothing the fuzzer drives writes a file.
std::string g_dataDir;

void remove_data_dir() {
    for (const char* name : {"focuser.dc1", "fc00001.df1"}) ::unlink((g_dataDir + "/" + name).c_str());
    ::rmdir(g_dataDir.c_str());
}

const std::string& data_dir() {
    if (!g_dataDir.empty()) return g_dataDir;
    char tmpl[] = "/tmp/corvell-fuzz-reply-XXXXXX";
    if (!::mkdtemp(tmpl)) std::abort();
    g_dataDir = tmpl;
    std::atexit(remove_data_dir);
    ProgramConfig config;
    config.currentFileNumber = 1;
    config.nextFileNumber = 2;
    FocuserProfile profile;
    profile.description = "Fuzz";
    profile.backlashEnable = 1;
    profile.positions[0] = 1000;
    profile.positions[1] = 3000;
    profile.positions[2] = 6500;
    profile.directionFlags = 0b010;
    std::string error;
    if (!save_file_atomically(g_dataDir + "/focuser.dc1", encode_config(config), error) ||
        !save_file_atomically(g_dataDir + "/fc00001.df1", encode_profile(profile), error))
        std::abort();
    return g_dataDir;
}

void check_frame(const Engine& e) {
    const ReplyFrame& reply = ReceiveProbe::reply(e);
    const State active = ReceiveProbe::active(e);
    FUZZ_CHECK(reply.length >= 1 && reply.length <= 3);
    FUZZ_CHECK(reply.count >= 0 && reply.count <= reply.length);
    FUZZ_CHECK(!reply.ready || reply.count == reply.length);
    FUZZ_CHECK(active == State::Idle || is_lettered(active));
}

// One pass, and the further passes it asks for, as the event loop runs them.
void settle(Engine& e, FuzzView& view) {
    view.passRequests = 0;
    e.executiveIdle();
    check_frame(e);
    for (int chained = 1; view.passRequests > 0; ++chained) {
        FUZZ_CHECK(chained <= kChainedPassLimit);
        view.passRequests = 0;
        e.executiveIdle();
        check_frame(e);
    }
}

void arrive(Engine& e, FuzzLink& link, const uint8_t* bytes, size_t n) {
    link.waiting.insert(link.waiting.end(), bytes, bytes + n);
    e.ComPortDataAvailable();
    check_frame(e);
}

// The user's commands that write no file.
void user_command(Engine& e, unsigned which) {
    switch (which % 12) {
    case 0: e.move_in_command(); break;
    case 1: e.move_out_command(); break;
    case 2: e.stop_command(); break;
    case 3:
        e.go_to_command();
        if (e.screen().entry.visible) e.entry_confirmed(e.screen().entry.id, "0.5");
        break;
    case 4: e.entry_cancelled(e.screen().entry.id); break;
    case 5: e.GoToNClick(1); break;
    case 6: e.GoToNClick(2); break;
    case 7: e.GoToNClick(3); break;
    case 8: e.set_zero_command(); break;
    case 9: e.question_answered(e.screen().question.id, true); break;
    case 10: e.question_answered(e.screen().question.id, false); break;
    case 11: e.stop_go_to_pressed(); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzLink link;
    FuzzTimer timer;
    FuzzView view;
    Engine e(link, timer, view, EngineOptions{data_dir()});
    link.engine = &e;
    e.construct();
    e.ExecutiveActivate();
    settle(e, view);

    size_t at = 0;
    while (at < size) {
        const uint8_t step = data[at++];
        const unsigned arg = step >> 3;
        switch (step & 7) {
        case 0:
        case 1: {
            const size_t n = std::min<size_t>(arg + 1, size - at);
            arrive(e, link, data + at, n);
            at += n;
            settle(e, view);
            break;
        }
        case 2:
        case 3: {
            const size_t n = std::min<size_t>(arg + 1, size - at);
            for (size_t i = 0; i < n; ++i) {
                arrive(e, link, data + at + i, 1);
                settle(e, view);
            }
            at += n;
            break;
        }
        case 4:
            if (timer.nextExpiry >= 0) {
                timer.now = timer.nextExpiry;
                timer.nextExpiry += timer.interval;
            }
            e.SerialTimerTimer();
            settle(e, view);
            break;
        case 5: settle(e, view); break;
        case 6:
            user_command(e, arg);
            check_frame(e);
            settle(e, view);
            break;
        case 7:
            e.ComPortDataAvailable();
            check_frame(e);
            settle(e, view);
            break;
        }
    }
    return 0;
}
