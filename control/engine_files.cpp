// The engine's settings files: the program configuration and the current
// focuser's profile, read into and written from the engine's values.
#include <algorithm>

#include "control/engine.h"
#include "control/quantities.h"
#include "positioning/focuser_models.h"
#include "storage/file_store.h"
#include "storage/settings_codec.h"

namespace corvell {

namespace {
const char* const kConfigFileName = "focuser.dc1";

std::string shortened_tail() { return " shortened to " + std::to_string(kDescriptionLimit) + " characters"; }

// "Description of position 3 ...", "Descriptions of positions 3, 7 and 12
// ...", and for more than three "Descriptions of 5 positions ...".
std::string shortened_slots_line(const std::vector<int>& slots) {
    const std::string tail = shortened_tail();
    if (slots.size() == 1) return "Description of position " + std::to_string(slots[0]) + tail;
    if (slots.size() > 3) return "Descriptions of " + std::to_string(slots.size()) + " positions" + tail;
    std::string list;
    for (size_t i = 0; i < slots.size(); ++i) {
        if (i > 0) list += i + 1 == slots.size() ? " and " : ", ";
        list += std::to_string(slots[i]);
    }
    return "Descriptions of positions " + list + tail;
}
}  // namespace

std::string Engine::data_path(const std::string& name) const {
    if (options_.dataDir.empty()) return name;
    return options_.dataDir + "/" + name;
}

void Engine::report_file_error(const std::string& error) { hold_note(error, true); }

// ------------------------------------------------------------ file notes ----

void Engine::hold_note(const std::string& line, bool notSaved, LogLevel level) {
    const std::vector<std::string>& lines = heldNote_.lines;
    if (std::find(lines.begin(), lines.end(), line) == lines.end()) log(notSaved ? LogLevel::Error : level, line);
    if (notSaved && !heldNote_.notSaved) log(LogLevel::Error, "Settings not saved");
    hold_line(line, notSaved);
}

void Engine::hold_line(const std::string& line, bool notSaved) {
    if (heldNote_.lines.empty()) heldNote_.held = screen_.activity;
    std::vector<std::string>& lines = heldNote_.lines;
    if (std::find(lines.begin(), lines.end(), line) == lines.end()) lines.push_back(line);
    if (lines.size() > kMaxHeldLines) lines.erase(lines.begin(), lines.end() - kMaxHeldLines);
    heldNote_.notSaved = heldNote_.notSaved || notSaved;
    show_held_note();
}

void Engine::show_held_note() {
    screen_.activity = heldNote_.lines;
    if (heldNote_.notSaved) screen_.activity.push_back("Settings not saved");
    mark(kActivity);
}

void Engine::drop_held_lines(const std::vector<std::string>& lines) {
    std::vector<std::string>& held = heldNote_.lines;
    if (lines.empty() || held.empty()) return;
    for (const std::string& line : lines) held.erase(std::remove(held.begin(), held.end(), line), held.end());
    if (held.empty()) {
        screen_.activity = std::move(heldNote_.held);
        heldNote_ = HeldNote{};
        mark(kActivity);
    } else {
        show_held_note();
    }
}

void Engine::user_acts() {
    if (inPass_) return;
    if (!screen_.refusal.lines.empty()) {
        screen_.refusal = RefusalScreen{};
        refusalCause_ = Situation::Count;
        mark(kRefusal);
    }
    if (heldNote_.lines.empty()) return;
    screen_.activity = std::move(heldNote_.held);
    mark(kActivity);
    heldNote_ = HeldNote{};
}

void Engine::remove_leftovers() {
    std::string error;
    remove_leftover_temporaries(options_.dataDir.empty() ? "." : options_.dataDir, is_settings_file_name, error);
    if (!error.empty()) hold_note(error, false);
}

void Engine::list_rows(const std::vector<ProfileRow>& rows, int selected) {
    screen_.focuserList.clear();
    screen_.focuserFiles.clear();
    for (const ProfileRow& row : rows) {
        screen_.focuserList.push_back(row.description);
        screen_.focuserFiles.push_back(row.number);
    }
    screen_.focuserRow = selected;
    mark(kFocuserList);
}

// ---------------------------------------------------------- focuser profiles ----

std::optional<std::string> Engine::read_profile_head(int number) const {
    auto name = profile_file_name(number);
    if (!name) return std::nullopt;
    return read_file_head(data_path(*name), kSettingsReadLimit);
}

void Engine::make_file_name(int number) {
    auto name = profile_file_name(number);
    if (!name) {
        config_.currentFileNumber = 1;
        config_.nextFileNumber = 1;
        name = profile_file_name(1);
    }
    currentFileName = *name;
}

void Engine::apply_profile(const FocuserProfile& p) {
    selectionLock = true;
    profile_ = p;
    screen_.focuserType = p.description;
    screen_.descriptions = p.descriptions;
    screen_.descriptionOpen = -1;
    descriptionEditing = false;
    mark(kFocuserType | kStoredSlotsPart);
    BacklashEnableClick(p.backlashEnable == 1 ? 1 : 0);
    selectionLock = false;
}

// Only bytes that reading gives back whole are written: descriptions are
// held to 32 bytes (and the user told which were shortened), and a layout
// over the read limit is not written at all.
void Engine::write_focuser_file() {
    Batch b(*this);
    // With no focuser in use there is no profile to write (a new focuser is
    // saved by save_new_focuser).
    if (screen_.noFocuser) return;
    const bool unlisted = std::find(screen_.focuserFiles.begin(), screen_.focuserFiles.end(),
                                    config_.currentFileNumber) == screen_.focuserFiles.end();
    // The defaults of a first start, saved for the first time, become a
    // focuser of the list with a name of its own.
    if (unlisted && check_description(profile_.description) != "") {
        profile_.description = default_focuser_description(config_.currentFileNumber);
        show_focuser_type();
    }
    const std::string error = save_profile();
    if (!error.empty()) {
        report_file_error(error);
        return;
    }
    if (!unlisted) return;
    append_focuser(profile_.description, config_.currentFileNumber);
    if (config_.nextFileNumber <= config_.currentFileNumber) {
        config_.nextFileNumber = config_.currentFileNumber + 1;
        write_config_file();
    }
}

std::string Engine::save_profile() {
    const ProfileEncoding encoded = encode_profile_checked(profile_);
    if (!encoded.ok()) return "Cannot save " + currentFileName + ": " + encoded.error;
    std::string error;
    if (!save_file_atomically(data_path(currentFileName), encoded.bytes, error)) return error;
    if (encoded.shortened()) adopt_shortened(encoded);
    return {};
}

// What the engine holds and shows becomes what reading the file gives, so
// the shortening is reported once, at the save that made it.
void Engine::adopt_shortened(const ProfileEncoding& written) {
    const FocuserProfile onDisk = parse_profile(written.bytes.data(), written.bytes.size());
    if (written.descriptionShortened) {
        profile_.description = onDisk.description;
        screen_.focuserType = onDisk.description;
        mark(kFocuserType);
        for (size_t row = 0; row < screen_.focuserFiles.size(); ++row) {
            if (screen_.focuserFiles[row] != config_.currentFileNumber) continue;
            screen_.focuserList[row] = onDisk.description;
            mark(kFocuserList);
        }
        hold_note("Focuser description" + shortened_tail(), false);
    }
    if (!written.shortenedSlots.empty()) {
        for (int slot : written.shortenedSlots) {
            const size_t i = static_cast<size_t>(slot - 1);
            profile_.descriptions[i] = onDisk.descriptions[i];
            screen_.descriptions[i] = onDisk.descriptions[i];
        }
        mark(kStoredSlotsPart);
        hold_note(shortened_slots_line(written.shortenedSlots), false);
    }
}

void Engine::read_focuser_file() {
    Batch b(*this);
    auto bytes = read_file_head(data_path(currentFileName), kSettingsReadLimit);
    if (!bytes) {
        restore_focuser_defaults();
        return;
    }
    apply_profile(parse_profile(bytes->data(), bytes->size()));
}

void Engine::restore_focuser_defaults() {
    Batch b(*this);
    apply_profile(FocuserProfile());
}

void Engine::delete_file_command() {
    Batch b(*this);
    const int row = screen_.focuserRow;
    const int before = static_cast<int>(screen_.focuserList.size());
    // The profile goes to the desktop's trash, where the user can get it
    // back. The question promised the trash: when it cannot go there, it is
    // deleted for good only when the user says so.
    const std::string path = data_path(currentFileName);
    std::vector<std::string> said;
    const bool forGood = deleteForGood_;
    deleteForGood_ = false;
    if (file_exists(path)) {
        std::string inTrash, why, error;
        if (options_.moveToTrash && !forGood) {
            if (!options_.moveToTrash(path, inTrash, why)) {
                deleteForGood_ = true;
                followUpCommand = State::DeleteFocuser;
                activeCommand = State::Confirm;
                confirmAnswer = 0;
                show_question(currentFileName + " cannot go to the trash: " + why +
                                  ".  Delete it for good?  It cannot be brought back then.",
                              "Delete for good", "Keep it");
                return;
            }
            said = {"Focuser deleted: " + currentFileName + " is in the trash", inTrash};
        } else if (!remove_file(path, error)) {
            report_file_error(error);
            return;
        } else if (forGood) {
            said = {"Focuser deleted: " + currentFileName + " deleted for good"};
        }
    }
    if (!said.empty()) set_activity(said);
    if (row >= 0 && row < before) {
        screen_.focuserList.erase(screen_.focuserList.begin() + row);
        screen_.focuserFiles.erase(screen_.focuserFiles.begin() + row);
    }
    mark(kFocuserList);
    if (before < 2) {
        // No focuser is left: until one is added, nothing of a focuser's
        // own is shown, used or written.
        screen_.focuserRow = -1;
        set_no_focuser(true);
        return;
    }
    int select = row;
    if (row > before - 2 || row < 0) select = before - 2;
    screen_.focuserRow = select;
    config_.currentFileNumber = screen_.focuserFiles[static_cast<size_t>(select)];
    make_file_name(config_.currentFileNumber);
    write_config_file();
    read_focuser_file();
    update_displays();
}

void Engine::set_no_focuser(bool none) {
    if (screen_.noFocuser == none) return;
    screen_.noFocuser = none;
    mark(kFocuserList);
    if (none) {
        // The values of the focuser that was in use go with it: the
        // defaults stand in, unsaved and not shown.
        travelUnsent_ = false;
        restore_focuser_defaults();
        update_displays();
    }
    set_choices_from_config();
}

// ------------------------------------------------------ program configuration ----

void Engine::write_config_file() {
    Batch b(*this);
    std::string error;
    if (!save_file_atomically(data_path(kConfigFileName), encode_config(config_), error)) report_file_error(error);
}

void Engine::read_config_file() {
    Batch b(*this);
    auto bytes = read_file_head(data_path(kConfigFileName), kSettingsReadLimit);
    if (!bytes) {
        restore_config_defaults();
        return;
    }
    selectionLock = true;
    config_ = parse_config(bytes->data(), bytes->size());
    if (config_.unitsIndex != 1) config_.unitsIndex = 0;
    set_choices_from_config();
    selectionLock = false;
}

void Engine::restore_config_defaults() {
    Batch b(*this);
    selectionLock = true;
    config_ = ProgramConfig();
    ProfileScan scan = scan_profiles([this](int n) { return read_profile_head(n); });
    config_.currentFileNumber = scan.currentFileNumber;
    config_.nextFileNumber = scan.nextFileNumber;
    // The profile in use becomes the highest-numbered one found; its file
    // (not the next free name) is the one later changes are written to.
    make_file_name(config_.currentFileNumber);
    list_rows(scan.rows, static_cast<int>(scan.rows.size()) - 1);
    if (!scan.rows.empty()) set_no_focuser(false);
    set_choices_from_config();
    selectionLock = false;
    write_config_file();
    if (started_) {
        // A restore while running also brings the port, the unit and the
        // displays in line with the restored settings.
        if (!screen_.noFocuser) read_focuser_file();
        setup_com_port();
        update_displays();
    }
}

void Engine::RestoreDefaultsClick() {
    Batch b(*this);
    user_acts();
    if (refuse(Action::RestoreDefaults)) return;
    activeCommand = State::RestoreConfirm;
    confirmAnswer = 0;
    show_question(
        "Are you sure you want to Restore the Default File Settings? Use this if the program is not working "
        "correctly.  (Focuser settings will not be deleted.)");
}

}  // namespace corvell
