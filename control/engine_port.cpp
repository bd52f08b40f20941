// The engine's serial port: opening the chosen port and speed, a port that
// cannot be opened or goes away under the program, and the port and speed
// choices.
#include "control/engine.h"

namespace corvell {

void Engine::setup_com_port() {
    Batch b(*this);
    set_connection(" ");
    release_port();
    communicating_ = false;
    selectionLock = true;
    // A choice outside the groups becomes COM1 and 9600.
    if (config_.portIndex < 1 || config_.portIndex > 4) config_.portIndex = 0;
    if (config_.baudIndex != 1) config_.baudIndex = 0;
    choose_port();
    set_choices_from_config();
    selectionLock = false;
    if (link_.open(portName_, baud_)) {
        portOpen_ = true;
        reconnectPending = false;
        shownPortTrouble_.clear();
        read_identify();
    } else {
        port_does_not_open(true);
        load_timer(kReconnectDelayMs);
        reconnectPending = true;
    }
}

// A port that does not open is said on the Operate page as on the
// Configure page's connection line, and again when the reason changes. A
// port that went away has said so already, with what it ended: its retries
// leave Activity alone.
void Engine::port_does_not_open(bool firstTry) {
    const std::string trouble = port_trouble();
    set_connection(trouble);
    if (trouble == shownPortTrouble_ || (!firstTry && shownPortTrouble_.empty())) return;
    shownPortTrouble_ = trouble;
    position_unknown();
    set_status({"Unknown"});
    set_activity({"Not communicating", trouble}, LogLevel::Error);
}

// The port and speed of the radio groups' choices.
void Engine::choose_port() {
    portName_ = "com" + std::to_string(config_.portIndex + 1);
    baud_ = config_.baudIndex == 1 ? 2400 : 9600;
}

// Lets the port go; closing discards whatever is still queued.
void Engine::release_port() {
    portOpen_ = false;
    link_.close();
}

std::string Engine::port_trouble() const {
    const std::string reason = link_.openFailure();
    return "COM" + std::to_string(config_.portIndex + 1) + ": " + link_.device(portName_) +
           (reason.empty() ? std::string() : " - " + reason);
}

bool Engine::reopen_port() {
    // A device that went away is let go; the same path is opened again,
    // which finds the adapter once it is back.
    release_port();
    if (link_.open(portName_, baud_)) {
        portOpen_ = true;
        shownPortTrouble_.clear();
        return true;
    }
    port_does_not_open(false);
    return false;
}

void Engine::port_gone() {
    Batch b(*this);
    const std::string where = "COM" + std::to_string(config_.portIndex + 1) + ": " + link_.device(portName_);
    move_not_made(where + " - the device went away (unplugged or hung up)");
    release_port();
    communicating_ = false;
    if (activeCommand == State::AutoDetect) return;  // the probe's wait ends it
    const Situations was = situations();
    std::string ended;
    if (was & situation_bit(Situation::GoTo)) ended = "Go To not completed";
    if (was & (situation_bit(Situation::InitSettings) | situation_bit(Situation::InitHoming)))
        ended = "Initialization not completed";
    if (was & situation_bit(Situation::Homing)) ended = "Homing not completed";
    if (activeCommand == State::MaxTravelEcho) travel_not_sent("the device went away");
    const std::string dropped = drop_queued_motion("the device went away");
    if (ended.empty()) ended = dropped;
    stopEchoOwed_ = stopEndsMotion_ = false;
    moving_ = continuousMove_ = false;
    goToTargetAhead_ = false;
    show_stop_go_to(false);
    show_stop_init(false);
    // An operation on the line ends; a question or an entry stays open.
    if (!dialog_state()) {
        activeCommand = State::Idle;
        followUpCommand = State::Idle;
        queuedCommand = State::Idle;
    }
    position_unknown();
    set_status({"Unknown"});
    set_connection(where + " - the device went away (unplugged or hung up)");
    // Short enough for one line of Activity; the connection line names the device.
    std::vector<std::string> lines{"Not communicating",
                                   "COM" + std::to_string(config_.portIndex + 1) + ": the device went away"};
    if (!ended.empty()) lines.push_back(ended);
    set_activity(lines, LogLevel::Error);
    if (!ended.empty()) show_operate_page();
    reconnectPending = true;
    load_timer(kReconnectDelayMs);
}

// Both pages say so: Operate's position and Configure's encoder count.
void Engine::position_unknown() {
    positionKnown = false;
    set_position_lines({"Unknown"});
    if (screen_.encoderPosition != "Unknown") {
        screen_.encoderPosition = "Unknown";
        mark(kEncoderPosition);
    }
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
    apply_port_choice(choice, index);
}

std::string Engine::select_port(int index) { return select_choice(&ProgramConfig::portIndex, index, 5); }

std::string Engine::select_speed(int index) { return select_choice(&ProgramConfig::baudIndex, index, 2); }

std::string Engine::select_choice(int ProgramConfig::*choice, int index, int choices) {
    Batch b(*this);
    if (index < 0 || index >= choices)
        return choice == &ProgramConfig::portIndex ? "There is no port COM" + std::to_string(index + 1)
                                                   : "There is no speed choice " + std::to_string(index);
    const std::string reason = refusal(situations(), Action::PortChoice);
    if (!reason.empty()) return reason;
    user_acts();
    apply_port_choice(choice, index);
    return {};
}

void Engine::apply_port_choice(int ProgramConfig::*choice, int index) {
    // A read on the line is given up with the port.
    if (is_read(activeCommand)) activeCommand = State::Idle;
    config_.*choice = index;
    setup_com_port();
    write_config_file();
}

// The connection line is blank from the moment the port is set up (or the
// search starts) until the module answers, stays silent, or the port fails.
bool Engine::awaiting_first_answer() const {
    return !communicating_ && screen_.connection.find_first_not_of(' ') == std::string::npos;
}

void Engine::set_choices_from_config() {
    Screen& s = screen_;
    const int backlash = profile_.backlashEnable == 1 ? 1 : 0;
    // The distance can be typed while the correction is on, for a focuser in use.
    const bool distance = backlash == 1 && !screen_.noFocuser;
    if (s.unitsIndex == config_.unitsIndex && s.portIndex == config_.portIndex && s.baudIndex == config_.baudIndex &&
        s.backlashIndex == backlash && s.backlashEditEnabled == distance)
        return;
    s.unitsIndex = config_.unitsIndex;
    s.portIndex = config_.portIndex;
    s.baudIndex = config_.baudIndex;
    s.backlashIndex = backlash;
    s.backlashEditEnabled = distance;
    mark(kChoices);
}

}  // namespace corvell
