// The small non-blocking dialogs. Each is shown with show(), never exec();
// its answer is left in its tag (and in the main window's shared values),
// which the executive polls on idle.
#pragma once
#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;
class TForm1;

// Base: centres itself on the main window each time it is shown and takes
// the keyboard focus, so its default button answers Return.
class CentredDialog : public QDialog {
    Q_OBJECT
public:
    CentredDialog(TForm1* form, const QString& caption);
    int tag = 0;
    void showCentred();

protected:
    void showEvent(QShowEvent* e) override;
    virtual void FormActivate() {}
    TForm1* form_;
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

protected:
    void FormActivate() override;
    void closeEvent(QCloseEvent* e) override;
};

// Entry of a number in the current unit. In the go-to entry mode the text is
// a length that becomes a target count; the dialog refuses negative values,
// values beyond the module's 16-bit range and (with the travel-limit check)
// values beyond the maximum travel. Other uses read a plain number.
class TGoToDialog : public CentredDialog {
    Q_OBJECT
public:
    explicit TGoToDialog(TForm1* form);
    QLabel* GoToLabel;
    QLineEdit* PositionEdit;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;

    // Set by the caller before showing.
    QString prompt;
    double presetValue = 0;
    int presetPrecision = 5;
    int presetDecimals = 3;
    bool lengthEntry = true;     // text is a length in the current unit -> target count
    bool travelLimitCheck = false;
    // Results.
    bool okFlag = false;
    bool edited = false;
    long enteredCount = 0;       // target count (length entry) or the value rounded down
    float enteredValue = 0;      // the number as typed

    void OKBtnClick();
    void CancelBtnClick();
    void reject() override { CancelBtnClick(); }

protected:
    void FormActivate() override;
    void closeEvent(QCloseEvent* e) override;

private:
    void refuse(const QString& line);
    QString presetText() const;
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

class TTextEntryDialog : public CentredDialog {
    Q_OBJECT
public:
    explicit TTextEntryDialog(TForm1* form);
    QLabel* TextLabel;
    QLineEdit* EnterText;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;
    void OKBtnClick();
    void CancelBtnClick();
    void reject() override { CancelBtnClick(); }

protected:
    void FormActivate() override;
};
