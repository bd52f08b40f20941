// The small non-blocking dialogs. Each is shown with show(), never exec().
// They show what the engine asks and report their answers to it, naming the
// question or entry they were showing, so an answer can never be taken for
// another question's.
#pragma once
#include <QDialog>
#include <QString>

#include "control/engine_io.h"

class QLabel;
class QLineEdit;
class QPushButton;
class TForm1;

// Base: centres itself on the main window each time it is shown and, when it
// asks something, takes the keyboard focus, so its default button answers
// Return. A dialog that only reports progress leaves the keyboard to the
// main window, where keys keep their meaning.
class CentredDialog : public QDialog {
    Q_OBJECT
public:
    enum class Focus { Take, Leave };
    CentredDialog(TForm1* form, const QString& caption, Focus focus = Focus::Take);
    int tag = 0;
    void showCentred();

protected:
    void showEvent(QShowEvent* e) override;
    void changeEvent(QEvent* e) override;
    bool event(QEvent* e) override;
    virtual void FormActivate() {}
    TForm1* form_;
    Focus focus_;
    bool touched_ = false;  // the user pressed the mouse on it since it was shown
};

class TAreYouSureDialog : public CentredDialog {
    Q_OBJECT
public:
    explicit TAreYouSureDialog(TForm1* form);
    QLabel* SureText;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;
    void OKBtnClick();
    void CancelBtnClick();
    void reject() override { CancelBtnClick(); }
    // Shows the engine's question (or hides the dialog when none is open).
    void showQuestion(const corvell::QuestionScreen& q);
    int questionId() const { return id_; }

protected:
    void FormActivate() override;
    void closeEvent(QCloseEvent* e) override;

private:
    int id_ = 0;
};

// Entry of a number (a position in the current unit for a go-to).
class TGoToDialog : public CentredDialog {
    Q_OBJECT
public:
    explicit TGoToDialog(TForm1* form);
    QLabel* GoToLabel;
    QLineEdit* PositionEdit;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;
    void OKBtnClick();
    void CancelBtnClick();
    void reject() override { CancelBtnClick(); }
    // Shows the engine's entry; `refill` puts the preset text back into the
    // edit box, selected.
    void showEntry(const corvell::EntryScreen& e, bool refill);

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    void refillEdit(const QString& text);
    int id_ = 0;
    bool edited_ = false;  // the user changed the text since it was filled
};

class TStopGoToDialog : public CentredDialog {
    Q_OBJECT
public:
    explicit TStopGoToDialog(TForm1* form);
    QLabel* StopText;
    QPushButton* OKBtn;
    void OKBtnClick();
    void reject() override {}  // Escape keeps the stop button in reach
};

// Shown while the focuser is initialized; its button stops the homing at the
// end of travel.
class TStopInitDialog : public CentredDialog {
    Q_OBJECT
public:
    explicit TStopInitDialog(TForm1* form);
    QPushButton* StopReinit;
    void StopReinitClick();
    void reject() override {}  // Escape keeps the stop button in reach
};

// The result of the port search.
class TAutoDetectDialog : public CentredDialog {
    Q_OBJECT
public:
    explicit TAutoDetectDialog(TForm1* form);
    QLabel* AutoDetectResult;
    QPushButton* AutoDetectOK;
    void AutoDetectOKClick();
    void reject() override { AutoDetectOKClick(); }
    void showResult(const corvell::AutoDetectScreen& a);

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    int id_ = 0;
};

class TTextEntryDialog : public CentredDialog {
    Q_OBJECT
public:
    explicit TTextEntryDialog(TForm1* form);
    QLabel* TextLabel;
    QLineEdit* EnterText;
    QLabel* EnterTextHint;  // why a typed or pasted character was refused
    QPushButton* OKBtn;
    QPushButton* CancelBtn;
    void OKBtnClick();
    void CancelBtnClick();
    void reject() override { CancelBtnClick(); }
    // Shows the engine's text entry (or hides the dialog when none is open).
    void showEntry(const corvell::TextEntryScreen& e);

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    int id_ = 0;
};

class RadioGroup;

// The add-focuser setup: one dialog whose texts, edits, choices and buttons
// change from page to page as the engine's setup says; every answer names
// the page it answers.
class TSetupDialog : public CentredDialog {
    Q_OBJECT
public:
    explicit TSetupDialog(TForm1* form);
    QLabel *SetupText1, *SetupText2, *EncoderLabel, *SetupPosition, *EncoderEntry, *MaximumEntry;
    QLineEdit *FocuserDescription, *MaximumEdit;
    QLabel* DescriptionHint;  // why a typed or pasted character was refused
    RadioGroup* SetupModeSelect;
    QPushButton *OKBtn, *CancelBtn;
    void OKBtnClick();
    void CancelBtnClick();
    void reject() override { CancelBtnClick(); }
    void showPage(const corvell::SetupScreen& page);

protected:
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void SetupModeSelectClick();
    int id_ = 0;
    unsigned descriptionRefill_ = 0, maximumRefill_ = 0, focusCount_ = 0;
    int focusedPage_ = -1;
    QStringList choices_;
    bool rendering_ = false;
};
