// The profile parser on arbitrary bytes, and the encoder on whatever it
// reads: parse -> encode -> parse is stable, never over the read limit, and
// loses nothing but the part of a description beyond 32 bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "positioning/number_format.h"
#include "positioning/units.h"
#include "storage/settings_codec.h"

namespace {

std::string held(const std::string& text) {
    return text.substr(0, std::min(text.find('\0'), corvell::kDescriptionLimit));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace corvell;
    // libFuzzer's buffer holds exactly `size` bytes: a read past them is
    // caught.
    const char* bytes = reinterpret_cast<const char*>(data);
    const FocuserProfile p = parse_profile(bytes, size);
    // The focuser list shows the same description that loading gives (an
    // empty file has none: loading gives the default).
    if (size > 0) FUZZ_CHECK(p.description == profile_description(bytes, size));
    FUZZ_CHECK(p.backlashEnable == 0 || p.backlashEnable == 1);

    const ProfileEncoding e = encode_profile_checked(p);
    FUZZ_CHECK(e.ok());
    FUZZ_CHECK(!e.bytes.empty() && e.bytes.size() <= kSettingsReadLimit);
    FUZZ_CHECK(e.descriptionShortened == (p.description.size() > kDescriptionLimit));
    FUZZ_CHECK(std::count(e.bytes.begin(), e.bytes.end(), '\0') == 46);

    const FocuserProfile q = parse_profile(e.bytes.data(), e.bytes.size());
    FUZZ_CHECK(q.description == held(p.description));
    FUZZ_CHECK(q.maxTravel == p.maxTravel);
    FUZZ_CHECK(q.backlashEnable == p.backlashEnable);
    FUZZ_CHECK(q.backlashCount == p.backlashCount);
    FUZZ_CHECK(q.directionFlags == p.directionFlags);
    FUZZ_CHECK(q.positions == p.positions);
    for (int i = 0; i < kStoredSlots; ++i) {
        FUZZ_CHECK(q.descriptions[i] == held(p.descriptions[i]));
        FUZZ_CHECK(q.descriptions[i].size() <= kDescriptionLimit);
    }
    FUZZ_CHECK(within_seven_digits(q.inchesPerCount, p.inchesPerCount));

    // Once written, a profile is written the same again with nothing to
    // shorten, unless the scale's 7-digit text read back as another float;
    // that text then stays as it is.
    const ProfileEncoding again = encode_profile_checked(q);
    FUZZ_CHECK(again.ok() && !again.shortened());
    FUZZ_CHECK(again.bytes == e.bytes || format_general7(q.inchesPerCount) != format_general7(p.inchesPerCount));
    const FocuserProfile third = parse_profile(again.bytes.data(), again.bytes.size());
    FUZZ_CHECK(encode_profile_checked(third).bytes == again.bytes);

    // The values go to the displays as they are read: the scale and each
    // stored count through the length formats.
    for (const Unit unit : {Unit::Inches, Unit::Centimetres}) {
        (void)counts_per_unit_text(p.inchesPerCount, unit);
        (void)length_text(static_cast<double>(p.maxTravel), p.inchesPerCount, unit, 3);
        for (long position : p.positions) (void)length_text(static_cast<double>(position), p.inchesPerCount, unit, 2);
    }
    return 0;
}
