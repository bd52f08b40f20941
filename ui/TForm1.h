// The main window: a view of the program's core. It shows what the engine
// tells it (render) and hands every user action to the engine; the names of
// the window's operations are kept as one-line forwarders. The serial
// component and the reply timer are the core's.
#pragma once
#include <QMainWindow>
#include <QString>
#include <array>
#include <memory>
#include <string>

#include "app/core.h"
#include "control/engine.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QWidget;
class RadioGroup;
class TAreYouSureDialog;
class TGoToDialog;
class TStopGoToDialog;
class TTextEntryDialog;
class TStopInitDialog;
class TAutoDetectDialog;
class TSetupDialog;
class UpDownControl;
class AlpacaSettingsGroup;

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    // Attaches to `core` and shows what its engine shows now.
    explicit TForm1(corvell::app::Core& core, QWidget* parent = nullptr);
    ~TForm1() override;

    corvell::Engine& engine() { return core_.engine(); }
    corvell::alpaca::AlpacaServer& alpacaServer() { return core_.alpacaServer(); }

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
    QLabel* StoreRefusal;     // a click of the page refused, and why
    // Configure
    QListWidget *FocuserList, *FocuserFiles;
    QPushButton *AddFocuser, *DeleteFocuser, *ChangeDescription, *ManualSetupButton, *SetEncoder, *SetMaxTravel,
        *MaxTravelOverride, *SetZeroPosition, *ReinitializeFocuser, *RestoreDefaults, *AutoDetect;
    RadioGroup *Units, *ComPortSelect, *BaudRateSelect;
    QLabel *AutoDetectText, *Connection, *EncoderPosition, *EncoderLines, *EncoderStep, *ReinitText, *MaxTravelStop;
    QLabel* ConfigureRefusal;  // a click of the page refused, and why
    // Settings, Help
    QPlainTextEdit *SettingsText, *HelpText;
    AlpacaSettingsGroup* AlpacaGroup;

    // ---- dialogs ----
    TAreYouSureDialog* AreYouSureDialog;
    TGoToDialog* GoToDialog;
    TStopGoToDialog* StopGoToDialog;
    TTextEntryDialog* TextEntryDialog;
    TStopInitDialog* StopInitDialog;
    TAutoDetectDialog* AutoDetectDialog;
    TSetupDialog* SetupDialog;

    // ---- the window's events, carried out by the engine ----
    void ExecutiveActivate() { core_.engine().ExecutiveActivate(); }

    // ---- event handlers ----
    void StopButtonClick() { core_.engine().stop_command(); }
    void MoveInButtonClick() { core_.engine().move_in_command(); }
    void MoveOutButtonClick() { core_.engine().move_out_command(); }
    void SetZeroButtonClick() { core_.engine().set_zero_command(); }
    void GoToPosButtonClick() { core_.engine().go_to_command(); }
    void StepInButtonClick() { core_.engine().StepInButtonClick(); }
    void StepOutButtonClick() { core_.engine().StepOutButtonClick(); }
    void StepUpDownChangingEx(int direction) { core_.engine().StepUpDownChangingEx(direction); }
    void RestoreDefaultsClick() { core_.engine().RestoreDefaultsClick(); }
    void AutoDetectClick() { core_.engine().AutoDetectClick(); }
    void ReinitializeClick() { core_.engine().ReinitializeClick(); }
    void FocuserListClick();
    void AddFocuserClick() { core_.engine().AddFocuserClick(); }
    void DeleteFocuserClick() { core_.engine().DeleteFocuserClick(); }
    void ChangeDescriptionClick() { core_.engine().ChangeDescriptionClick(); }
    void ManualSetupButtonClick() { core_.engine().ManualSetupButtonClick(); }
    void SetEncoderClick() { core_.engine().SetEncoderClick(); }
    void SetMaxTravelClick() { core_.engine().SetMaxTravelClick(); }
    void MaxTravelOverrideClick() { core_.engine().MaxTravelOverrideClick(); }
    void StoreNClick(int n) { core_.engine().StoreNClick(n); }
    void GoToNClick(int n) { core_.engine().GoToNClick(n); }
    void DeleteNClick(int n) { core_.engine().DeleteNClick(n); }
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
    // Shows the parts `changed` of the engine's screen.
    void render(const corvell::Screen& screen, unsigned changed);
    void warnInvalidNumber(const QString& text);
    // Every signal of the window's controls and dialogs, in one place.
    void wire();

    void buildOperatePage();
    void buildStorePage();
    void buildConfigurePage();
    void buildSettingsPage();
    void buildHelpPage();
    void open_entry_box(QLineEdit* box, bool& typed);
    void end_entry_box(QLineEdit* box, bool& typed);
    // Go To and Delete of each slot act only on a stored position of a
    // focuser in use.
    void enable_slot_buttons(const corvell::Screen& s);
    // The list marks the focuser in use (after a click the engine refused,
    // once the list has handled the click itself).
    void mark_focuser_in_use();

    corvell::app::Core& core_;
    bool rendering_ = false;  // radio groups set by render never reach the engine
    bool stepDigitsTyped_ = false, backlashDigitsTyped_ = false;
    unsigned shownOperatePage_ = 0, shownDescriptionFocus_ = 0, shownEntryRefill_ = 0;
};
