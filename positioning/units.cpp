#include "positioning/units.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>

#include "positioning/number_format.h"

namespace corvell {

namespace {

constexpr double kCmPerInch = 2.54;
constexpr double kMmPerInch = 25.4;
constexpr double kInchesPerMm = 0.03937007874015748;
constexpr double kInchesPerCm = 0.3937007874015748;

constexpr double kInchNudge = 0.001;
constexpr double kMillimetreNudgeInInches = 0.0007874;  // 0.02 mm
constexpr double kSmallestStep = 0.0002;

bool usable_scale(float inchesPerCount) { return std::isfinite(inchesPerCount) && inchesPerCount > 0.0f; }

}  // namespace

double length_of_counts(double counts, float inchesPerCount, Unit unit) {
    const double inches = counts * static_cast<double>(inchesPerCount);
    return unit == Unit::Centimetres ? inches * kCmPerInch : inches;
}

std::string length_text(double counts, float inchesPerCount, Unit unit, int decimals) {
    return format_fixed(length_of_counts(counts, inchesPerCount, unit), 5, decimals) +
           (unit == Unit::Centimetres ? "cm" : "\"");
}

double counts_per_unit(float inchesPerCount, Unit unit) {
    if (!usable_scale(inchesPerCount)) return 0.0;
    const double ipc = inchesPerCount;
    return unit == Unit::Centimetres ? 1.0 / (ipc * kCmPerInch) : 1.0 / ipc;
}

double inches_per_count_of(double countsPerUnit, Unit unit) {
    return unit == Unit::Centimetres ? 1.0 / (countsPerUnit * kCmPerInch) : 1.0 / countsPerUnit;
}

std::string counts_per_unit_text(float inchesPerCount, Unit unit) {
    return format_fixed(counts_per_unit(inchesPerCount, unit), 7, 3);
}

std::string encoder_lines_caption(Unit unit) {
    return unit == Unit::Centimetres ? "  Encoder Counts per cm:" : "Encoder Counts per inch:";
}

std::string unit_name(Unit unit) { return unit == Unit::Centimetres ? "cm" : "inches"; }

std::string step_text(float stepInches, Unit unit) {
    if (unit == Unit::Centimetres) {
        return format_fixed(static_cast<double>(stepInches) * kMmPerInch, 5, 2) + "mm";
    }
    return format_fixed(stepInches, 5, 3) + "\"";
}

float default_step_increment(Unit unit) { return unit == Unit::Centimetres ? 0.007874f : 0.01f; }

float nudge_step_increment(float stepInches, Unit unit, int direction) {
    const double delta = unit == Unit::Centimetres ? kMillimetreNudgeInInches : kInchNudge;
    double step = stepInches;
    if (direction > 0) step += delta;
    if (direction < 0) step -= delta;
    // A step under the smallest useful length (and any negative one) is off.
    if (!(step >= kSmallestStep)) return 0.0f;
    return static_cast<float>(step);
}

float step_increment_from_entry(double typed, Unit unit) {
    const double inches = unit == Unit::Centimetres ? typed * kInchesPerMm : typed;
    // A step is a length: a negative entry, or one beyond float range, gives
    // no step rather than a move the other way or an unrepresentable value.
    if (!(inches >= 0.0 && inches <= static_cast<double>(FLT_MAX))) return 0.0f;
    return static_cast<float>(inches);
}

int goto_time_limit(long maxTravelCounts, float inchesPerCount) {
    // 20000 ms per inch of travel on top of 30 s. A travel term that is
    // negative or not a number (nonsense scale or travel) adds nothing, and
    // the sum is held within int range.
    double travelTerm = static_cast<double>(maxTravelCounts) * 20000.0 * static_cast<double>(inchesPerCount);
    if (!(travelTerm > 0.0)) travelTerm = 0.0;
    const double total = std::floor(travelTerm) + 30000.0;
    if (!(total < static_cast<double>(INT_MAX))) return INT_MAX;
    return static_cast<int>(total);
}

std::optional<long> length_to_counts(double lengthInches, float inchesPerCount) {
    if (!usable_scale(inchesPerCount)) return std::nullopt;
    const double counts = std::floor(lengthInches / static_cast<double>(inchesPerCount));
    // Compare before converting: only values inside the 32-bit range become
    // counts, so an infinity or a huge quotient is never cast.
    if (!(counts >= static_cast<double>(INT32_MIN) && counts <= static_cast<double>(INT32_MAX))) {
        return std::nullopt;
    }
    return static_cast<long>(counts);
}

std::optional<long> typed_length_to_counts(double typed, float inchesPerCount, Unit unit) {
    const double inches = unit == Unit::Centimetres ? typed * kInchesPerCm : typed;
    return length_to_counts(inches, inchesPerCount);
}

}  // namespace corvell
