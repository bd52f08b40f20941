// Conversions between encoder counts and the lengths the user sees.
#pragma once
#include <optional>
#include <string>

namespace corvell {

enum class Unit { Inches = 0, Centimetres = 1 };

// Default scale of a new profile: about 3666.93 counts per inch.
constexpr float kDefaultInchesPerCount = 0.00027270746f;
// Largest position the module's 16-bit register can hold.
constexpr long kMaxModuleCount = 65535;
// The least maximum travel a focuser can be given.
constexpr long kMinMaxTravel = 2;

inline Unit unit_from_index(int index) { return index == 1 ? Unit::Centimetres : Unit::Inches; }

// Length of `counts` in inches or cm.
double length_of_counts(double counts, float inchesPerCount, Unit unit);

// A count as a length with 5 significant digits, `decimals` decimals and the
// unit's suffix ("\"" or "cm"), e.g. "1.800\"".
std::string length_text(double counts, float inchesPerCount, Unit unit, int decimals);

// Counts per inch or per cm; 0 when the scale is 0 or below.
double counts_per_unit(float inchesPerCount, Unit unit);
// The scale, inches per count, of a count per inch or per cm (the inverse of
// counts_per_unit); the caller checks the count first.
double inches_per_count_of(double countsPerUnit, Unit unit);
// EncoderStep's text: counts per unit with 7 significant digits, 3 decimals.
std::string counts_per_unit_text(float inchesPerCount, Unit unit);
// EncoderLines' caption for the unit.
std::string encoder_lines_caption(Unit unit);
// The unit in words: "inches" or "cm".
std::string unit_name(Unit unit);

// StepEdit's text: inches with 3 decimals and "\"", or millimetres with 2
// decimals and "mm".
std::string step_text(float stepInches, Unit unit);
// Step increment after a change of unit: 0.01" or 0.2 mm (0.007874").
float default_step_increment(Unit unit);
// One arrow click on the step increment (direction +1 or -1): 0.001" or
// 0.02 mm; a result under 0.0002" becomes 0.
float nudge_step_increment(float stepInches, Unit unit, int direction);
// A typed step entry (inches, or millimetres in cm units) as inches.
float step_increment_from_entry(double typed, Unit unit);

// Time allowed for the completion of a go-to, in ms:
// floor(maxTravel * 20000 * inchesPerCount) + 30000, kept within int range.
int goto_time_limit(long maxTravelCounts, float inchesPerCount);

// floor(lengthInches / inchesPerCount) as a count. No value when the scale
// is 0 or below, or the result is not finite.
std::optional<long> length_to_counts(double lengthInches, float inchesPerCount);

// A length typed in the current unit converted to whole counts (cm are
// divided by 2.54 first). No value when the scale is 0 or below.
std::optional<long> typed_length_to_counts(double typed, float inchesPerCount, Unit unit);

}  // namespace corvell
