// The main window's settings files: the program configuration and the
// current focuser's profile, read into and written from the controls.
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>

#include "storage/file_store.h"
#include "storage/settings_codec.h"
#include "ui/Dialogs.h"
#include "ui/RadioGroup.h"
#include "ui/TForm1.h"

using namespace corvell;

namespace {
const char* const kConfigFileName = "focuser.dc1";
}

std::string TForm1::data_path(const std::string& name) const {
    if (options_.dataDir.empty()) return name;
    return options_.dataDir + "/" + name;
}

void TForm1::report_file_error(const std::string& error) {
    activity(QString::fromStdString(error), "Settings not saved");
}

// ---- focuser profiles ----

void TForm1::make_file_name(int number) {
    auto name = profile_file_name(number);
    if (!name) {
        currentFileNumber = 1;
        nextFileNumber = 1;
        name = profile_file_name(1);
    }
    currentFileName = *name;
}

std::optional<std::string> TForm1::read_profile_head(int number) const {
    auto name = profile_file_name(number);
    if (!name) return std::nullopt;
    return read_file_head(data_path(*name), kSettingsReadLimit);
}

FocuserProfile TForm1::current_profile() const {
    FocuserProfile p;
    p.description = FocuserType->text().toStdString();
    p.inchesPerCount = inchesPerCount;
    p.maxTravel = maxTravel;
    p.backlashEnable = BacklashEnable->itemIndex() == 1 ? 1 : 0;
    p.backlashCount = backlashCount;
    p.directionFlags = directionFlags;
    for (int i = 0; i < kStoredSlots; ++i) {
        p.positions[i] = storedPositions[i];
        p.descriptions[i] = Description[i]->text().toStdString();
    }
    return p;
}

void TForm1::apply_profile(const FocuserProfile& p) {
    selectionLock = true;
    FocuserType->setText(QString::fromStdString(p.description));
    inchesPerCount = p.inchesPerCount;
    maxTravel = p.maxTravel;
    BacklashEnable->setItemIndex(p.backlashEnable == 1 ? 1 : 0);
    backlashCount = p.backlashCount;
    directionFlags = p.directionFlags;
    for (int i = 0; i < kStoredSlots; ++i) {
        storedPositions[i] = p.positions[i];
        Description[i]->setText(QString::fromStdString(p.descriptions[i]));
        Description[i]->setReadOnly(true);
    }
    descriptionEditing = false;
    selectionLock = false;
}

void TForm1::write_focuser_file() {
    std::string error;
    if (!save_file_atomically(data_path(currentFileName), encode_profile(current_profile()), error))
        report_file_error(error);
}

void TForm1::read_focuser_file() {
    auto bytes = read_file_head(data_path(currentFileName), kSettingsReadLimit);
    if (!bytes) {
        restore_focuser_defaults();
        return;
    }
    apply_profile(parse_profile(bytes->data(), bytes->size()));
}

void TForm1::restore_focuser_defaults() { apply_profile(FocuserProfile()); }

void TForm1::delete_file_command() {
    const int row = FocuserList->currentRow();
    const int before = FocuserList->count();
    std::string error;
    if (file_exists(data_path(currentFileName)) && !remove_file(data_path(currentFileName), error)) {
        report_file_error(error);
        return;
    }
    if (row >= 0) {
        delete FocuserList->takeItem(row);
        delete FocuserFiles->takeItem(row);
    }
    int select = row;
    if (row > before - 2) select = before < 2 ? 0 : before - 2;
    if (before < 2) {
        FocuserList->setCurrentRow(-1);
        FocuserFiles->setCurrentRow(-1);
        return;
    }
    FocuserList->setCurrentRow(select);
    FocuserFiles->setCurrentRow(select);
    currentFileNumber = FocuserFiles->item(select)->text().toInt();
    make_file_name(currentFileNumber);
    write_config_file();
    read_focuser_file();
    update_displays();
}

// ---- program configuration ----

void TForm1::write_config_file() {
    ProgramConfig c;
    c.baudIndex = BaudRateSelect->itemIndex();
    c.portIndex = ComPortSelect->itemIndex();
    c.unitsIndex = Units->itemIndex();
    c.stepIncrement = stepIncrement;
    c.nextFileNumber = nextFileNumber;
    c.currentFileNumber = currentFileNumber;
    std::string error;
    if (!save_file_atomically(data_path(kConfigFileName), encode_config(c), error)) report_file_error(error);
}

void TForm1::read_config_file() {
    auto bytes = read_file_head(data_path(kConfigFileName), kSettingsReadLimit);
    if (!bytes) {
        restore_config_defaults();
        return;
    }
    ProgramConfig c = parse_config(bytes->data(), bytes->size());
    selectionLock = true;
    BaudRateSelect->setItemIndex(c.baudIndex);
    ComPortSelect->setItemIndex(c.portIndex);
    Units->setItemIndex(c.unitsIndex == 1 ? 1 : 0);
    stepIncrement = c.stepIncrement;
    nextFileNumber = c.nextFileNumber;
    currentFileNumber = c.currentFileNumber;
    selectionLock = false;
}

void TForm1::restore_config_defaults() {
    selectionLock = true;
    for (RadioGroup* g : {BaudRateSelect, ComPortSelect, Units}) g->setItemIndex(0);
    stepIncrement = 0.01f;
    currentFileNumber = 1;
    nextFileNumber = 1;
    FocuserList->clear();
    FocuserFiles->clear();
    ProfileScan scan = scan_profiles([this](int n) { return read_profile_head(n); });
    for (const ProfileRow& row : scan.rows) {
        FocuserList->addItem(QString::fromStdString(row.description));
        FocuserFiles->addItem(QString::number(row.number));
    }
    currentFileNumber = scan.currentFileNumber;
    nextFileNumber = scan.nextFileNumber;
    // The profile in use becomes the highest-numbered one found; its file
    // (not the next free name) is the one later changes are written to.
    make_file_name(currentFileNumber);
    const int row = static_cast<int>(scan.rows.size()) - 1;
    FocuserList->setCurrentRow(row);
    FocuserFiles->setCurrentRow(row);
    selectionLock = false;
    write_config_file();
    if (started) {
        // A restore while running also brings the port, the unit and the
        // displays in line with the restored settings.
        read_focuser_file();
        setup_com_port();
        update_displays();
    }
}

void TForm1::RestoreDefaultsClick() {
    activeCommand = 'n';
    confirmAnswer = 0;
    show_confirmation(
        "Are you sure you want to Restore the Default File Settings? Use this if the program is not working "
        "correctly.  (Focuser settings will not be deleted.)");
}
