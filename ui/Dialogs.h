// The small non-blocking dialogs. Each is shown with show(), never exec().
// They show what the engine asks and hand back their answers as signals,
// naming the question or entry they were showing, so an answer can never be
// taken for another question's. They know nothing of the main window but
// its place on the screen.
#pragma once
#include <QDialog>
#include <QString>

#include "control/engine_io.h"

class QLabel;
class QLineEdit;
class QPushButton;

// Base: centres itself on `mainWindow` each time it is shown and, when it
// asks something, takes the keyboard focus, so its default button answers
// Return. A dialog that only reports progress leaves the keyboard to the
// main window, where keys keep their meaning. Its size follows its
// contents: a longer message, a refusal shown or hidden, a page with other
// controls, and the dialog grows or shrinks so that all of it is in view.
class CentredDialog : public QDialog {
    Q_OBJECT
public:
    enum class Focus { Take, Leave };
    CentredDialog(QWidget* mainWindow, const QString& caption, Focus focus = Focus::Take);
    int tag = 0;
    void showCentred();

protected:
    void showEvent(QShowEvent* e) override;
    void changeEvent(QEvent* e) override;
    bool event(QEvent* e) override;
    virtual void FormActivate() {}
    // Where the dialog goes, given the main window's frame and the screen's
    // room: centred on the main window, within the screen.
    virtual QPoint place(const QRect& main, const QRect& screen) const;
    QWidget* main_;
    Focus focus_;
    bool touched_ = false;  // the user pressed the mouse on it since it was shown
};

class TAreYouSureDialog : public CentredDialog {
    Q_OBJECT
public:
    explicit TAreYouSureDialog(QWidget* mainWindow);
    QLabel* SureText;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;
    void OKBtnClick();
    void CancelBtnClick();
    void reject() override;
    // Shows the engine's question (or hides the dialog when none is open).
    void showQuestion(const corvell::QuestionScreen& q);

signals:
    void answered(int id, bool yes);
    // Escape or the window's close button: no answer.
    void closed(int id);

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
    explicit TGoToDialog(QWidget* mainWindow);
    QLabel* GoToLabel;
    QLineEdit* PositionEdit;
    QLabel* PositionUnit;  // what the number is in
    QPushButton* OKBtn;
    QPushButton* CancelBtn;
    void OKBtnClick();
    void CancelBtnClick();
    void reject() override { CancelBtnClick(); }
    // Shows the engine's entry; `refill` puts the preset text back into the
    // edit box, selected.
    void showEntry(const corvell::EntryScreen& e, bool refill);

signals:
    // OK with the text typed; `edited`: the user changed the text shown.
    void confirmed(int id, const QString& text, bool edited);
    // Cancel, or the window closed.
    void cancelled(int id);

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
    explicit TStopGoToDialog(QWidget* mainWindow);
    QLabel* StopText;
    QPushButton* OKBtn;
    void OKBtnClick();
    void reject() override {}  // Escape keeps the stop button in reach
    // Controls of the main window the dialog must not cover while it runs.
    void keepInView(const QList<QWidget*>& controls) { keepInView_ = controls; }

signals:
    void stopPressed();

protected:
    // Beside the main window where the screen has room; else as near the
    // bottom of it as it can be without covering the controls kept in view.
    QPoint place(const QRect& main, const QRect& screen) const override;

private:
    QList<QWidget*> keepInView_;
};

// Shown while the focuser is initialized; its button stops the homing at the
// end of travel.
class TStopInitDialog : public CentredDialog {
    Q_OBJECT
public:
    explicit TStopInitDialog(QWidget* mainWindow);
    QPushButton* StopReinit;
    void StopReinitClick();
    void reject() override {}  // Escape keeps the stop button in reach

signals:
    void stopPressed();
};

// The result of the port search.
class TAutoDetectDialog : public CentredDialog {
    Q_OBJECT
public:
    explicit TAutoDetectDialog(QWidget* mainWindow);
    QLabel* AutoDetectResult;
    QPushButton* AutoDetectOK;
    void AutoDetectOKClick();
    void reject() override { AutoDetectOKClick(); }
    void showResult(const corvell::AutoDetectScreen& a);

signals:
    // OK, or the window closed.
    void acknowledged(int id);

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    int id_ = 0;
};

class TTextEntryDialog : public CentredDialog {
    Q_OBJECT
public:
    explicit TTextEntryDialog(QWidget* mainWindow);
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

signals:
    void entered(int id, const QString& text);
    // Cancel, or the window closed.
    void cancelled(int id);

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
    explicit TSetupDialog(QWidget* mainWindow);
    QLabel *SetupText1, *SetupText2, *EncoderLabel, *SetupPosition, *EncoderEntry, *MaximumEntry;
    QLineEdit *FocuserDescription, *MaximumEdit;
    QLabel* DescriptionHint;  // why a typed or pasted character was refused
    QLabel* SetupRefusal;     // why the value last entered was not taken
    RadioGroup* SetupModeSelect;
    QPushButton *BackBtn, *OKBtn, *CancelBtn;
    void BackBtnClick();
    void OKBtnClick();
    void CancelBtnClick();
    void reject() override { CancelBtnClick(); }
    void showPage(const corvell::SetupScreen& page);

signals:
    void okPressed(int id, const QString& description, const QString& maximum);
    // Cancel, or the window closed.
    void cancelled(int id);
    void backPressed(int id);
    void chosen(int id, int index);
    // Return in the description (or scale) edit, and in the maximum edit.
    void descriptionEntered(int id, const QString& text);
    void maximumEntered(int id, const QString& text);
    // A key typed into the maximum edit, and into the first edit.
    void maximumTyped(int id);
    void descriptionTyped(int id);

protected:
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void SetupModeSelectClick();
    // The keyboard focus to a choice, marked as the style marks a focus the
    // keyboard moved: Space and Return pick the item the user sees.
    void focusChoice(QWidget* choice);
    int id_ = 0;
    unsigned descriptionRefill_ = 0, maximumRefill_ = 0, focusCount_ = 0;
    int focusedPage_ = -1;
    QStringList choices_;
    bool rendering_ = false;
};
