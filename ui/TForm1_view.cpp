// The main window as the engine's view: renders the parts of the screen the
// engine changed, and turns the entry boxes' keys into engine calls.
//
// Widgets are touched only when their content really differs: the executive
// runs each time the event loop is about to sleep, and a widget changed for
// nothing would wake it again.
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>

#include "ui/Dialogs.h"
#include "ui/RadioGroup.h"
#include "ui/TForm1.h"
#include "ui/description_text.h"

using corvell::Screen;

namespace {

void set_lines(QListWidget* list, const std::vector<std::string>& lines) {
    bool same = list->count() == static_cast<int>(lines.size());
    for (int i = 0; same && i < list->count(); ++i) same = list->item(i)->text() == QString::fromStdString(lines[i]);
    if (same) return;
    list->clear();
    for (const std::string& l : lines) list->addItem(QString::fromStdString(l));
}

void set_label(QLabel* label, const QString& text) {
    if (label->text() != text) label->setText(text);
}

void set_label(QLabel* label, const std::string& text) { set_label(label, QString::fromStdString(text)); }

// An entry box shows the engine's value unless the user is typing in it.
void set_box(QLineEdit* box, const QString& text) {
    if (box->isReadOnly() && box->text() != text) box->setText(text);
}

void set_enabled(QWidget* w, bool enabled) {
    if (w->isEnabled() != enabled) w->setEnabled(enabled);
}

void set_visible(QWidget* w, bool visible) {
    if (w->isVisible() != visible) w->setVisible(visible);
}

void set_visible(CentredDialog* d, bool visible) {
    if (visible && !d->isVisible())
        d->showCentred();
    else if (!visible && d->isVisible())
        d->hide();
}

}  // namespace

void TForm1::render(const Screen& s, unsigned changed) {
    rendering_ = true;
    using namespace corvell;
    if (changed & kActivity) set_lines(ActivityDisplay, s.activity);
    if (changed & kStatus) set_lines(StatusDisplay, s.status);
    if (changed & kPosition) set_lines(PositionDisplay, s.position);
    if (changed & kConnection) set_label(Connection, s.connection);
    if (changed & kEncoderPosition) set_label(EncoderPosition, s.encoderPosition);
    if (changed & kSettingsTexts) {
        set_label(EncoderLines, s.encoderLines);
        set_label(EncoderStep, s.encoderStep);
        set_label(MaxTravelStop, s.maxTravelStop);
        set_lines(MaxTravelDisplay, s.maxTravel);
        set_box(StepEdit, QString::fromStdString(s.stepText));
        set_box(BacklashEdit, QString::fromStdString(s.backlashText));
    }
    if (changed & kChoices) {
        Units->setItemIndex(s.unitsIndex);
        ComPortSelect->setItemIndex(s.portIndex);
        BaudRateSelect->setItemIndex(s.baudIndex);
        BacklashEnable->setItemIndex(s.backlashIndex);
        if (BacklashEdit->isEnabled() != s.backlashEditEnabled) BacklashEdit->setEnabled(s.backlashEditEnabled);
        if (BacklashAdjust->isEnabled() != s.backlashEditEnabled) BacklashAdjust->setEnabled(s.backlashEditEnabled);
    }
    if (changed & kFocuserType) set_label(FocuserType, shown_text(s.focuserType));
    if (changed & kStoredSlotsPart) {
        for (int i = 0; i < corvell::kStoredSlots; ++i) {
            set_label(Pos[i], s.posText[i]);
            QLineEdit* d = Description[i];
            const bool open = s.descriptionOpen == i;
            if (!open || d->isReadOnly()) {
                const QString text = shown_text(s.descriptions[i]);
                if (d->text() != text) {
                    d->setMaxLength(description_max_length(text));
                    d->setText(text);
                    d->setCursorPosition(0);  // a long one shows its start
                }
            }
            if (d->isReadOnly() == open) {
                d->setReadOnly(!open);
                if (!open) {
                    d->deselect();
                    d->setCursorPosition(0);
                }
            }
        }
        enable_slot_buttons(s);
        if (s.descriptionOpen < 0 && !DescriptionHint->isHidden()) DescriptionHint->hide();
        if (s.descriptionOpen >= 0 && s.descriptionFocus != shownDescriptionFocus_) {
            QLineEdit* d = Description[s.descriptionOpen];
            d->selectAll();
            d->setFocus();
        }
        shownDescriptionFocus_ = s.descriptionFocus;
    }
    if (changed & kFocuserList) {
        QStringList rows, files;
        for (const std::string& r : s.focuserList) rows << shown_text(r);
        for (int n : s.focuserFiles) files << QString::number(n);
        QStringList shownRows, shownFiles;
        for (int i = 0; i < FocuserList->count(); ++i) shownRows << FocuserList->item(i)->text();
        for (int i = 0; i < FocuserFiles->count(); ++i) shownFiles << FocuserFiles->item(i)->text();
        if (rows != shownRows || files != shownFiles) {
            FocuserList->clear();
            FocuserList->addItems(rows);
            FocuserFiles->clear();
            FocuserFiles->addItems(files);
        }
        mark_focuser_in_use();
        // With the focuser in use deleted, nothing of a focuser's own can be
        // changed; with no row chosen, no focuser can be deleted.
        const bool focuser = !s.noFocuser;
        for (QPushButton* b :
             {ChangeDescription, ManualSetupButton, SetEncoder, SetMaxTravel, MaxTravelOverride, ReinitializeFocuser})
            set_enabled(b, focuser);
        set_enabled(DeleteFocuser, focuser && s.focuserRow >= 0);
        enable_slot_buttons(s);
        set_enabled(BacklashEnable, focuser);
    }
    if (changed & kNotes) {
        set_visible(ReinitText, s.reinitTextVisible);
        set_visible(AutoDetectText, s.autoDetectTextVisible);
    }
    if (changed & kOperatePage && s.operatePage != shownOperatePage_) {
        shownOperatePage_ = s.operatePage;
        PageControl1->setCurrentWidget(TabSheet1);
    }
    if (changed & kQuestion) AreYouSureDialog->showQuestion(s.question);
    if (changed & kEntry) {
        const bool refill = s.entry.refill != shownEntryRefill_;
        shownEntryRefill_ = s.entry.refill;
        GoToDialog->showEntry(s.entry, refill);
    }
    if (changed & kStopGoTo) set_visible(StopGoToDialog, s.stopGoToVisible);
    if (changed & kStopInit) set_visible(StopInitDialog, s.stopInitVisible);
    if (changed & kAutoDetect) AutoDetectDialog->showResult(s.autoDetect);
    if (changed & kTextEntry) TextEntryDialog->showEntry(s.textEntry);
    if (changed & kSetup) SetupDialog->showPage(s.setup);
    if (changed & kRefusal) {
        // Where the click was; the Operate page's Activity shows it already.
        using Place = corvell::RefusalScreen::Place;
        QStringList refusal;
        for (const std::string& line : s.refusal.lines) refusal << QString::fromStdString(line);
        const QString text = refusal.join(": ");
        for (auto [label, place] :
             {std::pair{StoreRefusal, Place::StoredPositions}, std::pair{ConfigureRefusal, Place::Configure}}) {
            const bool here = s.refusal.place == place && !text.isEmpty();
            if (here) set_label(label, text);
            set_visible(label, here);
        }
    }
    rendering_ = false;
}

void TForm1::enable_slot_buttons(const Screen& s) {
    for (int i = 0; i < corvell::kStoredSlots; ++i) {
        set_enabled(Store[i], !s.noFocuser);
        set_enabled(GoTo[i], !s.noFocuser && s.slotStored[i]);
        set_enabled(Delete[i], !s.noFocuser && s.slotStored[i]);
    }
}

void TForm1::mark_focuser_in_use() {
    const int row = engine().screen().focuserRow;
    const bool was = rendering_;
    rendering_ = true;
    for (QListWidget* list : {FocuserList, FocuserFiles}) {
        const bool marked = row < 0 ? list->selectedItems().isEmpty()
                                    : list->selectedItems() == QList<QListWidgetItem*>{list->item(row)};
        if (list->currentRow() != row || !marked) {
            if (row < 0) {
                list->clearSelection();
                list->setCurrentRow(-1);
            } else {
                list->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
            }
        }
    }
    rendering_ = was;
}

void TForm1::warnInvalidNumber(const QString& text) {
    auto* box = new QMessageBox(QMessageBox::Warning, "Tav Corvell", QString("'%1' is not a valid number.").arg(text),
                                QMessageBox::Ok, this);
    box->setObjectName("InvalidNumberMessage");
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

// ---- entry boxes (step increment, backlash distance) ----

void TForm1::open_entry_box(QLineEdit* box, bool& typed) {
    box->setMaxLength(box == StepEdit ? 6 : 10);
    box->setReadOnly(false);
    box->selectAll();
    box->setFocus();
    typed = false;
}

// Closes the box and hands what was typed to the engine, which shows the
// value it keeps.
void TForm1::end_entry_box(QLineEdit* box, bool& typed) {
    const bool wasTyped = typed;
    const std::string text = box->text().toStdString();
    typed = false;
    box->setReadOnly(true);
    box->setMaxLength(32767);
    box->deselect();
    if (box == StepEdit)
        engine().step_increment_input(wasTyped, text);
    else
        engine().backlash_count_update(wasTyped, text);
    // Shown again even when the value did not change.
    const corvell::Screen& s = engine().screen();
    set_box(box, QString::fromStdString(box == StepEdit ? s.stepText : s.backlashText));
}

namespace {
// Digits and a point are typed into the box; editing keys edit; any other
// key ends the entry. Returns true when the key ends it.
bool ends_entry(QEvent* event, bool& typed) {
    auto* k = static_cast<QKeyEvent*>(event);
    switch (k->key()) {
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_Shift: return false;
    default: break;
    }
    const QString t = k->text();
    if (t.size() == 1 && (t[0].isDigit() || t[0] == '.' || t[0] == ',')) {
        typed = true;
        return false;
    }
    return true;
}
}  // namespace

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    QEvent::Type type = event->type();
    // Another window coming to the front (a dialog, another program) or a
    // context menu is not leaving the box: the entry stays open.
    if (type == QEvent::FocusOut) {
        const Qt::FocusReason why = static_cast<QFocusEvent*>(event)->reason();
        if (why == Qt::ActiveWindowFocusReason || why == Qt::PopupFocusReason) type = QEvent::None;
    }
    if (watched == StepEdit || watched == BacklashEdit) {
        auto* box = static_cast<QLineEdit*>(watched);
        bool& typed = watched == StepEdit ? stepDigitsTyped_ : backlashDigitsTyped_;
        if (type == QEvent::MouseButtonRelease && box->isEnabled() && box->isReadOnly()) {
            open_entry_box(box, typed);
            return true;
        }
        // From the keyboard: a digit or a point opens the box and is its
        // first character; Return, Enter, Space or F2 open it as a click does.
        if (type == QEvent::KeyPress && box->isEnabled() && box->isReadOnly()) {
            auto* k = static_cast<QKeyEvent*>(event);
            const QString t = k->text();
            const bool digit = t.size() == 1 && (t[0].isDigit() || t[0] == '.' || t[0] == ',');
            const int key = k->key();
            const bool opens =
                key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space || key == Qt::Key_F2;
            if (!digit && !opens) return false;
            open_entry_box(box, typed);
            if (!digit) return true;
            typed = true;
            return false;  // the box takes the key in place of its selected text
        }
        if (type == QEvent::KeyPress && !box->isReadOnly() && ends_entry(event, typed)) {
            end_entry_box(box, typed);
            return true;
        }
        if (type == QEvent::FocusOut && !box->isReadOnly()) end_entry_box(box, typed);
        return false;
    }
    if (type == QEvent::FocusOut) {
        for (int i = 0; i < corvell::kStoredSlots; ++i)
            if (watched == Description[i] && !Description[i]->isReadOnly()) save_position_N(i + 1);
    }
    return QMainWindow::eventFilter(watched, event);
}
