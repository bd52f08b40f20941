// The maker's focuser models and encoders, from which a focuser's scale
// (inches per encoder count) and maximum travel follow: the add-focuser
// setup's tables, and the older release's model codes.
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace corvell {

struct FocuserModel {
    const char* name;
    float rollerDiameter;  // inches
    // Usable travel in inches; kTravelByDrawtube5 and kTravelByDrawtube3
    // mean that it follows from the drawtube chosen.
    float travel;
    std::vector<const char*> drawtubes;  // lengths offered, e.g. "2.00\""
};

constexpr float kTravelByDrawtube5 = 500.0f;  // five drawtube lengths
constexpr float kTravelByDrawtube3 = 300.0f;  // three drawtube lengths

// In the order the setup offers them.
const std::vector<FocuserModel>& focuser_models();
// The encoder resolutions offered (lines per revolution), in order.
const std::vector<const char*>& encoder_choices();

// The travel once the drawtube item is known: a marker resolves by the item
// chosen, any other travel stays.
float travel_for_drawtube(float travel, int drawtubeItem);
// Encoder lines per revolution of the item chosen: 2160, 4096, else 1440.
float encoder_lines(int item);
// Roller circumference over encoder lines, as the 32-bit value kept.
float inches_per_count_of(float rollerDiameter, float encoderLines);
// Whole counts in `travelInches` at the scale; none when the scale is not a
// finite positive number.
std::optional<long> travel_counts(double travelInches, float inchesPerCount);

// "Focuser 00007" for the next file number 7; "Unknown focuser" when the
// number has more than five digits.
std::string default_focuser_description(int nextFileNumber);

// The older release's codes: encoder model code to counts per roller
// revolution, and focuser model and travel variant codes to the travel.
float legacy_encoder_lines(int encoderCode);
float legacy_travel(int focuserCode, int variantCode);
// The older release's fixed roller.
constexpr float kLegacyRollerDiameter = 0.1875f;

}  // namespace corvell
