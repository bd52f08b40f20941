// The search for the module over COM1..COM5 at 9600 and 2400 baud: one step
// each executive pass, a probe and a wait for its answer per combination.
#include "control/engine.h"

namespace corvell {

namespace {
constexpr int kUnopenablePortMs = 500;
}

void Engine::AutoDetectClick() {
    Batch b(*this);
    user_acts();
    if (refuse(Action::AutoDetect)) return;
    begin_auto_detect();
}

void Engine::begin_auto_detect() {
    screen_.autoDetectTextVisible = true;
    mark(kNotes);
    activeCommand = state::kAutoDetect;
    sequenceCounter = 0;
    // The choice in use, to go back to when no module answers anywhere.
    savedPortIndex_ = config.portIndex;
    savedBaudIndex_ = config.baudIndex;
    // The search owns the port now: a retry of the old choice must not
    // reopen it behind the search's back.
    reconnectPending = false;
    communicating_ = false;
    stopEchoOwed_ = false;
    set_connection(" ");
    release_port();
}

// Sets the radio groups to one combination (without their click work) and
// keeps it in their tags, then probes it.
void Engine::probe(int port, int baud) {
    selectionLock = true;
    config.portIndex = port;
    config.baudIndex = baud;
    set_choices_from_config();
    portTag = port;
    baudTag = baud;
    selectionLock = false;
    auto_detect_send();
}

void Engine::auto_detect_send() {
    Batch b(*this);
    release_port();
    choose_port();
    if (link_.open(portName_, baud_)) {
        portOpen_ = true;
        reply.length = 2;
        transmit(cmd::kIdentify);
    } else {
        load_timer(kUnopenablePortMs);
    }
    ++sequenceCounter;
}

void Engine::show_auto_detect_result(const std::string& message) {
    screen_.autoDetectTextVisible = false;
    screen_.autoDetect.visible = true;
    screen_.autoDetect.id = ++nextDialogId_;
    screen_.autoDetect.message = message;
    autoDetectTag = 1;
    mark(kNotes | kAutoDetect);
}

void Engine::auto_detect() {
    switch (sequenceCounter) {
    case 0: probe(0, 0); return;
    case 4: probe(1, 0); return;
    case 8: probe(2, 0); return;
    case 12: probe(3, 0); return;
    case 16: probe(4, 0); return;
    case 2: case 6: case 10: case 14: case 18: probe(config.portIndex, 1); return;
    case 20:
        sequenceCounter = 21;
        release_port();
        // The choices go back to the ones in use before the search (the
        // saved ones), not the last combination tried.
        portTag = savedPortIndex_;
        baudTag = savedBaudIndex_;
        selectionLock = true;
        config.portIndex = portTag;
        config.baudIndex = baudTag;
        set_choices_from_config();
        selectionLock = false;
        show_auto_detect_result("Focuser not found on any COM Port.");
        return;
    case 21:
        if (autoDetectTag != 0) return;
        activeCommand = state::kIdle;
        selectionLock = true;
        config.portIndex = portTag;
        config.baudIndex = baudTag;
        set_choices_from_config();
        selectionLock = false;
        if (!portOpen_) {
            // Nothing answered: the saved choice is opened again and asked.
            setup_com_port();
            std::vector<std::string> lines{"Focuser not found on any COM Port",
                                           "Back to COM" + std::to_string(config.portIndex + 1) + ": at " +
                                               std::to_string(baud_) + " baud"};
            if (activeCommand == cmd::kIdentify) lines.push_back("Waiting for focuser response");
            set_activity(lines);
        }
        return;
    default:
        break;
    }
    if (sequenceCounter < 1 || sequenceCounter > 19) return;
    // Waiting for the probe's outcome.
    if (timerExpired) {
        timerExpired = false;
        ++sequenceCounter;
        return;
    }
    if (!reply.ready) return;
    reply.ready = false;
    if (reply.buffer[1] != answer::kIdentified) {
        ++sequenceCounter;
        return;
    }
    sequenceCounter = 21;
    show_auto_detect_result("Communication with focuser established.");
    setup_com_port();
    write_config_file();
    activity("Focuser responding", "Waiting for command");
}

void Engine::AutoDetectOKClick(int id) {
    Batch b(*this);
    user_acts();
    if (!screen_.autoDetect.visible || id != screen_.autoDetect.id) return;
    autoDetectTag = 0;
    screen_.autoDetect.visible = false;
    mark(kAutoDetect);
}

}  // namespace corvell
