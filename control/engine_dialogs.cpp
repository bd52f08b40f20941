// The answers of the engine's dialogs: the yes/no question, the number
// entries, and the stop buttons of a running go-to.
#include <cmath>

#include "control/engine.h"
#include "control/conversion.h"
#include "control/number_entries.h"
#include "control/quantities.h"
#include "positioning/number_format.h"

namespace corvell {

void Engine::open_entry(char entryState, const std::string& caption, const std::string& prompt,
                        const std::string& preset) {
    activeCommand = entryState;
    entryState_ = entryState;
    EntryScreen& e = screen_.entry;
    e.visible = true;
    e.id = ++nextDialogId_;
    e.caption = caption;
    e.label = prompt;
    e.preset = preset;
    ++e.refill;
    entryTag = 0;
    entryOk = false;
    mark(kEntry);
}

void Engine::question_answered(int id, bool yes) {
    Batch b(*this);
    if (!screen_.question.visible || id != screen_.question.id) return;
    user_acts();
    confirmAnswer = yes ? 1 : 0;
    sureTag = 1;
    screen_.question.visible = false;
    mark(kQuestion);
}

void Engine::question_closed(int id) {
    Batch b(*this);
    if (!screen_.question.visible || id != screen_.question.id) return;
    if (activeCommand == state::kConfirm && followUpCommand == state::kConversion) {
        user_acts();
        screen_.question.visible = false;
        mark(kQuestion);
        conversion_->later();
        return;
    }
    question_answered(id, false);
}

void Engine::entry_confirmed(int id, const std::string& text, bool edited) {
    Batch b(*this);
    EntryScreen& e = screen_.entry;
    if (!e.visible || id != e.id) return;
    user_acts();
    auto refuse_entry = [&](const std::string& line) {
        e.label = line;
        ++e.refill;
        mark(kEntry);
    };
    if (entryState_ != state::kGoToEntry) {
        const std::string why = entries_->confirm(entryState_, text, edited);
        if (!why.empty()) {
            refuse_entry(why);
            return;
        }
        entryTag = 1;
        e.visible = false;
        mark(kEntry);
        return;
    }
    // The first reason that applies, in this order: not a number, negative,
    // beyond the travel limit, beyond what the module can hold.
    double v = 0;
    if (!parse_decimal(text, v)) {
        refuse_entry("'" + text + "' is not a valid number. Reenter desired value.");
        return;
    }
    if (v < 0) {
        refuse_entry("Value must be a positive number. Reenter desired value.");
        return;
    }
    // OK on the position shown (the current one, rounded to its decimals)
    // goes nowhere.
    if (text == e.preset) {
        entryTag = 1;
        e.visible = false;
        mark(kEntry);
        return;
    }
    if (!(profile_.inchesPerCount > 0)) {
        refuse_entry("The focuser scale (encoder counts per inch) is not set.Set the encoder count value first.");
        return;
    }
    const double inches = unit() == Unit::Centimetres ? v * 0.3937007874015748 : v;
    const double counts = std::floor(inches / static_cast<double>(profile_.inchesPerCount));
    const std::string why = check_go_to_target(counts, profile_.maxTravel);
    if (!why.empty()) {
        refuse_entry(why + " Reenter desired position.");
        return;
    }
    enteredCount = static_cast<long>(counts);
    entryOk = true;
    entryTag = 1;
    e.visible = false;
    mark(kEntry);
}

void Engine::entry_cancelled(int id) {
    Batch b(*this);
    EntryScreen& e = screen_.entry;
    if (!e.visible || id != e.id) return;
    user_acts();
    e.visible = false;
    mark(kEntry);
    // The pending operation is dropped.
    if (activeCommand == entryState_) activeCommand = state::kIdle;
    entryState_ = 0;
}

// The stop button of the go-to and initialization dialogs: the same stop
// as the main window's.
void Engine::stop_go_to_pressed() {
    Batch b(*this);
    show_stop_go_to(false);
    stop_command();
}

}  // namespace corvell
