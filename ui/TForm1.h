// The main window: owner of the serial link, the protocol state, the
// current focuser's values and every control. Its methods glue the controls
// to the toolkit-free units (protocol, formats, motion rules, file codecs).
#pragma once
#include <QMainWindow>
#include <QString>
#include <QTimer>
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "app/port_map.h"
#include "control/protocol.h"
#include "positioning/units.h"
#include "storage/settings_codec.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QToolButton;
class QWidget;
class RadioGroup;
class TZComm;
class TAreYouSureDialog;
class TGoToDialog;
class TStopGoToDialog;
class TTextEntryDialog;

// The up-down arrows beside an edit box; each click reports a direction.
class UpDownControl;

struct FormOptions {
    PortMap portMap;
    std::string dataDir = ".";
    std::string simulatorNote;  // shown on the Settings page when a simulated module is in use
};

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    explicit TForm1(const FormOptions& options, QWidget* parent = nullptr);
    ~TForm1() override;

    // ---- controls (object names as given) ----
    QTabWidget* PageControl1;
    QWidget *TabSheet1, *TabSheet3, *TabSheet2, *TabSheet4, *TabSheet7;
    // Operate
    QPushButton *StopButton, *MoveInButton, *MoveOutButton, *GoToPosButton, *StepInButton, *StepOutButton;
    QLineEdit* StepEdit;
    UpDownControl* StepUpDown;
    RadioGroup* BacklashEnable;
    QLabel* BacklashAdjust;
    QLineEdit* BacklashEdit;
    QListWidget *PositionDisplay, *ActivityDisplay, *StatusDisplay, *MaxTravelDisplay;
    QLabel* FocuserType;
    // Store/Recall
    std::array<QLabel*, corvell::kStoredSlots> Pos{};
    std::array<QLineEdit*, corvell::kStoredSlots> Description{};
    std::array<QPushButton*, corvell::kStoredSlots> Store{};
    std::array<QPushButton*, corvell::kStoredSlots> GoTo{};
    std::array<QPushButton*, corvell::kStoredSlots> Delete{};
    // Configure
    QListWidget *FocuserList, *FocuserFiles;
    QPushButton *AddFocuser, *DeleteFocuser, *ChangeDescription, *ManualSetupButton, *SetEncoder, *SetMaxTravel,
        *MaxTravelOverride, *SetZeroPosition, *ReinitializeFocuser, *RestoreDefaults, *AutoDetect;
    RadioGroup *Units, *ComPortSelect, *BaudRateSelect;
    QLabel *AutoDetectText, *Connection, *EncoderPosition, *EncoderLines, *EncoderStep, *ReinitText, *MaxTravelStop;
    // Settings, Help
    QPlainTextEdit *SettingsText, *HelpText;

    // ---- components ----
    TZComm* ComPort;
    QTimer SerialTimer;
    TAreYouSureDialog* AreYouSureDialog;
    TGoToDialog* GoToDialog;
    TStopGoToDialog* StopGoToDialog;
    TTextEntryDialog* TextEntryDialog;

    // ---- protocol state ----
    char activeCommand = 0;
    char queuedCommand = 0;
    char followUpCommand = 0;
    corvell::ReplyFrame reply;  // replyBuffer, replyCount, replyLength, replyReady
    bool timerExpired = false;
    QString doneMessage1, doneMessage2;
    uint8_t commandArgHigh = 0, commandArgLow = 0;
    bool stopRequested = false;
    int confirmAnswer = 0;
    int sequenceCounter = 0;
    bool reconnectPending = false;
    int goToTimeLimit = 30000;
    QString messageText;  // the shared text of the dialogs

    // ---- position state ----
    unsigned currentPosition = 0;
    unsigned previousPosition = 0;
    bool lastDirection = false;  // true: last move toward smaller counts
    bool positionKnown = false;

    // ---- current focuser profile ----
    float inchesPerCount = corvell::kDefaultInchesPerCount;
    long maxTravel = 6600;
    long backlashCount = 733;
    uint32_t directionFlags = 0;
    std::array<long, corvell::kStoredSlots> storedPositions{};

    // ---- program configuration ----
    float stepIncrement = 0.01f;
    int currentFileNumber = 1;
    int nextFileNumber = 1;
    std::string currentFileName = "fc00001.df1";

    // ---- flags ----
    bool selectionLock = false;
    bool started = false;
    int selectedSlot = 1;
    bool descriptionEditing = false;
    bool clippedOvershoot = false;
    long backlashFinalTarget = 0;   // target of the leg that follows the overshoot
    long backlashClippedTarget = 0; // the clipped first target, sent after the warning is accepted
    bool stepEntryFinished = true, stepDigitsTyped = false;
    bool backlashEntryFinished = true, backlashDigitsTyped = false;

    corvell::Unit unit() const;

    // ---- serial protocol ----
    void send_command();
    void load_timer(int ms);
    void SerialTimerTimer();
    void ComPortDataAvailable(TZComm* sender);
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
    void setup_com_port();

    // ---- executive ----
    void executiveIdle();
    void ExecutiveActivate();
    void start_up_clean();

    // ---- displays and units ----
    void update_displays();
    void UnitsClick();
    void show_position();
    void display_stored_position();

    // ---- step moves, backlash, stored positions ----
    void StepInButtonClick();
    void StepOutButtonClick();
    void step_increment_input();
    void set_step_increment();
    void StepUpDownChangingEx(int direction);
    void BacklashEnableClick();
    void backlash_count_update();
    void StoreNClick(int n);
    void GoToNClick(int n);
    void DeleteNClick(int n);
    void store_position_command();
    void backlash_test();
    void delete_entry();
    void save_position_N(int n);
    void backlash_step();

    // ---- files ----
    std::string data_path(const std::string& name) const;
    void make_file_name(int number);
    std::optional<std::string> read_profile_head(int number) const;
    void read_focuser_file();
    void write_focuser_file();
    void restore_focuser_defaults();
    void delete_file_command();
    void read_config_file();
    void write_config_file();
    void restore_config_defaults();
    void RestoreDefaultsClick();
    corvell::FocuserProfile current_profile() const;
    void apply_profile(const corvell::FocuserProfile& p);

    // ---- helpers ----
    void activity(const QString& line1, const QString& line2 = QString());
    void show_operate_page();
    void show_confirmation(const QString& question);
    void report_file_error(const std::string& error);
    const FormOptions& options() const { return options_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void buildOperatePage();
    void buildStorePage();
    void buildConfigurePage();
    void buildSettingsPage();
    void buildHelpPage();
    bool take_reply(bool operateOnTimeout);
    void handle_simple_echo();
    void handle_completion();
    void handle_motion_echo(int completionLimitMs);
    void show_invalid_number(const QString& text);
    void open_entry_box(QLineEdit* box, bool& finished, bool& typed);
    bool entry_key(QLineEdit* box, QEvent* event, bool& typed);

    FormOptions options_;
};
