#include "control/conversion.h"

#include "control/letters.h"
#include "control/sequence_host.h"
#include "positioning/focuser_models.h"
#include "storage/file_store.h"

namespace corvell {

namespace {
// While it is converted, the older release's file lies under another name,
// so that a file that cannot be removed is found out before it is converted
// (and never converted again at every start), and a conversion cut short is
// offered again at the next start.
const char* const kAsideName = ".focuser.dat.corvell-converting";
}  // namespace

std::string Conversion::legacy_path() const { return h_.data_path(kLegacyFileName); }
std::string Conversion::aside_path() const { return h_.data_path(kAsideName); }

bool Conversion::pending() const { return file_exists(legacy_path()) || file_exists(aside_path()); }

bool Conversion::offer() {
    std::string error;
    if (!file_exists(legacy_path()) && file_exists(aside_path())) rename_file(aside_path(), legacy_path(), error);
    if (!file_exists(legacy_path())) return false;
    if (!rename_file(legacy_path(), aside_path(), error)) {
        h_.report_file_problem(std::string(kLegacyFileName) + " is not converted: it cannot be removed (" + error +
                               ")");
        return false;
    }
    h_.restore_focuser_defaults();
    h_.clear_confirmation();
    h_.ask_question(
        "A parameter file from a previous software version has been found.This file will be deleted.  Do you wish "
        "to save the information stored in this file prior to deleting it? (Backlash correction will not work "
        "correctly with this focuser, and should remain OFF.)");
    h_.set_queued(state::kConversion);
    h_.set_follow_up(state::kConversion);
    h_.set_active(state::kConfirm);
    h_.sequence_counter() = kAskDescription;
    return true;
}

void Conversion::rename() {
    answer_ = Answer::None;
    h_.set_active(state::kConversion);
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
            // Not now: the file stays for the next start, nothing is written.
            std::string error;
            rename_file(aside_path(), legacy_path(), error);
            h_.set_active(state::kIdle);
            h_.set_follow_up(0);
            h_.start_up_clean();
            return;
        }
        h_.profile().description = text_;
        h_.show_focuser_type();
        convert();
        step = kFinish;
        return;
    case kFinish:
        finish();
        return;
    case kRename:
        if (answer_ == Answer::None) return;
        h_.set_active(state::kIdle);
        h_.set_follow_up(0);
        if (answer_ == Answer::Cancelled) return;  // the list, the profile and the files stay as they were
        h_.profile().description = text_;
        h_.show_focuser_type();
        h_.rename_selected_focuser(text_);
        h_.write_focuser_file();
        step = kRenamed;
        return;
    default:
        return;
    }
}

// The older release's values become the program settings and a new focuser
// profile (Backlash correction off: the file kept no approach directions).
void Conversion::convert() {
    const auto bytes = read_file_head(aside_path(), kSettingsReadLimit);
    if (!bytes) return;  // gone meanwhile: the defaults stay
    const LegacyParameters old = parse_legacy(bytes->data(), bytes->size());
    h_.lock_selection(true);
    h_.config().baudIndex = old.baudIndex;
    h_.config().portIndex = old.portIndex;
    h_.config().unitsIndex = old.unitsIndex == 1 ? 1 : 0;
    h_.config().stepIncrement = old.stepIncrement;
    FocuserProfile& p = h_.profile();
    p.positions = old.positions;
    p.descriptions = old.descriptions;
    p.inchesPerCount = inches_per_count_of(kLegacyRollerDiameter, legacy_encoder_lines(old.encoderCode));
    p.maxTravel = old.maxTravel != -1
                      ? old.maxTravel
                      : travel_counts(legacy_travel(old.focuserCode, old.variantCode), p.inchesPerCount).value_or(0);
    p.backlashEnable = 0;
    p.backlashCount = 0;
    p.directionFlags = 0;
    h_.lock_selection(false);
    const int number = h_.free_file_number();
    h_.make_file_name(number);
    h_.write_focuser_file();
    h_.append_focuser(p.description, number);
    h_.config().currentFileNumber = number;
    h_.config().nextFileNumber = number + 1;
    h_.write_config_file();
}

void Conversion::finish() {
    h_.profile().positions.fill(-1);
    h_.set_active(state::kIdle);
    h_.set_follow_up(0);
    std::string error;
    if (!remove_file(aside_path(), error))
        h_.report_file_problem(std::string(kLegacyFileName) + " could not be removed after its conversion (" + error +
                               ")");
    h_.start_up_clean();
}

}  // namespace corvell
