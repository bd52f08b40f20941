// Byte formats of the configuration file and the focuser profile files:
// flat sequences of zero-terminated decimal texts, read with a 1024-byte
// limit. Encoders give the exact bytes; parsers never read past the bytes
// given and give every missing field its default.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "positioning/units.h"

namespace corvell {

constexpr size_t kSettingsReadLimit = 1024;
constexpr int kStoredSlots = 20;

struct ProgramConfig {
    int baudIndex = 0;
    int portIndex = 0;
    int unitsIndex = 0;
    float stepIncrement = 0.01f;
    int nextFileNumber = 1;
    int currentFileNumber = 1;
};

std::string encode_config(const ProgramConfig& config);
ProgramConfig parse_config(const char* data, size_t length);

struct FocuserProfile {
    std::string description = " ";
    float inchesPerCount = kDefaultInchesPerCount;
    long maxTravel = 6600;
    int backlashEnable = 0;
    long backlashCount = 733;
    uint32_t directionFlags = 0;
    std::array<long, kStoredSlots> positions;
    std::array<std::string, kStoredSlots> descriptions;
    FocuserProfile();
};

// A description (the focuser's and each stored position's) holds at most
// this many bytes, one byte a character of the code page (storage/codepage.h).
constexpr size_t kDescriptionLimit = 32;

// The bytes of a profile file and what had to change to write them.
struct ProfileEncoding {
    // The file's bytes; empty when `error` is set.
    std::string bytes;
    // Descriptions written shorter than they were: cut at a zero byte (a
    // zero ends the field in the file) and to kDescriptionLimit bytes.
    bool descriptionShortened = false;  // field 1, the focuser description
    std::vector<int> shortenedSlots;    // stored-position slots, 1..20
    // Set when the layout would not fit the bytes that reading takes:
    // nothing may be written then.
    std::string error;

    bool ok() const { return error.empty(); }
    bool shortened() const { return descriptionShortened || !shortenedSlots.empty(); }
};

// Encodes a profile so that reading the bytes back gives every field: texts
// are shortened as above and reported; a layout over `limit` bytes is
// refused. With descriptions held to 32 bytes a profile takes at most 995
// bytes, so the refusal guards the layout rather than any profile today.
ProfileEncoding encode_profile_checked(const FocuserProfile& profile, size_t limit = kSettingsReadLimit);

// The bytes of encode_profile_checked, with the shortening unreported
// (empty on the error that cannot happen within the 1024-byte limit).
std::string encode_profile(const FocuserProfile& profile);
// Reads every field as it is in the file: a description longer than
// kDescriptionLimit (an older or foreign file) is kept whole, and only the
// next encode shortens it.
FocuserProfile parse_profile(const char* data, size_t length);
// The first zero-terminated field (the focuser description) of a profile.
std::string profile_description(const char* data, size_t length);

// The parameter file of the older release, "focuser.dat": program settings
// and one focuser's settings together, 48 zero-terminated fields.
struct LegacyParameters {
    int baudIndex = 0, portIndex = 0, unitsIndex = 0;
    int encoderCode = 0;  // selects the encoder's counts per revolution
    int focuserCode = 0;  // selects the travel length
    int variantCode = 0;  // refines it for some focuser models
    long maxTravel = -1;  // counts; -1: follows from the codes
    float stepIncrement = 0.01f;
    bool stepIsNumber = true;  // the step's field held a number (text reads as 0)
    std::array<long, kStoredSlots> positions;
    std::array<std::string, kStoredSlots> descriptions;
    LegacyParameters();
};
constexpr char kLegacyFileName[] = "focuser.dat";
// Never reads past the bytes given; missing fields keep their defaults.
LegacyParameters parse_legacy(const char* data, size_t length);

// "fc00001.df1" for 1; no value when the number needs more than 5 digits
// or is below 0.
std::optional<std::string> profile_file_name(int number);

// The program configuration file in the data directory, and the network
// server's settings beside it.
constexpr char kProgramConfigFileName[] = "focuser.dc1";
constexpr char kAlpacaSettingsFileName[] = "alpaca.cfg";

// True for the names of the files the program saves in its data directory:
// the two settings files and "fc" + five digits + ".df1".
bool is_settings_file_name(const std::string& name);

// Reads a profile file's first bytes (at most 1024); no value when the
// file does not open.
using ProfileReader = std::function<std::optional<std::string>(int number)>;

struct ProfileRow {
    int number;
    std::string description;
};

// Lists profiles 1..nextFileNumber-1 that open, in number order; the row of
// `currentFileNumber` (-1 if none) is `selectedRow`.
struct ProfileListing {
    std::vector<ProfileRow> rows;
    int selectedRow = -1;
};
ProfileListing list_profiles(int nextFileNumber, int currentFileNumber, const ProfileReader& read);

// Scan of the default restore: tries 1, 2, 3... until 100 numbers in a row
// are missing; the highest found becomes current and the next is one past it.
struct ProfileScan {
    std::vector<ProfileRow> rows;
    int currentFileNumber = 1;
    int nextFileNumber = 1;
};
ProfileScan scan_profiles(const ProfileReader& read);

}  // namespace corvell
