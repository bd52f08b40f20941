#include "ui/Dialogs.h"

#include <algorithm>

#include <QAbstractButton>
#include <QRadioButton>
#include <QCloseEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "ui/RadioGroup.h"
#include "ui/description_text.h"

CentredDialog::CentredDialog(QWidget* mainWindow, const QString& caption, Focus focus)
    : QDialog(mainWindow), main_(mainWindow), focus_(focus) {
    // A title and a close button: a dialog is not minimised or maximised.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
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
        QMetaObject::invokeMethod(
            main_, [m = main_] { m->activateWindow(); }, Qt::QueuedConnection);
}

bool CentredDialog::event(QEvent* e) {
    if (e->type() == QEvent::MouseButtonPress || e->type() == QEvent::NonClientAreaMouseButtonPress) touched_ = true;
    return QDialog::event(e);
}

void CentredDialog::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    adjustSize();
    const QScreen* s = main_->screen();
    move(place(main_->frameGeometry(), s ? s->availableGeometry() : QRect()));
    FormActivate();
}

QPoint CentredDialog::place(const QRect& m, const QRect& screen) const {
    QPoint at(m.left() + (m.width() - width()) / 2, m.top() + (m.height() - height()) / 2);
    if (screen.isValid()) {
        at.setX(std::max(screen.left(), std::min(at.x(), screen.right() + 1 - width())));
        at.setY(std::max(screen.top(), std::min(at.y(), screen.bottom() + 1 - height())));
    }
    return at;
}

namespace {
// The dialog's layout. Its size is always the size its contents ask for,
// worked out again whenever a text, a control shown or hidden changes it:
// wrapped text gets the lines it needs at the dialog's width.
QVBoxLayout* dialog_layout(QDialog* d) {
    auto* l = new QVBoxLayout(d);
    l->setSizeConstraint(QLayout::SetFixedSize);
    return l;
}

// "OK" (the default) and "Cancel".
void make_ok_cancel(QDialog* d, QPushButton*& ok, QPushButton*& cancel) {
    ok = new QPushButton("OK", d);
    ok->setObjectName("OKBtn");
    cancel = new QPushButton("Cancel", d);
    cancel->setObjectName("CancelBtn");
    ok->setDefault(true);
}

// A button whose text has room within its frame: a long caption, wider
// than the style would make it.
void pad(QPushButton* b) {
    const QFontMetrics fm = b->fontMetrics();
    b->setMinimumWidth(fm.horizontalAdvance(QString(b->text()).remove('&')) + 4 * fm.averageCharWidth());
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

TAreYouSureDialog::TAreYouSureDialog(QWidget* mainWindow) : CentredDialog(mainWindow, "Are You Sure?") {
    setObjectName("AreYouSureDialog");
    SureText = new QLabel(this);
    SureText->setObjectName("SureText");
    SureText->setTextFormat(Qt::PlainText);
    SureText->setWordWrap(true);
    SureText->setMinimumWidth(320);
    make_ok_cancel(this, OKBtn, CancelBtn);
    auto* l = dialog_layout(this);
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
    // Buttons that say what they do, where the question gives them words.
    OKBtn->setText(QString::fromStdString(q.yesCaption));
    CancelBtn->setText(QString::fromStdString(q.noCaption));
    adjustSize();
    showCentred();
}

void TAreYouSureDialog::FormActivate() { OKBtn->setFocus(); }

void TAreYouSureDialog::OKBtnClick() {
    hide();
    emit answered(id_, true);
}

void TAreYouSureDialog::CancelBtnClick() {
    hide();
    emit answered(id_, false);
}

// Closing the window (or Escape) answers nothing: the engine decides what
// that means for the question it asked.
void TAreYouSureDialog::closeEvent(QCloseEvent* e) {
    QDialog::closeEvent(e);
    emit closed(id_);
}

void TAreYouSureDialog::reject() {
    hide();
    emit closed(id_);
}

// ---- number entry ----

TGoToDialog::TGoToDialog(QWidget* mainWindow) : CentredDialog(mainWindow, "Enter Position") {
    setObjectName("GoToDialog");
    GoToLabel = new QLabel(this);
    GoToLabel->setObjectName("GoToLabel");
    GoToLabel->setWordWrap(true);
    GoToLabel->setTextFormat(Qt::PlainText);
    GoToLabel->setMinimumWidth(320);
    // Room for a prompt and for a refusal in its place, so that neither
    // moves the edit (a one-line prompt sits in the middle).
    GoToLabel->setMinimumHeight(2 * GoToLabel->fontMetrics().lineSpacing());
    GoToLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    PositionEdit = new QLineEdit(this);
    PositionEdit->setObjectName("PositionEdit");
    PositionEdit->setMaxLength(10);
    PositionUnit = new QLabel(this);
    PositionUnit->setObjectName("PositionUnit");
    make_ok_cancel(this, OKBtn, CancelBtn);
    auto* l = dialog_layout(this);
    l->addWidget(GoToLabel);
    auto* edit = new QHBoxLayout;
    edit->addWidget(PositionEdit, 1);
    edit->addWidget(PositionUnit);
    l->addLayout(edit);
    l->addLayout(button_row({OKBtn, CancelBtn}));
    connect(OKBtn, &QPushButton::clicked, this, &TGoToDialog::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &TGoToDialog::CancelBtnClick);
    connect(PositionEdit, &QLineEdit::textEdited, this, [this] { edited_ = true; });
}

void TGoToDialog::refillEdit(const QString& text) {
    PositionEdit->setText(text);
    PositionEdit->selectAll();
    PositionEdit->setFocus();
    edited_ = false;
}

void TGoToDialog::showEntry(const corvell::EntryScreen& e, bool refill) {
    if (!e.visible) {
        if (isVisible()) hide();
        return;
    }
    id_ = e.id;
    const QString caption = QString::fromStdString(e.caption);
    if (windowTitle() != caption) setWindowTitle(caption);
    // The prompt's leading line break made room above it; the label keeps
    // that room itself.
    const QString label = QString::fromStdString(e.label).trimmed();
    if (GoToLabel->text() != label) GoToLabel->setText(label);
    const QString unit = QString::fromStdString(e.unit);
    if (PositionUnit->text() != unit) PositionUnit->setText(unit);
    PositionUnit->setVisible(!unit.isEmpty());
    if (refill) refillEdit(QString::fromStdString(e.preset));
    if (!isVisible()) {
        adjustSize();
        showCentred();
        PositionEdit->selectAll();
        PositionEdit->setFocus();
    }
}

void TGoToDialog::OKBtnClick() { emit confirmed(id_, PositionEdit->text(), edited_); }

void TGoToDialog::CancelBtnClick() {
    hide();
    emit cancelled(id_);
}

void TGoToDialog::closeEvent(QCloseEvent* e) {
    QDialog::closeEvent(e);
    emit cancelled(id_);
}

// ---- stop of a running go-to ----

TStopGoToDialog::TStopGoToDialog(QWidget* mainWindow) : CentredDialog(mainWindow, "Go To In Progress", Focus::Leave) {
    setObjectName("StopGoToDialog");
    StopText = new QLabel(
        "A Go To Position command is in progress.  You can manually terminate this command prior to its completion.",
        this);
    StopText->setWordWrap(true);
    StopText->setMinimumWidth(340);
    OKBtn = new QPushButton("&Terminate Go To Command at Current Position", this);
    OKBtn->setObjectName("OKBtn");
    OKBtn->setDefault(true);
    pad(OKBtn);
    auto* l = dialog_layout(this);
    l->addWidget(StopText);
    l->addLayout(button_row({OKBtn}));
    connect(OKBtn, &QPushButton::clicked, this, &TStopGoToDialog::OKBtnClick);
}

QPoint TStopGoToDialog::place(const QRect& m, const QRect& screen) const {
    const QSize frame = frameGeometry().size().expandedTo(size());
    const int gap = 8;
    const int besideY = m.top() + (m.height() - frame.height()) / 2;
    const QPoint beside[] = {{m.right() + 1 + gap, besideY},
                             {m.left() - gap - frame.width(), besideY},
                             {m.left() + (m.width() - frame.width()) / 2, m.bottom() + 1 + gap}};
    for (const QPoint& p : beside)
        if (!screen.isValid() || screen.contains(QRect(p, frame))) return p;
    // On the screen, nearest the bottom middle of the main window, over
    // none of the controls kept in view (also while their page is not the
    // one shown: the user may turn to it).
    QList<QRect> clear;
    for (QWidget* w : keepInView_)
        if (!w->isHidden()) clear << QRect(w->mapToGlobal(QPoint()), w->size()).adjusted(-gap, -gap, gap, gap);
    const QPoint aim(m.left() + (m.width() - frame.width()) / 2, m.bottom() + 1 - gap - frame.height());
    QPoint best = aim;
    long bestDistance = -1;
    const QRect room = screen.isValid() ? screen : m;
    for (int y = room.top(); y + frame.height() <= room.bottom() + 1; y += 4) {
        for (int x = room.left(); x + frame.width() <= room.right() + 1; x += 4) {
            const QRect r(QPoint(x, y), frame);
            if (std::any_of(clear.begin(), clear.end(), [&r](const QRect& c) { return c.intersects(r); })) continue;
            const long d = long(x - aim.x()) * (x - aim.x()) + long(y - aim.y()) * (y - aim.y());
            if (bestDistance < 0 || d < bestDistance) {
                bestDistance = d;
                best = r.topLeft();
            }
        }
    }
    return best;
}

void TStopGoToDialog::OKBtnClick() {
    hide();
    emit stopPressed();
}

// ---- initialization in progress ----

TStopInitDialog::TStopInitDialog(QWidget* mainWindow)
    : CentredDialog(mainWindow, "Initialization In Progress", Focus::Leave) {
    setObjectName("StopInitDialog");
    auto* l = dialog_layout(this);
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
    pad(StopReinit);
    l->addLayout(button_row({StopReinit}));
    connect(StopReinit, &QPushButton::clicked, this, &TStopInitDialog::StopReinitClick);
}

void TStopInitDialog::StopReinitClick() {
    hide();
    emit stopPressed();
}

// ---- port search result ----

TAutoDetectDialog::TAutoDetectDialog(QWidget* mainWindow) : CentredDialog(mainWindow, "Auto Detect") {
    setObjectName("AutoDetectDialog");
    AutoDetectResult = new QLabel(this);
    AutoDetectResult->setObjectName("AutoDetectResult");
    AutoDetectResult->setTextFormat(Qt::PlainText);
    AutoDetectResult->setMinimumWidth(280);
    AutoDetectResult->setAlignment(Qt::AlignCenter);
    AutoDetectOK = new QPushButton("OK", this);
    AutoDetectOK->setObjectName("AutoDetectOK");
    AutoDetectOK->setDefault(true);
    auto* l = dialog_layout(this);
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
    emit acknowledged(id_);
}

void TAutoDetectDialog::closeEvent(QCloseEvent* e) {
    QDialog::closeEvent(e);
    emit acknowledged(id_);
}

// ---- focuser description ----

TTextEntryDialog::TTextEntryDialog(QWidget* mainWindow) : CentredDialog(mainWindow, "Enter Focuser Description") {
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
    auto* l = dialog_layout(this);
    l->addWidget(TextLabel);
    l->addWidget(EnterText);
    l->addWidget(EnterTextHint);
    l->addLayout(button_row({OKBtn, CancelBtn}));
    connect(OKBtn, &QPushButton::clicked, this, &TTextEntryDialog::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &TTextEntryDialog::CancelBtnClick);
}

void TTextEntryDialog::showEntry(const corvell::TextEntryScreen& e) {
    if (!e.visible) {
        if (isVisible()) hide();
        return;
    }
    if (isVisible() && id_ == e.id) return;
    id_ = e.id;
    const QString text = shown_text(e.text);
    EnterTextHint->hide();
    // Why the text last entered was not taken.
    if (!e.refusal.empty()) {
        EnterTextHint->setText(QString::fromStdString(e.refusal));
        EnterTextHint->show();
    }
    EnterText->setMaxLength(description_max_length(text));
    EnterText->setText(text);
    EnterText->selectAll();
    adjustSize();
    showCentred();
    EnterText->setFocus();
}

void TTextEntryDialog::OKBtnClick() {
    const QString text = EnterText->text();
    // The validator keeps such characters out; a text holding one anyway
    // stays in the entry rather than being saved altered.
    if (const auto c = first_unstorable(text)) {
        show_refusal(EnterTextHint, *c);
        return;
    }
    hide();
    emit entered(id_, text);
}

void TTextEntryDialog::CancelBtnClick() {
    hide();
    emit cancelled(id_);
}

void TTextEntryDialog::closeEvent(QCloseEvent* e) {
    QDialog::closeEvent(e);
    emit cancelled(id_);
}

// ---- add-focuser setup ----

TSetupDialog::TSetupDialog(QWidget* mainWindow) : CentredDialog(mainWindow, "Add New Focuser") {
    setObjectName("SetupDialog");
    auto label = [this](const char* name) {
        auto* l = new QLabel(this);
        l->setObjectName(name);
        l->setTextFormat(Qt::PlainText);
        return l;
    };
    SetupText1 = label("SetupText1");
    SetupText2 = label("SetupText2");
    for (QLabel* l : {SetupText1, SetupText2}) {
        l->setWordWrap(true);
        l->setMinimumWidth(380);
    }
    EncoderLabel = label("EncoderLabel");
    EncoderLabel->setText("Encoder Count");
    SetupPosition = label("SetupPosition");
    QFont big = SetupPosition->font();
    big.setBold(true);
    SetupPosition->setFont(big);
    EncoderEntry = label("EncoderEntry");
    MaximumEntry = label("MaximumEntry");
    MaximumEntry->setText("Maximum Travel Count");
    FocuserDescription = new QLineEdit(this);
    FocuserDescription->setObjectName("FocuserDescription");
    FocuserDescription->setMaxLength(static_cast<int>(corvell::kDescriptionLimit));
    FocuserDescription->setMinimumWidth(FocuserDescription->fontMetrics().horizontalAdvance("M") * 16);
    DescriptionHint = make_refusal_hint("SetupDescriptionHint", this);
    refuse_unstorable(FocuserDescription, DescriptionHint);
    MaximumEdit = new QLineEdit(this);
    MaximumEdit->setObjectName("MaximumEdit");
    MaximumEdit->setMaxLength(48);  // long enough for the reason of a refused entry
    SetupModeSelect = new RadioGroup(QString(), {}, this);
    SetupModeSelect->setObjectName("SetupModeSelect");
    SetupModeSelect->setFlat(true);
    BackBtn = new QPushButton("&Back", this);
    BackBtn->setObjectName("BackBtn");
    BackBtn->hide();
    OKBtn = new QPushButton("OK", this);
    OKBtn->setObjectName("OKBtn");
    CancelBtn = new QPushButton("Cancel", this);
    CancelBtn->setObjectName("CancelBtn");

    auto* l = dialog_layout(this);
    l->addWidget(SetupText1);
    l->addWidget(SetupText2);
    auto* count = new QHBoxLayout;
    count->addWidget(EncoderLabel);
    count->addWidget(SetupPosition);
    count->addStretch();
    l->addLayout(count);
    auto* edits = new QGridLayout;
    edits->addWidget(EncoderEntry, 0, 0);
    edits->addWidget(FocuserDescription, 0, 1);
    edits->addWidget(MaximumEntry, 1, 0);
    edits->addWidget(MaximumEdit, 1, 1);
    edits->setColumnStretch(1, 1);
    l->addLayout(edits);
    l->addWidget(DescriptionHint);
    // Why the value last entered on the page was not taken.
    SetupRefusal = make_refusal_hint("SetupRefusal", this);
    l->addWidget(SetupRefusal);
    l->addWidget(SetupModeSelect);
    l->addStretch();
    l->addLayout(button_row({BackBtn, OKBtn, CancelBtn}));

    connect(BackBtn, &QPushButton::clicked, this, &TSetupDialog::BackBtnClick);
    connect(OKBtn, &QPushButton::clicked, this, &TSetupDialog::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &TSetupDialog::CancelBtnClick);
    connect(SetupModeSelect, &RadioGroup::clicked, this, &TSetupDialog::SetupModeSelectClick);
    // After Back the choice made before is marked; choosing it again moves on.
    connect(SetupModeSelect, &RadioGroup::reclicked, this, &TSetupDialog::SetupModeSelectClick);
    connect(FocuserDescription, &QLineEdit::returnPressed, this,
            [this] { emit descriptionEntered(id_, FocuserDescription->text()); });
    connect(MaximumEdit, &QLineEdit::textEdited, this, [this] { emit maximumTyped(id_); });
    connect(FocuserDescription, &QLineEdit::textEdited, this, [this] { emit descriptionTyped(id_); });
    connect(MaximumEdit, &QLineEdit::returnPressed, this, [this] { emit maximumEntered(id_, MaximumEdit->text()); });
}

void TSetupDialog::showPage(const corvell::SetupScreen& p) {
    if (!p.visible) {
        if (isVisible()) hide();
        return;
    }
    rendering_ = true;
    id_ = p.id;
    // "Add New Focuser", or the manual setup of the focuser in use.
    const QString caption = QString::fromStdString(p.caption);
    if (windowTitle() != caption) setWindowTitle(caption);
    auto text = [](QLabel* l, const std::string& t) {
        const QString q = QString::fromStdString(t);
        if (l->text() != q) l->setText(q);
        l->setVisible(!t.empty());
    };
    text(SetupText1, p.text1);
    text(SetupText2, p.text2);
    EncoderLabel->setVisible(p.showPosition);
    text(SetupPosition, p.showPosition ? p.position : std::string());
    text(EncoderEntry, p.entryLabel);
    FocuserDescription->setVisible(p.showDescription);
    if (p.descriptionRefill != descriptionRefill_) {
        descriptionRefill_ = p.descriptionRefill;
        const QString shown = shown_text(p.description);
        FocuserDescription->setMaxLength(description_max_length(shown));
        FocuserDescription->setText(shown);
        FocuserDescription->selectAll();
    }
    if (!p.showDescription) DescriptionHint->hide();
    SetupRefusal->setText(QString::fromStdString(p.refusal));
    SetupRefusal->setVisible(!p.refusal.empty());
    MaximumEntry->setVisible(p.showMaximum);
    MaximumEdit->setVisible(p.showMaximum);
    if (p.maximumRefill != maximumRefill_) {
        maximumRefill_ = p.maximumRefill;
        const QString maximum = QString::fromStdString(p.maximum);
        // Wide enough for the reason of a refusal shown in it, whole.
        const QFontMetrics fm = MaximumEdit->fontMetrics();
        MaximumEdit->setMinimumWidth(
            std::max(MaximumEdit->minimumWidth(), fm.horizontalAdvance(maximum) + fm.averageCharWidth() * 2 + 8));
        MaximumEdit->setText(maximum);
        MaximumEdit->selectAll();
    }
    QStringList choices;
    for (const std::string& c : p.choices) choices << QString::fromStdString(c);
    if (choices != choices_) {
        choices_ = choices;
        SetupModeSelect->setItems(choices);
        for (int i = 0; i < choices.size(); ++i) {
            QRadioButton* b = SetupModeSelect->button(i);
            b->installEventFilter(this);
            b->show();  // now, so that it can take the focus at once
        }
    }
    if (SetupModeSelect->itemIndex() != p.choice) SetupModeSelect->setItemIndex(p.choice);
    SetupModeSelect->setVisible(!choices.isEmpty());
    OKBtn->setVisible(p.showOk);
    OKBtn->setEnabled(p.okEnabled);
    OKBtn->setText(QString::fromStdString(p.okCaption));
    CancelBtn->setVisible(p.showCancel);
    CancelBtn->setText(QString::fromStdString(p.cancelCaption));
    BackBtn->setVisible(p.showBack);
    BackBtn->setText(QString::fromStdString(p.backCaption));
    if (!isVisible()) {
        adjustSize();
        showCentred();
    } else {
        adjustSize();
    }
    using Default = corvell::SetupScreen::Default;
    // A new page, or a page that moves the focus: the focus goes where the
    // page says, else to its default button, else to its first choice.
    if (p.focusCount != focusCount_ || p.id != focusedPage_) {
        focusCount_ = p.focusCount;
        focusedPage_ = p.id;
        QWidget* target = nullptr;
        switch (p.focus) {
        case corvell::SetupScreen::Focus::Description: target = FocuserDescription; break;
        case corvell::SetupScreen::Focus::Maximum: target = MaximumEdit; break;
        case corvell::SetupScreen::Focus::Ok: target = OKBtn; break;
        case corvell::SetupScreen::Focus::None: break;
        }
        if (!target || !target->isVisible()) {
            if (p.defaultButton == Default::Ok && OKBtn->isVisible())
                target = OKBtn;
            else if (!choices_.isEmpty())
                target = SetupModeSelect->button(std::max(0, SetupModeSelect->itemIndex()));
            else if (p.defaultButton == Default::Cancel)
                target = CancelBtn;
        }
        if (target && target->isVisible()) {
            if (qobject_cast<QRadioButton*>(target))
                focusChoice(target);
            else
                target->setFocus();
            if (auto* edit = qobject_cast<QLineEdit*>(target)) edit->selectAll();
        }
    }
    // Set after the focus moved: a button that had the focus on an earlier
    // page must not stay the default.
    for (QPushButton* b : {BackBtn, OKBtn, CancelBtn}) b->setAutoDefault(p.defaultButton != Default::None);
    OKBtn->setDefault(p.defaultButton == Default::Ok);
    CancelBtn->setDefault(p.defaultButton == Default::Cancel);
    rendering_ = false;
}

void TSetupDialog::OKBtnClick() {
    const QString description = FocuserDescription->text();
    if (const auto c = first_unstorable(description)) {
        show_refusal(DescriptionHint, *c);
        return;
    }
    emit okPressed(id_, description, MaximumEdit->text());
}

void TSetupDialog::CancelBtnClick() {
    hide();
    emit cancelled(id_);
}

void TSetupDialog::BackBtnClick() { emit backPressed(id_); }

void TSetupDialog::focusChoice(QWidget* choice) {
    setAttribute(Qt::WA_KeyboardFocusChange);
    choice->setFocus(Qt::OtherFocusReason);
    choice->update();
}

void TSetupDialog::closeEvent(QCloseEvent* e) {
    QDialog::closeEvent(e);
    emit cancelled(id_);
}

void TSetupDialog::SetupModeSelectClick() {
    if (rendering_ || SetupModeSelect->itemIndex() < 0) return;
    emit chosen(id_, SetupModeSelect->itemIndex());
}

// On the choices, the arrow keys move between them without choosing, and
// Space or Return chooses the one that has the focus: a choice moves the
// setup on at once, so a keyboard user reaches the wanted one first.
bool TSetupDialog::eventFilter(QObject* watched, QEvent* event) {
    auto* button = qobject_cast<QAbstractButton*>(watched);
    if (!button || event->type() != QEvent::KeyPress) return CentredDialog::eventFilter(watched, event);
    const int key = static_cast<QKeyEvent*>(event)->key();
    const int at = choices_.indexOf(button->text());
    switch (key) {
    case Qt::Key_Up:
    case Qt::Key_Left:
    case Qt::Key_Down:
    case Qt::Key_Right: {
        const int step = key == Qt::Key_Up || key == Qt::Key_Left ? -1 : 1;
        const int next = (at + step + static_cast<int>(choices_.size())) % static_cast<int>(choices_.size());
        if (QWidget* b = SetupModeSelect->button(next)) focusChoice(b);
        return true;
    }
    case Qt::Key_Return:
    case Qt::Key_Enter: button->click(); return true;
    default: return CentredDialog::eventFilter(watched, event);
    }
}
