// The engine: the protocol with the control module, the executive that
// sequences commands and replies, and the values of the current focuser
// profile and of the program configuration, all as plain data.
//
// It reaches the outside only through ModuleLink, ReplyTimer and EngineView
// (engine_io.h). Received bytes, timer expiry, user actions and dialog
// answers come in as calls; every call that changes what is shown ends with
// one render of the changed parts. One executive pass is one call of
// executiveIdle().
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control/busy_rules.h"
#include "control/engine_io.h"
#include "control/letters.h"
#include "control/protocol.h"
#include "control/quantities.h"
#include "control/sequence_host.h"
#include "positioning/motion_rules.h"
#include "positioning/units.h"
#include "storage/settings_codec.h"

namespace corvell {

struct EngineOptions {
    std::string dataDir = ".";
    // Whether someone is there to answer the engine's questions, entries
    // and setup pages (see Engine::set_attended).
    bool attended = true;
    // Moves a deleted focuser's profile to the desktop's trash: true when
    // moved, with `inTrash` the file's path there; otherwise false and
    // `error` says why. Unset: a deleted profile is removed.
    std::function<bool(const std::string& path, std::string& inTrash, std::string& error)> moveToTrash = nullptr;
};

// How grave a status byte's lines are in the log.
LogLevel status_level(uint8_t status);

class PortSearch;
class Initialization;
class AddFocuser;
class Conversion;
class NumberEntries;

class Engine : private PortSearchHost,
               private InitializationHost,
               private NumberEntriesHost,
               private ConversionHost,
               private AddFocuserHost {
public:
    Engine(ModuleLink& link, ReplyTimer& timer, EngineView& view, EngineOptions options = {});
    ~Engine() override;
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // What the engine shows; every front end reads it.
    const Screen& screen() const { return screen_; }
    const EngineOptions& options() const { return options_; }
    Unit unit() const override { return unit_from_index(config_.unitsIndex); }

    // ---- intent operations, for every front end (the window, the network, INDI) ----
    // Each acts now (or right after the one exchange on the line) or
    // returns the reason it may not, in the window's words; none waits for
    // anything to end. An empty reason means it acts.
    //
    // A go-to to `count`, as the Go To button makes one. Already there:
    // nothing is sent. A count outside the travel is refused, or taken to
    // its nearest end, as `outside` says (quantities.h).
    //
    // Corrected, for a client that asks for positions one after another (an
    // autofocus run): with the backlash correction on, the move ends moving
    // outward, toward higher counts, so that the gears always take up their
    // play on the same side and a position asked for twice is the same
    // position. A move that would end inward, or come from less than the
    // correction distance below, first overshoots to the distance below the
    // count, then comes back out: the stored positions' approach rule with
    // its side fixed. The overshoot stops at the zero stop, asking nothing:
    // a count nearer zero than the distance is approached from zero. Both
    // legs are one go-to in the busy table and one move in last_move(), and
    // Stop ends both.
    enum class Approach { Straight, Corrected };
    std::string move_to(long count, OutsideTravel outside = OutsideTravel::Refuse,
                        Approach approach = Approach::Straight);
    // What became of the last go-to move_to() accepted. A front end that
    // told its client "accepted" reads it to tell the client, later, that
    // the move was not made after all: the exchange it waited behind timed
    // out, the module refused it or never reported its end, or the port
    // went away.
    struct MoveRecord {
        enum class Fate { Running, Made, Halted, NotMade };
        unsigned number = 0;  // counts the moves move_to() accepted; 0: none yet
        long target = 0;      // the count it went to
        Fate fate = Fate::Made;
        std::string reason;  // NotMade: why, e.g. "no answer from the control module on COM1: ..."
    };
    const MoveRecord& last_move() const { return lastMove_; }
    // The port and speed in use, e.g. "COM5: /dev/ttyUSB0 at 9600 baud".
    std::string port_in_use() const;
    // The situation that refuses `a` now (the first one that refuses it);
    // none when it acts.
    std::optional<Situation> refused_by(Action a) const { return refusing_situation(situations(), a); }
    // What Stop does: it always acts.
    void halt() { stop_command(); }
    // The last position read; none while it is not known.
    std::optional<long> position() const;
    // True from the moment a motion is accepted until it has ended and the
    // position after it has been read; a continuous move counts until it is
    // stopped or two position reads in a row agree.
    bool moving() const { return moving_; }
    // The initialization (its settings or its homing) runs or is about to.
    bool initializing() const;
    long max_travel() const override { return profile_.maxTravel; }
    float inches_per_count() const override { return profile_.inchesPerCount; }
    // The current focuser's description, in the files' code page.
    const std::string& focuser_description() const { return profile_.description; }
    // Why the module cannot be reached, in the window's words; empty while
    // it answers.
    std::string communication_problem() const;
    // Whether the module answers on an open port.
    bool communicating() const { return communicating_; }
    // The start-up has run.
    bool started() const { return started_; }
    // Nothing runs and nothing waits: no exchange on the line, no command
    // waiting to be sent, no sequence, question or entry open.
    bool idle() const { return activeCommand == State::Idle && queuedCommand == State::Idle && !stopEchoOwed_; }
    // The situations the engine is in now (busy_rules.h), and why an action
    // may not act now (empty when it acts).
    Situations situations() const;
    std::string refusal_reason(Action a) const { return refusal(situations(), a); }
    // What the window does with a question or an entry first, for front ends
    // that cannot ask: the position register set to zero; a maximum travel
    // saved in the profile and written to the module; the initialization;
    // the backlash correction on or off, and its distance in counts.
    std::string set_zero();
    std::string set_max_travel(long count);
    std::string initialize();
    std::string set_backlash(bool on);
    bool backlash_on() const { return profile_.backlashEnable == 1; }
    std::string set_backlash_count(long count);
    long backlash_count() const { return profile_.backlashCount; }
    // The idle poll: the time between position reads while nothing runs
    // (quantities.h gives its range); the program's own 1500 ms until set.
    std::string set_idle_poll(long ms);
    long idle_poll() const { return idlePollMs_; }
    // Stored position `n` (1..20): a go-to by the approach rule, and what it holds.
    std::string go_to_stored(int n);
    struct StoredPosition {
        long count = -1;          // -1: empty
        std::string description;  // code-page bytes
        bool endsInward = false;  // a go-to to it ends moving inward
    };
    StoredPosition stored_position(int n) const;
    // Whether someone is there to answer. While nobody is (a program
    // without a window and no page open, the INDI driver), the engine
    // answers for nobody at its next pass, and tells the view each time
    // (EngineView::answeredForNobody): a question is answered No (the
    // older release's question: the file is kept for the next start), an
    // entry, the description entry or a setup page is cancelled, the port
    // search's result is taken note of; and the start-up does not offer to
    // convert the older release's file. Switched off, whatever is open now
    // is answered so.
    void set_attended(bool attended);
    bool attended() const { return options_.attended; }
    // The port search over COM1..COM5 at both speeds, as "COM Port
    // AutoDetection" starts it; it runs while searching_ports(), and
    // port_search_result() says how the last one ended ("Communication
    // with focuser established.", "Focuser not found on any COM Port.").
    std::string search_ports();
    bool searching_ports() const;
    const std::string& port_search_result() const { return portSearchResult_; }
    // The port choice COM1..COM5 (0..4) and the speed choice (0: 9600,
    // 1: 2400), as the radio groups make them: saved, and the port opened
    // again with the module asked.
    std::string select_port(int index);
    std::string select_speed(int index);
    int port_choice() const override { return config_.portIndex; }
    int speed_choice() const override { return config_.baudIndex; }
    // The port is open and the module's first answer since it opened is
    // still awaited (neither come nor timed out).
    bool awaiting_first_answer() const;
    // Lines of another front end's own shown in Activity. With `hold` (a
    // network server that cannot start) they stay there until the user's
    // next action, as a note about the files does, or until the front end's
    // next note.
    void front_end_note(const std::vector<std::string>& lines, bool hold = false, LogLevel level = LogLevel::Info);
    // True while something a front end asked for has not ended: a command
    // on the line or waiting to go out, a go-to (a stored go-to's legs and a
    // step included), a homing or the initialization. A front end that shows
    // an operation as busy until it is done waits for this and moving().
    bool operation_pending() const;

    // ---- events ----
    // Construction: "Unknown" / "Initializing" shown, the temporaries that
    // saves interrupted by a crash left in the data directory removed, the
    // configuration read.
    void construct();
    // The first activation runs the start-up (once).
    void ExecutiveActivate();
    // One pass of the executive; the event loop calls it whenever it has
    // run empty.
    void executiveIdle();
    // The reply timer expired.
    void SerialTimerTimer();
    // Bytes (or the news that the device went away) wait in the port.
    void ComPortDataAvailable();

    // ---- the window's buttons, choices and boxes ----
    void stop_command();
    void move_in_command();
    void move_out_command();
    void set_zero_command();
    void go_to_command();
    void StepInButtonClick();
    void StepOutButtonClick();
    // The step box was left: `typed` tells whether digits were typed.
    void step_increment_input(bool typed, const std::string& text);
    void StepUpDownChangingEx(int direction);
    void BacklashEnableClick(int index);
    void backlash_count_update(bool typed, const std::string& text);
    void StoreNClick(int n);
    void GoToNClick(int n);
    void DeleteNClick(int n);
    // The description of slot `n` was finished with `text` (code-page bytes).
    void save_position_N(int n, const std::string& text);
    void UnitsClick(int index);
    void ComPortSelectClick(int index);
    void BaudRateSelectClick(int index);
    void AutoDetectClick();
    void ReinitializeClick();
    void RestoreDefaultsClick();
    void FocuserListClick(int row);
    void AddFocuserClick();
    void ManualSetupButtonClick();
    void DeleteFocuserClick();
    void ChangeDescriptionClick();
    void SetEncoderClick();
    void SetMaxTravelClick();
    void MaxTravelOverrideClick();

    // ---- the dialogs' answers, each for the question, entry or page `id` it showed ----
    // The yes/no question was answered.
    void question_answered(int id, bool yes);
    // The question was closed (Escape, the window's frame) without an
    // answer: for most questions that is no; the older release's file is
    // then kept for the next start.
    void question_closed(int id);
    // OK in the number entry with the text typed; `edited`: the user
    // changed the text the entry showed.
    void entry_confirmed(int id, const std::string& text, bool edited = true);
    // Cancel, or the entry window closed.
    void entry_cancelled(int id);
    // The stop button of a running go-to or homing, and of the initialization.
    void stop_go_to_pressed();
    void StopReinitClick();
    // "OK" in the Auto Detect dialog.
    void AutoDetectOKClick(int id);
    // OK in the text entry with the text (code-page bytes); Cancel or closing it.
    void text_entered(int id, const std::string& text);
    void text_entry_cancelled(int id);
    // The setup dialog's answers.
    void setup_ok(int id, const std::string& description, const std::string& maximum);
    void setup_cancelled(int id);
    void setup_back(int id);
    void setup_choice(int id, int index);
    void setup_description_entered(int id, const std::string& text);
    void setup_maximum_entered(int id, const std::string& text);
    void setup_maximum_typed(int id);
    void setup_description_typed(int id);

private:
    // ---- protocol ----
    void load_timer(int ms) override;
    void serial_timeout() override;
    void read_identify() override;
    void read_status() override;
    void read_position() override;
    void home_position_command() override;
    void send_zero_command() override;
    // Starts a go-to to `target` on the free line, for `by`.
    void go_to_position_command(long target, Action by = Action::GoTo);

    // ---- port ----
    void setup_com_port() override;

    // ---- port search, initialization, setup, conversion ----
    void auto_detect();
    void initialize_focuser() override;
    void reinit_focuser_handler();
    void add_focuser();
    void convert_old_format();

    // ---- displays, positions ----
    void update_displays() override;
    void show_position();
    void display_stored_position();
    void set_step_increment();
    void store_position_command();
    void backlash_test();
    // Starts the legs of `plan` (at once, or all after the exchange on the
    // line), for `by`.
    void start_legs(const ApproachPlan& plan, Action by);
    void delete_entry();

    // ---- files ----
    std::string data_path(const std::string& name) const override;
    // The first bytes of profile `number`; no value when it does not open.
    std::optional<std::string> read_profile_head(int number) const;
    void make_file_name(int number) override;
    void read_focuser_file() override;
    void write_focuser_file() override;
    // Saves the profile under its file name: why it could not, empty when saved.
    std::string save_profile();
    void restore_focuser_defaults() override;
    void delete_file_command();
    void read_config_file();
    void write_config_file() override;
    void restore_config_defaults();
    void start_up_clean() override;

    // ---- protocol state ----
    State activeCommand = State::Idle;
    State queuedCommand = State::Idle;
    State followUpCommand = State::Idle;
    ReplyFrame reply;  // replyBuffer, replyCount, replyLength, replyReady
    bool timerExpired = false;
    std::string doneMessage1, doneMessage2;
    int confirmAnswer = 0;
    int sequenceCounter = 0;
    bool reconnectPending = false;
    int goToTimeLimit = 30000;

    // ---- position state ----
    unsigned currentPosition = 0;
    unsigned previousPosition = 0;
    bool lastDirection = false;  // true: the last move went toward smaller counts
    bool positionKnown = false;

    // ---- the current profile and the program configuration ----
    FocuserProfile profile_;
    ProgramConfig config_;
    std::string currentFileName = "fc00001.df1";

    // ---- flags ----
    bool selectionLock = false;
    bool started_ = false;
    int selectedSlot = 1;
    bool descriptionEditing = false;

    // ---- dialogs ----
    int sureTag = 0;   // the question has been answered
    int entryTag = 0;  // the entry has been confirmed
    bool entryOk = false;
    long enteredCount = 0;

    // The legs of a stored go-to with backlash correction.
    enum class Leg { None, First, AfterWarning, Final };
    struct BacklashLegs {
        Leg next = Leg::None;  // the leg the 'q' step runs
        long first = 0;        // the overshoot point (or the target itself)
        long final = 0;        // the stored count
        bool twoLegs = false;
    } legs;
    bool clippedOvershoot = false;

    // One render when the outermost call ends.
    class Batch {
    public:
        explicit Batch(Engine& e) : e_(e) { ++e_.depth_; }
        ~Batch();

    private:
        Engine& e_;
    };
    friend class Batch;
    // The fuzz target of the receive path checks the reply frame's bounds,
    // which nothing a front end sees shows.
    friend struct ReceiveProbe;

    enum class Echo { Match, Rejected, Wrong };

    // ---- states of the executive, one method a state (its letter beside it) ----
    void on_confirmation();            // 'a' Confirm
    void on_identify_reply();          // 'b' Identify
    void on_completion();              // 'c' Completion
    void on_go_to_echo();              // 'g' GoToEcho
    void on_home_echo();               // 'h' HomeEcho
    void on_simple_echo();             // 'i', 'o', 's', 'w', 'z': the echo of a simple command
    void on_store_answered();          // 'm' StoreConfirm
    void on_restore_answered();        // 'n' RestoreConfirm
    void on_delete_stored_answered();  // 'x' DeleteConfirm
    void on_position_reply();          // 'p' PositionReply
    void on_status_reply();            // 't' StatusReply
    void on_backlash_leg();            // 'q' BacklashLeg
    void on_go_to_entry_closed();      // 'v' GoToEntry
    void dispatch_queued();
    void enter_backlash_leg() { activeCommand = State::BacklashLeg; }
    void enter_conversion() { activeCommand = State::Conversion; }
    void enter_wizard() { activeCommand = State::Wizard; }
    void begin_auto_detect();
    void begin_reinit();
    void port_choice_clicked(int ProgramConfig::*choice, int index);
    void choose_port();
    // The entry opened by a click (go-to position, or a number of the
    // Configure page) in executive state `entryState`.
    void open_entry(State entryState, const std::string& caption, const std::string& prompt, const std::string& preset,
                    const std::string& unit);

    // ---- the sequences' hosts (sequence_host.h) ----
    int& sequence_counter() override { return sequenceCounter; }
    bool confirmed() const override { return confirmAnswer == 1; }
    // What the sequences mean when they hold or let go of the executive.
    void search_ended() override { activeCommand = State::Idle; }
    bool identify_awaited() const override { return activeCommand == State::Identify; }
    void initialization_ended() override;
    void entry_ended() override { activeCommand = State::Idle; }
    void take_scale(float inchesPerCount) override;
    void take_max_travel(long counts) override;
    void ask_conversion_question(const std::string& text, const std::string& yes, const std::string& no) override;
    void hold_for_rename() override { activeCommand = State::Conversion; }
    void conversion_ended(bool dropQueued) override;
    void hold_for_setup() override;
    void return_to_setup() override { queuedCommand = State::Wizard; }
    bool holds_executive() const override;
    void release_setup() override;
    int current_file_number() const override { return config_.currentFileNumber; }
    void lock_selection(bool locked) override { selectionLock = locked; }
    void write_max_travel(long counts) override;
    unsigned position_count() const override { return currentPosition; }
    FocuserProfile& profile() override { return profile_; }
    ProgramConfig& config() override { return config_; }
    void transmit(char letter, unsigned argument, int replyLength) override;
    const uint8_t* take_reply() override;
    bool take_expiry() override;
    bool take_position_read() override;
    bool open_probe_port(int portIndex, int baudIndex) override;
    void release_port() override;
    bool port_open() const override { return link_.connected(); }
    void stop_echo_follows(const std::vector<std::string>& doneLines) override;
    void show_activity(std::vector<std::string> lines, LogLevel level) override {
        set_activity(std::move(lines), level);
    }
    void show_operate_page() override;
    void show_setup(const SetupScreen& page) override;
    void hide_setup() override;
    void show_text_entry(const std::string& text) override;
    void show_auto_detect_text(bool visible) override;
    void show_auto_detect_result(const std::string& message) override;
    bool auto_detect_result_open() const override { return screen_.autoDetect.visible; }
    void show_stop_init(bool visible) override;
    void show_reinit_text(bool visible) override;
    void show_focuser_type() override;
    void set_choices(int portIndex, int baudIndex) override;
    void report_file_problem(const std::string& line) override { hold_note(line, false); }
    void append_focuser(const std::string& description, int number);
    std::string save_new_focuser(int number) override;
    void rename_selected_focuser(const std::string& description) override;
    int free_file_number() override;
    void open_number_entry(State entryState, const std::string& caption, const std::string& prompt,
                           const std::string& preset, const std::string& unit) override {
        open_entry(entryState, caption, prompt, preset, unit);
    }
    // Opens the chosen port again when it is not open (gone away, or never
    // there); true when it is open afterwards.
    bool reopen_port();
    std::string port_trouble() const;
    void port_does_not_open(bool firstTry);
    // The position is not known (the port did not open, or went away).
    void position_unknown();
    // The port went away under the program (an adapter unplugged, a line
    // hung up): whatever ran on it ends at once and says so, and the port
    // is tried again.
    void port_gone();
    // Bytes waiting in the port, taken into the reply as far as it needs.
    void take_waiting_bytes();

    // The common start of a reply state: a time-out is reported (bringing
    // the Operate page forward when asked) and false returned; a complete
    // reply is taken, the timer reloaded with the poll interval, true returned.
    bool take_reply(bool operateOnTimeout);
    Echo echo_of(uint8_t expected) const;
    void show_echo_failure(Echo e);
    void motion_echo(int completionLimitMs);
    void terminate_motion();
    void end_failed_go_to(Echo e);
    // The move move_to() accepted ends without being made, for `reason`.
    void move_not_made(const std::string& reason);
    // Why a move ends that a time-out cut short, naming the port.
    std::string time_out_reason() const;
    void move_command(Action action, char letter);
    void step_command(Action action);
    // Every go-to a user or a front end asks for starts here (a stored
    // go-to's legs too): already there, nothing is sent; with an exchange
    // on the line it follows that exchange; else it goes out now.
    void start_go_to(long target, Action action);
    bool already_at(long target) const;
    // Puts a command on the line: the letter and its argument bytes, after
    // discarding whatever waits in the port; the reply is then awaited for
    // the command's time limit. `send` makes it the executive's state.
    void send(char letter, unsigned argument = 0);
    void send_command_with(unsigned argument);
    // A stop was written while another exchange was on the line: that
    // exchange ended, and the stop's echo is awaited now.
    void await_stop_echo();

    // ---- the log (engine_log.cpp) ----
    void log(LogLevel level, const std::string& text);
    void log_activity(const std::vector<std::string>& lines, LogLevel level);
    void log_connection(const std::string& connection);
    void log_status(const std::vector<std::string>& lines, LogLevel level);
    // At the end of a call: the position where a move ended (or the
    // module's own buttons left it), and the focuser in use.
    void log_at_rest();
    std::vector<std::string> loggedActivity_;
    std::vector<std::string> loggedPosition_;
    std::string loggedFocuser_, loggedConnection_, loggedStatus_;
    bool loggedCommunicating_ = false;  // the module answered at least once

    // ---- nobody there to answer ----
    // A question, entry, setup page or result was opened: with nobody
    // there, the next pass answers it.
    void opened_for_answer();
    void answer_for_nobody();
    void offer_left_conversion();
    void tell_answered(UnattendedAnswer::Kind kind, const std::string& text, const std::string& line);
    std::string select_choice(int ProgramConfig::*choice, int index, int choices);
    void apply_port_choice(int ProgramConfig::*choice, int index);

    // ---- refusals ----
    // True, with the reason and "<action> not started" shown, when the
    // action may not act now.
    bool refuse(Action action);
    // `cause`: the situation that refused; Situation::Count for a rule of
    // the value (the refusal then stays until the user's next action).
    void show_refusal(const std::string& reason, Action action, Situation cause = Situation::Count);
    void show_refusal_lines(RefusalScreen::Place place, const std::vector<std::string>& lines, Situation cause);
    // The shown refusal goes once what refused it has ended.
    void end_refusal_when_over();
    // After a question or entry closes: a follow-up that needs the module
    // is refused when the module no longer answers.
    bool refuse_without_module(Action action);
    bool dialog_state() const;
    bool motion_in_progress() const;
    // The maximum travel of the profile did not reach the module: said in
    // Activity; it goes out once the module answers its identify again.
    void travel_not_sent(const std::string& why);
    // Drops a command the user asked for that still waits behind the
    // exchange on the line (and the legs of a stored go-to); returns the
    // line that says so, empty when nothing was dropped. A maximum travel
    // waiting to be written is not dropped from the profile: Activity says
    // it was not sent, and why.
    std::string drop_queued_motion(const std::string& travelWhy = "the focuser did not answer");
    void drop_legs();
    // The command waits behind the exchange on the line, with its value.
    void queue_command(State state, Action action, long argument = 0);

    // ---- screen ----
    void set_activity(std::vector<std::string> lines, LogLevel level = LogLevel::Info);
    void activity(const std::string& line1);
    void activity(const std::string& line1, const std::string& line2, LogLevel level = LogLevel::Info);
    void set_status(std::vector<std::string> lines, LogLevel level = LogLevel::Info);
    void set_position_lines(std::vector<std::string> lines);
    void set_connection(const std::string& text);
    void show_question(const std::string& text, const std::string& yes = "OK", const std::string& no = "Cancel");
    void show_stop_go_to(bool visible);
    void set_shown(bool& shown, bool visible, unsigned part);
    void set_choices_from_config();
    void apply_profile(const FocuserProfile& p);
    void report_file_error(const std::string& error);
    void list_rows(const std::vector<ProfileRow>& rows, int selected);
    void set_no_focuser(bool none);
    void mark(unsigned parts) { dirty_ |= parts; }

    // ---- notes held in Activity ----
    // Adds a line to the held note in Activity; `notSaved`: a save failed,
    // and the note ends with "Settings not saved".
    // `level`: how grave the line is in the log (a failed save is an error).
    void hold_note(const std::string& line, bool notSaved = false, LogLevel level = LogLevel::Warning);
    // The same, not logged.
    void hold_line(const std::string& line, bool notSaved);
    void show_held_note();
    // Takes these lines out of the held note; Activity gets back the lines
    // it held once none is left.
    void drop_held_lines(const std::vector<std::string>& lines);
    // The user acted: a pending note has been seen and gives Activity
    // back to the lines it held. Steps the executive takes by itself (a
    // queued command dispatched in a pass) are not the user's.
    void user_acts();
    void remove_leftovers();
    // The profile file now holds shortened descriptions: take them over.
    void adopt_shortened(const ProfileEncoding& written);

    ModuleLink& link_;
    ReplyTimer& timer_;
    EngineView& view_;
    EngineOptions options_;
    Screen screen_;
    unsigned dirty_ = 0;
    int depth_ = 0;
    bool inPass_ = false;
    // Passes asked for in a row without an event between them; a bound
    // that a sequence stepping without waiting can never exceed.
    int chainedPasses_ = 0;
    static constexpr int kMaxChainedPasses = 64;
    int nextDialogId_ = 0;
    State entryState_ = State::Idle;      // the state that waits for the open entry
    bool stopEndsMotion_ = false;         // the 's' in flight ends a go-to or homing
    bool stopEchoOwed_ = false;           // a stop went out over another exchange; its echo follows
    std::vector<std::string> stopLines_;  // Activity lines when that stop echoes
    bool activated_ = false;              // the first activation has run
    bool positionRead_ = false;           // a position reply came (for a sequence that watches it)
    bool communicating_ = false;          // the module answered the identify since the last time-out
    bool portOpen_ = false;               // the port was opened and not let go since
    bool identifyDue_ = false;            // the port came back while a dialog held the executive
    bool moving_ = false;                 // see moving()
    // The profile's maximum travel has not reached the module (no echo, or
    // no module to send it to): it is sent when the module answers again.
    bool travelUnsent_ = false;
    // The profile of the focuser being deleted could not go to the trash:
    // the question now open asks whether to delete it for good.
    bool deleteForGood_ = false;
    std::vector<std::string> travelNote_;        // the lines that say so
    Situation refusalCause_ = Situation::Count;  // what refused the click shown
    bool continuousMove_ = false;                // a Move In or Move Out runs until stopped
    // The user's command waiting behind the exchange on the line.
    Action queuedAction_ = Action::Count;
    bool queuedStep_ = false;  // it is a step: the next step starts from its target
    long queuedArgument_ = 0;  // its target or value
    // The go-to last sent: what asked for it (a step adds to a step) and
    // its target, which is where the focuser is going, or has gone while no
    // position was read since.
    Action goToBy_ = Action::GoTo;
    long goToTarget_ = 0;
    bool goToTargetAhead_ = false;
    MoveRecord lastMove_;
    // The sequences, each a unit of its own reaching the engine through
    // SequenceHost.
    std::unique_ptr<PortSearch> portSearch_;
    std::unique_ptr<Initialization> init_;
    std::unique_ptr<AddFocuser> setup_;
    std::unique_ptr<Conversion> conversion_;
    std::unique_ptr<NumberEntries> entries_;
    std::string portSearchResult_;  // how the last port search ended
    bool conversionLeft_ = false;   // the older release's file waits for someone to answer
    std::string portName_ = "com1";
    int idlePollMs_ = kPollIntervalMs;
    std::string shownPortTrouble_;  // the reason the port does not open, as Activity shows it
    int baud_ = 9600;

    // A note the user must be able to read: a refused click and its reason,
    // or a problem with the user's files (a failed save, a description that
    // had to be shortened, a leftover that could not be removed). It holds
    // the Activity display until the user's next action, so that the
    // progress, identify and poll lines that follow within milliseconds
    // cannot hide it; lines written meanwhile are kept and shown when it goes.
    struct HeldNote {
        std::vector<std::string> lines;  // distinct, oldest first; empty: none pending
        bool notSaved = false;
        std::vector<std::string> held;  // the lines Activity shows when the note goes
    } heldNote_;
    static constexpr size_t kMaxHeldLines = 3;
    // The lines of the last note a front end asked to hold.
    std::vector<std::string> frontEndHeld_;
};

}  // namespace corvell
