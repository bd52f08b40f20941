#include <gtest/gtest.h>

#include <climits>
#include <limits>

#include "positioning/motion_rules.h"
#include "positioning/units.h"

using namespace corvell;

namespace {
constexpr float kScale = kDefaultInchesPerCount;
}

TEST(StepTarget, StepsInAndOutByTheIncrement) {
    EXPECT_EQ(step_target(0, kScale, 0.01f, false), 36);       // 36.67 counts, floored
    EXPECT_EQ(step_target(6600, kScale, 0.01f, true), 6563);   // 6563.33
    EXPECT_EQ(step_target(6600, kScale, 0.01f, false), 6636);  // 6636.67
    // An exactly representable scale, 1/1024": half an inch is 512 counts.
    EXPECT_EQ(step_target(1000, 0.0009765625f, 0.5f, true), 488);
    EXPECT_EQ(step_target(1000, 0.0009765625f, 0.5f, false), 1512);
    EXPECT_EQ(step_target(512, 0.0009765625f, 0.5f, true), 0);  // exactly to zero length
}

TEST(StepTarget, NoMoveWithoutAStepOrAScale) {
    EXPECT_FALSE(step_target(1000, kScale, 0.0f, true).has_value());
    EXPECT_FALSE(step_target(1000, kScale, 0.0f, false).has_value());
    EXPECT_FALSE(step_target(1000, 0.0f, 0.01f, false).has_value());
    EXPECT_FALSE(step_target(1000, -0.00027f, 0.01f, false).has_value());
    EXPECT_FALSE(step_target(1000, std::numeric_limits<float>::quiet_NaN(), 0.01f, false).has_value());
    EXPECT_FALSE(step_target(1000, kScale, std::numeric_limits<float>::quiet_NaN(), false).has_value());
}

TEST(StepTarget, StepInBelowZeroDoesNothingAtAll) {
    EXPECT_FALSE(step_target(0, kScale, 0.01f, true).has_value());
    EXPECT_FALSE(step_target(30, kScale, 0.01f, true).has_value());  // 0.0082" < 0.01"
    EXPECT_EQ(step_target(37, kScale, 0.01f, true), 0);              // 0.0101" - 0.01"
    EXPECT_FALSE(step_target(1000, kScale, std::numeric_limits<float>::infinity(), true).has_value());
}

TEST(StepTarget, StepOutIsHeldToTheModuleRange) {
    EXPECT_EQ(step_target(65530, kScale, 0.01f, false), 65535);
    EXPECT_EQ(step_target(65535, kScale, 0.01f, false), 65535);
    EXPECT_EQ(step_target(0, kScale, 1e30f, false), 65535);
    EXPECT_EQ(step_target(0, kScale, std::numeric_limits<float>::infinity(), false), 65535);
    EXPECT_EQ(step_target(0, 1e-40f, 1.0f, false), 65535);  // quotient far beyond any integer
}

namespace {

struct PlanCase {
    const char* what;
    long T, P, B, M;
    bool endInward, enabled;
    long first, final;
    bool twoLegs, clipped;
};

}  // namespace

TEST(BacklashPlan, ApproachRule) {
    const PlanCase cases[] = {
        // what                                   T      P      B    M     in     on     first  final  two    clip
        {"correction off goes direct", 1000, 3000, 733, 6600, true, false, 1000, 1000, false, false},
        {"off, outward slot, from below", 3000, 5000, 733, 6600, false, false, 3000, 3000, false, false},
        {"inward: from below overshoots", 1000, 500, 733, 6600, true, true, 1733, 1000, true, false},
        {"inward: just above, too close", 1000, 1500, 733, 6600, true, true, 1733, 1000, true, false},
        {"inward: one short of T+B", 1000, 1732, 733, 6600, true, true, 1733, 1000, true, false},
        {"inward: exactly at T+B goes direct", 1000, 1733, 733, 6600, true, true, 1000, 1000, false, false},
        {"inward: beyond T+B goes direct", 1000, 5000, 733, 6600, true, true, 1000, 1000, false, false},
        {"inward: overshoot cut at max travel", 6000, 100, 733, 6600, true, true, 6600, 6000, true, true},
        {"inward: overshoot ends on max travel", 5867, 100, 733, 6600, true, true, 6600, 5867, true, false},
        {"outward: from above overshoots", 3000, 5000, 733, 6600, false, true, 2267, 3000, true, false},
        {"outward: just below, too close", 3000, 2500, 733, 6600, false, true, 2267, 3000, true, false},
        {"outward: one short of T-B", 3000, 2268, 733, 6600, false, true, 2267, 3000, true, false},
        {"outward: exactly at T-B goes direct", 3000, 2267, 733, 6600, false, true, 3000, 3000, false, false},
        {"outward: from zero goes direct", 3000, 0, 733, 6600, false, true, 3000, 3000, false, false},
        {"outward: overshoot cut at zero", 500, 4000, 733, 6600, false, true, 0, 500, true, true},
        {"outward: overshoot ends on zero", 733, 4000, 733, 6600, false, true, 0, 733, true, false},
        {"no distance to take up goes direct", 1000, 500, 0, 6600, true, true, 1000, 1000, false, false},
        {"negative distance goes direct", 1000, 500, -50, 6600, false, true, 1000, 1000, false, false},
    };
    for (const auto& c : cases) {
        const ApproachPlan plan = backlash_plan(c.T, c.P, c.B, c.M, c.endInward, c.enabled);
        EXPECT_EQ(plan.firstTarget, c.first) << c.what;
        EXPECT_EQ(plan.finalTarget, c.final) << c.what;
        EXPECT_EQ(plan.twoLegs, c.twoLegs) << c.what;
        EXPECT_EQ(plan.clipped, c.clipped) << c.what;
    }
}

TEST(BacklashPlan, EveryTargetStaysInTheModuleRange) {
    const PlanCase cases[] = {
        // A maximum travel beyond the register: held to 65535, not a travel-stop cut.
        {"max travel above register", 65000, 0, 733, 70000, true, true, 65535, 65000, true, false},
        {"stored count above register", 70000, 0, 733, 80000, true, false, 65535, 65535, false, false},
        {"huge distance inward", 1000, 0, LONG_MAX, 6600, true, true, 6600, 1000, true, true},
        {"huge distance outward", 1000, 5000, LONG_MAX, 6600, false, true, 0, 1000, true, true},
        {"negative max travel", 1000, 0, 733, -5, true, true, 0, 1000, true, true},
        {"huge values do not overflow", LONG_MAX, LONG_MIN, LONG_MAX, LONG_MAX, true, true, 65535, 65535, true, true},
    };
    for (const auto& c : cases) {
        const ApproachPlan plan = backlash_plan(c.T, c.P, c.B, c.M, c.endInward, c.enabled);
        EXPECT_EQ(plan.firstTarget, c.first) << c.what;
        EXPECT_EQ(plan.finalTarget, c.final) << c.what;
        EXPECT_EQ(plan.twoLegs, c.twoLegs) << c.what;
        EXPECT_EQ(plan.clipped, c.clipped) << c.what;
    }
}
