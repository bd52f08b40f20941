// Initialization: the focuser's speed settings and maximum travel are
// written into the module, then the module re-homes. One step each
// executive pass; the homing itself is the executive's 'h' and 'c' states.
#include "control/engine.h"
#include "control/init_values.h"

namespace corvell {

void Engine::ReinitializeClick() { initialize_focuser(); }

void Engine::initialize_focuser() {
    Batch b(*this);
    user_acts();
    if (refuse(Action::Initialize)) return;
    followUpCommand = state::kReinit;
    activeCommand = state::kConfirm;
    confirmAnswer = 0;
    show_question(
        "Are you sure you want to initialize the focuser?  The focuser will recompute its speed settings, then "
        "return to its zero position.  This may take a minute or more to complete.");
}

void Engine::begin_reinit() {
    activeCommand = state::kReinit;
    followUpCommand = state::kReinit;
    sequenceCounter = 0;
    initStopped_ = false;
    initNotes.clear();
}

void Engine::show_stop_init(bool visible) {
    if (screen_.stopInitVisible == visible) return;
    screen_.stopInitVisible = visible;
    mark(kStopInit);
}

// The dialog's stop button stops as the main window's Stop does: in the
// homing it ends the homing, before it no homing follows.
void Engine::StopReinitClick() {
    Batch b(*this);
    show_stop_init(false);
    stop_command();
}

// Stop was pressed while the settings were written: the write on the line
// has ended, and the sequence ends without homing.
void Engine::end_init_stopped() {
    initStopped_ = false;
    show_stop_init(false);
    activeCommand = state::kIdle;
    followUpCommand = 0;
    stopLines_ = {"Initialization stopped before homing", "Waiting for command"};
    init_activity(stopLines_[0], stopLines_[1]);
    if (stopEchoOwed_) await_stop_echo();
}

// Two lines of the initialization's progress, and below them any value
// that was held to the module's range.
void Engine::init_activity(const std::string& line1, const std::string& line2) {
    std::vector<std::string> lines{line1, line2};
    lines.insert(lines.end(), initNotes.begin(), initNotes.end());
    set_activity(std::move(lines));
}

void Engine::reinit_focuser_send(char letter) {
    Batch b(*this);
    const InitializationValues v = initialization_values(profile.inchesPerCount, profile.maxTravel);
    uint16_t value = 0;
    switch (letter) {
    case cmd::kSpeedD: value = v.d; break;
    case cmd::kSpeedE: value = v.e; break;
    case cmd::kSpeedF: value = v.f; break;
    case cmd::kMaxTravel: value = v.w; break;
    default: break;
    }
    // A value beyond the module's range is sent as the nearest it can take,
    // never as its low 16 bits; the Activity display says so.
    std::string note;
    if (letter == cmd::kSpeedD && v.speedLimited) note = "Speed settings limited to 65535";
    if (letter == cmd::kMaxTravel && v.travelLimited) note = "Maximum travel sent as " + std::to_string(v.w) + " counts";
    if (!note.empty()) {
        initNotes.push_back(note);
        init_activity("Writing focuser settings", "Please wait");
    }
    reply.length = 1;
    expectedReply = letter;
    transmit(letter, value);
    ++sequenceCounter;
}

void Engine::reinit_focuser_handler() {
    const bool sending = sequenceCounter >= 0 && sequenceCounter <= 10 && sequenceCounter % 2 == 0;
    if (initStopped_ && sending) {
        end_init_stopped();
        return;
    }
    show_stop_init(true);
    switch (sequenceCounter) {
    case 0:
        init_activity("Writing focuser settings", "Please wait");
        reinit_focuser_send(cmd::kStop);
        return;
    case 2: reinit_focuser_send(cmd::kSpeedD); return;
    case 4: reinit_focuser_send(cmd::kSpeedE); return;
    case 6: reinit_focuser_send(cmd::kSpeedF); return;
    case 8: reinit_focuser_send(cmd::kMaxTravel); return;
    case 10:
        init_activity("Focuser settings updated", "Reinitializing the focuser");
        home_position_command();
        return;
    case 1: case 3: case 5: case 7: case 9:
        break;
    default:
        return;
    }
    if (timerExpired) {
        timerExpired = false;
        initStopped_ = false;
        show_stop_init(false);
        show_operate_page();
        serial_timeout();
        return;
    }
    if (!reply.ready) return;
    reply.ready = false;
    const Echo e = echo_of(static_cast<uint8_t>(expectedReply));
    if (e == Echo::Match) {
        ++sequenceCounter;
        if (initStopped_) end_init_stopped();
        return;
    }
    show_echo_failure(e);
    show_stop_init(false);
    show_operate_page();
    read_status();
}

}  // namespace corvell
