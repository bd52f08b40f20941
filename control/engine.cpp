// The engine's protocol and executive: the screen it shows, the start-up,
// starting each command and collecting its reply, the reply timer and the
// time-out report, the busy rules, and one pass of the executive with its
// queued commands. The states of the executive are in engine_states.cpp,
// the port in engine_port.cpp, the dialogs' answers in engine_dialogs.cpp.
#include "control/engine.h"

#include <algorithm>
#include <cmath>

#include "control/add_focuser.h"
#include "control/conversion.h"
#include "control/initialization.h"
#include "control/number_entries.h"
#include "control/port_search.h"
#include "positioning/number_format.h"
#include "storage/file_store.h"

namespace corvell {

namespace {

// How often a port that is not open is tried again.
constexpr int kReopenIntervalMs = 1500;

}  // namespace

Engine::Engine(ModuleLink& link, ReplyTimer& timer, EngineView& view, EngineOptions options)
    : link_(link),
      timer_(timer),
      view_(view),
      options_(std::move(options)),
      portSearch_(std::make_unique<PortSearch>(static_cast<PortSearchHost&>(*this))),
      init_(std::make_unique<Initialization>(static_cast<InitializationHost&>(*this))),
      setup_(std::make_unique<AddFocuser>(static_cast<AddFocuserHost&>(*this))),
      conversion_(std::make_unique<Conversion>(static_cast<ConversionHost&>(*this))),
      entries_(std::make_unique<NumberEntries>(static_cast<NumberEntriesHost&>(*this))) {}

Engine::~Engine() = default;

Engine::Batch::~Batch() {
    if (e_.depth_ == 1) e_.log_at_rest();
    if (--e_.depth_ == 0 && e_.dirty_ != 0) {
        const unsigned changed = e_.dirty_;
        e_.dirty_ = 0;
        e_.view_.render(e_.screen_, changed);
    }
}

// ---------------------------------------------------------------- screen ----

// A pending file note keeps the display: the lines wait behind it until the
// user acts.
void Engine::set_activity(std::vector<std::string> lines, LogLevel level) {
    log_activity(lines, level);
    if (!heldNote_.lines.empty()) {
        heldNote_.held = std::move(lines);
        return;
    }
    screen_.activity = std::move(lines);
    mark(kActivity);
}

void Engine::activity(const std::string& line1) { set_activity({line1}); }

void Engine::activity(const std::string& line1, const std::string& line2, LogLevel level) {
    set_activity({line1, line2}, level);
}

void Engine::set_status(std::vector<std::string> lines, LogLevel level) {
    if (screen_.status == lines) return;
    log_status(lines, level);
    screen_.status = std::move(lines);
    mark(kStatus);
}

void Engine::set_position_lines(std::vector<std::string> lines) {
    if (screen_.position == lines) return;
    screen_.position = std::move(lines);
    mark(kPosition);
}

void Engine::set_connection(const std::string& text) {
    if (screen_.connection == text) return;
    log_connection(text);
    screen_.connection = text;
    mark(kConnection);
}

void Engine::show_operate_page() {
    ++screen_.operatePage;
    mark(kOperatePage);
}

void Engine::show_question(const std::string& text, const std::string& yes, const std::string& no) {
    screen_.question.visible = true;
    screen_.question.id = ++nextDialogId_;
    screen_.question.text = text;
    screen_.question.yesCaption = yes;
    screen_.question.noCaption = no;
    sureTag = 0;
    mark(kQuestion);
    opened_for_answer();
}

// Shows or hides one thing on the screen, marking its part only when it
// really changes.
void Engine::set_shown(bool& shown, bool visible, unsigned part) {
    if (shown == visible) return;
    shown = visible;
    mark(part);
}

void Engine::show_stop_go_to(bool visible) { set_shown(screen_.stopGoToVisible, visible, kStopGoTo); }

// ------------------------------------------------------------ start-up -----

void Engine::construct() {
    Batch b(*this);
    screen_.position = {"Unknown"};
    screen_.activity = {"Initializing"};
    screen_.status = {"Unknown"};
    screen_.encoderPosition = "Unknown";
    screen_.encoderStep = " ";
    screen_.maxTravelStop = " ";
    screen_.focuserType = profile_.description;
    screen_.descriptions = profile_.descriptions;
    screen_.posText.fill(" ");
    mark(kAllParts & ~(kOperatePage | kQuestion | kEntry | kStopGoTo));
    log_activity(screen_.activity, LogLevel::Info);
    log_connection(screen_.connection);
    log_status(screen_.status, LogLevel::Info);
    // Before anything is saved: reading the configuration may already
    // write it.
    remove_leftovers();
    read_config_file();
    queuedCommand = State::Idle;
}

void Engine::ExecutiveActivate() {
    Batch b(*this);
    if (started_ || activated_) return;
    activated_ = true;
    // A parameter file of an older release is offered for conversion first;
    // the conversion runs the ordinary start-up when it is done.
    if (!options_.attended) {
        if (conversion_->pending()) {
            // Offered as soon as someone is there (a setup page opens).
            conversionLeft_ = true;
            const std::string line = std::string(kLegacyFileName) +
                                     " is not converted yet: it is offered when the window or the setup page is open";
            hold_line(line, false);
            tell_answered(UnattendedAnswer::Kind::ConversionLeft, kLegacyFileName, line);
        }
    } else if (conversion_->offer()) {
        return;
    }
    start_up_clean();
}

void Engine::start_up_clean() {
    Batch b(*this);
    started_ = true;
    setup_com_port();
    ProfileListing listing = list_profiles(config_.nextFileNumber, config_.currentFileNumber,
                                           [this](int n) { return read_profile_head(n); });
    int selected = listing.selectedRow;
    if (selected < 0 && !listing.rows.empty()) {
        selected = 0;
        config_.currentFileNumber = listing.rows[0].number;
        write_config_file();
    }
    list_rows(listing.rows, selected);
    make_file_name(config_.currentFileNumber);
    // With no focuser listed, a focuser whose number was handed out before
    // (below the next number) and whose file is gone was deleted: there is
    // none in use until one is added, and nothing of a focuser's own is
    // used, changed or written meanwhile. A first start (nothing handed out
    // yet) has the defaults in use, listed as a focuser of their own once
    // the first change saves them.
    set_no_focuser(listing.rows.empty() && config_.currentFileNumber < config_.nextFileNumber &&
                   !file_exists(data_path(currentFileName)));
    if (!screen_.noFocuser) read_focuser_file();
    update_displays();
    // setup_com_port has already asked the module to identify itself when
    // the port opened; a second identify would answer the status request
    // that follows the first. A port that did not open is retried by the
    // executive.
    if (activeCommand != State::Identify && !reconnectPending) read_identify();
}

// ------------------------------------------------------------- protocol ----

void Engine::transmit(char letter, unsigned argument, int replyLength) {
    link_.discardReceived();
    reply.reset(replyLength);
    link_.writeByte(static_cast<uint8_t>(letter));
    const CommandSpec* c = command_spec(letter);
    if (c && c->argumentBytes == 2) {
        uint8_t commandArgHigh = 0, commandArgLow = 0;
        split_argument(argument, commandArgHigh, commandArgLow);
        link_.writeByte(commandArgHigh);
        link_.writeByte(commandArgLow);
    }
    load_timer(reply_time_limit(letter, queuedCommand));
}

void Engine::send(char letter, unsigned argument) {
    activeCommand = awaiting(letter);
    if (const CommandSpec* c = command_spec(letter)) {
        reply.length = c->replyLength;
        if (c->done1) {
            doneMessage1 = c->done1;
            doneMessage2 = c->done2;
        }
    }
    send_command_with(argument);
}

// Every command leaves here. A stop written over the exchange that just
// ended is answered first: its echo is awaited instead of sending more.
void Engine::send_command_with(unsigned argument) {
    Batch b(*this);
    if (stopEchoOwed_) {
        await_stop_echo();
        return;
    }
    transmit(letter_of(activeCommand), argument, reply.length);
}

void Engine::await_stop_echo() {
    stopEchoOwed_ = false;
    activeCommand = State::StopEcho;
    doneMessage1 = stopLines_.size() > 0 ? stopLines_[0] : "Stopped";
    doneMessage2 = stopLines_.size() > 1 ? stopLines_[1] : "Waiting for command";
    reply.reset(1);
    load_timer(kPollIntervalMs);
    // The echo may be waiting already.
    take_waiting_bytes();
}

void Engine::load_timer(int ms) {
    timer_.load(ms);
    timerExpired = false;
}

void Engine::SerialTimerTimer() { timerExpired = true; }

void Engine::ComPortDataAvailable() {
    Batch b(*this);
    // The receive thread also reports a device that went away.
    if (portOpen_ && !link_.connected()) {
        port_gone();
        return;
    }
    take_waiting_bytes();
}

void Engine::take_waiting_bytes() {
    // Only what the reply still lacks is taken; anything beyond it stays in
    // the port's queue until the next command discards it.
    uint8_t scratch[3];
    const int want = std::clamp(reply.length - reply.count, 0, 3);
    if (want == 0) return;
    const int n = link_.read(scratch, want);
    if (n > 0) reply.store(scratch, std::min(n, want));
}

void Engine::serial_timeout() {
    Batch b(*this);
    timerExpired = false;
    stopEndsMotion_ = false;
    stopEchoOwed_ = false;
    communicating_ = false;
    moving_ = continuousMove_ = false;
    goToTargetAhead_ = false;
    move_not_made(time_out_reason());
    set_status({"Serial Communications Timeout", "Check Corvell connections"}, LogLevel::Error);
    set_connection("Not communicating");
    if (activeCommand == State::MaxTravelEcho) travel_not_sent("the focuser did not answer");
    // Motion asked for before the module fell silent must not start by
    // itself when it answers again, perhaps minutes later.
    const std::string dropped = drop_queued_motion();
    read_identify();
    if (!dropped.empty()) activity("Waiting for focuser response", dropped, LogLevel::Warning);
}

void Engine::read_identify() {
    Batch b(*this);
    identifyDue_ = false;
    activity("Waiting for focuser response");
    send(cmd::kIdentify);
}

void Engine::read_status() { send(cmd::kStatus); }

void Engine::read_position() { send(cmd::kPosition); }

bool Engine::dialog_state() const {
    switch (activeCommand) {
    case State::Confirm:
    case State::StoreConfirm:
    case State::RestoreConfirm:
    case State::DeleteConfirm:
    case State::GoToEntry:
    case State::EncoderEntry:
    case State::MaxTravelEntry:
    case State::TravelDistanceEntry:
    case State::DialogHeld:
    case State::DeleteFocuser: return true;
    default: return false;
    }
}

bool Engine::motion_in_progress() const {
    return activeCommand == State::GoToEcho || activeCommand == State::HomeEcho || activeCommand == State::Completion ||
           activeCommand == State::BacklashLeg || queuedCommand == State::BacklashLeg || legs.next != Leg::None;
}

// Stop acts at once in every state: the stop goes out on the line now. An
// exchange already on the line ends first and the stop's echo follows it;
// a go-to or homing ends with it; nothing the user asked for before it is
// sent after it.
void Engine::stop_command() {
    Batch b(*this);
    user_acts();
    const bool legsPending = queuedCommand == State::BacklashLeg || legs.next != Leg::None;
    drop_queued_motion("Stop was pressed");
    if (lastMove_.fate == MoveRecord::Fate::Running) lastMove_.fate = MoveRecord::Fate::Halted;
    if (!link_.connected()) {
        activity("The port is not open", "Stop not sent", LogLevel::Warning);
        return;
    }
    stopLines_ = {"Stopped", "Waiting for command"};
    const State a = activeCommand;
    if (a == State::GoToEcho || a == State::HomeEcho || a == State::Completion) {
        terminate_motion();
        return;
    }
    if (a == State::Idle) {
        if (legsPending) {
            // Between the legs of a stored go-to: the next leg is not sent.
            stopLines_ = {"Command terminated by user", "Waiting for command"};
        }
        activity("Waiting");
        send(cmd::kStop);
        doneMessage1 = stopLines_[0];
        return;
    }
    link_.writeByte(static_cast<uint8_t>(cmd::kStop));
    if (a == State::Reinit) {
        // The settings write on the line may finish; no homing follows.
        init_->stop();
        stopEchoOwed_ = true;
        activity("Waiting");
        return;
    }
    if (is_read(a) || is_simple_echo(a)) {
        stopEchoOwed_ = true;
        activity("Waiting");
        return;
    }
    // A question, an entry or the port search holds the executive: the
    // motor stops now, and the echo is dropped with the next command.
    activity("Stopped", "Waiting for command");
}

// A motion the user asked for acts now, after the exchange on the line, or
// is refused with a line saying why.
void Engine::move_command(Action action, char letter) {
    Batch b(*this);
    user_acts();
    if (refuse(action)) return;
    if (activeCommand != State::Idle) {
        queue_command(awaiting(letter), action);
        return;
    }
    activity("Waiting");
    send(letter);
}

void Engine::queue_command(State state, Action action, long argument) {
    queuedCommand = state;
    queuedAction_ = action;
    queuedStep_ = false;
    queuedArgument_ = argument;
}

void Engine::move_in_command() { move_command(Action::MoveIn, cmd::kMoveIn); }

void Engine::move_out_command() { move_command(Action::MoveOut, cmd::kMoveOut); }

void Engine::home_position_command() {
    Batch b(*this);
    moving_ = true;
    set_status({});
    set_position_lines({});
    send(cmd::kHome);
}

void Engine::send_zero_command() {
    Batch b(*this);
    activity("Waiting");
    send(cmd::kZero);
}

void Engine::set_zero_command() {
    Batch b(*this);
    user_acts();
    if (refuse(Action::SetZero)) return;
    followUpCommand = State::ZeroEcho;
    activeCommand = State::Confirm;
    confirmAnswer = 0;
    doneMessage1 = "Position register set to zero";
    doneMessage2 = "Waiting for command";
    show_question("Are you sure you want to zero the position value?");
}

void Engine::go_to_command() {
    Batch b(*this);
    user_acts();
    if (refuse(Action::GoTo)) return;
    doneMessage1 = "Go To command in progress";
    doneMessage2 = "Please wait";
    open_entry(State::GoToEntry, "Enter Focuser Go To Position", "\nEnter the desired focuser position.",
               format_fixed(length_of_counts(currentPosition, profile_.inchesPerCount, unit()), 5, 3),
               unit_name(unit()));
}

void Engine::go_to_position_command(long target, Action by) {
    Batch b(*this);
    goToBy_ = by;
    goToTarget_ = target;
    goToTargetAhead_ = true;
    followUpCommand = State::GoToEcho;
    moving_ = true;
    send(cmd::kGoTo, static_cast<unsigned>(target));
    if (activeCommand != State::GoToEcho) return;  // a stop's echo came first
    set_status({});
    set_position_lines({});
    show_stop_go_to(true);
}

bool Engine::already_at(long target) const {
    return positionKnown && target == static_cast<long>(currentPosition) && !moving_ && queuedCommand == State::Idle;
}

void Engine::start_go_to(long target, Action action) {
    if (already_at(target)) return;
    moving_ = true;
    if (activeCommand != State::Idle) {
        queue_command(State::GoToEcho, action, target);
        return;
    }
    go_to_position_command(target, action);
}

// -------------------------------------------------------------- refusals ----

Situations Engine::situations() const {
    Situations s = 0;
    auto add = [&s](Situation x) { s |= situation_bit(x); };
    const State a = activeCommand;
    if (a == State::AutoDetect || screen_.autoDetect.visible) add(Situation::AutoDetect);
    if (a == State::Reinit) add(Situation::InitSettings);
    const bool homing = a == State::HomeEcho || (a == State::Completion && followUpCommand != State::GoToEcho);
    if (homing) add(followUpCommand == State::Reinit ? Situation::InitHoming : Situation::Homing);
    const bool goToRuns = a == State::GoToEcho || (a == State::Completion && followUpCommand == State::GoToEcho);
    const bool stepRuns = goToRuns && (goToBy_ == Action::StepIn || goToBy_ == Action::StepOut);
    if ((goToRuns && !stepRuns) || a == State::BacklashLeg || queuedCommand == State::BacklashLeg ||
        legs.next != Leg::None)
        add(Situation::GoTo);
    if (stepRuns) add(Situation::StepGoTo);
    if (setup_->running() || a == State::Wizard || queuedCommand == State::Wizard) add(Situation::Setup);
    if (screen_.question.visible) add(Situation::Question);
    if (screen_.entry.visible || screen_.textEntry.visible) add(Situation::Entry);
    if (is_simple_echo(a) || stopEchoOwed_) add(Situation::Command);
    if (queuedCommand == State::GoToEcho && queuedStep_)
        add(Situation::QueuedStep);
    else if (queuedCommand != State::Idle && queuedCommand != State::Wizard)  // the setup's own reads: Setup
        add(Situation::Queued);
    // A question answered, an empty slot stored, or a conversion step,
    // waits for the pass that carries it out.
    if ((dialog_state() || a == State::Conversion) && !screen_.question.visible && !screen_.entry.visible &&
        !screen_.textEntry.visible)
        add(Situation::Queued);
    if (screen_.noFocuser) add(Situation::NoFocuser);
    if (screen_.focuserRow < 0) add(Situation::NoRow);
    if (!link_.connected() || !communicating_) add(Situation::NotCommunicating);
    if (screen_.descriptionOpen >= 0) add(Situation::Description);
    if (is_read(a)) add(Situation::Poll);
    return s;
}

// A refusal stays in Activity until the user's next action: the lines of
// whatever runs meanwhile wait behind it.
bool Engine::refuse(Action action) {
    const std::optional<Situation> cause = refusing_situation(situations(), action);
    if (!cause) return false;
    show_refusal(situation_reason(*cause), action, *cause);
    return true;
}

namespace {
// The page of the control that asks for an action.
RefusalScreen::Place place_of(Action a) {
    using Place = RefusalScreen::Place;
    switch (a) {
    case Action::MoveIn:
    case Action::MoveOut:
    case Action::StepIn:
    case Action::StepOut:
    case Action::GoTo:
    case Action::BacklashSwitch:
    case Action::BacklashDistance: return Place::Operate;
    case Action::StoredGoTo:
    case Action::Store:
    case Action::Delete: return Place::StoredPositions;
    case Action::MoveTo:
    case Action::Sync:
    case Action::WriteMaxTravel:
    case Action::InitializeNow:
    case Action::Count: return Place::None;
    default: return Place::Configure;
    }
}

// Situations that end within the exchange on the line: a refusal they gave
// would be gone before it could be read.
bool passes_at_once(Situation s) {
    return s == Situation::Command || s == Situation::QueuedStep || s == Situation::Queued || s == Situation::Poll;
}
}  // namespace

void Engine::show_refusal(const std::string& reason, Action action, Situation cause) {
    show_refusal_lines(place_of(action), {reason, refused_line(action)}, cause);
}

void Engine::show_refusal_lines(RefusalScreen::Place place, const std::vector<std::string>& lines, Situation cause) {
    // Only this refusal: an older one has been seen by now.
    user_acts();
    for (const std::string& line : lines) hold_note(line);
    screen_.refusal.place = place;
    screen_.refusal.lines = lines;
    refusalCause_ = cause;
    mark(kRefusal);
}

void Engine::end_refusal_when_over() {
    if (screen_.refusal.lines.empty() || refusalCause_ == Situation::Count || passes_at_once(refusalCause_)) return;
    if (situations() & situation_bit(refusalCause_)) return;
    drop_held_lines(screen_.refusal.lines);
    screen_.refusal = RefusalScreen{};
    refusalCause_ = Situation::Count;
    mark(kRefusal);
}

bool Engine::refuse_without_module(Action action) {
    if (link_.connected() && communicating_) return false;
    show_refusal(situation_reason(Situation::NotCommunicating), action, Situation::NotCommunicating);
    return true;
}

void Engine::drop_legs() {
    if (legs.next != Leg::None || clippedOvershoot) show_stop_go_to(false);
    legs = BacklashLegs{};
    clippedOvershoot = false;
}

std::string Engine::drop_queued_motion(const std::string& travelWhy) {
    std::string line;
    if (queuedCommand == State::MaxTravelEcho) {
        queuedCommand = State::Idle;
        travel_not_sent(travelWhy);
    } else if (is_user_request(queuedCommand)) {
        if (queuedAction_ != Action::Count) line = refused_line(queuedAction_);
        queuedCommand = State::Idle;
    }
    queuedAction_ = Action::Count;
    queuedStep_ = false;
    drop_legs();
    return line;
}

// ------------------------------------------------------------- executive ----

void Engine::executiveIdle() {
    // A pass never starts another pass (a view may pump events while it
    // shows a dialog).
    if (inPass_) return;
    inPass_ = true;
    Batch b(*this);
    if (!options_.attended) answer_for_nobody();
    if (options_.attended && conversionLeft_ && idle() && !dialog_state()) offer_left_conversion();
    const State active = activeCommand, queued = queuedCommand;
    const int step = sequenceCounter;

    // A write that found the device gone.
    if (portOpen_ && !link_.connected()) port_gone();

    // The chosen port is tried again at each expiry, whatever runs.
    if (reconnectPending && timerExpired && activeCommand != State::AutoDetect) {
        timerExpired = false;
        if (reopen_port()) {
            reconnectPending = false;
            // A question or entry holds the executive: the module is asked
            // as soon as it closes.
            if (activeCommand == State::Idle)
                read_identify();
            else
                identifyDue_ = true;
        } else {
            load_timer(kReopenIntervalMs);
        }
    }

    if (activeCommand == State::Idle) {
        if (stopEchoOwed_)
            await_stop_echo();
        else if (identifyDue_ && link_.connected()) {
            identifyDue_ = false;
            read_identify();
        } else if (queuedCommand != State::Idle)
            dispatch_queued();
        else if (timerExpired) {
            if (!link_.connected())
                reconnectPending = true;  // tried again at the next expiry
            else if (!communicating_)
                read_identify();
            else
                read_position();
        }
    } else if (is_lettered(activeCommand)) {
        switch (activeCommand) {
        case State::Confirm: on_confirmation(); break;
        case State::Identify: on_identify_reply(); break;
        case State::Completion: on_completion(); break;
        case State::GoToEcho: on_go_to_echo(); break;
        case State::HomeEcho: on_home_echo(); break;
        case State::MoveInEcho:
        case State::MoveOutEcho:
        case State::StopEcho:
        case State::MaxTravelEcho:
        case State::ZeroEcho: on_simple_echo(); break;
        case State::StoreConfirm: on_store_answered(); break;
        case State::RestoreConfirm: on_restore_answered(); break;
        case State::DeleteConfirm: on_delete_stored_answered(); break;
        case State::PositionReply: on_position_reply(); break;
        case State::StatusReply: on_status_reply(); break;
        case State::BacklashLeg: on_backlash_leg(); break;
        case State::GoToEntry: on_go_to_entry_closed(); break;
        case State::AutoDetect: auto_detect(); break;
        case State::Reinit: reinit_focuser_handler(); break;
        case State::Wizard: add_focuser(); break;
        case State::Conversion: convert_old_format(); break;
        case State::EncoderEntry:
        case State::MaxTravelEntry:
        case State::TravelDistanceEntry:
            if (entryTag == 1) {
                entryTag = 0;
                entryState_ = State::Idle;
                entries_->apply(activeCommand);
            }
            break;
        default: break;  // held by a dialog, or a sequence not built here
        }
    }
    end_refusal_when_over();
    inPass_ = false;
    // Passes follow events; a pass that moved the state on may have left
    // work for the next one (a queued command, the next step of a
    // sequence). A pass that changed nothing asks for nothing, so a module
    // that stays silent or answers garbage cannot keep the program busy.
    const bool progressed = activeCommand != active || queuedCommand != queued || sequenceCounter != step;
    if (progressed) {
        if (++chainedPasses_ <= kMaxChainedPasses) view_.requestPass();
    } else {
        chainedPasses_ = 0;
    }
}

void Engine::dispatch_queued() {
    struct Queued {
        State state;
        void (Engine::*run)();
    };
    static const Queued table[] = {
        {State::HomeEcho, &Engine::home_position_command},
        {State::MoveInEcho, &Engine::move_in_command},
        {State::MoveOutEcho, &Engine::move_out_command},
        {State::StopEcho, &Engine::stop_command},
        {State::ZeroEcho, &Engine::send_zero_command},
        {State::DeleteFocuser, &Engine::delete_file_command},
        {State::BacklashLeg, &Engine::enter_backlash_leg},
        {State::AutoDetect, &Engine::begin_auto_detect},
        {State::Reinit, &Engine::begin_reinit},
        {State::Conversion, &Engine::enter_conversion},
        {State::Wizard, &Engine::enter_wizard},
    };
    const State queued = queuedCommand;
    const Action action = queuedAction_;
    queuedCommand = State::Idle;
    queuedAction_ = Action::Count;
    queuedStep_ = false;
    // The commands that carry a value.
    if (queued == State::GoToEcho) {
        go_to_position_command(queuedArgument_, action == Action::Count ? Action::GoTo : action);
        return;
    }
    if (queued == State::MaxTravelEcho) {
        write_max_travel(queuedArgument_);
        return;
    }
    // A move the user asked for goes out now: it was allowed when clicked.
    if (queued == State::MoveInEcho || queued == State::MoveOutEcho) {
        activity("Waiting");
        send(letter_of(queued));
        return;
    }
    for (const Queued& q : table) {
        if (q.state == queued) {
            (this->*q.run)();
            return;
        }
    }
    // Letters of sequences not built here are dropped.
}

}  // namespace corvell
