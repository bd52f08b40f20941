#include "control/quantities.h"

#include <algorithm>
#include <cmath>

#include "positioning/number_format.h"

namespace corvell {

namespace {

constexpr double kCmPerInch = 2.54;

// A bound as the user reads it: whole numbers without decimals, others with
// two.
std::string bound_text(double value) {
    const double whole = std::round(value);
    if (std::fabs(value - whole) < 1e-9) return format_fixed(whole, 12, 0);
    return format_fixed(value, 12, 2);
}

const char* per_unit(Unit unit) { return unit == Unit::Centimetres ? "cm" : "inch"; }

}  // namespace

std::string check_counts_per_unit(double countsPerUnit, Unit unit) {
    const double perInch = unit == Unit::Centimetres ? countsPerUnit * kCmPerInch : countsPerUnit;
    // The comparison on the inch value keeps both units on one rule; a hair
    // of tolerance keeps the bounds themselves, typed in cm, inside it.
    if (std::isfinite(perInch) && perInch >= kLeastCountsPerInch * (1 - 1e-9) &&
        perInch <= kMostCountsPerInch * (1 + 1e-9))
        return {};
    const double least = unit == Unit::Centimetres ? kLeastCountsPerInch / kCmPerInch : kLeastCountsPerInch;
    const double most = unit == Unit::Centimetres ? kMostCountsPerInch / kCmPerInch : kMostCountsPerInch;
    return std::string("Encoder counts per ") + per_unit(unit) + " must be " + bound_text(least) + " to " +
           bound_text(most);
}

std::string check_inches_per_count(double inchesPerCount, Unit unit) {
    if (!(inchesPerCount > 0) || !std::isfinite(inchesPerCount)) return check_counts_per_unit(0, unit);
    const double perInch = 1.0 / inchesPerCount;
    return check_counts_per_unit(unit == Unit::Centimetres ? perInch / kCmPerInch : perInch, unit);
}

std::string check_max_travel(double counts) {
    if (std::isfinite(counts) && counts >= kMinMaxTravel && counts <= kMaxModuleCount) return {};
    return "The maximum travel must be " + std::to_string(kMinMaxTravel) + " to " + std::to_string(kMaxModuleCount) +
           " counts";
}

std::string check_backlash_count(double counts) {
    if (std::isfinite(counts) && counts >= 0 && counts <= kMaxModuleCount) return {};
    return "The backlash correction distance must be 0 to " + std::to_string(kMaxModuleCount) + " counts";
}

std::string check_backlash_distance(double counts, float inchesPerCount, Unit unit) {
    if (check_backlash_count(counts).empty()) return {};
    return "The backlash correction distance must be 0 to " +
           length_text(static_cast<double>(kMaxModuleCount), inchesPerCount, unit, 3);
}

std::string check_step_increment(double inches, Unit unit) {
    if (std::isfinite(inches) && inches >= 0 && inches <= kMostStepInches * (1 + 1e-9)) return {};
    return "The step increment must be 0 to " + step_text(static_cast<float>(kMostStepInches), unit);
}

std::string check_description(const std::string& bytes) {
    if (bytes.find_first_not_of(' ') != std::string::npos) return {};
    return "The description cannot be empty";
}

std::string check_go_to_target(double counts, long maxTravel) {
    if (!std::isfinite(counts) || counts < 0) return "The position must not be negative";
    if (counts > static_cast<double>(maxTravel)) return "Entered position exceeds focuser travel limit.";
    if (counts > static_cast<double>(kMaxModuleCount))
        return "Entered position is beyond the control module's range of 65535 counts.";
    return {};
}

std::string take_go_to_target(double wanted, long maxTravel, OutsideTravel rule, long& target) {
    if (rule == OutsideTravel::Clamp && std::isfinite(wanted)) {
        const double top = static_cast<double>(std::max(0L, std::min(maxTravel, kMaxModuleCount)));
        wanted = std::clamp(wanted, 0.0, top);
    }
    const std::string reason = check_go_to_target(wanted, maxTravel);
    if (reason.empty()) target = std::lround(wanted);
    return reason;
}

std::string check_relative_step(double counts) {
    if (std::isfinite(counts) && counts >= 0 && counts <= kMaxModuleCount) return {};
    return "A step must be 0 to " + std::to_string(kMaxModuleCount) +
           " counts; its direction is chosen as inward or outward";
}

std::string check_idle_poll(double ms) {
    if (std::isfinite(ms) && ms >= kLeastIdlePollMs && ms <= kMostIdlePollMs) return {};
    return "The polling period must be " + std::to_string(kLeastIdlePollMs) + " to " + std::to_string(kMostIdlePollMs) +
           " ms";
}

}  // namespace corvell
