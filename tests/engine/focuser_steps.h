// Steps and files the focuser tests share: the data folder's profile and
// configuration files written and read back, an older release's file, and
// the add-focuser setup's pages answered as the window answers them.
#pragma once
#include <optional>
#include <string>

#include "positioning/units.h"
#include "storage/file_store.h"
#include "tests/engine/engine_rig.h"

namespace corvell::test {

inline std::optional<FocuserProfile> profileFile(Rig& r, int number) {
    auto bytes = read_file_head(r.dir.file(*profile_file_name(number)), 4096);
    if (!bytes) return std::nullopt;
    return parse_profile(bytes->data(), bytes->size());
}

inline ProgramConfig configFile(Rig& r) {
    auto bytes = read_file_head(r.dir.file("focuser.dc1"), 4096);
    return bytes ? parse_config(bytes->data(), bytes->size()) : ProgramConfig();
}

inline void writeProfile(Rig& r, int number, const std::string& description, float ipc = kDefaultInchesPerCount) {
    FocuserProfile p;
    p.description = description;
    p.inchesPerCount = ipc;
    std::string error;
    ASSERT_TRUE(save_file_atomically(r.dir.file(*profile_file_name(number)), encode_profile(p), error)) << error;
}

inline void writeConfig(Rig& r, int current, int next, int units = 0) {
    ProgramConfig c;
    c.currentFileNumber = current;
    c.nextFileNumber = next;
    c.unitsIndex = units;
    std::string error;
    ASSERT_TRUE(save_file_atomically(r.dir.file("focuser.dc1"), encode_config(c), error)) << error;
}

inline void writeFile(Rig& r, const std::string& name, const std::string& bytes) {
    std::string error;
    ASSERT_TRUE(save_file_atomically(r.dir.file(name), bytes, error)) << error;
}

// An older release's file: its eight leading fields (speed, port, units,
// encoder, focuser and variant codes, maximum travel, step), stored
// position 1 at `slot1`, the others empty.
inline std::string legacyFile(std::initializer_list<const char*> head, const std::string& slot1 = "100") {
    std::string bytes;
    auto field = [&bytes](const std::string& f) { bytes += f + '\0'; };
    for (const char* f : head) field(f);
    for (int i = 0; i < kStoredSlots; ++i) field(i == 0 ? slot1 : "-1");
    for (int i = 0; i < kStoredSlots; ++i) field(i == 0 ? "slot 1" : " ");
    return bytes;
}

inline void deleteFocuser(Rig& r) {
    r.engine.DeleteFocuserClick();
    r.pass();
    r.engine.question_answered(r.screen().question.id, true);
    r.pass();
}

// A rig whose module answers by itself.
inline void startWithModule(Rig& r) {
    r.link.module.enabled = true;
    r.start();
    r.advance(50);
}

inline const SetupScreen& page(Rig& r) { return r.screen().setup; }

inline void ok(Rig& r, const std::string& description = "", const std::string& maximum = "") {
    r.engine.setup_ok(page(r).id, description.empty() ? page(r).description : description, maximum);
    r.pass();
    r.advance(50);
}
inline void choose(Rig& r, int index) {
    r.engine.setup_choice(page(r).id, index);
    r.pass();
    r.advance(50);
}
inline void enterDescription(Rig& r, const std::string& text) {
    r.engine.setup_description_entered(page(r).id, text);
    r.pass();
    r.advance(50);
}
inline void enterMaximum(Rig& r, const std::string& text) {
    r.engine.setup_maximum_typed(page(r).id);
    r.pass();
    r.engine.setup_maximum_entered(page(r).id, text);
    r.pass();
    r.advance(50);
}

// Through the first pages of the add-focuser setup to the choice of mode.
inline void toModes(Rig& r, const std::string& description) {
    r.engine.AddFocuserClick();
    r.pass();
    r.advance(50);
    ASSERT_EQ(page(r).text1, "A Corvell Controller has been found.");
    ok(r);
    ASSERT_EQ(page(r).text1, "Enter a description for the focuser you are adding.");
    ok(r, description);
    ASSERT_EQ(page(r).choices.size(), 3u);
}

}  // namespace corvell::test
