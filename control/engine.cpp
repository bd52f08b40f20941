// The engine's protocol and executive: starting each command, collecting
// replies, the reply timer, the time-out report, the port set-up, dialog
// answers, and one pass of the executive.
#include "control/engine.h"

#include <algorithm>

#include "positioning/number_format.h"

namespace corvell {

namespace {

// How often a port that is not open is tried again.
constexpr int kReopenIntervalMs = 1500;

bool is_motion_letter(char c) {
    return c == 'g' || c == 'h' || c == 'i' || c == 'o' || c == 'z' || c == 'q';
}

}  // namespace

Engine::Engine(ModuleLink& link, ReplyTimer& timer, EngineView& view, EngineOptions options)
    : link_(link), timer_(timer), view_(view), options_(std::move(options)) {}

Engine::Batch::~Batch() {
    if (--e_.depth_ == 0 && e_.dirty_ != 0) {
        const unsigned changed = e_.dirty_;
        e_.dirty_ = 0;
        e_.view_.render(e_.screen_, changed);
    }
}

// ---------------------------------------------------------------- screen ----

// A pending file note keeps the display: the lines wait behind it until the
// user acts.
void Engine::set_activity(std::vector<std::string> lines) {
    if (!fileNote_.lines.empty()) {
        fileNote_.held = std::move(lines);
        return;
    }
    screen_.activity = std::move(lines);
    mark(kActivity);
}

void Engine::activity(const std::string& line1) { set_activity({line1}); }

void Engine::activity(const std::string& line1, const std::string& line2) { set_activity({line1, line2}); }

void Engine::set_status(std::vector<std::string> lines) {
    if (screen_.status == lines) return;
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
    screen_.connection = text;
    mark(kConnection);
}

void Engine::show_operate_page() {
    ++screen_.operatePage;
    mark(kOperatePage);
}

void Engine::show_question(const std::string& text) {
    screen_.question.visible = true;
    screen_.question.id = ++nextDialogId_;
    screen_.question.text = text;
    sureTag = 0;
    mark(kQuestion);
}

void Engine::show_stop_go_to(bool visible) {
    if (screen_.stopGoToVisible == visible) return;
    screen_.stopGoToVisible = visible;
    mark(kStopGoTo);
}

// ------------------------------------------------------------ start-up -----

void Engine::construct() {
    Batch b(*this);
    screen_.position = {"Unknown"};
    screen_.activity = {"Initializing"};
    screen_.status = {"Unknown"};
    screen_.encoderPosition = "Unknown";
    screen_.encoderStep = " ";
    screen_.maxTravelStop = " ";
    screen_.focuserType = profile.description;
    screen_.descriptions = profile.descriptions;
    screen_.posText.fill(" ");
    mark(kAllParts & ~(kOperatePage | kQuestion | kEntry | kStopGoTo));
    // Before anything is saved: reading the configuration may already
    // write it.
    remove_leftovers();
    read_config_file();
    queuedCommand = 0;
}

void Engine::ExecutiveActivate() {
    Batch b(*this);
    if (started) return;
    // A parameter file of an older release is converted by its own sequence;
    // until that exists the ordinary start-up runs.
    start_up_clean();
}

void Engine::start_up_clean() {
    Batch b(*this);
    started = true;
    setup_com_port();
    ProfileListing listing = list_profiles(config.nextFileNumber, config.currentFileNumber,
                                           [this](int n) { return read_profile_head(n); });
    int selected = listing.selectedRow;
    if (selected < 0 && !listing.rows.empty()) {
        selected = 0;
        config.currentFileNumber = listing.rows[0].number;
        write_config_file();
    }
    list_rows(listing.rows, selected);
    make_file_name(config.currentFileNumber);
    read_focuser_file();
    update_displays();
    // setup_com_port has already asked the module to identify itself when
    // the port opened; a second identify would answer the status request
    // that follows the first. A port that did not open is retried by the
    // executive.
    if (activeCommand != 'b' && !reconnectPending) read_identify();
}

// ------------------------------------------------------------- protocol ----

void Engine::send_command() {
    Batch b(*this);
    link_.purge(kPurgeRxClear);
    reply.reset(reply.length);
    link_.writeByte(static_cast<uint8_t>(activeCommand));
    load_timer(reply_time_limit(activeCommand, queuedCommand));
}

void Engine::load_timer(int ms) {
    timer_.load(ms);
    timerExpired = false;
}

void Engine::SerialTimerTimer() { timerExpired = true; }

void Engine::ComPortDataAvailable() {
    // Only what the reply still lacks is taken; anything beyond it stays in
    // the port's queue until the next command purges it.
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
    set_status({"Serial Communications Timeout", "Check Corvell connections"});
    set_connection("Not communicating");
    // Motion asked for before the module fell silent must not start by
    // itself when it answers again, perhaps minutes later.
    drop_queued_motion();
    read_identify();
}

void Engine::read_identify() {
    Batch b(*this);
    activeCommand = 'b';
    reply.length = 2;
    activity("Waiting for focuser response");
    send_command();
}

void Engine::read_status() {
    Batch b(*this);
    activeCommand = 't';
    reply.length = 2;
    send_command();
}

void Engine::read_position() {
    Batch b(*this);
    activeCommand = 'p';
    reply.length = 3;
    send_command();
}

bool Engine::dialog_state() const {
    switch (activeCommand) {
    case 'a': case 'm': case 'n': case 'x': case 'v': case 'd': case 'e': case 'l': case 'f': case 'r':
        return true;
    default:
        return false;
    }
}

bool Engine::motion_in_progress() const {
    return activeCommand == 'g' || activeCommand == 'h' || activeCommand == 'c' || activeCommand == 'q' ||
           queuedCommand == 'q' || legs.next != Leg::None;
}

void Engine::stop_command() {
    Batch b(*this);
    user_acts();
    if (motion_in_progress()) {
        // A go-to or homing (or a stored go-to between its legs) is stopped
        // the way its stop dialog stops it.
        stop_go_to_pressed();
        return;
    }
    if (dialog_state()) {
        // The line is free while a question is open: stop the motor now
        // rather than after the answer. Its echo is dropped by the purge of
        // the next command.
        link_.purge(kPurgeRxClear);
        link_.writeByte('s');
        activity("Stopped", "Waiting for command");
        return;
    }
    simple_command('s', "Stopped");
}

// Stop, Move In and Move Out: sent now when the line is free, else queued
// behind the exchange in progress (a queued letter the user asked for
// replaces the second leg of a stored go-to).
void Engine::simple_command(char letter, const char* done) {
    if (activeCommand != 0) {
        if (queuedCommand == 'q') drop_legs();
        queuedCommand = letter;
        return;
    }
    activeCommand = letter;
    doneMessage1 = done;
    doneMessage2 = "Waiting for command";
    reply.length = 1;
    activity("Waiting");
    send_command();
}

void Engine::move_in_command() {
    Batch b(*this);
    user_acts();
    simple_command('i', "Moving In");
}

void Engine::move_out_command() {
    Batch b(*this);
    user_acts();
    simple_command('o', "Moving Out");
}

void Engine::home_position_command() {
    Batch b(*this);
    activeCommand = 'h';
    reply.length = 1;
    doneMessage1 = "Focuser initialization in progress";
    doneMessage2 = "Please wait";
    set_status({});
    set_position_lines({});
    stopRequested = false;
    send_command();
}

void Engine::send_zero_command() {
    Batch b(*this);
    activeCommand = 'z';
    reply.length = 1;
    activity("Waiting");
    send_command();
}

void Engine::set_zero_command() {
    Batch b(*this);
    user_acts();
    if (!may_start("Set Zero")) return;
    followUpCommand = 'z';
    activeCommand = 'a';
    confirmAnswer = 0;
    doneMessage1 = "Position register set to zero";
    doneMessage2 = "Waiting for command";
    show_question("Are you sure you want to zero the position value?");
}

void Engine::go_to_command() {
    Batch b(*this);
    user_acts();
    if (!may_start("Go To")) return;
    activeCommand = 'v';
    entryState_ = 'v';
    doneMessage1 = "Go To command in progress";
    doneMessage2 = "Please wait";
    EntryScreen& e = screen_.entry;
    e.visible = true;
    e.id = ++nextDialogId_;
    e.caption = "Enter Focuser Go To Position";
    e.label = "\nEnter the desired focuser position.";
    e.preset = format_fixed(length_of_counts(currentPosition, profile.inchesPerCount, unit()), 5, 3);
    ++e.refill;
    entryTag = 0;
    entryOk = false;
    mark(kEntry);
}

void Engine::set_command_argument(long value) {
    split_argument(static_cast<unsigned long>(value), commandArgHigh, commandArgLow);
}

void Engine::go_to_position_command() {
    Batch b(*this);
    if (activeCommand != 0) {
        // Queued behind the exchange in progress; never in place of the
        // second leg of a stored go-to or of a sequence's letter.
        if (queuedCommand == 0 || queuedCommand == 'g') {
            queuedCommand = 'g';
        } else {
            activity("Another operation is in progress", "Go To not started");
        }
        return;
    }
    activeCommand = 'g';
    followUpCommand = 'g';
    reply.length = 1;
    stopRequested = false;
    send_command();
    link_.writeByte(commandArgHigh);
    link_.writeByte(commandArgLow);
    doneMessage1 = "Go To command in progress";
    doneMessage2 = "Please wait";
    set_status({});
    set_position_lines({});
    show_stop_go_to(true);
}

void Engine::go_to(long target) {
    set_command_argument(target);
    go_to_position_command();
}

// ------------------------------------------------------------------ port ----

void Engine::setup_com_port() {
    Batch b(*this);
    set_connection(" ");
    if (link_.connected()) link_.close();
    selectionLock = true;
    // A choice outside the groups becomes COM1 and 9600.
    if (config.portIndex < 1 || config.portIndex > 4) config.portIndex = 0;
    if (config.baudIndex != 1) config.baudIndex = 0;
    choose_port();
    set_choices_from_config();
    selectionLock = false;
    if (link_.open(portName_, baud_)) {
        reconnectPending = false;
        read_identify();
    } else {
        set_connection(port_trouble());
        load_timer(kReconnectDelayMs);
        reconnectPending = true;
    }
}

// The port and speed of the radio groups' choices.
void Engine::choose_port() {
    portName_ = "com" + std::to_string(config.portIndex + 1);
    baud_ = config.baudIndex == 1 ? 2400 : 9600;
}

// Lets the port go, with nothing left half-sent or unread in its queues.
void Engine::release_port() {
    if (!link_.connected()) return;
    link_.purge(kPurgeAll);
    link_.close();
}

std::string Engine::port_trouble() const {
    const std::string reason = link_.openFailure();
    return "COM" + std::to_string(config.portIndex + 1) + ": " + link_.device(portName_) +
           (reason.empty() ? std::string() : " - " + reason);
}

bool Engine::reopen_port() {
    // A device that went away is let go; the same path is opened again,
    // which finds the adapter once it is back.
    link_.close();
    if (link_.open(portName_, baud_)) return true;
    set_connection(port_trouble());
    return false;
}

void Engine::ComPortSelectClick(int index) { port_choice_clicked(&ProgramConfig::portIndex, index); }

void Engine::BaudRateSelectClick(int index) { port_choice_clicked(&ProgramConfig::baudIndex, index); }

void Engine::port_choice_clicked(int ProgramConfig::*choice, int index) {
    Batch b(*this);
    if (selectionLock) return;
    user_acts();
    if (refused_while_busy("Port settings not changed")) {
        mark(kChoices);  // the radio groups show the settings in use again
        return;
    }
    config.*choice = index;
    setup_com_port();
    write_config_file();
}

void Engine::set_choices_from_config() {
    Screen& s = screen_;
    const int backlash = profile.backlashEnable == 1 ? 1 : 0;
    if (s.unitsIndex == config.unitsIndex && s.portIndex == config.portIndex && s.baudIndex == config.baudIndex &&
        s.backlashIndex == backlash && s.backlashEditEnabled == (backlash == 1))
        return;
    s.unitsIndex = config.unitsIndex;
    s.portIndex = config.portIndex;
    s.baudIndex = config.baudIndex;
    s.backlashIndex = backlash;
    s.backlashEditEnabled = backlash == 1;
    mark(kChoices);
}

// --------------------------------------------------------------- dialogs ----

void Engine::question_answered(int id, bool yes) {
    Batch b(*this);
    if (!screen_.question.visible || id != screen_.question.id) return;
    user_acts();
    confirmAnswer = yes ? 1 : 0;
    sureTag = 1;
    screen_.question.visible = false;
    mark(kQuestion);
}

void Engine::entry_confirmed(int id, const std::string& text) {
    Batch b(*this);
    EntryScreen& e = screen_.entry;
    if (!e.visible || id != e.id) return;
    user_acts();
    auto refuse = [&](const std::string& line) {
        e.label = line;
        ++e.refill;
        mark(kEntry);
    };
    double v = 0;
    if (!parse_decimal(text, v)) {
        refuse("'" + text + "' is not a valid number.Reenter desired value.");
        return;
    }
    if (v < 0) {
        refuse("Value must be a positive number.Reenter desired value.");
        return;
    }
    auto count = typed_length_to_counts(v, profile.inchesPerCount, unit());
    if (!count) {
        refuse("The focuser scale (encoder counts per inch) is not set.Set the encoder count value first.");
        return;
    }
    if (*count > kMaxModuleCount) {
        refuse("Entered position is beyond the control module's range of 65535 counts. Reenter desired position.");
        return;
    }
    if (*count > profile.maxTravel) {
        refuse("Entered position exceeds focuser travel limit. Reenter desired position.");
        return;
    }
    enteredCount = *count;
    entryOk = true;
    entryTag = 1;
    e.visible = false;
    mark(kEntry);
}

void Engine::entry_cancelled(int id) {
    Batch b(*this);
    EntryScreen& e = screen_.entry;
    if (!e.visible || id != e.id) return;
    user_acts();
    e.visible = false;
    mark(kEntry);
    // The pending operation is dropped.
    if (activeCommand == entryState_) activeCommand = 0;
    entryState_ = 0;
}

void Engine::stop_go_to_pressed() {
    Batch b(*this);
    user_acts();
    show_stop_go_to(false);
    if (activeCommand == 'g' || activeCommand == 'h' || activeCommand == 'c') {
        // Carried out by the executive: at once while the completion is
        // awaited, or as soon as the echo has arrived.
        stopRequested = true;
        return;
    }
    // Between the legs of a stored go-to: the next leg is not sent.
    const bool legQueued = queuedCommand == 'q' || queuedCommand == 'g';
    if (legQueued || legs.next != Leg::None) {
        if (legQueued) queuedCommand = 0;
        drop_legs();
        activity("Command terminated by user", "Waiting for command");
    }
}

// -------------------------------------------------------------- refusals ----

std::string Engine::busy_reason() const {
    if (screen_.question.visible) return "Answer the open question first";
    if (screen_.entry.visible) return "Close the open entry first";
    if (activeCommand == 'u' || screen_.autoDetect.visible) return "Auto detection in progress";
    if (activeCommand == 'y' || ((activeCommand == 'h' || activeCommand == 'c') && followUpCommand == 'y'))
        return "Initialization in progress";
    if (motion_in_progress()) return activeCommand == 'h' ? "Homing in progress" : "A Go To is in progress";
    if (activeCommand == 'i' || activeCommand == 'o' || activeCommand == 's' || activeCommand == 'w' ||
        activeCommand == 'z')
        return "Waiting for the focuser's answer";
    if (activeCommand != 0 && activeCommand != 'p' && activeCommand != 't' && activeCommand != 'b')
        return "Another operation is in progress";
    if (queuedCommand != 0) return "A command is waiting to be sent";
    return {};
}

bool Engine::may_start(const std::string& what) { return !refused_while_busy(what + " not started"); }

bool Engine::refused_while_busy(const std::string& notDone) {
    const std::string reason = busy_reason();
    if (reason.empty()) return false;
    activity(reason, notDone);
    return true;
}

void Engine::drop_legs() {
    if (legs.next != Leg::None || clippedOvershoot) show_stop_go_to(false);
    legs = BacklashLegs{};
    clippedOvershoot = false;
}

void Engine::drop_queued_motion() {
    if (is_motion_letter(queuedCommand)) queuedCommand = 0;
    drop_legs();
}

// ------------------------------------------------------------- executive ----

void Engine::executiveIdle() {
    // A pass never starts another pass (a view may pump events while it
    // shows a dialog).
    if (inPass_) return;
    inPass_ = true;
    Batch b(*this);
    const char active = activeCommand, queued = queuedCommand;
    const int step = sequenceCounter;

    if (reconnectPending && timerExpired) {
        reconnectPending = false;
        timerExpired = false;
        if (reopen_port()) read_identify();
    }

    if (activeCommand == 0) {
        if (queuedCommand != 0)
            dispatch_queued();
        else if (timerExpired) {
            if (link_.connected())
                read_position();
            else if (reopen_port())
                read_identify();
            else
                load_timer(kReopenIntervalMs);
        }
    } else if (is_state_letter(activeCommand)) {
        switch (activeCommand) {
        case 'a': state_a(); break;
        case 'b': state_b(); break;
        case 'c': state_c(); break;
        case 'g': state_g(); break;
        case 'h': state_h(); break;
        case 'i': case 'o': case 's': case 'w': case 'z': state_echo(); break;
        case 'm': state_m(); break;
        case 'n': state_n(); break;
        case 'x': state_x(); break;
        case 'p': state_p(); break;
        case 't': state_t(); break;
        case 'q': state_q(); break;
        case 'v': state_v(); break;
        case 'u': auto_detect(); break;
        case 'y': reinit_focuser_handler(); break;
        default: break;  // held by a dialog, or a sequence not built here
        }
    }
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
        char letter;
        void (Engine::*run)();
    };
    static const Queued table[] = {
        {'g', &Engine::go_to_position_command}, {'h', &Engine::home_position_command},
        {'i', &Engine::move_in_command},        {'o', &Engine::move_out_command},
        {'s', &Engine::stop_command},           {'z', &Engine::send_zero_command},
        {'r', &Engine::delete_file_command},    {'q', &Engine::become_q},
        {'u', &Engine::begin_auto_detect},      {'y', &Engine::begin_reinit},
    };
    const char letter = queuedCommand;
    queuedCommand = 0;
    for (const Queued& q : table) {
        if (q.letter == letter) {
            (this->*q.run)();
            return;
        }
    }
    // Letters of sequences not built here are dropped.
}

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
    return byte == 'r' ? Echo::Rejected : Echo::Wrong;
}

void Engine::show_echo_failure(Echo e) {
    activity(e == Echo::Rejected ? "Command error" : "Focuser response error", "Waiting for command");
}

// Set-zero (and other) confirmation.
void Engine::state_a() {
    if (sureTag != 1) return;
    activeCommand = 0;
    if (confirmAnswer == 1) {
        queuedCommand = followUpCommand;
        activity("Waiting");
    } else if (followUpCommand == 'q') {
        drop_legs();  // the clipped overshoot was declined: nothing moves
    }
}

// Identify.
void Engine::state_b() {
    if (timerExpired) {
        if (queuedCommand == 'k') {
            sequenceCounter = 100;
            activeCommand = 'k';
        } else {
            drop_queued_motion();
            if (!link_.connected() && !reopen_port()) {
                // Nothing to ask: the idle executive tries the port again
                // at the next expiry.
                activeCommand = 0;
                load_timer(kReopenIntervalMs);
                return;
            }
            set_connection("Not communicating");
            read_identify();
        }
        return;
    }
    if (!reply.ready) return;
    reply.ready = false;
    if (reply.buffer[0] == 'b' && reply.buffer[1] == 'j') {
        activity("Focuser responding", "Waiting for command");
        set_connection("Communicating");
        if (queuedCommand == 'k') {
            ++sequenceCounter;
            activeCommand = 'k';
        } else {
            read_status();
        }
    }
    // Any other answer (a module at another line speed answers garbage) is
    // not an identify: the request goes out again when the poll interval
    // has passed, as after a time-out, never at once.
}

// Completion byte of a go-to or homing.
void Engine::state_c() {
    if (stopRequested) {
        terminate_motion();
        return;
    }
    if (timerExpired) {
        show_operate_page();
        show_stop_go_to(false);
        show_stop_init(false);
        serial_timeout();
        return;
    }
    if (!reply.ready) return;
    reply.ready = false;
    activeCommand = 0;
    show_stop_init(false);
    if (queuedCommand != 'q') show_stop_go_to(false);
    set_activity({});
    const Echo e = echo_of('c');
    if (e != Echo::Match) {
        show_echo_failure(e);
        show_operate_page();
        drop_legs();
        if (queuedCommand == 'q') queuedCommand = 0;
    } else if (followUpCommand == 'g') {
        activity("Go To completed", "Waiting for command");
    } else if (followUpCommand == 'y') {
        activity("Initialization completed", "Waiting for command");
    }
    read_status();
}

// A user stop while the completion is awaited: the stop command is sent at
// once and the motion ends. The module echoes the stop; the echo is
// awaited like any other, so that it cannot be taken for the position
// reply that follows.
void Engine::terminate_motion() {
    stopRequested = false;
    queuedCommand = 0;
    drop_legs();
    show_stop_go_to(false);
    show_stop_init(false);
    activeCommand = 's';
    reply.length = 1;
    doneMessage1 = "Command terminated by user";
    doneMessage2 = "Waiting for command";
    stopEndsMotion_ = true;
    send_command();
    activity(doneMessage1, doneMessage2);
}

// Echo of a go-to or homing: on success the completion byte is awaited for
// the given time; otherwise the operation ends with the status read.
void Engine::motion_echo(int completionLimitMs) {
    const bool goTo = activeCommand == 'g';
    if (timerExpired && goTo) show_stop_go_to(false);
    // A homing that fails to start ends the initialization's dialog too.
    if (timerExpired && !goTo) show_stop_init(false);
    if (!take_reply(true)) return;
    set_activity({});
    const Echo e = echo_of(static_cast<uint8_t>(activeCommand));
    if (e == Echo::Match) {
        activity(doneMessage1, doneMessage2);
        activeCommand = 'c';
        reply.reset(1);
        load_timer(completionLimitMs);
        if (!goTo && screen_.reinitTextVisible) {
            screen_.reinitTextVisible = false;
            mark(kNotes);
        }
        // A completion that came with the echo is already waiting.
        ComPortDataAvailable();
        return;
    }
    show_echo_failure(e);
    stopRequested = false;
    if (!goTo) show_stop_init(false);
    if (goTo) {
        show_stop_go_to(false);
        drop_legs();
        if (queuedCommand == 'q') queuedCommand = 0;
    }
    show_operate_page();
    read_status();
}

void Engine::state_g() { motion_echo(goToTimeLimit); }
void Engine::state_h() { motion_echo(kHomingLimitMs); }

// Echo of 'i', 'o', 's', 'w' or 'z'.
void Engine::state_echo() {
    if (activeCommand == 's' && stopEndsMotion_ && reply.ready && reply.buffer[0] == 'c') {
        // The motion completed just as the stop went out: its completion
        // byte came first. The stop's echo follows.
        reply.reset(1);
        ComPortDataAvailable();
        return;
    }
    if (!take_reply(true)) return;
    stopEndsMotion_ = false;
    set_activity({});
    const Echo e = echo_of(static_cast<uint8_t>(activeCommand));
    if (e == Echo::Match) {
        activity(doneMessage1, doneMessage2);
    } else {
        show_echo_failure(e);
        show_operate_page();
    }
    read_status();
}

// Store confirmation.
void Engine::state_m() {
    if (sureTag != 1) return;
    activeCommand = 0;
    const int i = selectedSlot - 1;
    if (!confirmAnswer || i < 0 || i >= kStoredSlots) {
        descriptionEditing = false;
        return;
    }
    if (profile.positions[i] < 0) profile.descriptions[i] = "Enter a description";
    profile.positions[i] = static_cast<long>(currentPosition);
    screen_.descriptions[i] = profile.descriptions[i];
    screen_.descriptionOpen = i;
    ++screen_.descriptionFocus;
    mark(kStoredSlotsPart);
    display_stored_position();
    if (lastDirection)
        profile.directionFlags |= (1u << i);
    else
        profile.directionFlags &= ~(1u << i);
    write_focuser_file();
}

// Restore-defaults confirmation.
void Engine::state_n() {
    if (sureTag != 1) return;
    activeCommand = 0;
    if (confirmAnswer) restore_config_defaults();
}

// Delete confirmation.
void Engine::state_x() {
    if (sureTag != 1) return;
    activeCommand = 0;
    const int i = selectedSlot - 1;
    if (confirmAnswer != 1 || i < 0 || i >= kStoredSlots) return;
    profile.positions[i] = -1;
    profile.descriptions[i] = " ";
    screen_.posText[i] = " ";
    screen_.descriptions[i] = " ";
    if (screen_.descriptionOpen == i) {
        screen_.descriptionOpen = -1;
        descriptionEditing = false;
    }
    mark(kStoredSlotsPart);
    write_focuser_file();
}

// Position reply.
void Engine::state_p() {
    if (!take_reply(false)) return;
    if (reply.buffer[0] == 'p') {
        const unsigned pos = position_from_reply(reply.buffer);
        currentPosition = pos;
        const std::string count = format_fixed(pos, 5, 0);
        if (screen_.encoderPosition != count) {
            screen_.encoderPosition = count;
            mark(kEncoderPosition);
        }
        positionKnown = true;
        const long diff = static_cast<long>(pos) - static_cast<long>(previousPosition);
        if (diff > 1 || diff < -1) lastDirection = pos < previousPosition;
        previousPosition = pos;
        show_position();
    } else {
        set_position_lines({"ERROR"});
    }
    activeCommand = 0;
}

// Status reply.
void Engine::state_t() {
    if (!take_reply(true)) return;
    if (reply.buffer[0] == 't')
        set_status(status_lines(reply.buffer[1]));
    else
        show_echo_failure(Echo::Wrong);
    read_position();
}

// A leg of a stored go-to.
void Engine::state_q() {
    activeCommand = 0;
    queuedCommand = 0;
    const BacklashLegs l = legs;
    switch (l.next) {
    case Leg::First:
        // The stored go-to waited for the line to become free.
        if (l.twoLegs) {
            legs.next = Leg::Final;
            queuedCommand = 'q';
        } else {
            legs = BacklashLegs{};
        }
        go_to(l.first);
        break;
    case Leg::AfterWarning:
        // The user accepted the overshoot cut short by a travel stop: go to
        // it, and the final leg follows once it completes.
        if (confirmAnswer) {
            legs.next = Leg::Final;
            queuedCommand = 'q';
            go_to(l.first);
        } else {
            drop_legs();
        }
        break;
    case Leg::Final:
        legs = BacklashLegs{};
        clippedOvershoot = false;
        go_to(l.final);
        break;
    case Leg::None:
        break;
    }
}

// Go-to entry.
void Engine::state_v() {
    if (entryTag != 1) return;
    activeCommand = 0;
    entryState_ = 0;
    if (entryOk && enteredCount != static_cast<long>(currentPosition)) go_to(enteredCount);
}

}  // namespace corvell
