#include "ui/Dialogs.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "positioning/number_format.h"
#include "positioning/units.h"
#include "ui/TForm1.h"

using namespace corvell;

CentredDialog::CentredDialog(TForm1* form, const QString& caption) : QDialog(form), form_(form) {
    setWindowTitle(caption);
    setModal(false);
}

void CentredDialog::showCentred() {
    show();
    raise();
    activateWindow();
}

void CentredDialog::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    adjustSize();
    const QRect m = form_->frameGeometry();
    move(m.left() + (m.width() - width()) / 2, m.top() + (m.height() - height()) / 2);
    FormActivate();
}

namespace {
// "OK" (the default) and "Cancel".
void make_ok_cancel(QDialog* d, QPushButton*& ok, QPushButton*& cancel) {
    ok = new QPushButton("OK", d);
    ok->setObjectName("OKBtn");
    cancel = new QPushButton("Cancel", d);
    cancel->setObjectName("CancelBtn");
    ok->setDefault(true);
}

QHBoxLayout* button_row(std::initializer_list<QPushButton*> buttons) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    for (QPushButton* b : buttons) row->addWidget(b);
    row->addStretch();
    return row;
}
}  // namespace

// ---- yes/no question ----

TAreYouSureDialog::TAreYouSureDialog(TForm1* form) : CentredDialog(form, "Are You Sure?") {
    setObjectName("AreYouSureDialog");
    SureText = new QLabel(this);
    SureText->setObjectName("SureText");
    SureText->setWordWrap(true);
    SureText->setMinimumWidth(320);
    make_ok_cancel(this, OKBtn, CancelBtn);
    auto* l = new QVBoxLayout(this);
    l->addWidget(SureText);
    l->addLayout(button_row({OKBtn, CancelBtn}));
    connect(OKBtn, &QPushButton::clicked, this, &TAreYouSureDialog::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &TAreYouSureDialog::CancelBtnClick);
}

void TAreYouSureDialog::FormActivate() {
    SureText->setText(form_->messageText);
    adjustSize();
    OKBtn->setFocus();
}

void TAreYouSureDialog::OKBtnClick() {
    form_->confirmAnswer = 1;
    tag = 1;
    hide();
}

void TAreYouSureDialog::CancelBtnClick() {
    form_->confirmAnswer = 0;
    tag = 1;
    hide();
}

void TAreYouSureDialog::closeEvent(QCloseEvent* e) {
    form_->confirmAnswer = 0;
    tag = 1;
    QDialog::closeEvent(e);
}

// ---- number entry ----

TGoToDialog::TGoToDialog(TForm1* form) : CentredDialog(form, "Enter Position") {
    setObjectName("GoToDialog");
    GoToLabel = new QLabel(this);
    GoToLabel->setObjectName("GoToLabel");
    GoToLabel->setWordWrap(true);
    GoToLabel->setMinimumWidth(320);
    PositionEdit = new QLineEdit(this);
    PositionEdit->setObjectName("PositionEdit");
    PositionEdit->setMaxLength(10);
    make_ok_cancel(this, OKBtn, CancelBtn);
    auto* l = new QVBoxLayout(this);
    l->addWidget(GoToLabel);
    l->addWidget(PositionEdit);
    l->addLayout(button_row({OKBtn, CancelBtn}));
    connect(OKBtn, &QPushButton::clicked, this, &TGoToDialog::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &TGoToDialog::CancelBtnClick);
    connect(PositionEdit, &QLineEdit::textEdited, this, [this] { edited = true; });
}

QString TGoToDialog::presetText() const {
    return QString::fromStdString(format_fixed(presetValue, presetPrecision, presetDecimals));
}

void TGoToDialog::FormActivate() {
    okFlag = false;
    edited = false;
    GoToLabel->setText(prompt);
    PositionEdit->setText(presetText());
    PositionEdit->selectAll();
    PositionEdit->setFocus();
    adjustSize();
}

void TGoToDialog::refuse(const QString& line) {
    GoToLabel->setText(line);
    PositionEdit->setText(presetText());
    PositionEdit->selectAll();
    PositionEdit->setFocus();
}

void TGoToDialog::OKBtnClick() {
    double v = 0;
    if (!parse_decimal(PositionEdit->text().toStdString(), v)) {
        refuse(QString("'%1' is not a valid number.Reenter desired value.").arg(PositionEdit->text()));
        return;
    }
    if (v < 0) {
        refuse("Value must be a positive number.Reenter desired value.");
        return;
    }
    enteredValue = static_cast<float>(v);
    if (lengthEntry) {
        auto count = typed_length_to_counts(v, form_->inchesPerCount, form_->unit());
        if (!count) {
            refuse("The focuser scale (encoder counts per inch) is not set.Set the encoder count value first.");
            return;
        }
        if (*count > kMaxModuleCount) {
            refuse("Entered position is beyond the control module's range of 65535 counts. Reenter desired position.");
            return;
        }
        if (travelLimitCheck && *count > form_->maxTravel) {
            refuse("Entered position exceeds focuser travel limit. Reenter desired position.");
            return;
        }
        enteredCount = *count;
    } else {
        enteredCount = v < 2147483647.0 ? static_cast<long>(v) : 2147483647L;
    }
    okFlag = true;
    tag = 1;
    hide();
}

void TGoToDialog::CancelBtnClick() {
    hide();
    form_->activeCommand = 0;
}

void TGoToDialog::closeEvent(QCloseEvent* e) {
    form_->activeCommand = 0;
    QDialog::closeEvent(e);
}

// ---- stop of a running go-to ----

TStopGoToDialog::TStopGoToDialog(TForm1* form) : CentredDialog(form, "Go To In Progress") {
    setObjectName("StopGoToDialog");
    StopText = new QLabel(
        "A Go To Position command is in progress.  You can manually terminate this command prior to its completion.",
        this);
    StopText->setWordWrap(true);
    StopText->setMinimumWidth(340);
    OKBtn = new QPushButton("&Terminate Go To Command at Current Position", this);
    OKBtn->setObjectName("OKBtn");
    OKBtn->setDefault(true);
    auto* l = new QVBoxLayout(this);
    l->addWidget(StopText);
    l->addLayout(button_row({OKBtn}));
    connect(OKBtn, &QPushButton::clicked, this, &TStopGoToDialog::OKBtnClick);
}

void TStopGoToDialog::OKBtnClick() {
    form_->stopRequested = true;
    hide();
}

// ---- focuser description ----

TTextEntryDialog::TTextEntryDialog(TForm1* form) : CentredDialog(form, "Enter Focuser Description") {
    setObjectName("TextEntryDialog");
    TextLabel = new QLabel("Enter the new Focuser Description.", this);
    TextLabel->setObjectName("TextLabel");
    EnterText = new QLineEdit(this);
    EnterText->setObjectName("EnterText");
    EnterText->setMaxLength(32);
    EnterText->setMinimumWidth(280);
    make_ok_cancel(this, OKBtn, CancelBtn);
    auto* l = new QVBoxLayout(this);
    l->addWidget(TextLabel);
    l->addWidget(EnterText);
    l->addLayout(button_row({OKBtn, CancelBtn}));
    connect(OKBtn, &QPushButton::clicked, this, &TTextEntryDialog::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &TTextEntryDialog::CancelBtnClick);
}

void TTextEntryDialog::FormActivate() {
    EnterText->setText(form_->FocuserType->text());
    EnterText->selectAll();
    EnterText->setFocus();
}

void TTextEntryDialog::OKBtnClick() {
    tag = 1;
    hide();
}

void TTextEntryDialog::CancelBtnClick() { hide(); }
