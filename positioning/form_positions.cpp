// The main window's displays in the chosen unit, step moves, the backlash
// switch and distance, and the twenty stored positions.
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>

#include "positioning/motion_rules.h"
#include "positioning/number_format.h"
#include "ui/Dialogs.h"
#include "ui/RadioGroup.h"
#include "ui/TForm1.h"

using namespace corvell;

namespace {
void set_single_line(QListWidget* list, const QString& text) {
    if (list->count() == 1 && list->item(0)->text() == text) return;
    list->clear();
    list->addItem(text);
}
void set_text(QLabel* label, const QString& text) {
    if (label->text() != text) label->setText(text);
}
QString q(const std::string& s) { return QString::fromStdString(s); }
}  // namespace

void TForm1::show_position() {
    set_single_line(PositionDisplay, q(length_text(currentPosition, inchesPerCount, unit(), 3)));
}

void TForm1::display_stored_position() {
    const int i = selectedSlot - 1;
    if (i < 0 || i >= kStoredSlots) return;
    const long count = storedPositions[i];
    QString text = " ";
    if (count >= 0) text = q(length_text(count, inchesPerCount, unit(), unit() == Unit::Inches ? 3 : 2));
    set_text(Pos[i], text);
}

void TForm1::update_displays() {
    const Unit u = unit();
    set_text(EncoderLines, q(encoder_lines_caption(u)));
    StepEdit->setText(q(step_text(stepIncrement, u)));
    set_text(EncoderStep, q(counts_per_unit_text(inchesPerCount, u)));
    set_single_line(MaxTravelDisplay, q(length_text(maxTravel, inchesPerCount, u, 3)));
    BacklashEdit->setText(q(length_text(backlashCount, inchesPerCount, u, 3)));
    const int keep = selectedSlot;
    for (int n = 1; n <= kStoredSlots; ++n) {
        selectedSlot = n;
        display_stored_position();
    }
    selectedSlot = keep;
    set_text(MaxTravelStop, q(format_fixed(maxTravel, 5, 0)));
    goToTimeLimit = goto_time_limit(maxTravel, inchesPerCount);
}

void TForm1::UnitsClick() {
    if (selectionLock) return;
    PositionDisplay->clear();
    stepIncrement = default_step_increment(unit());
    if (positionKnown) show_position();
    update_displays();
    set_step_increment();
    write_config_file();
}

// ---- step moves ----

static void step(TForm1* f, bool in) {
    auto target = step_target(f->currentPosition, f->inchesPerCount, f->stepIncrement, in);
    if (!target) return;
    f->set_command_argument(*target);
    f->go_to_position_command();
}

void TForm1::StepInButtonClick() { step(this, true); }
void TForm1::StepOutButtonClick() { step(this, false); }

void TForm1::set_step_increment() {
    StepEdit->setReadOnly(true);
    StepEdit->setMaxLength(32767);
    stepEntryFinished = true;
    StepEdit->setText(q(step_text(stepIncrement, unit())));
}

void TForm1::show_invalid_number(const QString& text) {
    auto* box = new QMessageBox(QMessageBox::Warning, "Tav Corvell", QString("'%1' is not a valid number.").arg(text),
                                QMessageBox::Ok, this);
    box->setObjectName("InvalidNumberMessage");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

void TForm1::step_increment_input() {
    if (!stepDigitsTyped) {
        StepEdit->deselect();
    } else if (!stepEntryFinished) {
        double typed = 0;
        if (parse_decimal(StepEdit->text().toStdString(), typed) && typed >= 0)
            stepIncrement = step_increment_from_entry(typed, unit());
        else
            show_invalid_number(StepEdit->text());
    }
    set_step_increment();
    // The step increment is a program setting: keep it for the next run.
    if (stepDigitsTyped) write_config_file();
    stepDigitsTyped = false;
}

void TForm1::StepUpDownChangingEx(int direction) {
    stepIncrement = nudge_step_increment(stepIncrement, unit(), direction);
    set_step_increment();
    write_config_file();
}

// ---- backlash correction ----

void TForm1::BacklashEnableClick() {
    const bool on = BacklashEnable->itemIndex() == 1;
    BacklashEdit->setEnabled(on);
    BacklashAdjust->setEnabled(on);
    if (!selectionLock) write_focuser_file();
}

void TForm1::backlash_count_update() {
    if (!backlashDigitsTyped) {
        BacklashEdit->deselect();
    } else if (!backlashEntryFinished && inchesPerCount > 0) {
        double typed = 0;
        if (parse_decimal(BacklashEdit->text().toStdString(), typed) && typed >= 0) {
            if (auto counts = typed_length_to_counts(typed, inchesPerCount, unit())) {
                backlashCount = *counts;
                write_focuser_file();
            }
        } else {
            show_invalid_number(BacklashEdit->text());
        }
    }
    BacklashEdit->setReadOnly(true);
    BacklashEdit->setMaxLength(32767);
    backlashEntryFinished = true;
    backlashDigitsTyped = false;
    BacklashEdit->setText(q(length_text(backlashCount, inchesPerCount, unit(), 3)));
}

// ---- entry boxes (step increment, backlash distance, descriptions) ----

void TForm1::open_entry_box(QLineEdit* box, bool& finished, bool& typed) {
    box->setMaxLength(box == StepEdit ? 6 : 10);
    box->setReadOnly(false);
    box->selectAll();
    box->setFocus();
    finished = false;
    typed = false;
}

// Digits and a point are typed into the box; editing keys edit; any other
// key ends the entry. Returns true when the key ends it.
bool TForm1::entry_key(QLineEdit*, QEvent* event, bool& typed) {
    auto* k = static_cast<QKeyEvent*>(event);
    switch (k->key()) {
    case Qt::Key_Backspace: case Qt::Key_Delete: case Qt::Key_Left: case Qt::Key_Right:
    case Qt::Key_Home: case Qt::Key_End: case Qt::Key_Shift:
        return false;
    default:
        break;
    }
    const QString t = k->text();
    if (t.size() == 1 && (t[0].isDigit() || t[0] == '.' || t[0] == ',')) {
        typed = true;
        return false;
    }
    return true;
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (watched == StepEdit || watched == BacklashEdit) {
        auto* box = static_cast<QLineEdit*>(watched);
        const bool isStep = watched == StepEdit;
        bool& finished = isStep ? stepEntryFinished : backlashEntryFinished;
        bool& typed = isStep ? stepDigitsTyped : backlashDigitsTyped;
        auto end = [&] {
            if (isStep)
                step_increment_input();
            else
                backlash_count_update();
        };
        if (type == QEvent::MouseButtonRelease && box->isEnabled() && box->isReadOnly()) {
            open_entry_box(box, finished, typed);
            return true;
        }
        if (type == QEvent::KeyPress && !box->isReadOnly()) {
            if (entry_key(box, event, typed)) {
                end();
                return true;
            }
        }
        if (type == QEvent::FocusOut && !box->isReadOnly()) end();
        return false;
    }
    for (int i = 0; i < kStoredSlots; ++i) {
        if (watched == Description[i] && type == QEvent::FocusOut && descriptionEditing && !Description[i]->isReadOnly())
            save_position_N(i + 1);
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---- stored positions ----

void TForm1::StoreNClick(int n) {
    selectedSlot = n;
    store_position_command();
}

void TForm1::store_position_command() {
    activeCommand = 'm';
    descriptionEditing = true;
    if (storedPositions[selectedSlot - 1] >= 0) {
        confirmAnswer = 0;
        show_confirmation("Are you sure you want to overwrite the existing setting?");
    } else {
        confirmAnswer = 1;
        AreYouSureDialog->tag = 1;
    }
}

void TForm1::GoToNClick(int n) {
    const long stored = storedPositions[n - 1];
    if (stored < 0 || stored == static_cast<long>(currentPosition)) return;
    selectedSlot = n;
    backlash_test();
}

void TForm1::backlash_test() {
    const int i = selectedSlot - 1;
    const bool endInward = (directionFlags >> i) & 1u;
    ApproachPlan plan = backlash_plan(storedPositions[i], currentPosition, backlashCount, maxTravel, endInward,
                                      BacklashEnable->itemIndex() == 1);
    queuedCommand = 0;
    backlashFinalTarget = plan.finalTarget;
    if (plan.twoLegs) {
        queuedCommand = 'q';
        sequenceCounter = 0;
    }
    if (plan.clipped) {
        // The overshoot is cut by a travel stop: ask first, nothing moves yet.
        clippedOvershoot = true;
        backlashClippedTarget = plan.firstTarget;
        sequenceCounter = 1;
        queuedCommand = 0;
        followUpCommand = 'q';
        activeCommand = 'a';
        confirmAnswer = 0;
        show_confirmation("\nThe backlash correction is not optimal due to the mechanical stops on the focuser.");
        return;
    }
    clippedOvershoot = false;
    set_command_argument(plan.firstTarget);
    go_to_position_command();
}

// One step of a two-leg stored go-to, run when 'q' comes up: after the
// accepted warning, the clipped overshoot; otherwise the final target.
void TForm1::backlash_step() {
    if (sequenceCounter == 0) {
        queuedCommand = 0;
        activeCommand = 0;
        clippedOvershoot = false;
        set_command_argument(backlashFinalTarget);
        go_to_position_command();
    } else if (confirmAnswer) {
        // The overshoot leg; the final leg follows once it completes.
        sequenceCounter = 0;
        queuedCommand = 'q';
        activeCommand = 0;
        set_command_argument(backlashClippedTarget);
        go_to_position_command();
    } else {
        activeCommand = 0;
        sequenceCounter = 0;
        queuedCommand = 0;
        clippedOvershoot = false;
    }
}

void TForm1::DeleteNClick(int n) {
    if (storedPositions[n - 1] < 0) return;
    selectedSlot = n;
    delete_entry();
}

void TForm1::delete_entry() {
    activeCommand = 'x';
    confirmAnswer = 0;
    show_confirmation("Are you sure you want to delete this stored position?");
}

void TForm1::save_position_N(int n) {
    QLineEdit* d = Description[n - 1];
    d->setReadOnly(true);
    d->deselect();
    descriptionEditing = false;
    write_focuser_file();
}
