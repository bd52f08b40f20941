// The engine's intent operations: what every front end (the window's
// handlers, the Alpaca server, the INDI driver) asks of the focuser in its
// own terms. Each acts now, after the one exchange on the line, or returns
// the reason the busy table gives; none waits for anything to end.
#include <algorithm>

#include "control/engine.h"
#include "control/quantities.h"

namespace corvell {

std::string Engine::move_to(long count, OutsideTravel outside, Approach approach) {
    Batch b(*this);
    long target = 0;
    const std::string beyond = take_go_to_target(static_cast<double>(count), profile_.maxTravel, outside, target);
    if (!beyond.empty()) return beyond;
    const std::string reason = refusal(situations(), Action::MoveTo);
    if (!reason.empty()) return reason;
    lastMove_ = MoveRecord{lastMove_.number + 1, target, MoveRecord::Fate::Made, {}};
    if (already_at(target)) return {};
    lastMove_.fate = MoveRecord::Fate::Running;
    // An accepted move is the user's action, as a click on Go To is: a note
    // held in Activity gives way to the move's lines.
    user_acts();
    if (approach == Approach::Straight || !backlash_on()) {
        start_go_to(target, Action::MoveTo);
        return {};
    }
    ApproachPlan plan = backlash_plan(target, static_cast<long>(currentPosition), profile_.backlashCount,
                                      profile_.maxTravel, false, true);
    // Standing at the zero stop already, the clipped overshoot is where the
    // focuser is: the move out to the count is the approach.
    if (plan.twoLegs && plan.firstTarget == static_cast<long>(currentPosition)) {
        plan.twoLegs = false;
        plan.firstTarget = plan.finalTarget;
    }
    start_legs(plan, Action::MoveTo);
    return {};
}

std::string Engine::set_idle_poll(long ms) {
    const std::string outside = check_idle_poll(static_cast<double>(ms));
    if (!outside.empty()) return outside;
    idlePollMs_ = static_cast<int>(ms);
    return {};
}

void Engine::move_not_made(const std::string& reason) {
    if (lastMove_.fate != MoveRecord::Fate::Running) return;
    lastMove_.fate = MoveRecord::Fate::NotMade;
    lastMove_.reason = reason;
}

std::string Engine::port_in_use() const {
    return "COM" + std::to_string(config_.portIndex + 1) + ": " + link_.device(portName_) + " at " +
           std::to_string(baud_) + " baud";
}

std::string Engine::time_out_reason() const {
    if (activeCommand == State::Completion)
        return "the control module did not report the end of the Go To within " + std::to_string(goToTimeLimit / 1000) +
               " s (" + port_in_use() + ")";
    return "no answer from the control module on " + port_in_use();
}

std::optional<long> Engine::position() const {
    if (!positionKnown) return std::nullopt;
    return static_cast<long>(currentPosition);
}

std::string Engine::communication_problem() const {
    if (communicating_ && link_.connected()) return {};
    if (!link_.connected()) return "Not communicating: " + screen_.connection;
    return "Not communicating: no answer from the control module on " + port_in_use();
}

bool Engine::initializing() const {
    const Situations s = situations();
    return (s & (situation_bit(Situation::InitSettings) | situation_bit(Situation::InitHoming))) != 0 ||
           queuedCommand == State::Reinit;
}

bool Engine::operation_pending() const {
    constexpr Situations kUnfinished = situation_bit(Situation::InitSettings) | situation_bit(Situation::InitHoming) |
                                       situation_bit(Situation::Homing) | situation_bit(Situation::GoTo) |
                                       situation_bit(Situation::StepGoTo) | situation_bit(Situation::Command) |
                                       situation_bit(Situation::QueuedStep) | situation_bit(Situation::Queued);
    return (situations() & kUnfinished) != 0 || initializing();
}

std::string Engine::set_zero() {
    Batch b(*this);
    const std::string reason = refusal(situations(), Action::Sync);
    if (!reason.empty()) return reason;
    user_acts();
    if (activeCommand != State::Idle) {
        queue_command(State::ZeroEcho, Action::Sync);
        return {};
    }
    send_zero_command();
    return {};
}

std::string Engine::set_max_travel(long count) {
    Batch b(*this);
    const std::string outside = check_max_travel(static_cast<double>(count));
    if (!outside.empty()) return outside;
    const std::string reason = refusal(situations(), Action::WriteMaxTravel);
    if (!reason.empty()) return reason;
    user_acts();
    profile_.maxTravel = count;
    write_focuser_file();
    update_displays();
    if (activeCommand != State::Idle) {
        queue_command(State::MaxTravelEcho, Action::WriteMaxTravel, count);
        return {};
    }
    write_max_travel(count);
    return {};
}

void Engine::write_max_travel(long counts) {
    Batch b(*this);
    if (!link_.connected() || !communicating_) {
        travel_not_sent("the focuser is not communicating");
        return;
    }
    send(cmd::kMaxTravel, static_cast<unsigned>(counts));
}

void Engine::travel_not_sent(const std::string& why) {
    travelUnsent_ = true;
    drop_held_lines(travelNote_);
    travelNote_ = {"Maximum travel " + std::to_string(profile_.maxTravel) + " not sent: " + why,
                   "It is sent when the focuser answers again"};
    for (const std::string& line : travelNote_) hold_note(line);
}

std::string Engine::initialize() {
    Batch b(*this);
    const std::string reason = refusal(situations(), Action::InitializeNow);
    if (!reason.empty()) return reason;
    user_acts();
    // The sequence starts at the next pass, right after the exchange on the line.
    queue_command(State::Reinit, Action::InitializeNow);
    view_.requestPass();
    return {};
}

std::string Engine::set_backlash(bool on) {
    Batch b(*this);
    const std::string reason = refusal(situations(), Action::BacklashSwitch);
    if (!reason.empty()) return reason;
    BacklashEnableClick(on ? 1 : 0);
    return {};
}

std::string Engine::set_backlash_count(long count) {
    Batch b(*this);
    const std::string outside = check_backlash_count(static_cast<double>(count));
    if (!outside.empty()) return outside;
    const std::string reason = refusal(situations(), Action::BacklashDistance);
    if (!reason.empty()) return reason;
    user_acts();
    profile_.backlashCount = count;
    write_focuser_file();
    update_displays();
    return {};
}

std::string Engine::go_to_stored(int n) {
    Batch b(*this);
    if (n < 1 || n > kStoredSlots) return "There is no stored position " + std::to_string(n);
    if (profile_.positions[n - 1] < 0) return "Stored position " + std::to_string(n) + " is empty";
    const std::string reason = refusal(situations(), Action::StoredGoTo);
    if (!reason.empty()) return reason;
    GoToNClick(n);
    return {};
}

Engine::StoredPosition Engine::stored_position(int n) const {
    if (n < 1 || n > kStoredSlots) return {};
    return StoredPosition{profile_.positions[n - 1], profile_.descriptions[n - 1],
                          ((profile_.directionFlags >> (n - 1)) & 1u) != 0};
}

void Engine::front_end_note(const std::vector<std::string>& lines, bool hold, LogLevel level) {
    Batch b(*this);
    // The front end's last held note gives way to its next note (a server
    // that could not start and now listens), whatever else still holds.
    drop_held_lines(frontEndHeld_);
    frontEndHeld_.clear();
    if (!hold) {
        set_activity(lines, level);
        return;
    }
    log_activity(lines, level);
    for (const std::string& line : lines) hold_line(line, false);
    frontEndHeld_ = lines;
}

}  // namespace corvell
