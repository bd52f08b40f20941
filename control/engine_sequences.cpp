// The engine's side of its multi-pass sequences: the clicks that start
// them (each under the busy rules), the executive's forwarders into their
// units, their dialogs' answers, and the SequenceHost they reach it through.
#include <algorithm>

#include "control/add_focuser.h"
#include "control/conversion.h"
#include "control/engine.h"
#include "control/initialization.h"
#include "control/number_entries.h"
#include "control/port_search.h"
#include "control/quantities.h"
#include "storage/codepage.h"
#include "storage/file_store.h"

namespace corvell {

// ------------------------------------------------------------ port search ----

void Engine::AutoDetectClick() {
    Batch b(*this);
    user_acts();
    if (refuse(Action::AutoDetect)) return;
    begin_auto_detect();
}

std::string Engine::search_ports() {
    Batch b(*this);
    const std::string reason = refusal(situations(), Action::AutoDetect);
    if (!reason.empty()) return reason;
    user_acts();
    begin_auto_detect();
    return {};
}

bool Engine::searching_ports() const {
    return activeCommand == State::AutoDetect || queuedCommand == State::AutoDetect;
}

void Engine::begin_auto_detect() {
    // The search owns the port now: a retry of the old choice must not
    // reopen it behind the search's back.
    reconnectPending = false;
    communicating_ = false;
    stopEchoOwed_ = false;
    set_connection(" ");
    // An answer still on its way (a poll's, the start-up's identify) must
    // not fall into the first probe.
    const bool answerDue = link_.connected() && command_spec(letter_of(activeCommand)) != nullptr && !reply.ready;
    activeCommand = State::AutoDetect;
    portSearch_->begin(answerDue);
}

void Engine::auto_detect() { portSearch_->step(); }

void Engine::AutoDetectOKClick(int id) {
    Batch b(*this);
    user_acts();
    if (!screen_.autoDetect.visible || id != screen_.autoDetect.id) return;
    screen_.autoDetect.visible = false;
    mark(kAutoDetect);
}

// --------------------------------------------------------- initialization ----

void Engine::ReinitializeClick() { initialize_focuser(); }

void Engine::initialize_focuser() {
    Batch b(*this);
    user_acts();
    if (refuse(Action::Initialize)) return;
    followUpCommand = State::Reinit;
    activeCommand = State::Confirm;
    confirmAnswer = 0;
    show_question(
        "Are you sure you want to initialize the focuser?  The focuser will recompute its speed settings, then "
        "return to its zero position.  This may take a minute or more to complete.");
}

void Engine::begin_reinit() {
    activeCommand = State::Reinit;
    followUpCommand = State::Reinit;
    init_->begin();
}

void Engine::reinit_focuser_handler() { init_->step(); }

// The dialog's stop button stops as the main window's Stop does: in the
// homing it ends the homing, before it no homing follows.
void Engine::StopReinitClick() {
    Batch b(*this);
    show_stop_init(false);
    stop_command();
}

// --------------------------------------------------------------- focusers ----

void Engine::FocuserListClick(int row) {
    Batch b(*this);
    user_acts();
    if (row < 0 || row >= static_cast<int>(screen_.focuserFiles.size()) || row == screen_.focuserRow) {
        mark(kFocuserList);
        return;
    }
    if (refuse(Action::ChooseFocuser)) {
        mark(kFocuserList);  // the list shows the focuser in use again
        return;
    }
    screen_.focuserRow = row;
    mark(kFocuserList);
    config_.currentFileNumber = screen_.focuserFiles[static_cast<size_t>(row)];
    write_config_file();
    make_file_name(config_.currentFileNumber);
    read_focuser_file();
    update_displays();
}

void Engine::AddFocuserClick() {
    Batch b(*this);
    user_acts();
    if (refuse(Action::AddFocuser)) return;
    setup_->start(true);
}

void Engine::ManualSetupButtonClick() {
    Batch b(*this);
    user_acts();
    if (refuse(Action::ManualSetup)) return;
    setup_->start(false);
}

void Engine::add_focuser() { setup_->step(); }

void Engine::DeleteFocuserClick() {
    Batch b(*this);
    user_acts();
    if (refuse(Action::DeleteFocuser)) return;
    deleteForGood_ = false;
    followUpCommand = State::DeleteFocuser;
    activeCommand = State::Confirm;
    confirmAnswer = 0;
    // The question names the focuser, by its description or, without one,
    // by its file.
    const bool described = profile_.description.find_first_not_of(' ') != std::string::npos;
    const std::string name = described ? "\"" + cp1252_to_utf8(profile_.description) + "\"" : currentFileName;
    std::string question = "Are you sure you want to delete the selected focuser, " + name +
                           "?  This will permanently remove the focuser from the Focuser List.";
    if (options_.moveToTrash) question += "  Its profile " + currentFileName + " goes to the trash.";
    show_question(question);
}

void Engine::ChangeDescriptionClick() {
    Batch b(*this);
    user_acts();
    if (refuse(Action::RenameFocuser)) return;
    conversion_->rename();
}

void Engine::SetEncoderClick() {
    Batch b(*this);
    user_acts();
    if (refuse(Action::SetEncoder)) return;
    entries_->open_encoder();
}

void Engine::SetMaxTravelClick() {
    Batch b(*this);
    user_acts();
    if (refuse(Action::SetMaxTravel)) return;
    entries_->open_max_travel();
}

void Engine::MaxTravelOverrideClick() {
    Batch b(*this);
    user_acts();
    if (refuse(Action::SetMaxTravelDistance)) return;
    entries_->open_travel_distance();
}

void Engine::setup_ok(int id, const std::string& description, const std::string& maximum) {
    Batch b(*this);
    user_acts();
    setup_->ok(id, description, maximum);
}

void Engine::setup_cancelled(int id) {
    Batch b(*this);
    user_acts();
    setup_->cancel(id);
}

void Engine::setup_back(int id) {
    Batch b(*this);
    user_acts();
    setup_->back(id);
}

void Engine::setup_choice(int id, int index) {
    Batch b(*this);
    user_acts();
    setup_->choose(id, index);
}

void Engine::setup_description_entered(int id, const std::string& text) {
    Batch b(*this);
    user_acts();
    setup_->enter_description(id, text);
}

void Engine::setup_maximum_entered(int id, const std::string& text) {
    Batch b(*this);
    user_acts();
    setup_->enter_maximum(id, text);
}

void Engine::setup_maximum_typed(int id) {
    Batch b(*this);
    setup_->maximum_typed(id);
}

void Engine::setup_description_typed(int id) {
    Batch b(*this);
    setup_->description_typed(id);
}

// --------------------------------------------- conversion and renaming ----

void Engine::convert_old_format() { conversion_->step(); }

void Engine::text_entered(int id, const std::string& text) {
    Batch b(*this);
    TextEntryScreen& t = screen_.textEntry;
    if (!t.visible || id != t.id) return;
    user_acts();
    // A focuser needs a name: the entry stays open, with what was typed.
    const std::string why = check_description(text);
    if (!why.empty()) {
        t.text = text;
        t.refusal = why;
        t.id = ++nextDialogId_;  // shown again, as a new entry
        mark(kTextEntry);
        return;
    }
    t.visible = false;
    t.refusal.clear();
    mark(kTextEntry);
    conversion_->entered(text);
}

void Engine::text_entry_cancelled(int id) {
    Batch b(*this);
    if (!screen_.textEntry.visible || id != screen_.textEntry.id) return;
    user_acts();
    screen_.textEntry.visible = false;
    mark(kTextEntry);
    conversion_->cancelled();
}

// ------------------------------------------------------ the sequences' hosts ----

void Engine::initialization_ended() {
    activeCommand = State::Idle;
    followUpCommand = State::Idle;
}

void Engine::take_scale(float inchesPerCount) {
    Batch b(*this);
    profile_.inchesPerCount = inchesPerCount;
    write_focuser_file();
    update_displays();
}

void Engine::take_max_travel(long counts) {
    Batch b(*this);
    profile_.maxTravel = counts;
    write_focuser_file();
    update_displays();
}

void Engine::ask_conversion_question(const std::string& text, const std::string& yes, const std::string& no) {
    confirmAnswer = 0;
    show_question(text, yes, no);
    queuedCommand = State::Conversion;
    followUpCommand = State::Conversion;
    activeCommand = State::Confirm;
}

void Engine::conversion_ended(bool dropQueued) {
    activeCommand = State::Idle;
    followUpCommand = State::Idle;
    if (dropQueued) queuedCommand = State::Idle;
}

void Engine::hold_for_setup() {
    activeCommand = State::Wizard;
    queuedCommand = State::Wizard;
}

bool Engine::holds_executive() const { return activeCommand == State::Wizard || queuedCommand == State::Wizard; }

void Engine::release_setup() {
    if (activeCommand == State::Wizard) activeCommand = State::Idle;
    if (queuedCommand == State::Wizard) queuedCommand = State::Idle;
}

const uint8_t* Engine::take_reply() {
    if (!reply.ready) return nullptr;
    reply.ready = false;
    return reply.buffer;
}

bool Engine::take_expiry() {
    if (!timerExpired) return false;
    timerExpired = false;
    return true;
}

bool Engine::take_position_read() {
    const bool read = positionRead_;
    positionRead_ = false;
    return read;
}

bool Engine::open_probe_port(int portIndex, int baudIndex) {
    release_port();
    config_.portIndex = portIndex;
    config_.baudIndex = baudIndex;
    choose_port();
    portOpen_ = link_.open(portName_, baud_);
    return portOpen_;
}

void Engine::stop_echo_follows(const std::vector<std::string>& doneLines) {
    stopLines_ = doneLines;
    if (stopEchoOwed_) await_stop_echo();
}

void Engine::show_setup(const SetupScreen& page) {
    screen_.setup = page;
    screen_.setup.visible = true;
    mark(kSetup);
    opened_for_answer();
}

void Engine::hide_setup() {
    if (!screen_.setup.visible) return;
    screen_.setup.visible = false;
    mark(kSetup);
}

void Engine::show_text_entry(const std::string& text) {
    screen_.textEntry.visible = true;
    screen_.textEntry.id = ++nextDialogId_;
    screen_.textEntry.text = text;
    screen_.textEntry.refusal.clear();
    mark(kTextEntry);
    opened_for_answer();
}

void Engine::show_auto_detect_text(bool visible) { set_shown(screen_.autoDetectTextVisible, visible, kNotes); }

void Engine::show_auto_detect_result(const std::string& message) {
    show_auto_detect_text(false);
    screen_.autoDetect.visible = true;
    screen_.autoDetect.id = ++nextDialogId_;
    screen_.autoDetect.message = message;
    portSearchResult_ = message;
    mark(kAutoDetect);
    opened_for_answer();
}

void Engine::show_stop_init(bool visible) { set_shown(screen_.stopInitVisible, visible, kStopInit); }

void Engine::show_reinit_text(bool visible) { set_shown(screen_.reinitTextVisible, visible, kNotes); }

void Engine::show_focuser_type() {
    screen_.focuserType = profile_.description;
    mark(kFocuserType);
}

void Engine::set_choices(int portIndex, int baudIndex) {
    selectionLock = true;
    config_.portIndex = portIndex;
    config_.baudIndex = baudIndex;
    set_choices_from_config();
    selectionLock = false;
}

void Engine::append_focuser(const std::string& description, int number) {
    set_no_focuser(false);
    screen_.focuserList.push_back(description);
    screen_.focuserFiles.push_back(number);
    screen_.focuserRow = static_cast<int>(screen_.focuserList.size()) - 1;
    mark(kFocuserList);
}

void Engine::rename_selected_focuser(const std::string& description) {
    auto& files = screen_.focuserFiles;
    const auto it = std::find(files.begin(), files.end(), config_.currentFileNumber);
    if (it == files.end()) {
        // The focuser in use had no row yet (its file is written now).
        append_focuser(description, config_.currentFileNumber);
        return;
    }
    const auto row = static_cast<size_t>(it - files.begin());
    screen_.focuserList[row] = description;
    screen_.focuserRow = static_cast<int>(row);
    mark(kFocuserList);
}

// A new focuser never takes the number of a profile that exists: the first
// number at or above the next one whose file is not there (then, past the
// last five-digit number, the first free one from the start).
int Engine::free_file_number() {
    auto freeAt = [this](int n) {
        const auto name = profile_file_name(n);
        return name && !file_exists(data_path(*name));
    };
    const int next = std::max(1, config_.nextFileNumber);
    for (int n = next; n <= 99999; ++n)
        if (freeAt(n)) return n;
    for (int n = 1; n < next && n <= 99999; ++n)
        if (freeAt(n)) return n;
    return 0;
}

std::string Engine::save_new_focuser(int number) {
    Batch b(*this);
    if (!profile_file_name(number)) return "fc00001.df1 to fc99999.df1 are all in use";
    const ProgramConfig before = config_;
    config_.currentFileNumber = number;
    make_file_name(number);
    const std::string why = save_profile();
    if (!why.empty()) {
        config_ = before;
        make_file_name(config_.currentFileNumber);
        return why;
    }
    append_focuser(profile_.description, number);
    // Past the last number the next stays where it is, so that every
    // focuser below it is listed at the next start.
    config_.nextFileNumber = std::max(config_.nextFileNumber, number + 1);
    write_config_file();
    return {};
}

}  // namespace corvell
