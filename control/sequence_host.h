// What each multi-pass sequence may do, as one narrow interface per
// sequence: the port search, the initialization, the number entries, the
// conversion of an older release's file (and the rename), and the
// add-focuser setup. The engine implements them privately; a sequence holds
// its own interface and nothing else of the engine. Where a sequence holds
// the executive (its state letter) it says so by an operation named for
// what it means; no sequence sets the executive's letters itself.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "control/engine_io.h"
#include "control/letters.h"
#include "positioning/units.h"
#include "storage/settings_codec.h"

namespace corvell {

// The search for the module over COM1..COM5 at both speeds.
class PortSearchHost {
public:
    virtual ~PortSearchHost() = default;
    // The step counter the search keeps its step in.
    virtual int& sequence_counter() = 0;
    // The port and speed choices in use; setting them without their click work.
    virtual int port_choice() const = 0;
    virtual int speed_choice() const = 0;
    virtual void set_choices(int portIndex, int baudIndex) = 0;
    // Opens the port of a choice for a probe (letting go of the one open).
    virtual bool open_probe_port(int portIndex, int baudIndex) = 0;
    virtual void release_port() = 0;
    virtual bool port_open() const = 0;
    // The probe: written after discarding what waits; its reply, once
    // complete (null until then); true once after the reply timer expired.
    virtual void transmit(char letter, unsigned argument, int replyLength) = 0;
    virtual const uint8_t* take_reply() = 0;
    virtual bool take_expiry() = 0;
    virtual void load_timer(int ms) = 0;
    virtual void show_auto_detect_text(bool visible) = 0;
    virtual void show_auto_detect_result(const std::string& message) = 0;
    virtual bool auto_detect_result_open() const = 0;
    virtual void show_activity(std::vector<std::string> lines, LogLevel level = LogLevel::Info) = 0;
    // The chosen port and speed opened again and the module asked; the
    // choice saved.
    virtual void setup_com_port() = 0;
    virtual void write_config_file() = 0;
    // The search is over: the executive is free again.
    virtual void search_ended() = 0;
    // The module is being asked to identify itself.
    virtual bool identify_awaited() const = 0;
};

// The initialization's settings phase: the speed settings and the maximum
// travel written into the module, then the homing.
class InitializationHost {
public:
    virtual ~InitializationHost() = default;
    virtual int& sequence_counter() = 0;
    // The focuser's scale and maximum travel, which the settings come from.
    virtual float inches_per_count() const = 0;
    virtual long max_travel() const = 0;
    virtual void transmit(char letter, unsigned argument, int replyLength) = 0;
    virtual const uint8_t* take_reply() = 0;
    virtual bool take_expiry() = 0;
    // The homing that ends it, the status read after a failed write, the
    // time-out report.
    virtual void home_position_command() = 0;
    virtual void read_status() = 0;
    virtual void serial_timeout() = 0;
    virtual void show_activity(std::vector<std::string> lines, LogLevel level = LogLevel::Info) = 0;
    virtual void show_operate_page() = 0;
    virtual void show_stop_init(bool visible) = 0;
    // A stop went out while the settings were written: its echo is awaited
    // now (if it is owed), and these lines are shown when it comes.
    virtual void stop_echo_follows(const std::vector<std::string>& doneLines) = 0;
    // The sequence is over without its homing: the executive is free again.
    virtual void initialization_ended() = 0;
};

// The three number entries of the Configure page.
class NumberEntriesHost {
public:
    virtual ~NumberEntriesHost() = default;
    virtual Unit unit() const = 0;
    virtual float inches_per_count() const = 0;
    virtual long max_travel() const = 0;
    // Opens the number entry, held in executive state `entryState`; `unit`
    // is shown beside its edit.
    virtual void open_number_entry(State entryState, const std::string& caption, const std::string& prompt,
                                   const std::string& preset, const std::string& unit) = 0;
    // The entry is closed: the executive is free again.
    virtual void entry_ended() = 0;
    // The focuser's new scale or maximum travel, saved and shown; the
    // maximum travel written to the module.
    virtual void take_scale(float inchesPerCount) = 0;
    virtual void take_max_travel(long counts) = 0;
    virtual void write_max_travel(long counts) = 0;
    virtual void show_reinit_text(bool visible) = 0;
};

// The conversion of the older release's file into a focuser and the program
// settings, and the rename of the focuser in use, which ends in the same
// step function.
class ConversionHost {
public:
    virtual ~ConversionHost() = default;
    virtual int& sequence_counter() = 0;
    virtual std::string data_path(const std::string& name) const = 0;
    // The conversion fills the profile and the settings from the older
    // file; the rename changes the description.
    virtual FocuserProfile& profile() = 0;
    virtual ProgramConfig& config() = 0;
    // Settings changed by the program itself, not clicked: the choices'
    // click work does not run meanwhile.
    virtual void lock_selection(bool locked) = 0;
    virtual void restore_focuser_defaults() = 0;
    // The question whose answer the conversion waits for (the executive
    // held meanwhile); its answer.
    virtual void ask_conversion_question(const std::string& text, const std::string& yes, const std::string& no) = 0;
    virtual bool confirmed() const = 0;
    virtual void show_text_entry(const std::string& text) = 0;
    // The rename's entry holds the executive.
    virtual void hold_for_rename() = 0;
    // The conversion or rename is over; `dropQueued`: nothing it queued is
    // left either.
    virtual void conversion_ended(bool dropQueued) = 0;
    virtual void show_focuser_type() = 0;
    virtual void rename_selected_focuser(const std::string& description) = 0;
    virtual void report_file_problem(const std::string& line) = 0;
    // A new focuser's file under `number`, listed and in use; why not, empty when saved.
    virtual std::string save_new_focuser(int number) = 0;
    virtual int free_file_number() = 0;
    virtual void write_config_file() = 0;
    virtual void write_focuser_file() = 0;
    // The ordinary start-up, which follows a conversion.
    virtual void start_up_clean() = 0;
};

// The add-focuser setup and the manual setup of the focuser in use.
class AddFocuserHost {
public:
    virtual ~AddFocuserHost() = default;
    virtual int& sequence_counter() = 0;
    virtual Unit unit() const = 0;
    // The setup holds the executive while it runs; an exchange it starts
    // (an identify, a position read, a zero) returns to it; it lets go when
    // it ends. `holds_executive`: it has not let go yet.
    virtual void hold_for_setup() = 0;
    virtual void return_to_setup() = 0;
    virtual bool holds_executive() const = 0;
    virtual void release_setup() = 0;
    // The module: whether its port is open, asking it, and what it said.
    virtual bool port_open() const = 0;
    virtual void read_identify() = 0;
    virtual void read_position() = 0;
    virtual void send_zero_command() = 0;
    virtual void load_timer(int ms) = 0;
    virtual bool take_expiry() = 0;
    // True once after a position was read; the last position read, in counts.
    virtual bool take_position_read() = 0;
    virtual unsigned position_count() const = 0;
    // The focuser being set up: its values, filled in by the setup.
    virtual FocuserProfile& profile() = 0;
    virtual int current_file_number() const = 0;
    virtual int free_file_number() = 0;
    virtual std::string save_new_focuser(int number) = 0;
    virtual void make_file_name(int number) = 0;
    virtual void read_focuser_file() = 0;
    virtual void write_focuser_file() = 0;
    virtual void rename_selected_focuser(const std::string& description) = 0;
    // The screen: the setup's page, the focuser's name and values.
    virtual void show_setup(const SetupScreen& page) = 0;
    virtual void hide_setup() = 0;
    virtual void show_focuser_type() = 0;
    virtual void show_reinit_text(bool visible) = 0;
    virtual void update_displays() = 0;
    // Asks whether to initialize the focuser, then does.
    virtual void initialize_focuser() = 0;
};

}  // namespace corvell
