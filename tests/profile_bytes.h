// A profile's bytes as a user's file may hold them: the texts written as
// they are, of any length and in any code page; a slot whose description is
// not " " is stored at 1000 + 100 * its index.
#pragma once
#include <array>
#include <string>
#include <vector>

#include "storage/settings_codec.h"

namespace corvell::test {

inline std::string raw_profile(const std::string& description, const std::vector<std::string>& slotTexts,
                               const std::string& backlash = "0") {
    std::string out;
    auto field = [&out](const std::string& f) { out += f + '\0'; };
    field(description);
    for (const char* f : {"0.0002727075", "6600"}) field(f);
    field(backlash);
    for (const char* f : {"733", "0"}) field(f);
    auto text = [&slotTexts](int i) {
        return i < static_cast<int>(slotTexts.size()) ? slotTexts[i] : std::string(" ");
    };
    for (int i = 0; i < kStoredSlots; ++i) field(text(i) == " " ? "-1" : std::to_string(1000 + 100 * i));
    for (int i = 0; i < kStoredSlots; ++i) field(text(i));
    return out;
}

template <size_t N>
std::vector<std::string> texts_of(const std::array<std::string, N>& texts) {
    return {texts.begin(), texts.end()};
}

}  // namespace corvell::test
