// What a multi-pass sequence (port search, initialization, add-focuser
// setup, conversion and rename, number entries) may do besides calling the
// engine's own operations: the parts of the screen it owns, the reply and
// the timer of the exchange it runs, and the focuser list. The engine
// implements it; a sequence holds it and the engine, nothing else.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "control/engine_io.h"

namespace corvell {

class SequenceHost {
public:
    virtual ~SequenceHost() = default;

    // ---- the exchange the sequence runs ----
    // Writes a command (and its argument) after discarding what waits, and
    // awaits a reply of `replyLength` bytes for the command's time limit;
    // the executive's state stays the sequence's.
    virtual void transmit(char letter, unsigned argument, int replyLength) = 0;
    // The reply, once it is complete; null until then. Taken once.
    virtual const uint8_t* take_reply() = 0;
    // True once after the reply timer expired.
    virtual bool take_expiry() = 0;
    // True once after a position was read.
    virtual bool take_position_read() = 0;
    // Opens the port of a choice for a probe (letting go of the one open).
    virtual bool open_probe_port(int portIndex, int baudIndex) = 0;
    virtual void release_port() = 0;
    virtual bool port_open() const = 0;
    // A stop went out while the sequence ran: its echo is awaited now (if
    // it is owed), and these lines are shown when it comes.
    virtual void stop_echo_follows(const std::vector<std::string>& doneLines) = 0;

    // ---- the screen ----
    virtual void show_activity(std::vector<std::string> lines) = 0;
    virtual void show_operate_page() = 0;
    virtual void show_setup(const SetupScreen& page) = 0;
    virtual void hide_setup() = 0;
    virtual void show_text_entry(const std::string& text) = 0;
    virtual void ask_question(const std::string& text) = 0;
    // Opens the number entry in executive state `entryState`.
    virtual void open_number_entry(char entryState, const std::string& caption, const std::string& prompt,
                                   const std::string& preset) = 0;
    virtual void show_auto_detect_text(bool visible) = 0;
    virtual void show_auto_detect_result(const std::string& message) = 0;
    virtual bool auto_detect_result_open() const = 0;
    virtual void show_stop_init(bool visible) = 0;
    virtual void show_reinit_text(bool visible) = 0;
    virtual void show_focuser_type() = 0;
    // A problem with the user's files, held in Activity until the user acts.
    virtual void report_file_problem(const std::string& line) = 0;
    // Sets the port and speed choices without their click work.
    virtual void set_choices(int portIndex, int baudIndex) = 0;

    // ---- the focuser list ----
    virtual void append_focuser(const std::string& description, int number) = 0;
    virtual void rename_selected_focuser(const std::string& description) = 0;
    // The first profile number at or above the next one whose file does
    // not exist.
    virtual int free_file_number() = 0;
};

}  // namespace corvell
