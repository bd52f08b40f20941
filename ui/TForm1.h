// The main window: the controls, the serial component and the reply timer,
// bound to the engine. It shows what the engine tells it (render) and hands
// every user action to the engine; the names of the window's operations are
// kept as one-line forwarders.
#pragma once
#include <QMainWindow>
#include <QString>
#include <QTimer>
#include <array>
#include <memory>
#include <string>

#include "app/port_map.h"
#include "control/engine.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QWidget;
class RadioGroup;
class TZComm;
class TAreYouSureDialog;
class TGoToDialog;
class TStopGoToDialog;
class TTextEntryDialog;
class TStopInitDialog;
class TAutoDetectDialog;
class TSetupDialog;
class UpDownControl;
class AlpacaSettingsGroup;
class EngineFocuser;
namespace corvell::alpaca {
class AlpacaServer;
}

struct FormOptions {
    PortMap portMap;
    std::string dataDir = ".";
    std::string simulatorNote;  // shown on the Settings page when a simulated module is in use
    int alpacaPort = 0;         // the network server on, on this port, for this run; 0: as its settings say
};

class TForm1 : public QMainWindow, private corvell::EngineView {
    Q_OBJECT
public:
    explicit TForm1(const FormOptions& options, QWidget* parent = nullptr);
    ~TForm1() override;

    corvell::Engine& engine() { return *engine_; }
    const corvell::Engine& engine() const { return *engine_; }
    const FormOptions& options() const { return options_; }
    corvell::alpaca::AlpacaServer& alpacaServer() { return *alpaca_; }

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
    QLabel* DescriptionHint;  // why a typed or pasted character was refused
    // Configure
    QListWidget *FocuserList, *FocuserFiles;
    QPushButton *AddFocuser, *DeleteFocuser, *ChangeDescription, *ManualSetupButton, *SetEncoder, *SetMaxTravel,
        *MaxTravelOverride, *SetZeroPosition, *ReinitializeFocuser, *RestoreDefaults, *AutoDetect;
    RadioGroup *Units, *ComPortSelect, *BaudRateSelect;
    QLabel *AutoDetectText, *Connection, *EncoderPosition, *EncoderLines, *EncoderStep, *ReinitText, *MaxTravelStop;
    // Settings, Help
    QPlainTextEdit *SettingsText, *HelpText;
    AlpacaSettingsGroup* AlpacaGroup;

    // ---- components ----
    TZComm* ComPort;
    QTimer SerialTimer;
    TAreYouSureDialog* AreYouSureDialog;
    TGoToDialog* GoToDialog;
    TStopGoToDialog* StopGoToDialog;
    TTextEntryDialog* TextEntryDialog;
    TStopInitDialog* StopInitDialog;
    TAutoDetectDialog* AutoDetectDialog;
    TSetupDialog* SetupDialog;

    // ---- the window's operations, carried out by the engine ----
    void send_command() { engine_->send_command(); }
    void load_timer(int ms) { engine_->load_timer(ms); }
    void SerialTimerTimer() { engine_->SerialTimerTimer(); }
    void ComPortDataAvailable(TZComm*) { engine_->ComPortDataAvailable(); }
    void serial_timeout() { engine_->serial_timeout(); }
    void read_identify() { engine_->read_identify(); }
    void read_status() { engine_->read_status(); }
    void read_position() { engine_->read_position(); }
    void stop_command() { engine_->stop_command(); }
    void move_in_command() { engine_->move_in_command(); }
    void move_out_command() { engine_->move_out_command(); }
    void home_position_command() { engine_->home_position_command(); }
    void send_zero_command() { engine_->send_zero_command(); }
    void set_zero_command() { engine_->set_zero_command(); }
    void go_to_command() { engine_->go_to_command(); }
    void go_to_position_command() { engine_->go_to_position_command(); }
    void setup_com_port() { engine_->setup_com_port(); }
    void executiveIdle() { engine_->executiveIdle(); }
    void ExecutiveActivate() { engine_->ExecutiveActivate(); }
    void start_up_clean() { engine_->start_up_clean(); }
    void update_displays() { engine_->update_displays(); }
    void display_stored_position() { engine_->display_stored_position(); }
    void write_focuser_file() { engine_->write_focuser_file(); }
    void read_focuser_file() { engine_->read_focuser_file(); }
    void write_config_file() { engine_->write_config_file(); }
    void read_config_file() { engine_->read_config_file(); }
    void restore_config_defaults() { engine_->restore_config_defaults(); }
    void restore_focuser_defaults() { engine_->restore_focuser_defaults(); }

    // ---- event handlers ----
    void StopButtonClick() { engine_->stop_command(); }
    void MoveInButtonClick() { engine_->move_in_command(); }
    void MoveOutButtonClick() { engine_->move_out_command(); }
    void SetZeroButtonClick() { engine_->set_zero_command(); }
    void GoToPosButtonClick() { engine_->go_to_command(); }
    void StepInButtonClick() { engine_->StepInButtonClick(); }
    void StepOutButtonClick() { engine_->StepOutButtonClick(); }
    void StepUpDownChangingEx(int direction) { engine_->StepUpDownChangingEx(direction); }
    void RestoreDefaultsClick() { engine_->RestoreDefaultsClick(); }
    void AutoDetectClick() { engine_->AutoDetectClick(); }
    void ReinitializeClick() { engine_->ReinitializeClick(); }
    void initialize_focuser() { engine_->initialize_focuser(); }
    void auto_detect() { engine_->auto_detect(); }
    void FocuserListClick();
    void AddFocuserClick() { engine_->AddFocuserClick(); }
    void DeleteFocuserClick() { engine_->DeleteFocuserClick(); }
    void ChangeDescriptionClick() { engine_->ChangeDescriptionClick(); }
    void ManualSetupButtonClick() { engine_->ManualSetupButtonClick(); }
    void SetEncoderClick() { engine_->SetEncoderClick(); }
    void SetMaxTravelClick() { engine_->SetMaxTravelClick(); }
    void MaxTravelOverrideClick() { engine_->MaxTravelOverrideClick(); }
    void add_focuser() { engine_->add_focuser(); }
    void convert_old_format() { engine_->convert_old_format(); }
    void StoreNClick(int n) { engine_->StoreNClick(n); }
    void GoToNClick(int n) { engine_->GoToNClick(n); }
    void DeleteNClick(int n) { engine_->DeleteNClick(n); }
    void UnitsClick();
    void ComPortSelectClick();
    void BaudRateSelectClick();
    void BacklashEnableClick();
    void save_position_N(int n);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // corvell::EngineView
    void render(const corvell::Screen& screen, unsigned changed) override;
    void warnInvalidNumber(const std::string& text) override;
    void requestPass() override;

    void buildOperatePage();
    void buildStorePage();
    void buildConfigurePage();
    void buildSettingsPage();
    void buildAlpacaGroup();
    void buildHelpPage();
    void open_entry_box(QLineEdit* box, bool& typed);
    void end_entry_box(QLineEdit* box, bool& typed);

    FormOptions options_;
    std::unique_ptr<corvell::ModuleLink> link_;
    std::unique_ptr<corvell::ReplyTimer> timer_;
    std::unique_ptr<corvell::Engine> engine_;
    // The ASCOM Alpaca server, a front end of the engine beside the window;
    // stopped before the engine goes.
    std::unique_ptr<EngineFocuser> alpacaDevice_;
    std::unique_ptr<corvell::alpaca::AlpacaServer> alpaca_;
    bool rendering_ = false;
    bool passPending_ = false;   // radio groups set by render never reach the engine
    bool stepDigitsTyped_ = false, backlashDigitsTyped_ = false;
    unsigned shownOperatePage_ = 0, shownDescriptionFocus_ = 0, shownEntryRefill_ = 0;
};
