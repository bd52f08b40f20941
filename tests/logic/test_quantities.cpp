#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "control/quantities.h"

using namespace corvell;

namespace {
const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const std::string kScaleInches = "Encoder counts per inch must be 100 to 100000";
const std::string kScaleCm = "Encoder counts per cm must be 39.37 to 39370.08";
const std::string kTravel = "The maximum travel must be 2 to 65535 counts";
}  // namespace

// Every value a user, a client or a file can give, at and beyond the
// bounds of its rule, with the reason written out as the user reads it.
TEST(Quantities, EachRuleTakesItsRangeAndNamesItWhenRefusing) {
    const auto clamped = [](double wanted, long maxTravel) {
        long target = -1;
        const std::string reason = take_go_to_target(wanted, maxTravel, OutsideTravel::Clamp, target);
        return reason.empty() ? std::to_string(target) : reason;
    };
    struct Case {
        const char* what;
        std::string reason;  // empty: taken
        std::string got;
    };
    const Case cases[] = {
        // The model tables' scales and the bounds themselves are taken.
        {"2445 per inch", "", check_counts_per_unit(2445, Unit::Inches)},
        {"10430 per inch", "", check_counts_per_unit(10430, Unit::Inches)},
        {"100 per inch", "", check_counts_per_unit(100, Unit::Inches)},
        {"100000 per inch", "", check_counts_per_unit(100000, Unit::Inches)},
        {"99.9 per inch", kScaleInches, check_counts_per_unit(99.9, Unit::Inches)},
        {"100001 per inch", kScaleInches, check_counts_per_unit(100001, Unit::Inches)},
        {"1e30 per inch", kScaleInches, check_counts_per_unit(1e30, Unit::Inches)},
        {"0 per inch", kScaleInches, check_counts_per_unit(0, Unit::Inches)},
        {"-5 per inch", kScaleInches, check_counts_per_unit(-5, Unit::Inches)},
        {"inf per inch", kScaleInches, check_counts_per_unit(kInf, Unit::Inches)},
        {"nan per inch", kScaleInches, check_counts_per_unit(kNaN, Unit::Inches)},
        // The same rule in cm: the bounds are the inch bounds / 2.54.
        {"1443.674 per cm", "", check_counts_per_unit(1443.674, Unit::Centimetres)},
        {"39.37 per cm", kScaleCm, check_counts_per_unit(39.37, Unit::Centimetres)},
        {"39.371 per cm", "", check_counts_per_unit(39.371, Unit::Centimetres)},
        {"39370 per cm", "", check_counts_per_unit(39370, Unit::Centimetres)},
        {"39371 per cm", kScaleCm, check_counts_per_unit(39371, Unit::Centimetres)},
        // A measured scale (inches per count): a distance of 1e30 inches over
        // 1000 counts, and one inch over 1000 counts.
        {"1e27 inches per count", kScaleInches, check_inches_per_count(1e27, Unit::Inches)},
        {"0.001 inches per count", "", check_inches_per_count(0.001, Unit::Inches)},
        {"0 inches per count", kScaleCm, check_inches_per_count(0, Unit::Centimetres)},
        // Maximum travel: 2..65535 counts.
        {"travel 2", "", check_max_travel(2)},
        {"travel 65535", "", check_max_travel(65535)},
        {"travel 1", kTravel, check_max_travel(1)},
        {"travel 0", kTravel, check_max_travel(0)},
        {"travel 65536", kTravel, check_max_travel(65536)},
        {"travel nan", kTravel, check_max_travel(kNaN)},
        // Backlash distance: 0..65535 counts.
        {"backlash 0", "", check_backlash_count(0)},
        {"backlash 65535", "", check_backlash_count(65535)},
        {"backlash 65536", "The backlash correction distance must be 0 to 65535 counts", check_backlash_count(65536)},
        {"backlash -1", "The backlash correction distance must be 0 to 65535 counts", check_backlash_count(-1)},
        // Step increment: 0 (steps off) to one inch, named in the unit in use.
        {"step 0", "", check_step_increment(0, Unit::Inches)},
        {"step 1 inch", "", check_step_increment(1.0, Unit::Inches)},
        {"step 1.01 inch", "The step increment must be 0 to 1.000\"", check_step_increment(1.01, Unit::Inches)},
        {"step 2 inches in cm", "The step increment must be 0 to 25.40mm", check_step_increment(2, Unit::Centimetres)},
        {"step -0.001", "The step increment must be 0 to 1.000\"", check_step_increment(-0.001, Unit::Inches)},
        // Descriptions: anything but nothing or blanks.
        {"description x", "", check_description("x")},
        {"description blank", "The description cannot be empty", check_description("   ")},
        {"description empty", "The description cannot be empty", check_description("")},
        // Go-to targets: within the travel, and the module's range.
        {"target 0", "", check_go_to_target(0, 6600)},
        {"target 6600", "", check_go_to_target(6600, 6600)},
        {"target 6601", "Entered position exceeds focuser travel limit.", check_go_to_target(6601, 6600)},
        {"target 65535 of 65535", "", check_go_to_target(65535, 65535)},
        {"target 65536 of 70000", "Entered position is beyond the control module's range of 65535 counts.",
         check_go_to_target(65536, 70000)},
        {"target -1", "The position must not be negative", check_go_to_target(-1, 6600)},
        // Outside the travel, for a client whose standard says so: to the
        // nearest end, never beyond 65535; no number is refused all the same.
        {"clamped 6601", "6600", clamped(6601, 6600)},
        {"clamped -10", "0", clamped(-10, 6600)},
        {"clamped 80000 of 70000", "65535", clamped(80000, 70000)},
        {"clamped nan", "The position must not be negative", clamped(kNaN, 6600)},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.reason) << c.what;
}
