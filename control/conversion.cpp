#include "control/conversion.h"

#include "control/letters.h"
#include "control/quantities.h"
#include "control/sequence_host.h"
#include "positioning/focuser_models.h"
#include "storage/file_store.h"

namespace corvell {

namespace {
// While it is converted, the older release's file lies under another name,
// so that a file that cannot be removed is found out before it is converted
// (and never converted again at every start), and a conversion cut short is
// offered again at the next start. Once the number of the focuser it
// becomes is chosen, that number joins the name ("...-converting-7"), before
// the focuser's file is written: a conversion cut short after that finds
// its focuser at the next start and is finished, never made twice.
const char* const kAsideName = ".focuser.dat.corvell-converting";
}  // namespace

std::string Conversion::legacy_path() const { return h_.data_path(kLegacyFileName); }
std::string Conversion::aside_path() const { return h_.data_path(kAsideName); }

std::string Conversion::numbered_aside(int number) const {
    return h_.data_path(std::string(kAsideName) + "-" + std::to_string(number));
}

// The number of a conversion cut short after its number was chosen; 0 when none.
int Conversion::numbered_aside_number() const {
    const std::string prefix = std::string(kAsideName) + "-";
    for (const std::string& name : files_with_prefix(h_.data_path("."), prefix)) {
        const std::string digits = name.substr(prefix.size());
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const int number = std::stoi(digits);
        if (number > 0) return number;
    }
    return 0;
}

bool Conversion::pending() const {
    return file_exists(legacy_path()) || file_exists(aside_path()) || numbered_aside_number() != 0;
}

// A conversion cut short: when the focuser it was becoming was written, the
// program settings are brought in line and the file removed; otherwise the
// file is offered again.
void Conversion::resume() {
    const int number = numbered_aside_number();
    if (number == 0) return;
    std::string error;
    const auto name = profile_file_name(number);
    if (name && file_exists(h_.data_path(*name))) {
        h_.config().currentFileNumber = number;
        if (h_.config().nextFileNumber <= number) h_.config().nextFileNumber = number + 1;
        h_.write_config_file();
        if (!remove_file(numbered_aside(number), error))
            h_.report_file_problem(std::string(kLegacyFileName) + " could not be removed after its conversion (" +
                                   error + ")");
        return;
    }
    if (!file_exists(legacy_path())) rename_file(numbered_aside(number), legacy_path(), error);
}

bool Conversion::offer(bool fromDefaults) {
    std::string error;
    resume();
    if (!file_exists(legacy_path()) && file_exists(aside_path())) rename_file(aside_path(), legacy_path(), error);
    if (!file_exists(legacy_path())) return false;
    if (!rename_file(legacy_path(), aside_path(), error)) {
        h_.report_file_problem(std::string(kLegacyFileName) + " is not converted: it cannot be removed (" + error +
                               ")");
        return false;
    }
    asideNow_ = aside_path();
    if (fromDefaults) h_.restore_focuser_defaults();
    // Buttons that say what they do; closing the question means "later".
    h_.ask_conversion_question(
        "A parameter file from a previous software version has been found. This file will be deleted.  Do you wish "
        "to save the information stored in this file prior to deleting it? (Backlash correction will not work "
        "correctly with this focuser, and should remain OFF.)",
        "Convert", "Delete without converting");
    h_.sequence_counter() = kAskDescription;
    return true;
}

// Not now: the file stays for the next start, nothing is written.
void Conversion::later() {
    std::string error;
    rename_file(asideNow_, legacy_path(), error);
    h_.conversion_ended(true);
    h_.start_up_clean();
}

void Conversion::rename() {
    answer_ = Answer::None;
    h_.hold_for_rename();
    h_.sequence_counter() = kRename;
    h_.show_text_entry(h_.profile().description);
}

void Conversion::entered(const std::string& text) {
    answer_ = Answer::Ok;
    text_ = text;
}

void Conversion::cancelled() { answer_ = Answer::Cancelled; }

void Conversion::step() {
    int& step = h_.sequence_counter();
    switch (step) {
    case kAskDescription:
        if (!h_.confirmed()) {
            step = kFinish;
            return;
        }
        answer_ = Answer::None;
        h_.profile().description = "Legacy Focuser Settings";
        h_.show_focuser_type();
        h_.show_text_entry(h_.profile().description);
        step = kConvert;
        return;
    case kConvert:
        if (answer_ == Answer::None) return;
        if (answer_ == Answer::Cancelled) {
            later();
            return;
        }
        h_.profile().description = text_;
        h_.show_focuser_type();
        if (convert()) step = kFinish;
        return;
    case kFinish: finish(); return;
    case kRename:
        if (answer_ == Answer::None) return;
        h_.conversion_ended(false);
        if (answer_ == Answer::Cancelled) return;  // the list, the profile and the files stay as they were
        h_.profile().description = text_;
        h_.show_focuser_type();
        h_.rename_selected_focuser(text_);
        h_.write_focuser_file();
        step = kRenamed;
        return;
    default: return;
    }
}

// Values of the older release's file that no setting can hold (a damaged
// file) give way to their defaults; the text names them, empty when none.
std::string Conversion::take_defaults_for_damaged(LegacyParameters& old) {
    std::vector<std::string> taken;
    if (old.baudIndex != 0 && old.baudIndex != 1) {
        old.baudIndex = 0;
        taken.push_back("baud rate");
    }
    if (old.portIndex < 0 || old.portIndex > 4) {
        old.portIndex = 0;
        taken.push_back("COM port");
    }
    if (old.unitsIndex != 0 && old.unitsIndex != 1) {
        old.unitsIndex = 0;
        taken.push_back("units");
    }
    const Unit unit = unit_from_index(old.unitsIndex);
    if (!old.stepIsNumber || !check_step_increment(old.stepIncrement, unit).empty()) {
        old.stepIncrement = default_step_increment(unit);
        taken.push_back("step increment");
    }
    if (old.maxTravel != -1 && !check_max_travel(static_cast<double>(old.maxTravel)).empty()) {
        old.maxTravel = -1;  // follows from the model codes, as the file's own default
        taken.push_back("maximum travel");
    }
    bool positions = false;
    for (long& position : old.positions) {
        if (position != -1 && (position < 0 || position > kMaxModuleCount)) {
            position = -1;
            positions = true;
        }
    }
    if (positions) taken.push_back("stored positions");
    if (taken.empty()) return {};
    std::string names;
    for (const std::string& t : taken) names += (names.empty() ? "" : ", ") + t;
    return std::string(kLegacyFileName) + " held values no setting can take (" + names + "): defaults taken";
}

// The older release's values become the program settings and a new focuser
// profile (Backlash correction off: the file kept no approach directions).
bool Conversion::convert() {
    const auto bytes = read_file_head(aside_path(), kSettingsReadLimit);
    if (!bytes) return true;  // gone meanwhile: the defaults stay
    LegacyParameters old = parse_legacy(bytes->data(), bytes->size());
    const std::string damaged = take_defaults_for_damaged(old);
    h_.lock_selection(true);
    h_.config().baudIndex = old.baudIndex;
    h_.config().portIndex = old.portIndex;
    h_.config().unitsIndex = old.unitsIndex;
    h_.config().stepIncrement = old.stepIncrement;
    FocuserProfile& p = h_.profile();
    p.positions = old.positions;
    p.descriptions = old.descriptions;
    p.inchesPerCount = inches_per_count_of(kLegacyRollerDiameter, legacy_encoder_lines(old.encoderCode));
    p.maxTravel = old.maxTravel != -1
                      ? old.maxTravel
                      : travel_counts(legacy_travel(old.focuserCode, old.variantCode), p.inchesPerCount).value_or(0);
    if (!damaged.empty()) h_.report_file_problem(damaged);
    p.backlashEnable = 0;
    p.backlashCount = 0;
    p.directionFlags = 0;
    h_.lock_selection(false);
    const int number = h_.free_file_number();
    // The number is kept with the file before the focuser is written.
    std::string error;
    if (rename_file(asideNow_, numbered_aside(number), error)) asideNow_ = numbered_aside(number);
    const std::string why = h_.save_new_focuser(number);
    if (why.empty()) return true;
    // Nothing is lost: the file stays for the next start.
    h_.report_file_problem(std::string(kLegacyFileName) + " is not converted: " + why);
    later();
    return false;
}

void Conversion::finish() {
    h_.profile().positions.fill(-1);
    h_.conversion_ended(false);
    std::string error;
    if (!remove_file(asideNow_, error))
        h_.report_file_problem(std::string(kLegacyFileName) + " could not be removed after its conversion (" + error +
                               ")");
    h_.start_up_clean();
}

}  // namespace corvell
