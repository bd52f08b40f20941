// Everything a multi-pass sequence (port search, initialization, add-focuser
// setup, conversion and rename, number entries) may do: the executive's
// state it runs in, the exchanges it starts, the values and files of the
// current focuser and the configuration, the parts of the screen it owns,
// and the focuser list. The engine implements it privately; a sequence
// holds this and nothing else of the engine.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "control/engine_io.h"
#include "positioning/units.h"
#include "storage/settings_codec.h"

namespace corvell {

class SequenceHost {
public:
    virtual ~SequenceHost() = default;

    // ---- the executive's state ----
    // The step counter the running sequence keeps its step in.
    virtual int& sequence_counter() = 0;
    // The executive's state letter, the letter that waits behind it, and
    // the follow-up of a two-step operation.
    virtual State active() const = 0;
    virtual void set_active(State state) = 0;
    virtual State queued() const = 0;
    virtual void set_queued(State state) = 0;
    virtual State follow_up() const = 0;
    virtual void set_follow_up(State state) = 0;
    // The last yes/no question was answered yes; cleared before one is asked.
    virtual bool confirmed() const = 0;
    virtual void clear_confirmation() = 0;
    // Settings changed by the program itself, not clicked: the choices'
    // click work does not run meanwhile.
    virtual void lock_selection(bool locked) = 0;

    // ---- exchanges of the executive's own ----
    virtual void read_identify() = 0;
    virtual void read_status() = 0;
    virtual void read_position() = 0;
    virtual void send_zero_command() = 0;
    virtual void home_position_command() = 0;
    // Writes the maximum travel to the module ('w'), its echo awaited as
    // any command's.
    virtual void write_max_travel(long counts) = 0;
    // The reply did not come in time: reported, and the module asked again.
    virtual void serial_timeout() = 0;
    virtual void load_timer(int ms) = 0;
    // The module answers on an open port.
    virtual bool communicating() const = 0;
    // The last position read, in counts.
    virtual unsigned position_count() const = 0;
    // The port and speed of the choices are opened again, and the module asked.
    virtual void setup_com_port() = 0;

    // ---- the current focuser, the configuration, their files ----
    virtual FocuserProfile& profile() = 0;
    virtual ProgramConfig& config() = 0;
    virtual Unit unit() const = 0;
    virtual void update_displays() = 0;
    virtual void make_file_name(int number) = 0;
    virtual void read_focuser_file() = 0;
    virtual void write_focuser_file() = 0;
    virtual void restore_focuser_defaults() = 0;
    virtual void write_config_file() = 0;
    virtual std::string data_path(const std::string& name) const = 0;

    // ---- what follows a sequence ----
    virtual void start_up_clean() = 0;
    // Asks whether to initialize the focuser, then does.
    virtual void initialize_focuser() = 0;

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
    virtual void show_activity(std::vector<std::string> lines, LogLevel level = LogLevel::Info) = 0;
    virtual void show_operate_page() = 0;
    virtual void show_setup(const SetupScreen& page) = 0;
    virtual void hide_setup() = 0;
    virtual void show_text_entry(const std::string& text) = 0;
    // The yes/no question, with the captions of its two buttons.
    virtual void ask_question(const std::string& text, const std::string& yes = "OK",
                              const std::string& no = "Cancel") = 0;
    // Opens the number entry in executive state `entryState`; `unit` is
    // what the number is in.
    virtual void open_number_entry(State entryState, const std::string& caption, const std::string& prompt,
                                   const std::string& preset, const std::string& unit) = 0;
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
    // not exist (past the last, the first free one from the start); 0 when
    // every number is taken.
    virtual int free_file_number() = 0;
    // A new focuser, the profile as it stands, saved under `number`,
    // listed, selected and made the one in use: listed only once saved.
    // Returns why it could not be saved (nothing changed then), empty when
    // it was.
    virtual std::string save_new_focuser(int number) = 0;
};

}  // namespace corvell
