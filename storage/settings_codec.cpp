#include "storage/settings_codec.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "positioning/number_format.h"

namespace corvell {

namespace {

// Highest profile number whose name still has five digits.
constexpr int kHighestFileNumber = 99999;
// The default restore gives up after this many missing numbers in a row.
constexpr int kScanMissLimit = 100;

// Walks zero-terminated fields over the bytes given, never past them. A
// last field without its zero byte runs to the end of the data.
class FieldReader {
public:
    FieldReader(const char* data, size_t length)
        : data_(data), length_(data ? std::min(length, kSettingsReadLimit) : 0) {}

    // The next field's bytes, or false when the data has run out.
    bool next(const char*& field, size_t& size) {
        if (pos_ >= length_) return false;
        field = data_ + pos_;
        const size_t left = length_ - pos_;
        const void* nul = std::memchr(field, 0, left);
        size = nul ? static_cast<size_t>(static_cast<const char*>(nul) - field) : left;
        pos_ += size + 1;
        return true;
    }

    bool next_text(std::string& out) {
        const char* f;
        size_t n;
        if (!next(f, n)) return false;
        out.assign(f, n);
        return true;
    }

    template <typename Int>
    bool next_int(Int& out) {
        const char* f;
        size_t n;
        if (!next(f, n)) return false;
        out = static_cast<Int>(parse_leading_int(f, n));
        return true;
    }

    // Also tells whether the whole field is a number: "abc" reads as 0,
    // and a reader that must know that the field held no number asks.
    bool next_float(float& out, bool* wholeNumber = nullptr) {
        const char* f;
        size_t n;
        if (!next(f, n)) return false;
        if (wholeNumber) {
            double whole = 0;
            *wholeNumber = parse_decimal(std::string(f, n), whole);
        }
        const double v = parse_leading_real(f, n);
        // A value beyond float range is as unusable as one that is not a
        // number, and converting it would be undefined.
        out = std::fabs(v) <= static_cast<double>(FLT_MAX) ? static_cast<float>(v) : 0.0f;
        // A value below the smallest normal float keeps too few digits for
        // the 7-digit text it is written with: each save would read back as
        // another value. No step or scale is that small; it reads as 0.
        if (std::fpclassify(out) == FP_SUBNORMAL) out = 0.0f;
        return true;
    }

private:
    const char* data_;
    size_t length_;
    size_t pos_ = 0;
};

// Integers in the files are signed 32-bit decimal texts.
std::string int_text(long long value) { return std::to_string(std::clamp<long long>(value, INT32_MIN, INT32_MAX)); }

// A text field ends at its zero byte, so a zero inside the text would shift
// every later field: only the part before it is written, and of that at
// most kDescriptionLimit bytes. Returns whether the text was shortened.
bool text_field(const std::string& text, std::string& field) {
    field = text.substr(0, std::min(text.find('\0'), kDescriptionLimit));
    return field.size() != text.size();
}

void append_field(std::string& out, const std::string& text) {
    out += text;
    out.push_back('\0');
}

}  // namespace

LegacyParameters::LegacyParameters() {
    positions.fill(-1);
    descriptions.fill(" ");
}

LegacyParameters parse_legacy(const char* data, size_t length) {
    LegacyParameters p;
    FieldReader r(data, length);
    const bool read = r.next_int(p.baudIndex) && r.next_int(p.portIndex) && r.next_int(p.unitsIndex) &&
                      r.next_int(p.encoderCode) && r.next_int(p.focuserCode) && r.next_int(p.variantCode) &&
                      r.next_int(p.maxTravel) && r.next_float(p.stepIncrement, &p.stepIsNumber);
    if (!read) return p;
    for (long& position : p.positions)
        if (!r.next_int(position)) return p;
    for (std::string& text : p.descriptions)
        if (!r.next_text(text)) return p;
    return p;
}

std::string encode_config(const ProgramConfig& config) {
    std::string out;
    append_field(out, int_text(config.baudIndex));
    append_field(out, int_text(config.portIndex));
    append_field(out, int_text(config.unitsIndex));
    append_field(out, format_general7(config.stepIncrement));
    append_field(out, int_text(config.nextFileNumber));
    append_field(out, int_text(config.currentFileNumber));
    return out;
}

ProgramConfig parse_config(const char* data, size_t length) {
    ProgramConfig config;
    FieldReader r(data, length);
    // Fields in file order until the data runs out; the rest keep defaults.
    (void)(r.next_int(config.baudIndex) && r.next_int(config.portIndex) && r.next_int(config.unitsIndex) &&
           r.next_float(config.stepIncrement) && r.next_int(config.nextFileNumber) &&
           r.next_int(config.currentFileNumber));
    return config;
}

FocuserProfile::FocuserProfile() {
    positions.fill(-1);
    descriptions.fill(" ");
}

ProfileEncoding encode_profile_checked(const FocuserProfile& profile, size_t limit) {
    ProfileEncoding result;
    std::string& out = result.bytes;
    std::string text;
    result.descriptionShortened = text_field(profile.description, text);
    append_field(out, text);
    append_field(out, format_general7(profile.inchesPerCount));
    append_field(out, int_text(profile.maxTravel));
    append_field(out, int_text(profile.backlashEnable));
    append_field(out, int_text(profile.backlashCount));
    // The flags are kept as a signed 32-bit integer in the file.
    append_field(out, std::to_string(static_cast<int32_t>(profile.directionFlags)));
    for (long position : profile.positions) append_field(out, int_text(position));
    for (int slot = 1; slot <= kStoredSlots; ++slot) {
        if (text_field(profile.descriptions[slot - 1], text)) result.shortenedSlots.push_back(slot);
        append_field(out, text);
    }
    // Reading takes only the first `limit` bytes: a longer file would lose
    // its last fields at the next read.
    if (out.size() > limit) {
        result.error = "the profile would take " + std::to_string(out.size()) + " bytes, more than the " +
                       std::to_string(limit) + " that are read back";
        out.clear();
    }
    return result;
}

std::string encode_profile(const FocuserProfile& profile) { return encode_profile_checked(profile).bytes; }

FocuserProfile parse_profile(const char* data, size_t length) {
    FocuserProfile profile;
    FieldReader r(data, length);
    // Fields are read in file order until the data runs out; whatever was
    // not reached keeps its default.
    [&] {
        int32_t flags = 0;
        if (!(r.next_text(profile.description) && r.next_float(profile.inchesPerCount) &&
              r.next_int(profile.maxTravel) && r.next_int(profile.backlashEnable) &&
              r.next_int(profile.backlashCount) && r.next_int(flags))) {
            return;
        }
        profile.directionFlags = static_cast<uint32_t>(flags);
        for (long& position : profile.positions) {
            if (!r.next_int(position)) return;
        }
        for (std::string& text : profile.descriptions) {
            if (!r.next_text(text)) return;
        }
    }();
    // The correction switch has two positions; garbage must not select a
    // third.
    profile.backlashEnable = std::clamp(profile.backlashEnable, 0, 1);
    return profile;
}

std::string profile_description(const char* data, size_t length) {
    FieldReader r(data, length);
    std::string text;
    r.next_text(text);
    return text;
}

std::optional<std::string> profile_file_name(int number) {
    if (number < 0 || number > kHighestFileNumber) return std::nullopt;
    char name[16];
    std::snprintf(name, sizeof name, "fc%05d.df1", number);
    return std::string(name);
}

bool is_settings_file_name(const std::string& name) {
    if (name == kProgramConfigFileName || name == kAlpacaSettingsFileName) return true;
    if (name.size() != 11 || name.compare(0, 2, "fc") != 0 || name.compare(7, 4, ".df1") != 0) return false;
    return std::all_of(name.begin() + 2, name.begin() + 7, [](char c) { return c >= '0' && c <= '9'; });
}

ProfileListing list_profiles(int nextFileNumber, int currentFileNumber, const ProfileReader& read) {
    ProfileListing listing;
    const int last = std::min(nextFileNumber - 1, kHighestFileNumber);
    for (int n = 1; n <= last; ++n) {
        const std::optional<std::string> head = read(n);
        if (!head) continue;
        if (n == currentFileNumber) listing.selectedRow = static_cast<int>(listing.rows.size());
        listing.rows.push_back({n, profile_description(head->data(), head->size())});
    }
    return listing;
}

ProfileScan scan_profiles(const ProfileReader& read) {
    ProfileScan scan;
    int misses = 0;
    for (int n = 1; n <= kHighestFileNumber && misses < kScanMissLimit; ++n) {
        const std::optional<std::string> head = read(n);
        if (!head) {
            ++misses;
            continue;
        }
        misses = 0;
        scan.rows.push_back({n, profile_description(head->data(), head->size())});
        scan.currentFileNumber = n;
        scan.nextFileNumber = n + 1;
    }
    return scan;
}

}  // namespace corvell
