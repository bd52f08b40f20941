#include "control/initialization.h"

#include "control/init_values.h"
#include "control/letters.h"
#include "control/sequence_host.h"

namespace corvell {

void Initialization::begin() {
    h_.sequence_counter() = kWriteStop;
    stopped_ = false;
    notes_.clear();
}

// Two lines of the initialization's progress, and below them any value
// that was held to the module's range.
void Initialization::lines(const std::string& line1, const std::string& line2) {
    std::vector<std::string> all{line1, line2};
    all.insert(all.end(), notes_.begin(), notes_.end());
    h_.show_activity(std::move(all));
}

void Initialization::send(char letter) {
    const InitializationValues v = initialization_values(h_.inches_per_count(), h_.max_travel());
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
    if (letter == cmd::kMaxTravel && v.travelLimited)
        note = "Maximum travel sent as " + std::to_string(v.w) + " counts";
    if (!note.empty()) {
        notes_.push_back(note);
        lines("Writing focuser settings", "Please wait");
    }
    expected_ = letter;
    h_.transmit(letter, value, 1);
    ++h_.sequence_counter();
}

void Initialization::endStopped() {
    stopped_ = false;
    h_.show_stop_init(false);
    h_.initialization_ended();
    lines("Initialization stopped before homing", "Waiting for command");
    h_.stop_echo_follows({"Initialization stopped before homing", "Waiting for command"});
}

void Initialization::step() {
    int& step = h_.sequence_counter();
    const bool sending = step >= kWriteStop && step <= kHome && step % 2 == 0;
    if (stopped_ && sending) {
        endStopped();
        return;
    }
    h_.show_stop_init(true);
    switch (step) {
    case kWriteStop:
        lines("Writing focuser settings", "Please wait");
        send(cmd::kStop);
        return;
    case kWriteSpeedD: send(cmd::kSpeedD); return;
    case kWriteSpeedE: send(cmd::kSpeedE); return;
    case kWriteSpeedF: send(cmd::kSpeedF); return;
    case kWriteMaxTravel: send(cmd::kMaxTravel); return;
    case kHome:
        lines("Focuser settings updated", "Reinitializing the focuser");
        h_.home_position_command();
        return;
    default: break;
    }
    if (step < kWriteStop || step > kHome) return;
    // Waiting for the echo of the write on the line.
    if (h_.take_expiry()) {
        stopped_ = false;
        h_.show_stop_init(false);
        h_.show_operate_page();
        h_.serial_timeout();
        return;
    }
    const uint8_t* reply = h_.take_reply();
    if (!reply) return;
    if (reply[0] == static_cast<uint8_t>(expected_)) {
        ++step;
        if (stopped_) endStopped();
        return;
    }
    h_.show_activity(
        {reply[0] == answer::kRejected ? "Command error" : "Focuser response error", "Waiting for command"},
        LogLevel::Warning);
    h_.show_stop_init(false);
    h_.show_operate_page();
    h_.read_status();
}

}  // namespace corvell
