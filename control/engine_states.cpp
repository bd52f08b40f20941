// The executive's states: for each letter the engine can wait in, what a
// reply, a time-out or a closed dialog does.
#include "control/engine.h"
#include "control/letters.h"
#include "control/protocol.h"
#include "positioning/number_format.h"

namespace corvell {

bool Engine::take_reply(bool operateOnTimeout) {
    if (timerExpired) {
        if (operateOnTimeout) show_operate_page();
        serial_timeout();
        return false;
    }
    if (!reply.ready) return false;
    reply.ready = false;
    load_timer(kPollIntervalMs);
    return true;
}

Engine::Echo Engine::echo_of(uint8_t expected) const {
    const uint8_t byte = reply.buffer[0];
    if (byte == expected) return Echo::Match;
    return byte == answer::kRejected ? Echo::Rejected : Echo::Wrong;
}

void Engine::show_echo_failure(Echo e) {
    activity(e == Echo::Rejected ? "Command error" : "Focuser response error", "Waiting for command",
             LogLevel::Warning);
}

// Set-zero (and other) confirmation.
void Engine::on_confirmation() {
    if (sureTag != 1) return;
    activeCommand = State::Idle;
    if (followUpCommand == State::Conversion) {
        // The conversion goes on whatever the answer: "no" removes the file.
        queuedCommand = State::Conversion;
        return;
    }
    if (confirmAnswer == 1) {
        if (followUpCommand == State::ZeroEcho && refuse_without_module(Action::SetZero)) return;
        if (followUpCommand == State::Reinit && refuse_without_module(Action::Initialize)) return;
        if (followUpCommand == State::BacklashLeg && refuse_without_module(Action::StoredGoTo)) {
            drop_legs();
            return;
        }
        queuedCommand = followUpCommand;
        activity("Waiting");
    } else if (followUpCommand == State::BacklashLeg) {
        drop_legs();  // the clipped overshoot was declined: nothing moves
    } else if (followUpCommand == State::DeleteFocuser && deleteForGood_) {
        deleteForGood_ = false;
        activity("Focuser not deleted: " + currentFileName + " is kept", "Waiting for command", LogLevel::Warning);
    }
}

// Identify.
void Engine::on_identify_reply() {
    if (timerExpired) {
        if (queuedCommand == State::Wizard) {
            // The add-focuser setup's probe: no module answered.
            timerExpired = false;
            sequenceCounter = 100;
            activeCommand = State::Wizard;
        } else {
            move_not_made(time_out_reason());
            const std::string dropped = drop_queued_motion();
            set_connection("Not communicating");
            read_identify();
            if (!dropped.empty()) activity("Waiting for focuser response", dropped, LogLevel::Warning);
        }
        return;
    }
    if (!reply.ready) return;
    reply.ready = false;
    if (reply.buffer[0] == cmd::kIdentify && reply.buffer[1] == answer::kIdentified) {
        communicating_ = true;
        activity("Focuser responding", "Waiting for command");
        set_connection("Communicating");
        if (queuedCommand == State::Wizard) {
            ++sequenceCounter;
            activeCommand = State::Wizard;
        } else if (travelUnsent_) {
            // What the profile holds reaches the module; the status read
            // follows its echo.
            travelUnsent_ = false;
            drop_held_lines(travelNote_);
            travelNote_.clear();
            write_max_travel(profile_.maxTravel);
        } else {
            read_status();
        }
    }
    // Any other answer (a module at another line speed answers garbage) is
    // not an identify: the request goes out again when the poll interval
    // has passed, as after a time-out, never at once.
}

// Completion byte of a go-to or homing.
void Engine::on_completion() {
    if (timerExpired) {
        show_operate_page();
        show_stop_go_to(false);
        show_stop_init(false);
        serial_timeout();
        return;
    }
    if (!reply.ready) return;
    reply.ready = false;
    activeCommand = State::Idle;
    show_stop_init(false);
    if (queuedCommand != State::BacklashLeg) show_stop_go_to(false);
    set_activity({});
    const Echo e = echo_of(answer::kCompletion);
    if (e != Echo::Match) {
        show_echo_failure(e);
        show_operate_page();
        end_failed_go_to(e);
    } else if (followUpCommand == State::GoToEcho) {
        // A corrected move is made when its last leg has arrived.
        if (lastMove_.fate == MoveRecord::Fate::Running && queuedCommand != State::BacklashLeg)
            lastMove_.fate = MoveRecord::Fate::Made;
        activity("Go To completed", "Waiting for command");
    } else if (followUpCommand == State::Reinit) {
        activity("Initialization completed", "Waiting for command");
    }
    read_status();
}

// A go-to the module refused or answered wrongly: where the focuser stands
// is read anew, and nothing that waited for the go-to (the next leg of a
// stored go-to, further steps) follows it.
void Engine::end_failed_go_to(Echo e) {
    move_not_made(e == Echo::Rejected
                      ? "the control module refused the Go To (Command error)"
                      : "the control module's answer to the Go To was garbled (Focuser response error)");
    goToTargetAhead_ = false;
    const std::string dropped = drop_queued_motion("the go-to before it failed");
    if (queuedCommand == State::BacklashLeg) queuedCommand = State::Idle;
    if (!dropped.empty()) {
        std::vector<std::string> lines = screen_.activity;
        lines.push_back(dropped);
        set_activity(lines, LogLevel::Warning);
    }
}

// A user stop while a go-to or homing runs: the stop command is sent at
// once and the motion ends. The module echoes the stop; the echo is
// awaited like any other, so that it cannot be taken for the position
// reply that follows. The go-to's echo and its completion byte may still
// come ahead of it.
void Engine::terminate_motion() {
    stopEchoOwed_ = false;
    goToTargetAhead_ = false;
    queuedCommand = State::Idle;
    drop_legs();
    show_stop_go_to(false);
    show_stop_init(false);
    stopEndsMotion_ = true;
    send(cmd::kStop);
    doneMessage1 = "Command terminated by user";
    doneMessage2 = "Waiting for command";
    activity(doneMessage1, doneMessage2);
}

// Echo of a go-to or homing: on success the completion byte is awaited for
// the given time; otherwise the operation ends with the status read.
void Engine::motion_echo(int completionLimitMs) {
    const bool goTo = activeCommand == State::GoToEcho;
    if (timerExpired && goTo) show_stop_go_to(false);
    // A homing that fails to start ends the initialization's dialog too.
    if (timerExpired && !goTo) show_stop_init(false);
    if (!take_reply(true)) return;
    set_activity({});
    const Echo e = echo_of(static_cast<uint8_t>(activeCommand));
    if (e == Echo::Match) {
        activity(doneMessage1, doneMessage2);
        activeCommand = State::Completion;
        reply.reset(1);
        load_timer(completionLimitMs);
        if (!goTo) show_reinit_text(false);
        // A completion that came with the echo is already waiting.
        take_waiting_bytes();
        return;
    }
    show_echo_failure(e);
    if (!goTo) show_stop_init(false);
    if (goTo) {
        show_stop_go_to(false);
        end_failed_go_to(e);
    }
    show_operate_page();
    read_status();
}

void Engine::on_go_to_echo() { motion_echo(goToTimeLimit); }
void Engine::on_home_echo() { motion_echo(kHomingLimitMs); }

// Echo of 'i', 'o', 's', 'w' or 'z'.
void Engine::on_simple_echo() {
    if (activeCommand == State::StopEcho && stopEndsMotion_ && reply.ready) {
        const uint8_t first = reply.buffer[0];
        if (first == answer::kCompletion || first == cmd::kGoTo || first == cmd::kHome) {
            // The motion's echo or its completion byte came ahead of the
            // stop's echo: passed over, the stop's echo follows.
            reply.reset(1);
            take_waiting_bytes();
            return;
        }
    }
    if (!take_reply(true)) return;
    stopEndsMotion_ = false;
    set_activity({});
    const Echo e = echo_of(static_cast<uint8_t>(activeCommand));
    if (e == Echo::Match) {
        activity(doneMessage1, doneMessage2);
        if (activeCommand == State::MoveInEcho || activeCommand == State::MoveOutEcho) moving_ = continuousMove_ = true;
        if (activeCommand == State::StopEcho) continuousMove_ = false;
    } else {
        show_echo_failure(e);
        show_operate_page();
        if (activeCommand == State::MaxTravelEcho) travel_not_sent("the focuser did not take it");
    }
    read_status();
}

// Store confirmation.
void Engine::on_store_answered() {
    if (sureTag != 1) return;
    activeCommand = State::Idle;
    const int i = selectedSlot - 1;
    if (!confirmAnswer || i < 0 || i >= kStoredSlots) {
        descriptionEditing = false;
        return;
    }
    if (!positionKnown) {
        // The module went away while the question was open.
        descriptionEditing = false;
        activity("The focuser position is not known", refused_line(Action::Store), LogLevel::Warning);
        return;
    }
    if (profile_.positions[i] < 0) profile_.descriptions[i] = "Enter a description";
    profile_.positions[i] = static_cast<long>(currentPosition);
    screen_.descriptions[i] = profile_.descriptions[i];
    screen_.descriptionOpen = i;
    ++screen_.descriptionFocus;
    mark(kStoredSlotsPart);
    display_stored_position();
    if (lastDirection)
        profile_.directionFlags |= (1u << i);
    else
        profile_.directionFlags &= ~(1u << i);
    write_focuser_file();
}

// Restore-defaults confirmation.
void Engine::on_restore_answered() {
    if (sureTag != 1) return;
    activeCommand = State::Idle;
    if (confirmAnswer) restore_config_defaults();
}

// Delete confirmation.
void Engine::on_delete_stored_answered() {
    if (sureTag != 1) return;
    activeCommand = State::Idle;
    const int i = selectedSlot - 1;
    if (confirmAnswer != 1 || i < 0 || i >= kStoredSlots) return;
    profile_.positions[i] = -1;
    profile_.descriptions[i] = " ";
    screen_.posText[i] = " ";
    screen_.slotStored[i] = false;
    screen_.descriptions[i] = " ";
    if (screen_.descriptionOpen == i) {
        screen_.descriptionOpen = -1;
        descriptionEditing = false;
    }
    mark(kStoredSlotsPart);
    write_focuser_file();
}

// Position reply.
void Engine::on_position_reply() {
    if (!take_reply(false)) return;
    if (reply.buffer[0] == cmd::kPosition) {
        const unsigned pos = position_from_reply(reply.buffer);
        currentPosition = pos;
        const std::string count = format_fixed(pos, 5, 0);
        if (screen_.encoderPosition != count) {
            screen_.encoderPosition = count;
            mark(kEncoderPosition);
        }
        // A continuous move has ended when two reads in a row agree.
        if (continuousMove_ && positionKnown && pos == previousPosition) continuousMove_ = false;
        positionKnown = true;
        positionRead_ = true;
        const long diff = static_cast<long>(pos) - static_cast<long>(previousPosition);
        if (diff > 1 || diff < -1) lastDirection = pos < previousPosition;
        previousPosition = pos;
        show_position();
    } else {
        set_position_lines({"ERROR"});
    }
    activeCommand = State::Idle;
    if (!motion_in_progress()) goToTargetAhead_ = false;
    // A motion has ended once this read follows it and nothing more of it
    // is to come.
    if (moving_ && !continuousMove_ && !motion_in_progress() && !stopEchoOwed_ && queuedCommand == State::Idle)
        moving_ = false;
    // Nothing runs: the next read comes after the idle poll. A continuous
    // move keeps the program's own interval, which its end (two reads in a
    // row that agree) is measured by.
    if (!moving_ && queuedCommand == State::Idle && idlePollMs_ != kPollIntervalMs) load_timer(idlePollMs_);
}

// Status reply.
void Engine::on_status_reply() {
    if (!take_reply(true)) return;
    if (reply.buffer[0] == cmd::kStatus)
        set_status(status_lines(reply.buffer[1]), status_level(reply.buffer[1]));
    else
        show_echo_failure(Echo::Wrong);
    read_position();
}

// A leg of a stored go-to.
void Engine::on_backlash_leg() {
    activeCommand = State::Idle;
    queuedCommand = State::Idle;
    const BacklashLegs l = legs;
    switch (l.next) {
    case Leg::First:
        // The stored go-to waited for the line to become free.
        if (l.twoLegs) {
            legs.next = Leg::Final;
            queuedCommand = State::BacklashLeg;
        } else {
            legs = BacklashLegs{};
        }
        go_to_position_command(l.first);
        break;
    case Leg::AfterWarning:
        // The user accepted the overshoot cut short by a travel stop: go to
        // it, and the final leg follows once it completes.
        if (confirmAnswer) {
            legs.next = Leg::Final;
            queuedCommand = State::BacklashLeg;
            go_to_position_command(l.first);
        } else {
            drop_legs();
        }
        break;
    case Leg::Final:
        legs = BacklashLegs{};
        clippedOvershoot = false;
        go_to_position_command(l.final);
        break;
    case Leg::None: break;
    }
}

// Go-to entry.
void Engine::on_go_to_entry_closed() {
    if (entryTag != 1) return;
    activeCommand = State::Idle;
    entryState_ = State::Idle;
    if (!entryOk || already_at(enteredCount)) return;
    if (refuse_without_module(Action::GoTo)) return;
    start_go_to(enteredCount, Action::GoTo);
}

}  // namespace corvell
