#include <cmath>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "guarded_buffer.h"
#include "storage/settings_codec.h"

using namespace corvell;
using namespace std::string_literals;

// The files' bytes are written field by field as adjacent literals, one
// file a line, which clang-format would break into a literal a line.
// clang-format off

namespace {

// What reading a settings file takes: its first 1024 bytes.
constexpr size_t kReadLimit = 1024;

// A scale as a profile holds it: seven significant digits, printf's %g.
std::string seven_digits(float f) {
    char text[40];
    std::snprintf(text, sizeof text, "%.7g", static_cast<double>(f));
    return text;
}

ProgramConfig parse_config(const std::string& bytes) {
    return corvell::parse_config(bytes.data(), bytes.size());
}

FocuserProfile parse_profile(const std::string& bytes) {
    return corvell::parse_profile(bytes.data(), bytes.size());
}

// Every field of a profile in file order, as comparable texts.
std::vector<std::string> profile_fields(const FocuserProfile& p) {
    std::vector<std::string> f;
    f.push_back(p.description);
    f.push_back(seven_digits(p.inchesPerCount));
    f.push_back(std::to_string(p.maxTravel));
    f.push_back(std::to_string(p.backlashEnable));
    f.push_back(std::to_string(p.backlashCount));
    f.push_back(std::to_string(p.directionFlags));
    for (long v : p.positions) f.push_back(std::to_string(v));
    for (const auto& d : p.descriptions) f.push_back(d);
    return f;
}

FocuserProfile sample_profile() {
    FocuserProfile p;
    p.description = "Refractor \"80\" focuser";
    p.inchesPerCount = 0.00025f;
    p.maxTravel = 12000;
    p.backlashEnable = 1;
    p.backlashCount = 250;
    p.directionFlags = 0x000A5F0Fu;
    for (int i = 0; i < kStoredSlots; ++i) {
        p.positions[i] = i % 4 == 3 ? -1 : 100 * i + 7 * i * i;
        p.descriptions[i] = "Slot " + std::to_string(i + 1) + (i % 2 ? " eyepiece" : "");
    }
    p.positions[19] = 65535;
    p.descriptions[5] = "";
    p.descriptions[6] = std::string(32, 'W');
    return p;
}

// Byte offset where each zero-terminated field starts and ends (exclusive
// of its zero byte).
using Span = std::pair<size_t, size_t>;
std::vector<Span> field_spans(const std::string& bytes) {
    std::vector<std::pair<size_t, size_t>> spans;
    size_t start = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\0') {
            spans.emplace_back(start, i);
            start = i + 1;
        }
    }
    return spans;
}

// Whether a field lies wholly inside the first `cut` bytes: its zero byte
// is inside, or its text runs right up to the cut. An empty field whose
// zero byte lies beyond the cut has no byte to read at all.
bool complete_within(const Span& span, size_t cut) {
    return span.second < cut || (span.second == cut && span.first < cut);
}

using Files = std::map<int, std::string>;

ProfileReader reader_of(const Files& files, std::vector<int>* asked = nullptr) {
    return [&files, asked](int n) -> std::optional<std::string> {
        if (asked) asked->push_back(n);
        auto it = files.find(n);
        if (it == files.end()) return std::nullopt;
        return it->second;
    };
}

std::string profile_bytes(const std::string& description) {
    FocuserProfile p;
    p.description = description;
    return encode_profile(p);
}

// The fields joined as a file would hold them, with no shortening: what an
// older release or another program may have written.
std::string raw_profile_bytes(const FocuserProfile& p) {
    std::string bytes;
    for (const std::string& field : profile_fields(p)) {
        bytes += field;
        bytes.push_back('\0');
    }
    return bytes;
}

// Deterministic bytes 0x01..0xFF, no zero among them.
std::string garbage(size_t n, unsigned seed) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        s.push_back(static_cast<char>(1 + (seed >> 16) % 255));
    }
    return s;
}

}  // namespace

TEST(ConfigFile, DefaultBytes) {
    EXPECT_EQ(encode_config(ProgramConfig{}), "0\0" "0\0" "0\0" "0.01\0" "1\0" "1\0"s);
}

TEST(ConfigFile, RoundTripOfEveryField) {
    ProgramConfig c;
    c.baudIndex = 1;
    c.portIndex = 4;
    c.unitsIndex = 1;
    c.stepIncrement = 0.007874f;
    c.nextFileNumber = 51;
    c.currentFileNumber = 50;
    const std::string bytes = encode_config(c);
    EXPECT_EQ(bytes, "1\0" "4\0" "1\0" "0.007874\0" "51\0" "50\0"s);
    const ProgramConfig back = parse_config(bytes);
    EXPECT_EQ(back.baudIndex, 1);
    EXPECT_EQ(back.portIndex, 4);
    EXPECT_EQ(back.unitsIndex, 1);
    EXPECT_EQ(back.stepIncrement, 0.007874f);
    EXPECT_EQ(back.nextFileNumber, 51);
    EXPECT_EQ(back.currentFileNumber, 50);
}

TEST(ConfigFile, MissingFieldsKeepTheirDefaults) {
    const ProgramConfig empty = parse_config(""s);
    EXPECT_EQ(encode_config(empty), encode_config(ProgramConfig{}));
    const ProgramConfig none = corvell::parse_config(nullptr, 100);
    EXPECT_EQ(encode_config(none), encode_config(ProgramConfig{}));

    const ProgramConfig two = parse_config("1\0" "3\0"s);
    EXPECT_EQ(two.baudIndex, 1);
    EXPECT_EQ(two.portIndex, 3);
    EXPECT_EQ(two.unitsIndex, 0);
    EXPECT_EQ(two.stepIncrement, 0.01f);
    EXPECT_EQ(two.nextFileNumber, 1);
    EXPECT_EQ(two.currentFileNumber, 1);
}

TEST(ConfigFile, LastFieldWithoutItsZeroIsReadToTheEnd) {
    // The step field ends at the last readable byte.
    GuardedBuffer data("1\0" "3\0" "1\0" "0.02"s);
    const ProgramConfig c = corvell::parse_config(data.data(), data.size());
    EXPECT_EQ(c.unitsIndex, 1);
    EXPECT_EQ(c.stepIncrement, 0.02f);
    EXPECT_EQ(c.nextFileNumber, 1);
    EXPECT_EQ(c.currentFileNumber, 1);
}

TEST(ConfigFile, GarbageFieldsConvertToZero) {
    const ProgramConfig c = parse_config("x\0" "COM2\0" "cm\0" "abc\0" "!!\0" "??\0"s);
    EXPECT_EQ(c.baudIndex, 0);
    EXPECT_EQ(c.portIndex, 0);
    EXPECT_EQ(c.unitsIndex, 0);
    EXPECT_EQ(c.stepIncrement, 0.0f);
    EXPECT_EQ(c.nextFileNumber, 0);
    EXPECT_EQ(c.currentFileNumber, 0);
    // Numbers beyond the ranges saturate or drop out instead of overflowing.
    const ProgramConfig big = parse_config("99999999999\0" "-99999999999\0" "1\0" "1e300\0" "7\0" "2\0"s);
    EXPECT_EQ(big.baudIndex, INT32_MAX);
    EXPECT_EQ(big.portIndex, INT32_MIN);
    EXPECT_EQ(big.stepIncrement, 0.0f);
    EXPECT_EQ(big.nextFileNumber, 7);
}

TEST(ConfigFile, RealsTooSmallToKeepTheirDigitsReadAsZeroSoEverySaveReadsBackTheSame) {
    // 1e-38 lies below the smallest normal float: written with 7 digits it
    // would read back as 9.999999e-39, and so on at every save.
    for (const char* text : {"1e-38", "-3e-40", "1.00000008e-38", "1e-45"}) {
        std::string file = std::string("0") + '\0' + "0" + '\0' + "0" + '\0' + text + '\0' + "1" + '\0' + "1" + '\0';
        ProgramConfig c = parse_config(file.data(), file.size());
        EXPECT_EQ(c.stepIncrement, 0.0f) << text;
        const std::string saved = encode_config(c);
        EXPECT_EQ(encode_config(parse_config(saved.data(), saved.size())), saved) << text;
    }
    // The smallest normal float and ordinary values are kept.
    std::string file = std::string("0") + '\0' + "0" + '\0' + "0" + '\0' + "1.175495e-38" + '\0';
    EXPECT_GT(parse_config(file.data(), file.size()).stepIncrement, 0.0f);
    FocuserProfile p;
    p.inchesPerCount = 1e-39f;
    const std::string profile = encode_profile(p);
    EXPECT_EQ(parse_profile(profile.data(), profile.size()).inchesPerCount, 0.0f);
}

TEST(ConfigFile, ARealsSevenDigitTextSettlesAfterOneReadBack) {
    // The float just above 1e28 is written "1e+28", which reads back as the
    // float just below 1e28, written "9.999999e+27": one change, then none.
    ProgramConfig c;
    c.stepIncrement = std::nextafter(1e28f, 2e28f);
    std::string saved = encode_config(c);
    EXPECT_NE(saved.find("1e+28"), std::string::npos);
    ProgramConfig back = parse_config(saved.data(), saved.size());
    const std::string settled = encode_config(back);
    EXPECT_NE(settled.find("9.999999e+27"), std::string::npos);
    back = parse_config(settled.data(), settled.size());
    EXPECT_EQ(encode_config(back), settled);
    // Steps a user has are written the same at every save.
    for (float step : {0.01f, 0.007874f, 0.0002f, 0.5f / 25.4f, 0.123f}) {
        c.stepIncrement = step;
        saved = encode_config(c);
        EXPECT_EQ(encode_config(parse_config(saved.data(), saved.size())), saved) << step;
    }
}

TEST(ConfigFile, OnlyTheFirst1024BytesCount) {
    // Field 1 fills bytes 0..1020, field 2 bytes 1021..1022, field 3 starts
    // at byte 1023 and its zero byte lies beyond the limit; field 4 and on
    // lie wholly beyond it.
    std::string bytes = "1" + std::string(1019, 'x') + '\0' + "2\0" "1\0" "0.5\0" "9\0" "8\0"s;
    ASSERT_EQ(bytes.find("2\0"s, 1000), 1021u);
    const ProgramConfig c = parse_config(bytes);
    EXPECT_EQ(c.baudIndex, 1);
    EXPECT_EQ(c.portIndex, 2);
    EXPECT_EQ(c.unitsIndex, 1);
    EXPECT_EQ(c.stepIncrement, 0.01f);
    EXPECT_EQ(c.nextFileNumber, 1);
    EXPECT_EQ(c.currentFileNumber, 1);
}

TEST(ProfileFile, DefaultBytes) {
    std::string expected = " \0" "0.0002727075\0" "6600\0" "0\0" "733\0" "0\0"s;
    for (int i = 0; i < 20; ++i) expected += "-1\0"s;
    for (int i = 0; i < 20; ++i) expected += " \0"s;
    EXPECT_EQ(encode_profile(FocuserProfile{}), expected);
}

TEST(ProfileFile, RoundTripOfEveryField) {
    const FocuserProfile p = sample_profile();
    const std::string bytes = encode_profile(p);
    ASSERT_EQ(field_spans(bytes).size(), 46u);
    ASSERT_LE(bytes.size(), kReadLimit);
    const FocuserProfile back = parse_profile(bytes);
    EXPECT_EQ(profile_fields(back), profile_fields(p));
    EXPECT_EQ(back.inchesPerCount, 0.00025f);
    EXPECT_EQ(back.directionFlags, 0x000A5F0Fu);
}

TEST(ProfileFile, DirectionFlagsAreASigned32BitInteger) {
    FocuserProfile p;
    p.directionFlags = 0xFFFFFFFFu;
    std::string bytes = encode_profile(p);
    EXPECT_NE(bytes.find("\0-1\0-1\0"s), std::string::npos);
    EXPECT_EQ(field_spans(bytes).size(), 46u);
    EXPECT_EQ(parse_profile(bytes).directionFlags, 0xFFFFFFFFu);

    p.directionFlags = 0x80000001u;
    bytes = encode_profile(p);
    EXPECT_NE(bytes.find("\0-2147483647\0"s), std::string::npos);
    EXPECT_EQ(parse_profile(bytes).directionFlags, 0x80000001u);
}

TEST(ProfileFile, EmbeddedZeroInATextDoesNotShiftTheFields) {
    // The text is cut at its zero byte and reported as shortened; a zero
    // beyond the 32-byte limit makes no difference.
    FocuserProfile p = sample_profile();
    p.description = "ab\0cd"s;
    p.descriptions[0] = "x\0y"s;
    p.descriptions[3] = "\0"s;
    p.descriptions[8] = std::string(40, 'z') + '\0';
    const ProfileEncoding e = encode_profile_checked(p);
    ASSERT_TRUE(e.ok()) << e.error;
    EXPECT_EQ(field_spans(e.bytes).size(), 46u);
    EXPECT_TRUE(e.descriptionShortened);
    EXPECT_EQ(e.shortenedSlots, (std::vector<int>{1, 4, 9}));
    const FocuserProfile back = parse_profile(e.bytes);
    EXPECT_EQ(back.description, "ab");
    EXPECT_EQ(back.descriptions[0], "x");
    EXPECT_EQ(back.descriptions[3], "");
    EXPECT_EQ(back.descriptions[8], std::string(32, 'z'));
    EXPECT_EQ(back.maxTravel, 12000);
    EXPECT_EQ(back.descriptions[19], p.descriptions[19]);
    EXPECT_EQ(encode_profile(p), e.bytes);
}

TEST(ProfileEncoding, DescriptionsAreHeldTo32BytesAndTheShortenedOnesReported) {
    // Bytes of every value but zero, high ones included: the encoder copies
    // bytes and never converts them.
    const std::string text = garbage(1024, 7);
    const size_t lengths[] = {0, 1, 31, 32, 33, 100, 1024};
    for (size_t focuserLength : lengths) {
        FocuserProfile p = sample_profile();
        p.description = text.substr(0, focuserLength);
        std::vector<int> expectedSlots;
        for (int slot = 1; slot <= kStoredSlots; ++slot) {
            const size_t n = lengths[(slot + focuserLength) % std::size(lengths)];
            p.descriptions[slot - 1] = text.substr(slot, n);
            if (n > 32u) expectedSlots.push_back(slot);
        }
        const ProfileEncoding e = encode_profile_checked(p);
        ASSERT_TRUE(e.ok()) << e.error;
        EXPECT_LE(e.bytes.size(), kReadLimit);
        EXPECT_EQ(e.descriptionShortened, focuserLength > 32u) << focuserLength;
        EXPECT_EQ(e.shortenedSlots, expectedSlots) << focuserLength;
        EXPECT_EQ(e.shortened(), focuserLength > 32u || !expectedSlots.empty());

        // What is read back is exactly the first 32 bytes of each text, and
        // every other field whole.
        FocuserProfile held = p;
        held.description.resize(std::min<size_t>(held.description.size(), 32));
        for (auto& d : held.descriptions) d.resize(std::min<size_t>(d.size(), 32));
        EXPECT_EQ(profile_fields(parse_profile(e.bytes)), profile_fields(held)) << focuserLength;
        EXPECT_EQ(e.bytes, raw_profile_bytes(held));
    }
    // Nothing to shorten: nothing reported.
    const ProfileEncoding plain = encode_profile_checked(sample_profile());
    EXPECT_FALSE(plain.shortened());
    EXPECT_TRUE(plain.shortenedSlots.empty());
}

TEST(ProfileFile, EveryByteValueInTheDescriptionsLoadsAndSavesByteForByte) {
    // Bytes 0x01..0xFF spread over the focuser description and the slots,
    // 32 to a text, as an older release writing its code page would leave them.
    FocuserProfile p;
    std::vector<std::string*> texts{&p.description};
    for (std::string& d : p.descriptions) texts.push_back(&d);
    for (std::string* t : texts) t->clear();
    for (int b = 1; b <= 255; ++b) texts[static_cast<size_t>((b - 1) / 32)]->push_back(static_cast<char>(b));
    const std::string file = encode_profile(p);
    ASSERT_LE(file.size(), kReadLimit);
    const FocuserProfile read = parse_profile(file.data(), file.size());
    EXPECT_EQ(read.description, p.description);
    EXPECT_EQ(read.descriptions, p.descriptions);
    const ProfileEncoding saved = encode_profile_checked(read);
    ASSERT_TRUE(saved.ok());
    EXPECT_FALSE(saved.shortened());
    EXPECT_EQ(saved.bytes, file);
}

TEST(ProfileEncoding, WidestProfileFitsAndReadsBackWhole) {
    // Every field at its widest text: 21 descriptions of 32 bytes, eleven-
    // character integers, the longest real.
    FocuserProfile p;
    p.description = std::string(32, '\xFF');
    p.inchesPerCount = -3.4028235e38f;
    p.maxTravel = INT32_MIN;
    p.backlashEnable = INT32_MIN;
    p.backlashCount = INT32_MIN;
    p.directionFlags = 0x80000000u;
    p.positions.fill(INT32_MIN);
    for (auto& d : p.descriptions) d = std::string(32, '\x80');
    const ProfileEncoding e = encode_profile_checked(p);
    ASSERT_TRUE(e.ok()) << e.error;
    EXPECT_FALSE(e.shortened());
    EXPECT_EQ(e.bytes.size(), 995u);
    const FocuserProfile back = parse_profile(e.bytes);
    // The switch is read back held to On/Off; everything else as written.
    p.backlashEnable = 0;
    // (The real number is compared as its 7-digit text: the file form.)
    EXPECT_EQ(profile_fields(back), profile_fields(p));
}

TEST(ProfileEncoding, LayoutOverTheLimitIsRefusedWithNoBytes) {
    const FocuserProfile p = sample_profile();
    const std::string bytes = encode_profile_checked(p).bytes;
    ASSERT_FALSE(bytes.empty());

    const ProfileEncoding exact = encode_profile_checked(p, bytes.size());
    EXPECT_TRUE(exact.ok()) << exact.error;
    EXPECT_EQ(exact.bytes, bytes);

    const ProfileEncoding over = encode_profile_checked(p, bytes.size() - 1);
    EXPECT_FALSE(over.ok());
    EXPECT_TRUE(over.bytes.empty());
    EXPECT_EQ(over.error, "the profile would take " + std::to_string(bytes.size()) + " bytes, more than the " +
                              std::to_string(bytes.size() - 1) + " that are read back");
}

TEST(ProfileFile, OverlongDescriptionIsReadWholeAndEveryFieldSurvivesTheNextSave) {
    // A file that is 1024 bytes of garbage: one description, nothing else.
    {
        const std::string file = garbage(1024, 3);
        GuardedBuffer data(file);
        const FocuserProfile p = corvell::parse_profile(data.data(), data.size());
        EXPECT_EQ(p.description, file);
        const ProfileEncoding e = encode_profile_checked(p);
        ASSERT_TRUE(e.ok()) << e.error;
        EXPECT_TRUE(e.descriptionShortened);
        EXPECT_TRUE(e.shortenedSlots.empty());
        // The other fields were missing, so they read back as defaults.
        FocuserProfile held;
        held.description = file.substr(0, 32);
        EXPECT_EQ(profile_fields(parse_profile(e.bytes)), profile_fields(held));
    }
    // A foreign file with long texts that still fits the read limit.
    {
        FocuserProfile written = sample_profile();
        written.description = garbage(200, 11);
        written.descriptions[2] = garbage(40, 12);
        written.descriptions[19] = garbage(33, 13);
        const std::string file = raw_profile_bytes(written);
        ASSERT_LE(file.size(), kReadLimit);
        const FocuserProfile p = parse_profile(file);
        EXPECT_EQ(profile_fields(p), profile_fields(written));  // shown whole

        const ProfileEncoding e = encode_profile_checked(p);
        ASSERT_TRUE(e.ok()) << e.error;
        EXPECT_TRUE(e.descriptionShortened);
        EXPECT_EQ(e.shortenedSlots, (std::vector<int>{3, 20}));
        const FocuserProfile back = parse_profile(e.bytes);
        EXPECT_EQ(back.description, written.description.substr(0, 32));
        EXPECT_EQ(back.descriptions[2], written.descriptions[2].substr(0, 32));
        EXPECT_EQ(back.descriptions[19], written.descriptions[19].substr(0, 32));
        FocuserProfile rest = written;
        rest.description = back.description;
        rest.descriptions[2] = back.descriptions[2];
        rest.descriptions[19] = back.descriptions[19];
        EXPECT_EQ(profile_fields(back), profile_fields(rest));
        // A second save changes nothing more.
        const ProfileEncoding again = encode_profile_checked(back);
        EXPECT_EQ(again.bytes, e.bytes);
        EXPECT_FALSE(again.shortened());
    }
}

TEST(ProfileFile, IntegersBeyond32BitsAreWrittenSaturated) {
    FocuserProfile p;
    p.maxTravel = 5000000000L;
    p.positions[0] = -5000000000L;
    const FocuserProfile back = parse_profile(encode_profile(p));
    EXPECT_EQ(back.maxTravel, INT32_MAX);
    EXPECT_EQ(back.positions[0], INT32_MIN);
}

TEST(ProfileFile, EveryTruncationKeepsTheFieldsReadAndDefaultsTheRest) {
    const FocuserProfile p = sample_profile();
    const std::string bytes = encode_profile(p);
    const auto spans = field_spans(bytes);
    const auto full = profile_fields(p);
    const auto defaults = profile_fields(FocuserProfile{});
    for (size_t cut = 0; cut <= bytes.size(); ++cut) {
        // Each cut ends at the last readable byte.
        GuardedBuffer data(bytes.substr(0, cut));
        const FocuserProfile back = corvell::parse_profile(data.data(), data.size());
        const auto got = profile_fields(back);
        for (size_t i = 0; i < spans.size(); ++i) {
            if (complete_within(spans[i], cut)) {
                EXPECT_EQ(got[i], full[i]) << "cut " << cut << " field " << i + 1;
            } else if (spans[i].first >= cut) {
                EXPECT_EQ(got[i], defaults[i]) << "cut " << cut << " field " << i + 1;
            }
        }
    }
}

TEST(ProfileFile, GarbageConvertsToZeroButTheSwitchStaysOnOffOrOn) {
    std::string bytes = "Desc\0" "abc\0" "zz\0" "7\0" "-\0" "q\0"s;
    for (int i = 0; i < 20; ++i) bytes += "pos\0"s;
    const FocuserProfile p = parse_profile(bytes);
    EXPECT_EQ(p.description, "Desc");
    EXPECT_EQ(p.inchesPerCount, 0.0f);
    EXPECT_EQ(p.maxTravel, 0);
    EXPECT_EQ(p.backlashEnable, 1);  // 7 is no switch position: held to "On"
    EXPECT_EQ(p.backlashCount, 0);
    EXPECT_EQ(p.directionFlags, 0u);
    for (long v : p.positions) EXPECT_EQ(v, 0);
    for (const auto& d : p.descriptions) EXPECT_EQ(d, " ");  // missing: defaults

    EXPECT_EQ(parse_profile(" \0" "0.0002\0" "6600\0" "-3\0"s).backlashEnable, 0);
    EXPECT_EQ(parse_profile(" \0" "0.0002\0" "6600\0" "99999999999\0"s).backlashEnable, 1);
    EXPECT_EQ(parse_profile(" \0" "1e300\0"s).inchesPerCount, 0.0f);
    EXPECT_EQ(parse_profile(" \0" "inf\0"s).inchesPerCount, 0.0f);
}

TEST(ProfileFile, OversizedFileIsCutAt1024Bytes) {
    // A description that alone exceeds the limit: everything after it is lost.
    FocuserProfile longOne;
    longOne.description = std::string(2000, 'd');
    const FocuserProfile a = parse_profile(raw_profile_bytes(longOne));
    EXPECT_EQ(a.description, std::string(1024, 'd'));
    EXPECT_EQ(a.inchesPerCount, 0.00027270746f);
    EXPECT_EQ(a.maxTravel, 6600);

    // Long position descriptions push the last ones past the limit.
    FocuserProfile p = sample_profile();
    for (auto& d : p.descriptions) d = std::string(60, 'e');
    const std::string bytes = raw_profile_bytes(p);
    ASSERT_GT(bytes.size(), kReadLimit);
    const FocuserProfile b = parse_profile(bytes);
    const auto spans = field_spans(bytes);
    for (size_t i = 0; i < spans.size(); ++i) {
        const std::string got = profile_fields(b)[i];
        if (complete_within(spans[i], kReadLimit)) {
            EXPECT_EQ(got, profile_fields(p)[i]) << "field " << i + 1;
        } else if (spans[i].first < kReadLimit) {
            EXPECT_EQ(got, std::string(kReadLimit - spans[i].first, 'e')) << "field " << i + 1;
        } else {
            EXPECT_EQ(got, " ") << "field " << i + 1;
        }
    }
}

TEST(ProfileFile, DescriptionIsTheTextUpToTheFirstZero) {
    const std::string bytes = profile_bytes("My focuser");
    EXPECT_EQ(profile_description(bytes.data(), bytes.size()), "My focuser");
    EXPECT_EQ(profile_description("\0abc", 4), "");
    EXPECT_EQ(profile_description("abc", 0), "");
    EXPECT_EQ(profile_description(nullptr, 10), "");
    GuardedBuffer unterminated("Newtonian");
    EXPECT_EQ(profile_description(unterminated.data(), unterminated.size()), "Newtonian");
    const std::string huge(3000, 'h');
    EXPECT_EQ(profile_description(huge.data(), huge.size()).size(), kReadLimit);
}

TEST(ProfileFileName, FiveDigitNumbers) {
    EXPECT_EQ(profile_file_name(1), "fc00001.df1");
    EXPECT_EQ(profile_file_name(50), "fc00050.df1");
    EXPECT_EQ(profile_file_name(12345), "fc12345.df1");
    EXPECT_EQ(profile_file_name(99999), "fc99999.df1");
    EXPECT_FALSE(profile_file_name(100000).has_value());
    EXPECT_FALSE(profile_file_name(INT_MAX).has_value());
    EXPECT_FALSE(profile_file_name(-1).has_value());
    EXPECT_FALSE(profile_file_name(INT_MIN).has_value());
}

TEST(ProfileFileName, SettingsFileNames) {
    for (int n : {0, 1, 50, 12345, 99999}) EXPECT_TRUE(is_settings_file_name(*profile_file_name(n))) << n;
    EXPECT_TRUE(is_settings_file_name("focuser.dc1"));
    for (const char* name : {"", "focuser.dat", "focuser.dc", "focuser.dc1.bak", "fc0001.df1", "fc000001.df1",
                             "fc0000a.df1", "fc00001.df2", "FC00001.DF1", "fc00001.df1.", "fc-0001.df1",
                             ".fc00001.df1", "xfc00001.df1"}) {
        EXPECT_FALSE(is_settings_file_name(name)) << name;
    }
}

TEST(ProfileList, ListsTheFilesThatOpenBelowTheNextNumber) {
    const Files files = {{1, profile_bytes("One")}, {3, profile_bytes("Three")}, {4, profile_bytes("Four")}};
    std::vector<int> asked;
    const ProfileListing l = list_profiles(5, 2, reader_of(files, &asked));
    ASSERT_EQ(l.rows.size(), 3u);
    EXPECT_EQ(l.rows[0].number, 1);
    EXPECT_EQ(l.rows[0].description, "One");
    EXPECT_EQ(l.rows[1].number, 3);
    EXPECT_EQ(l.rows[1].description, "Three");
    EXPECT_EQ(l.rows[2].number, 4);
    EXPECT_EQ(l.selectedRow, -1);  // the current file 2 is missing
    EXPECT_EQ(asked, (std::vector<int>{1, 2, 3, 4}));

    EXPECT_EQ(list_profiles(5, 3, reader_of(files)).selectedRow, 1);
    EXPECT_EQ(list_profiles(5, 1, reader_of(files)).selectedRow, 0);
    // File 4 is not below the next number 4.
    const ProfileListing below = list_profiles(4, 4, reader_of(files));
    EXPECT_EQ(below.rows.size(), 2u);
    EXPECT_EQ(below.selectedRow, -1);
    EXPECT_TRUE(list_profiles(1, 1, reader_of(files)).rows.empty());
    EXPECT_TRUE(list_profiles(-7, 1, reader_of(files)).rows.empty());
}

TEST(ProfileList, NeverAsksForNumbersWithoutAName) {
    const Files files = {{2, profile_bytes("Two")}};
    int highest = 0;
    const ProfileListing l = list_profiles(INT_MAX, 2, [&](int n) -> std::optional<std::string> {
        highest = n;
        auto it = files.find(n);
        if (it == files.end()) return std::nullopt;
        return it->second;
    });
    EXPECT_EQ(highest, 99999);
    ASSERT_EQ(l.rows.size(), 1u);
    EXPECT_EQ(l.selectedRow, 0);
}

TEST(ProfileScan, StopsAfterAHundredMissingNumbers) {
    {
        const Files files = {{1, profile_bytes("A")}, {2, profile_bytes("B")}, {50, profile_bytes("C")}};
        std::vector<int> asked;
        const ProfileScan s = scan_profiles(reader_of(files, &asked));
        ASSERT_EQ(s.rows.size(), 3u);
        EXPECT_EQ(s.rows[0].number, 1);
        EXPECT_EQ(s.rows[1].number, 2);
        EXPECT_EQ(s.rows[2].number, 50);
        EXPECT_EQ(s.rows[2].description, "C");
        EXPECT_EQ(s.currentFileNumber, 50);
        EXPECT_EQ(s.nextFileNumber, 51);
        EXPECT_EQ(asked.back(), 150);
    }
    {
        const Files files = {{1, profile_bytes("A")}, {102, profile_bytes("far")}};
        const ProfileScan s = scan_profiles(reader_of(files));
        ASSERT_EQ(s.rows.size(), 1u);
        EXPECT_EQ(s.rows[0].number, 1);
        EXPECT_EQ(s.currentFileNumber, 1);
        EXPECT_EQ(s.nextFileNumber, 2);
    }
    {
        // 99 numbers missing between them: the second is still found.
        const Files files = {{1, profile_bytes("A")}, {101, profile_bytes("near")}};
        const ProfileScan s = scan_profiles(reader_of(files));
        ASSERT_EQ(s.rows.size(), 2u);
        EXPECT_EQ(s.currentFileNumber, 101);
        EXPECT_EQ(s.nextFileNumber, 102);
    }
    {
        // The first file may lie up to number 100.
        const Files files = {{100, profile_bytes("late")}};
        EXPECT_EQ(scan_profiles(reader_of(files)).rows.size(), 1u);
        const Files later = {{101, profile_bytes("too late")}};
        EXPECT_TRUE(scan_profiles(reader_of(later)).rows.empty());
    }
    {
        const Files none;
        std::vector<int> asked;
        const ProfileScan s = scan_profiles(reader_of(none, &asked));
        EXPECT_TRUE(s.rows.empty());
        EXPECT_EQ(s.currentFileNumber, 1);
        EXPECT_EQ(s.nextFileNumber, 1);
        EXPECT_EQ(asked.size(), 100u);
    }
}

TEST(ProfileScan, EndsAtTheLastNameableNumber) {
    int highest = 0;
    const ProfileScan s = scan_profiles([&](int n) -> std::optional<std::string> {
        highest = n;
        return "every\0"s;
    });
    EXPECT_EQ(highest, 99999);
    EXPECT_EQ(s.rows.size(), 99999u);
    EXPECT_EQ(s.currentFileNumber, 99999);
}
// clang-format on
