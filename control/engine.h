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
#include "control/sequence_host.h"
#include "positioning/units.h"
#include "storage/settings_codec.h"

namespace corvell {

struct EngineOptions {
    std::string dataDir = ".";
    // Whether the start-up offers to convert an older release's file. A
    // front end that cannot ask the question (headless, INDI) leaves the
    // file for the window and says so.
    bool offerConversion = true;
    // Moves a deleted focuser's profile to the desktop's trash: true when
    // moved, with `inTrash` the file's path there; otherwise false and
    // `error` says why. Unset: a deleted profile is removed.
    std::function<bool(const std::string& path, std::string& inTrash, std::string& error)> moveToTrash = nullptr;
};

class PortSearch;
class Initialization;
class AddFocuser;
class Conversion;
class NumberEntries;

class Engine : private SequenceHost {
public:
    Engine(ModuleLink& link, ReplyTimer& timer, EngineView& view, EngineOptions options = {});
    ~Engine() override;
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    const Screen& screen() const { return screen_; }
    const EngineOptions& options() const { return options_; }
    Unit unit() const { return unit_from_index(config.unitsIndex); }

    // ---- intent operations, for every front end (the window, the network) ----
    // Starts a go-to to `count` as the Go To button does: sent now, or right
    // after the exchange on the line. Empty when accepted; otherwise the
    // reason the window would give. A count outside the module's range is
    // refused.
    std::string move_to(long count);
    // What Stop does.
    void halt() { stop_command(); }
    // The last position read; none while it is not known.
    std::optional<long> position() const;
    // True from the moment a motion is accepted until it has ended and the
    // position after it has been read; a continuous move counts until it is
    // stopped or two position reads in a row agree.
    bool moving() const { return moving_; }
    long max_travel() const { return profile.maxTravel; }
    float inches_per_count() const { return profile.inchesPerCount; }
    // The current focuser's description, in the files' code page.
    const std::string& focuser_description() const { return profile.description; }
    // Why the module cannot be reached, in the window's words; empty while
    // it answers.
    std::string communication_problem() const;
    // The initialization (its settings or its homing) runs or is about to.
    bool initializing() const;
    // What the window does with a question or an entry first, for front ends
    // that cannot ask: each acts now (after the exchange on the line) or
    // returns the reason it may not. The position register set to zero;
    // a maximum travel saved in the profile and written to the module; the
    // initialization; the backlash correction on or off, and its distance.
    std::string set_zero();
    std::string set_max_travel(long count);
    std::string initialize();
    std::string set_backlash(bool on);
    bool backlash_on() const { return profile.backlashEnable == 1; }
    std::string set_backlash_count(long count);
    long backlash_count() const { return profile.backlashCount; }
    // Stored position `n` (1..20): a go-to by the approach rule, and what it holds.
    std::string go_to_stored(int n);
    struct StoredPosition {
        long count = -1;          // -1: empty
        std::string description;  // code-page bytes
    };
    StoredPosition stored_position(int n) const;
    // Lines of another front end's own shown in Activity. With `hold` (a
    // network server that cannot start) they stay there until the user's
    // next action, as a note about the files does, or until the front end's
    // next note.
    void front_end_note(const std::vector<std::string>& lines, bool hold = false);

    // ---- construction and start-up ----
    // Shows "Unknown" / "Initializing", removes the temporaries that saves
    // interrupted by a crash left in the data directory, and reads the
    // configuration.
    void construct();
    void ExecutiveActivate();
    void start_up_clean();

    // ---- protocol ----
    void send_command();
    void load_timer(int ms);
    void SerialTimerTimer();
    void ComPortDataAvailable();
    void serial_timeout();
    void read_identify();
    void read_status();
    void read_position();
    void stop_command();
    void move_in_command();
    void move_out_command();
    void home_position_command();
    void send_zero_command();
    void set_zero_command();
    void go_to_command();
    void go_to_position_command();
    void set_command_argument(long value);

    // ---- port ----
    void setup_com_port();
    void ComPortSelectClick(int index);
    void BaudRateSelectClick(int index);

    // ---- port search ----
    void AutoDetectClick();
    void auto_detect();
    void auto_detect_send();
    // "OK" in the Auto Detect dialog `id`.
    void AutoDetectOKClick(int id);

    // ---- initialization ----
    void ReinitializeClick();
    void initialize_focuser();
    void reinit_focuser_handler();
    void reinit_focuser_send(char letter);
    // The stop button of the Initialization In Progress dialog.
    void StopReinitClick();

    // ---- focusers: the list, the add-focuser setup, the number entries ----
    void FocuserListClick(int row);
    void AddFocuserClick();
    void ManualSetupButtonClick();
    void add_focuser();
    void DeleteFocuserClick();
    void ChangeDescriptionClick();
    void SetEncoderClick();
    void SetMaxTravelClick();
    void MaxTravelOverrideClick();
    // The setup dialog's answers, each for the page `id` it showed.
    void setup_ok(int id, const std::string& description, const std::string& maximum);
    void setup_cancelled(int id);
    void setup_back(int id);
    void setup_choice(int id, int index);
    void setup_description_entered(int id, const std::string& text);
    void setup_maximum_entered(int id, const std::string& text);
    void setup_maximum_typed(int id);

    // ---- the older release's parameter file, and renaming ----
    void convert_old_format();
    // OK in the text entry `id` with the text (code-page bytes); Cancel or
    // closing it.
    void text_entered(int id, const std::string& text);
    void text_entry_cancelled(int id);

    // ---- executive ----
    void executiveIdle();
    // The situations the engine is in now (busy_rules.h).
    Situations situations() const;
    // Why the action may not act now; empty when it acts.
    std::string refusal_reason(Action a) const { return refusal(situations(), a); }
    // Whether the module answers on an open port.
    bool communicating() const { return communicating_; }

    // ---- dialog answers ----
    // The yes/no question `id` was answered (closing it counts as no).
    void question_answered(int id, bool yes);
    // OK in the number entry `id` with the text typed; `edited`: the user
    // changed the text the entry showed.
    void entry_confirmed(int id, const std::string& text, bool edited = true);
    // Cancel, or the entry window closed.
    void entry_cancelled(int id);
    // The stop button of a running go-to or homing.
    void stop_go_to_pressed();

    // ---- displays and units ----
    void update_displays();
    void UnitsClick(int index);
    void show_position();
    void display_stored_position();

    // ---- step moves, backlash, stored positions ----
    void StepInButtonClick();
    void StepOutButtonClick();
    // The step box was left: `typed` tells whether digits were typed.
    void step_increment_input(bool typed, const std::string& text);
    void set_step_increment();
    void StepUpDownChangingEx(int direction);
    void BacklashEnableClick(int index);
    void backlash_count_update(bool typed, const std::string& text);
    void StoreNClick(int n);
    void GoToNClick(int n);
    void DeleteNClick(int n);
    void store_position_command();
    void backlash_test();
    void delete_entry();
    // The description of slot `n` was finished with `text` (code-page bytes).
    void save_position_N(int n, const std::string& text);

    // ---- files ----
    std::string data_path(const std::string& name) const;
    // The first bytes of profile `number`; no value when it does not open.
    std::optional<std::string> read_profile_head(int number) const;
    void make_file_name(int number);
    void read_focuser_file();
    void write_focuser_file();
    void restore_focuser_defaults();
    void delete_file_command();
    void read_config_file();
    void write_config_file();
    void restore_config_defaults();
    void RestoreDefaultsClick();

    // ---- protocol state ----
    char activeCommand = 0;
    char queuedCommand = 0;
    char followUpCommand = 0;
    ReplyFrame reply;  // replyBuffer, replyCount, replyLength, replyReady
    bool timerExpired = false;
    std::string doneMessage1, doneMessage2;
    uint8_t commandArgHigh = 0, commandArgLow = 0;
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
    FocuserProfile profile;
    ProgramConfig config;
    std::string currentFileName = "fc00001.df1";

    // ---- flags ----
    bool selectionLock = false;
    bool started = false;
    int selectedSlot = 1;
    bool descriptionEditing = false;


    // ---- dialogs ----
    int sureTag = 0;        // the question has been answered
    int entryTag = 0;       // the entry has been confirmed
    bool entryOk = false;
    long enteredCount = 0;

    // The legs of a stored go-to with backlash correction.
    enum class Leg { None, First, AfterWarning, Final };
    struct BacklashLegs {
        Leg next = Leg::None;   // the leg the 'q' step runs
        long first = 0;         // the overshoot point (or the target itself)
        long final = 0;         // the stored count
        bool twoLegs = false;
    } legs;
    bool clippedOvershoot = false;

private:
    // One render when the outermost call ends.
    class Batch {
    public:
        explicit Batch(Engine& e) : e_(e) { ++e_.depth_; }
        ~Batch();
    private:
        Engine& e_;
    };
    friend class Batch;

    enum class Echo { Match, Rejected, Wrong };

    // ---- states of the executive, one method a letter ----
    void state_a();
    void state_b();
    void state_c();
    void state_g();
    void state_h();
    void state_echo();   // 'i', 'o', 's', 'w', 'z'
    void state_m();
    void state_n();
    void state_x();
    void state_p();
    void state_t();
    void state_q();
    void state_v();
    void dispatch_queued();
    void become_q() { activeCommand = state::kBacklashLeg; }
    void become_j() { activeCommand = state::kConversion; }
    void become_k() { activeCommand = state::kWizard; }
    void send_max_travel();
    void begin_auto_detect();
    void begin_reinit();
    void port_choice_clicked(int ProgramConfig::*choice, int index);
    void choose_port();
    // The entry opened by a click (go-to position, or a number of the
    // Configure page) in executive state `entryState`.
    void open_entry(char entryState, const std::string& caption, const std::string& prompt,
                    const std::string& preset);

    // ---- SequenceHost ----
    SequenceHost& host() { return *this; }
    void transmit(char letter, unsigned argument, int replyLength) override;
    const uint8_t* take_reply() override;
    bool take_expiry() override;
    bool take_position_read() override;
    bool open_probe_port(int portIndex, int baudIndex) override;
    void release_port() override;
    bool port_open() const override { return link_.connected(); }
    void stop_echo_follows(const std::vector<std::string>& doneLines) override;
    void show_activity(std::vector<std::string> lines) override { set_activity(std::move(lines)); }
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
    void report_file_problem(const std::string& line) override { note_file_problem(line, false); }
    void append_focuser(const std::string& description, int number) override;
    void rename_selected_focuser(const std::string& description) override;
    int free_file_number() override;
    void open_number_entry(char entryState, const std::string& caption, const std::string& prompt,
                           const std::string& preset) override {
        open_entry(entryState, caption, prompt, preset);
    }
    void ask_question(const std::string& text) override { show_question(text); }
    // Opens the chosen port again when it is not open (gone away, or never
    // there); true when it is open afterwards.
    bool reopen_port();
    std::string port_trouble() const;
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
    void move_command(Action action, char letter);
    void step_command(Action action);
    void go_to(long target);
    // Puts a command on the line: the letter and its argument bytes, after
    // discarding whatever waits in the port; the reply is then awaited for
    // the command's time limit. `send` makes it the executive's state.
    void send(char letter, unsigned argument = 0);
    void send_command_with(unsigned argument);
    // A stop was written while another exchange was on the line: that
    // exchange ended, and the stop's echo is awaited now.
    void await_stop_echo();

    // ---- refusals ----
    // True, with the reason and "<action> not started" shown, when the
    // action may not act now.
    bool refuse(Action action);
    // After a question or entry closes: a follow-up that needs the module
    // is refused when the module no longer answers.
    bool refuse_without_module(Action action);
    bool dialog_state() const;
    bool motion_in_progress() const;
    // Drops a command the user asked for that still waits behind the
    // exchange on the line (and the legs of a stored go-to); returns the
    // line that says so, empty when nothing was dropped.
    std::string drop_queued_motion();
    void drop_legs();
    void queue_command(char letter, Action action);

    // ---- screen ----
    void set_activity(std::vector<std::string> lines);
    void activity(const std::string& line1);
    void activity(const std::string& line1, const std::string& line2);
    void set_status(std::vector<std::string> lines);
    void set_position_lines(std::vector<std::string> lines);
    void set_connection(const std::string& text);
    void show_question(const std::string& text);
    void show_stop_go_to(bool visible);
    void set_shown(bool& shown, bool visible, unsigned part);
    void set_choices_from_config();
    void apply_profile(const FocuserProfile& p);
    void report_file_error(const std::string& error);
    void list_rows(const std::vector<ProfileRow>& rows, int selected);
    void mark(unsigned parts) { dirty_ |= parts; }

    // ---- notes about the user's files ----
    // Adds a line to the file note in Activity; `notSaved`: a save failed,
    // and the note ends with "Settings not saved".
    void note_file_problem(const std::string& line, bool notSaved);
    void show_file_note();
    // The user acted: a pending file note has been seen and gives Activity
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
    char entryState_ = 0;      // the state that waits for the open entry
    bool stopEndsMotion_ = false;  // the 's' in flight ends a go-to or homing
    bool stopEchoOwed_ = false;    // a stop went out over another exchange; its echo follows
    std::vector<std::string> stopLines_;  // Activity lines when that stop echoes
    bool activated_ = false;       // the first activation has run
    bool positionRead_ = false;    // a position reply came (for a sequence that watches it)
    bool communicating_ = false;   // the module answered the identify since the last time-out
    bool portOpen_ = false;        // the port was opened and not let go since
    bool identifyDue_ = false;     // the port came back while a dialog held the executive
    bool moving_ = false;          // see moving()
    bool continuousMove_ = false;  // a Move In or Move Out runs until stopped
    // The user's command waiting behind the exchange on the line.
    Action queuedAction_ = Action::Count;
    bool queuedStep_ = false;      // it is a step: the next step starts from its target
    long queuedTarget_ = 0;
    // The sequences, each a unit of its own reaching the engine through
    // SequenceHost.
    std::unique_ptr<PortSearch> portSearch_;
    std::unique_ptr<Initialization> init_;
    std::unique_ptr<AddFocuser> setup_;
    std::unique_ptr<Conversion> conversion_;
    std::unique_ptr<NumberEntries> entries_;
    std::string portName_ = "com1";
    int baud_ = 9600;

    // A note about the user's files (a failed save, a description that had
    // to be shortened, a leftover that could not be removed). It holds the
    // Activity display until the user's next action, so that the identify
    // and poll lines that follow within milliseconds cannot hide it; lines
    // written meanwhile are kept and shown when it goes.
    struct FileNote {
        std::vector<std::string> lines;  // distinct, oldest first; empty: none pending
        bool notSaved = false;
        std::vector<std::string> held;   // the lines Activity shows when the note goes
    } fileNote_;
    static constexpr size_t kMaxFileNoteLines = 3;
    // The lines of the last note a front end asked to hold.
    std::vector<std::string> frontEndHeld_;
};

}  // namespace corvell
