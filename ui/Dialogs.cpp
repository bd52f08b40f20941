#include "ui/Dialogs.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/TForm1.h"
#include "ui/engine_glue.h"

CentredDialog::CentredDialog(TForm1* form, const QString& caption, Focus focus)
    : QDialog(form), form_(form), focus_(focus) {
    setWindowTitle(caption);
    setModal(false);
    if (focus_ == Focus::Leave) {
        setAttribute(Qt::WA_ShowWithoutActivating);
        setFocusPolicy(Qt::NoFocus);
    }
}

void CentredDialog::showCentred() {
    show();
    raise();
    if (focus_ == Focus::Take) {
        activateWindow();
        return;
    }
    touched_ = false;
}

// Some platforms activate every window they show: until the user reaches
// for the dialog with the mouse, the keyboard goes back to the main window.
void CentredDialog::changeEvent(QEvent* e) {
    QDialog::changeEvent(e);
    if (e->type() == QEvent::ActivationChange && focus_ == Focus::Leave && isActiveWindow() && !touched_)
        QMetaObject::invokeMethod(form_, [f = form_] { f->activateWindow(); }, Qt::QueuedConnection);
}

bool CentredDialog::event(QEvent* e) {
    if (e->type() == QEvent::MouseButtonPress || e->type() == QEvent::NonClientAreaMouseButtonPress) touched_ = true;
    return QDialog::event(e);
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
    SureText->setTextFormat(Qt::PlainText);
    SureText->setWordWrap(true);
    SureText->setMinimumWidth(320);
    make_ok_cancel(this, OKBtn, CancelBtn);
    auto* l = new QVBoxLayout(this);
    l->addWidget(SureText);
    l->addLayout(button_row({OKBtn, CancelBtn}));
    connect(OKBtn, &QPushButton::clicked, this, &TAreYouSureDialog::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &TAreYouSureDialog::CancelBtnClick);
}

void TAreYouSureDialog::showQuestion(const corvell::QuestionScreen& q) {
    if (!q.visible) {
        if (isVisible()) hide();
        return;
    }
    const QString text = QString::fromStdString(q.text);
    if (isVisible() && id_ == q.id && SureText->text() == text) return;
    id_ = q.id;
    SureText->setText(text);
    adjustSize();
    showCentred();
}

void TAreYouSureDialog::FormActivate() { OKBtn->setFocus(); }

void TAreYouSureDialog::OKBtnClick() {
    hide();
    form_->engine().question_answered(id_, true);
}

void TAreYouSureDialog::CancelBtnClick() {
    hide();
    form_->engine().question_answered(id_, false);
}

void TAreYouSureDialog::closeEvent(QCloseEvent* e) {
    QDialog::closeEvent(e);
    form_->engine().question_answered(id_, false);
}

// ---- number entry ----

TGoToDialog::TGoToDialog(TForm1* form) : CentredDialog(form, "Enter Position") {
    setObjectName("GoToDialog");
    GoToLabel = new QLabel(this);
    GoToLabel->setObjectName("GoToLabel");
    GoToLabel->setWordWrap(true);
    GoToLabel->setTextFormat(Qt::PlainText);
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
}

void TGoToDialog::refillEdit(const QString& text) {
    PositionEdit->setText(text);
    PositionEdit->selectAll();
    PositionEdit->setFocus();
}

void TGoToDialog::showEntry(const corvell::EntryScreen& e, bool refill) {
    if (!e.visible) {
        if (isVisible()) hide();
        return;
    }
    id_ = e.id;
    const QString caption = QString::fromStdString(e.caption);
    if (windowTitle() != caption) setWindowTitle(caption);
    const QString label = QString::fromStdString(e.label);
    if (GoToLabel->text() != label) GoToLabel->setText(label);
    if (refill) refillEdit(QString::fromStdString(e.preset));
    if (!isVisible()) {
        adjustSize();
        showCentred();
        PositionEdit->selectAll();
        PositionEdit->setFocus();
    }
}

void TGoToDialog::OKBtnClick() { form_->engine().entry_confirmed(id_, PositionEdit->text().toStdString()); }

void TGoToDialog::CancelBtnClick() {
    hide();
    form_->engine().entry_cancelled(id_);
}

void TGoToDialog::closeEvent(QCloseEvent* e) {
    QDialog::closeEvent(e);
    form_->engine().entry_cancelled(id_);
}

// ---- stop of a running go-to ----

TStopGoToDialog::TStopGoToDialog(TForm1* form) : CentredDialog(form, "Go To In Progress", Focus::Leave) {
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
    hide();
    form_->engine().stop_go_to_pressed();
}

// ---- initialization in progress ----

TStopInitDialog::TStopInitDialog(TForm1* form)
    : CentredDialog(form, "Initialization In Progress", Focus::Leave) {
    setObjectName("StopInitDialog");
    auto* l = new QVBoxLayout(this);
    const char* texts[] = {
        "Focuser Initialization performs two tasks.  The first task is to determine motor speed settings.  During "
        "this phase, the LED on the Control Module blinks.  This test cannot be interrupted.",
        "The second task is to return the focuser to its zero position, by moving the focuser a distance slightly "
        "greater than the Maximum Travel distance.  During this phase, the LED is constantly on.  You can manually "
        "terminate",
        "this phase of the test when the focuser reaches the end of its travel."};
    for (const char* t : texts) {
        auto* label = new QLabel(t, this);
        label->setWordWrap(true);
        label->setMinimumWidth(380);
        l->addWidget(label);
    }
    StopReinit = new QPushButton("&Stop Initialization: The focuser is at the end of its travel.", this);
    StopReinit->setObjectName("StopReinit");
    StopReinit->setDefault(true);
    l->addLayout(button_row({StopReinit}));
    connect(StopReinit, &QPushButton::clicked, this, &TStopInitDialog::StopReinitClick);
}

void TStopInitDialog::StopReinitClick() {
    hide();
    form_->engine().StopReinitClick();
}

// ---- port search result ----

TAutoDetectDialog::TAutoDetectDialog(TForm1* form) : CentredDialog(form, "Auto Detect") {
    setObjectName("AutoDetectDialog");
    AutoDetectResult = new QLabel(this);
    AutoDetectResult->setObjectName("AutoDetectResult");
    AutoDetectResult->setTextFormat(Qt::PlainText);
    AutoDetectResult->setMinimumWidth(280);
    AutoDetectResult->setAlignment(Qt::AlignCenter);
    AutoDetectOK = new QPushButton("OK", this);
    AutoDetectOK->setObjectName("AutoDetectOK");
    AutoDetectOK->setDefault(true);
    auto* l = new QVBoxLayout(this);
    l->addWidget(AutoDetectResult);
    l->addLayout(button_row({AutoDetectOK}));
    connect(AutoDetectOK, &QPushButton::clicked, this, &TAutoDetectDialog::AutoDetectOKClick);
}

void TAutoDetectDialog::showResult(const corvell::AutoDetectScreen& a) {
    if (!a.visible) {
        if (isVisible()) hide();
        return;
    }
    id_ = a.id;
    AutoDetectResult->setText(QString::fromStdString(a.message));
    if (!isVisible()) {
        adjustSize();
        showCentred();
    }
}

void TAutoDetectDialog::AutoDetectOKClick() {
    hide();
    form_->engine().AutoDetectOKClick(id_);
}

void TAutoDetectDialog::closeEvent(QCloseEvent* e) {
    QDialog::closeEvent(e);
    form_->engine().AutoDetectOKClick(id_);
}

// ---- focuser description ----

TTextEntryDialog::TTextEntryDialog(TForm1* form) : CentredDialog(form, "Enter Focuser Description") {
    setObjectName("TextEntryDialog");
    TextLabel = new QLabel("Enter the new Focuser Description.", this);
    TextLabel->setObjectName("TextLabel");
    TextLabel->setTextFormat(Qt::PlainText);
    EnterText = new QLineEdit(this);
    EnterText->setObjectName("EnterText");
    EnterText->setMaxLength(static_cast<int>(corvell::kDescriptionLimit));
    EnterText->setMinimumWidth(280);
    EnterTextHint = make_refusal_hint("EnterTextHint", this);
    refuse_unstorable(EnterText, EnterTextHint);
    make_ok_cancel(this, OKBtn, CancelBtn);
    auto* l = new QVBoxLayout(this);
    l->addWidget(TextLabel);
    l->addWidget(EnterText);
    l->addWidget(EnterTextHint);
    l->addLayout(button_row({OKBtn, CancelBtn}));
    connect(OKBtn, &QPushButton::clicked, this, &TTextEntryDialog::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &TTextEntryDialog::CancelBtnClick);
}

void TTextEntryDialog::FormActivate() {
    const QString text = shown_text(form_->engine().screen().focuserType);
    EnterTextHint->hide();
    EnterText->setMaxLength(description_max_length(text));
    EnterText->setText(text);
    EnterText->selectAll();
    EnterText->setFocus();
}

void TTextEntryDialog::OKBtnClick() {
    tag = 1;
    hide();
}

void TTextEntryDialog::CancelBtnClick() { hide(); }
