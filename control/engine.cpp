// The engine's protocol and executive: starting each command, collecting
// replies, the reply timer, the time-out report, the port set-up, dialog
// answers, the busy rules, and one pass of the executive.
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

// Commands a user or a front end asked for, which must not go out by
// themselves once whatever they waited behind has failed.
bool is_user_letter(char c) {
    return c == cmd::kGoTo || c == cmd::kHome || c == cmd::kMoveIn || c == cmd::kMoveOut || c == cmd::kZero ||
           c == cmd::kMaxTravel || c == state::kBacklashLeg || c == state::kReinit;
}

// Commands whose echo ends the exchange (a go-to's and a homing's echo
// starts the wait for their completion instead).
bool is_simple_command(char c) {
    return c == cmd::kMoveIn || c == cmd::kMoveOut || c == cmd::kStop || c == cmd::kMaxTravel || c == cmd::kZero;
}

bool is_read(char c) { return c == cmd::kPosition || c == cmd::kStatus || c == cmd::kIdentify; }

}  // namespace

Engine::Engine(ModuleLink& link, ReplyTimer& timer, EngineView& view, EngineOptions options)
    : link_(link),
      timer_(timer),
      view_(view),
      options_(std::move(options)),
      portSearch_(std::make_unique<PortSearch>(*this, host())),
      init_(std::make_unique<Initialization>(*this, host())),
      setup_(std::make_unique<AddFocuser>(*this, host())),
      conversion_(std::make_unique<Conversion>(*this, host())),
      entries_(std::make_unique<NumberEntries>(*this, host())) {}

Engine::~Engine() = default;

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
    if (started || activated_) return;
    activated_ = true;
    // A parameter file of an older release is offered for conversion first;
    // the conversion runs the ordinary start-up when it is done.
    if (!options_.offerConversion) {
        if (conversion_->pending())
            note_file_problem(std::string(kLegacyFileName) +
                                  " is not converted here: start the program with its window once to convert it",
                              false);
    } else if (conversion_->offer()) {
        return;
    }
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
    if (activeCommand != cmd::kIdentify && !reconnectPending) read_identify();
}

// ------------------------------------------------------------- protocol ----

void Engine::transmit(char letter, unsigned argument, int replyLength) {
    link_.discardReceived();
    reply.reset(replyLength);
    link_.writeByte(static_cast<uint8_t>(letter));
    const CommandSpec* c = command_spec(letter);
    if (c && c->argumentBytes == 2) {
        set_command_argument(static_cast<long>(argument));
        link_.writeByte(commandArgHigh);
        link_.writeByte(commandArgLow);
    }
    load_timer(reply_time_limit(letter, queuedCommand));
}

void Engine::send(char letter, unsigned argument) {
    activeCommand = letter;
    if (const CommandSpec* c = command_spec(letter)) {
        reply.length = c->replyLength;
        if (c->done1) {
            doneMessage1 = c->done1;
            doneMessage2 = c->done2;
        }
    }
    send_command_with(argument);
}

void Engine::send_command() { send_command_with(static_cast<unsigned>(commandArgHigh) * 256u + commandArgLow); }

// Every command leaves here. A stop written over the exchange that just
// ended is answered first: its echo is awaited instead of sending more.
void Engine::send_command_with(unsigned argument) {
    Batch b(*this);
    if (stopEchoOwed_) {
        await_stop_echo();
        return;
    }
    transmit(activeCommand, argument, reply.length);
}

void Engine::await_stop_echo() {
    stopEchoOwed_ = false;
    activeCommand = cmd::kStop;
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
    set_status({"Serial Communications Timeout", "Check Corvell connections"});
    set_connection("Not communicating");
    // Motion asked for before the module fell silent must not start by
    // itself when it answers again, perhaps minutes later.
    const std::string dropped = drop_queued_motion();
    read_identify();
    if (!dropped.empty()) activity("Waiting for focuser response", dropped);
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
    case state::kConfirm: case state::kStoreConfirm: case state::kRestoreConfirm: case state::kDeleteConfirm:
    case state::kGoToEntry: case state::kEncoderEntry: case state::kMaxTravelEntry: case state::kTravelDistanceEntry:
    case state::kDialogHeld: case state::kDeleteFocuser:
        return true;
    default:
        return false;
    }
}

bool Engine::motion_in_progress() const {
    return activeCommand == cmd::kGoTo || activeCommand == cmd::kHome || activeCommand == state::kCompletion ||
           activeCommand == state::kBacklashLeg || queuedCommand == state::kBacklashLeg || legs.next != Leg::None;
}

// Stop acts at once in every state: the stop goes out on the line now. An
// exchange already on the line ends first and the stop's echo follows it;
// a go-to or homing ends with it; nothing the user asked for before it is
// sent after it.
void Engine::stop_command() {
    Batch b(*this);
    user_acts();
    const bool legsPending = queuedCommand == state::kBacklashLeg || legs.next != Leg::None;
    drop_queued_motion();
    if (!link_.connected()) {
        activity("The port is not open", "Stop not sent");
        return;
    }
    stopLines_ = {"Stopped", "Waiting for command"};
    const char a = activeCommand;
    if (a == cmd::kGoTo || a == cmd::kHome || a == state::kCompletion) {
        terminate_motion();
        return;
    }
    if (a == state::kIdle) {
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
    if (a == state::kReinit) {
        // The settings write on the line may finish; no homing follows.
        init_->stop();
        stopEchoOwed_ = true;
        activity("Waiting");
        return;
    }
    if (is_read(a) || is_simple_command(a)) {
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
    if (activeCommand != state::kIdle) {
        queue_command(letter, action);
        return;
    }
    activity("Waiting");
    send(letter);
}

void Engine::queue_command(char letter, Action action) {
    queuedCommand = letter;
    queuedAction_ = action;
    queuedStep_ = false;
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
    followUpCommand = cmd::kZero;
    activeCommand = state::kConfirm;
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
    open_entry(state::kGoToEntry, "Enter Focuser Go To Position", "\nEnter the desired focuser position.",
               format_fixed(length_of_counts(currentPosition, profile.inchesPerCount, unit()), 5, 3));
}

void Engine::open_entry(char entryState, const std::string& caption, const std::string& prompt,
                        const std::string& preset) {
    activeCommand = entryState;
    entryState_ = entryState;
    EntryScreen& e = screen_.entry;
    e.visible = true;
    e.id = ++nextDialogId_;
    e.caption = caption;
    e.label = prompt;
    e.preset = preset;
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
    if (activeCommand != state::kIdle) {
        // Queued behind the exchange in progress; never in place of the
        // second leg of a stored go-to or of a sequence's letter.
        if (queuedCommand == 0 || queuedCommand == cmd::kGoTo) queuedCommand = cmd::kGoTo;
        return;
    }
    followUpCommand = cmd::kGoTo;
    moving_ = true;
    send(cmd::kGoTo, static_cast<unsigned>(commandArgHigh) * 256u + commandArgLow);
    if (activeCommand != cmd::kGoTo) return;  // a stop's echo came first
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
    release_port();
    communicating_ = false;
    selectionLock = true;
    // A choice outside the groups becomes COM1 and 9600.
    if (config.portIndex < 1 || config.portIndex > 4) config.portIndex = 0;
    if (config.baudIndex != 1) config.baudIndex = 0;
    choose_port();
    set_choices_from_config();
    selectionLock = false;
    if (link_.open(portName_, baud_)) {
        portOpen_ = true;
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

// Lets the port go; closing discards whatever is still queued.
void Engine::release_port() {
    portOpen_ = false;
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
    release_port();
    if (link_.open(portName_, baud_)) {
        portOpen_ = true;
        return true;
    }
    set_connection(port_trouble());
    return false;
}

void Engine::port_gone() {
    Batch b(*this);
    const std::string where = "COM" + std::to_string(config.portIndex + 1) + ": " + link_.device(portName_);
    release_port();
    communicating_ = false;
    if (activeCommand == state::kAutoDetect) return;  // the probe's wait ends it
    const Situations was = situations();
    std::string ended;
    if (was & situation_bit(Situation::GoTo)) ended = "Go To not completed";
    if (was & (situation_bit(Situation::InitSettings) | situation_bit(Situation::InitHoming)))
        ended = "Initialization not completed";
    if (was & situation_bit(Situation::Homing)) ended = "Homing not completed";
    const std::string dropped = drop_queued_motion();
    if (ended.empty()) ended = dropped;
    stopEchoOwed_ = stopEndsMotion_ = false;
    moving_ = continuousMove_ = false;
    show_stop_go_to(false);
    show_stop_init(false);
    // An operation on the line ends; a question or an entry stays open.
    if (!dialog_state()) {
        activeCommand = state::kIdle;
        followUpCommand = 0;
        queuedCommand = 0;
    }
    positionKnown = false;
    set_position_lines({"Unknown"});
    if (screen_.encoderPosition != "Unknown") {
        screen_.encoderPosition = "Unknown";
        mark(kEncoderPosition);
    }
    set_status({"Unknown"});
    set_connection(where + " - the device went away (unplugged or hung up)");
    // Short enough for one line of Activity; the connection line names the device.
    std::vector<std::string> lines{"Not communicating",
                                   "COM" + std::to_string(config.portIndex + 1) + ": the device went away"};
    if (!ended.empty()) lines.push_back(ended);
    set_activity(lines);
    if (!ended.empty()) show_operate_page();
    reconnectPending = true;
    load_timer(kReconnectDelayMs);
}

void Engine::ComPortSelectClick(int index) { port_choice_clicked(&ProgramConfig::portIndex, index); }

void Engine::BaudRateSelectClick(int index) { port_choice_clicked(&ProgramConfig::baudIndex, index); }

void Engine::port_choice_clicked(int ProgramConfig::*choice, int index) {
    Batch b(*this);
    if (selectionLock) return;
    user_acts();
    if (refuse(Action::PortChoice)) {
        mark(kChoices);  // the radio groups show the settings in use again
        return;
    }
    // A read on the line is given up with the port.
    if (is_read(activeCommand)) activeCommand = state::kIdle;
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

void Engine::entry_confirmed(int id, const std::string& text, bool edited) {
    Batch b(*this);
    EntryScreen& e = screen_.entry;
    if (!e.visible || id != e.id) return;
    user_acts();
    auto refuse_entry = [&](const std::string& line) {
        e.label = line;
        ++e.refill;
        mark(kEntry);
    };
    if (entryState_ != state::kGoToEntry) {
        const std::string why = entries_->confirm(entryState_, text, edited);
        if (!why.empty()) {
            refuse_entry(why);
            return;
        }
        entryTag = 1;
        e.visible = false;
        mark(kEntry);
        return;
    }
    // The first reason that applies, in this order: not a number, negative,
    // beyond the travel limit, beyond what the module can hold.
    double v = 0;
    if (!parse_decimal(text, v)) {
        refuse_entry("'" + text + "' is not a valid number. Reenter desired value.");
        return;
    }
    if (v < 0) {
        refuse_entry("Value must be a positive number. Reenter desired value.");
        return;
    }
    if (!(profile.inchesPerCount > 0)) {
        refuse_entry("The focuser scale (encoder counts per inch) is not set.Set the encoder count value first.");
        return;
    }
    const double inches = unit() == Unit::Centimetres ? v * 0.3937007874015748 : v;
    const double counts = std::floor(inches / static_cast<double>(profile.inchesPerCount));
    if (counts > static_cast<double>(profile.maxTravel)) {
        refuse_entry("Entered position exceeds focuser travel limit. Reenter desired position.");
        return;
    }
    if (counts > static_cast<double>(kMaxModuleCount)) {
        refuse_entry("Entered position is beyond the control module's range of 65535 counts. Reenter desired position.");
        return;
    }
    enteredCount = static_cast<long>(counts);
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
    if (activeCommand == entryState_) activeCommand = state::kIdle;
    entryState_ = 0;
}

// The stop button of the go-to and initialization dialogs: the same stop
// as the main window's.
void Engine::stop_go_to_pressed() {
    Batch b(*this);
    show_stop_go_to(false);
    stop_command();
}

// -------------------------------------------------------------- refusals ----

Situations Engine::situations() const {
    Situations s = 0;
    auto add = [&s](Situation x) { s |= situation_bit(x); };
    const char a = activeCommand;
    if (a == state::kAutoDetect || screen_.autoDetect.visible) add(Situation::AutoDetect);
    if (a == state::kReinit) add(Situation::InitSettings);
    const bool homing = a == cmd::kHome || (a == state::kCompletion && followUpCommand != cmd::kGoTo);
    if (homing) add(followUpCommand == state::kReinit ? Situation::InitHoming : Situation::Homing);
    if (a == cmd::kGoTo || (a == state::kCompletion && followUpCommand == cmd::kGoTo) || a == state::kBacklashLeg ||
        queuedCommand == state::kBacklashLeg || legs.next != Leg::None)
        add(Situation::GoTo);
    if (setup_->running() || a == state::kWizard || queuedCommand == state::kWizard) add(Situation::Setup);
    if (screen_.question.visible) add(Situation::Question);
    if (screen_.entry.visible || screen_.textEntry.visible) add(Situation::Entry);
    if (is_simple_command(a) || stopEchoOwed_) add(Situation::Command);
    if (queuedCommand == cmd::kGoTo && queuedStep_)
        add(Situation::QueuedStep);
    else if (queuedCommand != 0 && queuedCommand != state::kWizard)  // the setup's own reads: Setup
        add(Situation::Queued);
    // A question answered, an empty slot stored, or a conversion step,
    // waits for the pass that carries it out.
    if ((dialog_state() || a == state::kConversion) && !screen_.question.visible && !screen_.entry.visible &&
        !screen_.textEntry.visible)
        add(Situation::Queued);
    if (!link_.connected() || !communicating_) add(Situation::NotCommunicating);
    if (screen_.descriptionOpen >= 0) add(Situation::Description);
    if (is_read(a)) add(Situation::Poll);
    return s;
}

bool Engine::refuse(Action action) {
    const std::string reason = refusal(situations(), action);
    if (reason.empty()) return false;
    activity(reason, refused_line(action));
    return true;
}

bool Engine::refuse_without_module(Action action) {
    if (link_.connected() && communicating_) return false;
    activity(situation_reason(Situation::NotCommunicating), refused_line(action));
    return true;
}

void Engine::drop_legs() {
    if (legs.next != Leg::None || clippedOvershoot) show_stop_go_to(false);
    legs = BacklashLegs{};
    clippedOvershoot = false;
}

std::string Engine::drop_queued_motion() {
    std::string line;
    if (is_user_letter(queuedCommand)) {
        if (queuedAction_ != Action::Count) line = refused_line(queuedAction_);
        queuedCommand = 0;
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
    const char active = activeCommand, queued = queuedCommand;
    const int step = sequenceCounter;

    // A write that found the device gone.
    if (portOpen_ && !link_.connected()) port_gone();

    // The chosen port is tried again at each expiry, whatever runs.
    if (reconnectPending && timerExpired && activeCommand != state::kAutoDetect) {
        timerExpired = false;
        if (reopen_port()) {
            reconnectPending = false;
            // A question or entry holds the executive: the module is asked
            // as soon as it closes.
            if (activeCommand == state::kIdle)
                read_identify();
            else
                identifyDue_ = true;
        } else {
            load_timer(kReopenIntervalMs);
        }
    }

    if (activeCommand == state::kIdle) {
        if (stopEchoOwed_)
            await_stop_echo();
        else if (identifyDue_ && link_.connected()) {
            identifyDue_ = false;
            read_identify();
        } else if (queuedCommand != 0)
            dispatch_queued();
        else if (timerExpired) {
            if (!link_.connected())
                reconnectPending = true;  // tried again at the next expiry
            else if (!communicating_)
                read_identify();
            else
                read_position();
        }
    } else if (is_state_letter(activeCommand)) {
        switch (activeCommand) {
        case state::kConfirm: state_a(); break;
        case cmd::kIdentify: state_b(); break;
        case state::kCompletion: state_c(); break;
        case cmd::kGoTo: state_g(); break;
        case cmd::kHome: state_h(); break;
        case cmd::kMoveIn: case cmd::kMoveOut: case cmd::kStop: case cmd::kMaxTravel: case cmd::kZero:
            state_echo();
            break;
        case state::kStoreConfirm: state_m(); break;
        case state::kRestoreConfirm: state_n(); break;
        case state::kDeleteConfirm: state_x(); break;
        case cmd::kPosition: state_p(); break;
        case cmd::kStatus: state_t(); break;
        case state::kBacklashLeg: state_q(); break;
        case state::kGoToEntry: state_v(); break;
        case state::kAutoDetect: auto_detect(); break;
        case state::kReinit: reinit_focuser_handler(); break;
        case state::kWizard: add_focuser(); break;
        case state::kConversion: convert_old_format(); break;
        case state::kEncoderEntry: case state::kMaxTravelEntry: case state::kTravelDistanceEntry:
            if (entryTag == 1) {
                entryTag = 0;
                entryState_ = 0;
                entries_->apply(activeCommand);
            }
            break;
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
        {cmd::kGoTo, &Engine::go_to_position_command}, {cmd::kHome, &Engine::home_position_command},
        {cmd::kMoveIn, &Engine::move_in_command},      {cmd::kMoveOut, &Engine::move_out_command},
        {cmd::kStop, &Engine::stop_command},           {cmd::kZero, &Engine::send_zero_command},
        {cmd::kMaxTravel, &Engine::send_max_travel},
        {state::kDeleteFocuser, &Engine::delete_file_command}, {state::kBacklashLeg, &Engine::become_q},
        {state::kAutoDetect, &Engine::begin_auto_detect},       {state::kReinit, &Engine::begin_reinit},
        {state::kConversion, &Engine::become_j},                {state::kWizard, &Engine::become_k},
    };
    const char letter = queuedCommand;
    queuedCommand = 0;
    queuedAction_ = Action::Count;
    queuedStep_ = false;
    // A move the user asked for goes out now: it was allowed when clicked.
    if (letter == cmd::kMoveIn || letter == cmd::kMoveOut) {
        activity("Waiting");
        send(letter);
        return;
    }
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
    return byte == answer::kRejected ? Echo::Rejected : Echo::Wrong;
}

void Engine::show_echo_failure(Echo e) {
    activity(e == Echo::Rejected ? "Command error" : "Focuser response error", "Waiting for command");
}

// Set-zero (and other) confirmation.
void Engine::state_a() {
    if (sureTag != 1) return;
    activeCommand = state::kIdle;
    if (followUpCommand == state::kConversion) {
        // The conversion goes on whatever the answer: "no" removes the file.
        queuedCommand = state::kConversion;
        return;
    }
    if (confirmAnswer == 1) {
        if (followUpCommand == cmd::kZero && refuse_without_module(Action::SetZero)) return;
        if (followUpCommand == state::kReinit && refuse_without_module(Action::Initialize)) return;
        if (followUpCommand == state::kBacklashLeg && refuse_without_module(Action::StoredGoTo)) {
            drop_legs();
            return;
        }
        queuedCommand = followUpCommand;
        activity("Waiting");
    } else if (followUpCommand == state::kBacklashLeg) {
        drop_legs();  // the clipped overshoot was declined: nothing moves
    }
}

// Identify.
void Engine::state_b() {
    if (timerExpired) {
        if (queuedCommand == state::kWizard) {
            // The add-focuser setup's probe: no module answered.
            timerExpired = false;
            sequenceCounter = 100;
            activeCommand = state::kWizard;
        } else {
            const std::string dropped = drop_queued_motion();
            set_connection("Not communicating");
            read_identify();
            if (!dropped.empty()) activity("Waiting for focuser response", dropped);
        }
        return;
    }
    if (!reply.ready) return;
    reply.ready = false;
    if (reply.buffer[0] == cmd::kIdentify && reply.buffer[1] == answer::kIdentified) {
        communicating_ = true;
        activity("Focuser responding", "Waiting for command");
        set_connection("Communicating");
        if (queuedCommand == state::kWizard) {
            ++sequenceCounter;
            activeCommand = state::kWizard;
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
    if (timerExpired) {
        show_operate_page();
        show_stop_go_to(false);
        show_stop_init(false);
        serial_timeout();
        return;
    }
    if (!reply.ready) return;
    reply.ready = false;
    activeCommand = state::kIdle;
    show_stop_init(false);
    if (queuedCommand != state::kBacklashLeg) show_stop_go_to(false);
    set_activity({});
    const Echo e = echo_of(answer::kCompletion);
    if (e != Echo::Match) {
        show_echo_failure(e);
        show_operate_page();
        drop_legs();
        if (queuedCommand == state::kBacklashLeg) queuedCommand = 0;
    } else if (followUpCommand == cmd::kGoTo) {
        activity("Go To completed", "Waiting for command");
    } else if (followUpCommand == state::kReinit) {
        activity("Initialization completed", "Waiting for command");
    }
    read_status();
}

// A user stop while a go-to or homing runs: the stop command is sent at
// once and the motion ends. The module echoes the stop; the echo is
// awaited like any other, so that it cannot be taken for the position
// reply that follows. The go-to's echo and its completion byte may still
// come ahead of it.
void Engine::terminate_motion() {
    stopEchoOwed_ = false;
    queuedCommand = 0;
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
    const bool goTo = activeCommand == cmd::kGoTo;
    if (timerExpired && goTo) show_stop_go_to(false);
    // A homing that fails to start ends the initialization's dialog too.
    if (timerExpired && !goTo) show_stop_init(false);
    if (!take_reply(true)) return;
    set_activity({});
    const Echo e = echo_of(static_cast<uint8_t>(activeCommand));
    if (e == Echo::Match) {
        activity(doneMessage1, doneMessage2);
        activeCommand = state::kCompletion;
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
        drop_legs();
        if (queuedCommand == state::kBacklashLeg) queuedCommand = 0;
    }
    show_operate_page();
    read_status();
}

void Engine::state_g() { motion_echo(goToTimeLimit); }
void Engine::state_h() { motion_echo(kHomingLimitMs); }

// Echo of 'i', 'o', 's', 'w' or 'z'.
void Engine::state_echo() {
    if (activeCommand == cmd::kStop && stopEndsMotion_ && reply.ready) {
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
        if (activeCommand == cmd::kMoveIn || activeCommand == cmd::kMoveOut) moving_ = continuousMove_ = true;
        if (activeCommand == cmd::kStop) continuousMove_ = false;
    } else {
        show_echo_failure(e);
        show_operate_page();
    }
    read_status();
}

// Store confirmation.
void Engine::state_m() {
    if (sureTag != 1) return;
    activeCommand = state::kIdle;
    const int i = selectedSlot - 1;
    if (!confirmAnswer || i < 0 || i >= kStoredSlots) {
        descriptionEditing = false;
        return;
    }
    if (!positionKnown) {
        // The module went away while the question was open.
        descriptionEditing = false;
        activity("The focuser position is not known", refused_line(Action::Store));
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
    activeCommand = state::kIdle;
    if (confirmAnswer) restore_config_defaults();
}

// Delete confirmation.
void Engine::state_x() {
    if (sureTag != 1) return;
    activeCommand = state::kIdle;
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
    activeCommand = state::kIdle;
    // A motion has ended once this read follows it and nothing more of it
    // is to come.
    if (moving_ && !continuousMove_ && !motion_in_progress() && !stopEchoOwed_ && queuedCommand == 0) moving_ = false;
}

// Status reply.
void Engine::state_t() {
    if (!take_reply(true)) return;
    if (reply.buffer[0] == cmd::kStatus)
        set_status(status_lines(reply.buffer[1]));
    else
        show_echo_failure(Echo::Wrong);
    read_position();
}

// A leg of a stored go-to.
void Engine::state_q() {
    activeCommand = state::kIdle;
    queuedCommand = 0;
    const BacklashLegs l = legs;
    switch (l.next) {
    case Leg::First:
        // The stored go-to waited for the line to become free.
        if (l.twoLegs) {
            legs.next = Leg::Final;
            queuedCommand = state::kBacklashLeg;
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
            queuedCommand = state::kBacklashLeg;
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
    activeCommand = state::kIdle;
    entryState_ = 0;
    if (!entryOk || enteredCount == static_cast<long>(currentPosition)) return;
    if (refuse_without_module(Action::GoTo)) return;
    go_to(enteredCount);
}

}  // namespace corvell
