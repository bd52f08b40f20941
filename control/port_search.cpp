#include "control/port_search.h"

#include "control/letters.h"
#include "control/sequence_host.h"

namespace corvell {

namespace {
constexpr int kUnopenablePortMs = 500;
// Longer than any answer takes to arrive (three bytes at 2400 baud and the
// module's processing).
constexpr int kLateAnswerMs = 100;
}  // namespace

void PortSearch::begin(bool answerDue) {
    h_.show_auto_detect_text(true);
    h_.sequence_counter() = kCom1At9600;
    // The choice in use, to go back to when no module answers anywhere.
    savedPort_ = h_.port_choice();
    savedBaud_ = h_.speed_choice();
    h_.release_port();
    settling_ = answerDue;
    if (settling_) h_.load_timer(kLateAnswerMs);
}

// Sets the radio groups to one combination (without their click work) and
// keeps it in their tags, then probes it.
void PortSearch::probe(int port, int baud) {
    h_.set_choices(port, baud);
    portTag_ = port;
    baudTag_ = baud;
    send();
}

void PortSearch::send() {
    if (h_.open_probe_port(h_.port_choice(), h_.speed_choice()))
        h_.transmit(cmd::kIdentify, 0, 2);
    else
        h_.load_timer(kUnopenablePortMs);
    ++h_.sequence_counter();
}

void PortSearch::step() {
    int& step = h_.sequence_counter();
    if (settling_) {
        if (!h_.take_expiry()) return;
        settling_ = false;
    }
    switch (step) {
    case kCom1At9600: probe(0, 0); return;
    case kCom2At9600: probe(1, 0); return;
    case kCom3At9600: probe(2, 0); return;
    case kCom4At9600: probe(3, 0); return;
    case kCom5At9600: probe(4, 0); return;
    case kCom1At9600 + 2:
    case kCom2At9600 + 2:
    case kCom3At9600 + 2:
    case kCom4At9600 + 2:
    case kCom5At9600 + 2:
        probe(h_.port_choice(), 1);  // the same port at 2400
        return;
    case kNotFound:
        step = kWaitForOk;
        h_.release_port();
        // The choices go back to the ones in use before the search (the
        // saved ones), not the last combination tried.
        portTag_ = savedPort_;
        baudTag_ = savedBaud_;
        h_.set_choices(portTag_, baudTag_);
        h_.show_auto_detect_result("Focuser not found on any COM Port.");
        return;
    case kWaitForOk:
        if (h_.auto_detect_result_open()) return;
        h_.search_ended();
        h_.set_choices(portTag_, baudTag_);
        if (!h_.port_open()) {
            // Nothing answered: the saved choice is opened again and asked.
            h_.setup_com_port();
            std::vector<std::string> lines{"Focuser not found on any COM Port",
                                           "Back to COM" + std::to_string(h_.port_choice() + 1) + ": at " +
                                               (h_.speed_choice() == 1 ? "2400" : "9600") + " baud"};
            if (h_.identify_awaited()) lines.push_back("Waiting for focuser response");
            h_.show_activity(lines, LogLevel::Warning);
        }
        return;
    default: break;
    }
    if (step < 1 || step > kLastWait) return;
    // Waiting for the probe's outcome.
    if (h_.take_expiry()) {
        ++step;
        return;
    }
    const uint8_t* reply = h_.take_reply();
    if (!reply) return;
    if (reply[1] != answer::kIdentified) {
        ++step;
        return;
    }
    found();
}

void PortSearch::found() {
    h_.sequence_counter() = kWaitForOk;
    h_.show_auto_detect_result("Communication with focuser established.");
    h_.setup_com_port();
    h_.write_config_file();
    h_.show_activity({"Focuser responding", "Waiting for command"});
}

}  // namespace corvell
