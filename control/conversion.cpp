#include "control/conversion.h"

#include "control/engine.h"
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

std::string Conversion::legacy_path() const { return e_.data_path(kLegacyFileName); }
std::string Conversion::aside_path() const { return e_.data_path(kAsideName); }

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
    e_.restore_focuser_defaults();
    e_.confirmAnswer = 0;
    h_.ask_question(
        "A parameter file from a previous software version has been found. This file will be deleted.  Do you wish "
        "to save the information stored in this file prior to deleting it? (Backlash correction will not work "
        "correctly with this focuser, and should remain OFF.)");
    e_.queuedCommand = state::kConversion;
    e_.followUpCommand = state::kConversion;
    e_.activeCommand = state::kConfirm;
    e_.sequenceCounter = kAskDescription;
    return true;
}

void Conversion::rename() {
    answer_ = Answer::None;
    e_.activeCommand = state::kConversion;
    e_.sequenceCounter = kRename;
    h_.show_text_entry(e_.profile.description);
}

void Conversion::entered(const std::string& text) {
    answer_ = Answer::Ok;
    text_ = text;
}

void Conversion::cancelled() { answer_ = Answer::Cancelled; }

void Conversion::step() {
    int& step = e_.sequenceCounter;
    switch (step) {
    case kAskDescription:
        if (e_.confirmAnswer != 1) {
            step = kFinish;
            return;
        }
        answer_ = Answer::None;
        e_.profile.description = "Legacy Focuser Settings";
        h_.show_focuser_type();
        h_.show_text_entry(e_.profile.description);
        step = kConvert;
        return;
    case kConvert:
        if (answer_ == Answer::None) return;
        if (answer_ == Answer::Cancelled) {
            // Not now: the file stays for the next start, nothing is written.
            std::string error;
            rename_file(aside_path(), legacy_path(), error);
            e_.activeCommand = state::kIdle;
            e_.followUpCommand = 0;
            e_.start_up_clean();
            return;
        }
        e_.profile.description = text_;
        h_.show_focuser_type();
        convert();
        step = kFinish;
        return;
    case kFinish:
        finish();
        return;
    case kRename:
        if (answer_ == Answer::None) return;
        e_.activeCommand = state::kIdle;
        e_.followUpCommand = 0;
        if (answer_ == Answer::Cancelled) return;  // the list, the profile and the files stay as they were
        e_.profile.description = text_;
        h_.show_focuser_type();
        h_.rename_selected_focuser(text_);
        e_.write_focuser_file();
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
    e_.selectionLock = true;
    e_.config.baudIndex = old.baudIndex;
    e_.config.portIndex = old.portIndex;
    e_.config.unitsIndex = old.unitsIndex == 1 ? 1 : 0;
    e_.config.stepIncrement = old.stepIncrement;
    FocuserProfile& p = e_.profile;
    p.positions = old.positions;
    p.descriptions = old.descriptions;
    p.inchesPerCount = inches_per_count_of(kLegacyRollerDiameter, legacy_encoder_lines(old.encoderCode));
    p.maxTravel = old.maxTravel != -1
                      ? old.maxTravel
                      : travel_counts(legacy_travel(old.focuserCode, old.variantCode), p.inchesPerCount).value_or(0);
    p.backlashEnable = 0;
    p.backlashCount = 0;
    p.directionFlags = 0;
    e_.selectionLock = false;
    const int number = h_.free_file_number();
    e_.make_file_name(number);
    e_.write_focuser_file();
    h_.append_focuser(p.description, number);
    e_.config.currentFileNumber = number;
    e_.config.nextFileNumber = number + 1;
    e_.write_config_file();
}

void Conversion::finish() {
    e_.profile.positions.fill(-1);
    e_.activeCommand = state::kIdle;
    e_.followUpCommand = 0;
    std::string error;
    if (!remove_file(aside_path(), error))
        h_.report_file_problem(std::string(kLegacyFileName) + " could not be removed after its conversion (" + error +
                               ")");
    e_.start_up_clean();
}

}  // namespace corvell
