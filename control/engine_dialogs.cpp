// The answers of the engine's dialogs: the yes/no question, the number
// entries, and the stop buttons of a running go-to; and the answers the
// engine gives itself when nobody is there to give them.
#include <cmath>

#include "control/engine.h"
#include "control/conversion.h"
#include "control/number_entries.h"
#include "control/quantities.h"
#include "positioning/number_format.h"

namespace corvell {

namespace {

// A dialog's text on one line: its line breaks as blanks, no blanks around
// or doubled.
std::string one_line(const std::string& text) {
    std::string line;
    for (char c : text) {
        const char d = c == '\n' || c == '\r' ? ' ' : c;
        if (d == ' ' && (line.empty() || line.back() == ' ')) continue;
        line += d;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

}  // namespace

// ------------------------------------------------- nobody there to answer ----

void Engine::set_attended(bool attended) {
    Batch b(*this);
    options_.attended = attended;
    if (!attended || conversionLeft_) view_.requestPass();
}

// The older release's file, left at the start while nobody was there, is
// offered once someone is and nothing runs; its answer ends, as at the
// start, in the ordinary start-up (the port opened again, the focusers
// listed anew).
void Engine::offer_left_conversion() {
    conversionLeft_ = false;
    conversion_->offer(false);
}

void Engine::opened_for_answer() {
    if (!options_.attended) view_.requestPass();
}

void Engine::tell_answered(UnattendedAnswer::Kind kind, const std::string& text, const std::string& line) {
    // A question answered No did not do what it asked.
    log(kind == UnattendedAnswer::Kind::QuestionNo ? LogLevel::Warning : LogLevel::Info, line);
    view_.answeredForNobody(UnattendedAnswer{kind, text, line});
}

// Runs at the start of a pass, so that the call that opened a dialog has
// ended before it is answered, and the pass goes on with the answer.
void Engine::answer_for_nobody() {
    using Kind = UnattendedAnswer::Kind;
    const Screen& s = screen_;
    if (s.question.visible) {
        const std::string text = one_line(s.question.text);
        const bool conversion = activeCommand == State::Confirm && followUpCommand == State::Conversion;
        if (conversion)
            tell_answered(Kind::QuestionLater, text,
                          "Question with no one to answer it, left until someone is there: " + text);
        else
            tell_answered(Kind::QuestionNo, text, "Question with no one to answer it, answered No: " + text);
        question_closed(s.question.id);
        // The file is kept, and offered again once someone is there.
        if (conversion) conversionLeft_ = true;
    }
    if (s.entry.visible) {
        const std::string text = one_line(s.entry.caption);
        tell_answered(Kind::EntryCancelled, text, "Entry with no one to type in it, cancelled: " + text);
        entry_cancelled(s.entry.id);
    }
    if (s.textEntry.visible) {
        tell_answered(Kind::DescriptionCancelled, {}, "Description entry with no one to type in it, cancelled");
        text_entry_cancelled(s.textEntry.id);
    }
    if (s.setup.visible) {
        const std::string text = one_line(s.setup.caption + " " + s.setup.text1);
        tell_answered(Kind::SetupCancelled, text, "Setup page with no one to answer it, cancelled: " + text);
        setup_cancelled(s.setup.id);
    }
    if (s.autoDetect.visible) {
        const std::string text = one_line(s.autoDetect.message);
        tell_answered(Kind::SearchResult, text, "Auto Detect: " + text);
        AutoDetectOKClick(s.autoDetect.id);
    }
}

// ---------------------------------------------------------------- dialogs ----

void Engine::open_entry(State entryState, const std::string& caption, const std::string& prompt,
                        const std::string& preset, const std::string& unit) {
    activeCommand = entryState;
    entryState_ = entryState;
    EntryScreen& e = screen_.entry;
    e.visible = true;
    e.id = ++nextDialogId_;
    e.caption = caption;
    e.label = prompt;
    e.preset = preset;
    e.unit = unit;
    ++e.refill;
    entryTag = 0;
    entryOk = false;
    mark(kEntry);
    opened_for_answer();
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
    if (activeCommand == State::Confirm && followUpCommand == State::Conversion) {
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
    if (entryState_ != State::GoToEntry) {
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
    if (activeCommand == entryState_) activeCommand = State::Idle;
    entryState_ = State::Idle;
}

// The stop button of the go-to and initialization dialogs: the same stop
// as the main window's.
void Engine::stop_go_to_pressed() {
    Batch b(*this);
    show_stop_go_to(false);
    stop_command();
}

}  // namespace corvell
