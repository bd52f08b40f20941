#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

#include "positioning/units.h"

using namespace corvell;

namespace {
constexpr float kScale = 0.00027270746f;  // the default scale, about 3666.93 counts per inch
const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();
}  // namespace

TEST(Units, IndexMapsToUnit) {
    EXPECT_EQ(unit_from_index(0), Unit::Inches);
    EXPECT_EQ(unit_from_index(1), Unit::Centimetres);
    EXPECT_EQ(unit_from_index(7), Unit::Inches);
    EXPECT_EQ(unit_from_index(-1), Unit::Inches);
}

TEST(Units, CountsPerUnitAtTheDefaultScale) {
    EXPECT_EQ(counts_per_unit_text(kScale, Unit::Inches), "3666.933");
    EXPECT_EQ(counts_per_unit_text(kScale, Unit::Centimetres), "1443.674");
    EXPECT_NEAR(counts_per_unit(kScale, Unit::Inches) / counts_per_unit(kScale, Unit::Centimetres), 2.54, 1e-12);
}

TEST(Units, CountsPerUnitOfAnUnusableScaleIsZero) {
    for (float scale : {0.0f, -0.001f, kNaN, kInf}) {
        EXPECT_EQ(counts_per_unit(scale, Unit::Inches), 0.0) << scale;
        EXPECT_EQ(counts_per_unit_text(scale, Unit::Centimetres), "0.000") << scale;
    }
}

TEST(Units, LengthTexts) {
    EXPECT_EQ(length_text(6600, kScale, Unit::Inches, 3), "1.800\"");
    EXPECT_EQ(length_text(6600, kScale, Unit::Centimetres, 3), "4.572cm");
    EXPECT_EQ(length_text(6600, kScale, Unit::Centimetres, 2), "4.57cm");
    EXPECT_EQ(length_text(0, kScale, Unit::Inches, 3), "0.000\"");
    EXPECT_EQ(length_text(733, kScale, Unit::Inches, 3), "0.200\"");
    EXPECT_EQ(length_text(-6600, kScale, Unit::Inches, 3), "-1.800\"");
    EXPECT_DOUBLE_EQ(length_of_counts(1000, 0.001f, Unit::Centimetres), 1000 * 2.54 * static_cast<double>(0.001f));
}

TEST(Units, EncoderLinesCaptions) {
    EXPECT_EQ(encoder_lines_caption(Unit::Inches), "Encoder Counts per inch:");
    EXPECT_EQ(encoder_lines_caption(Unit::Centimetres), "  Encoder Counts per cm:");
}

TEST(StepIncrement, TextsInBothUnits) {
    EXPECT_EQ(step_text(0.01f, Unit::Inches), "0.010\"");
    EXPECT_EQ(step_text(default_step_increment(Unit::Centimetres), Unit::Centimetres), "0.20mm");
    EXPECT_EQ(step_text(default_step_increment(Unit::Inches), Unit::Inches), "0.010\"");
    EXPECT_EQ(step_text(0.0f, Unit::Centimetres), "0.00mm");
    // Typing 0.5 in cm means millimetres.
    EXPECT_EQ(step_text(step_increment_from_entry(0.5, Unit::Centimetres), Unit::Centimetres), "0.50mm");
    EXPECT_EQ(step_text(step_increment_from_entry(0.5, Unit::Inches), Unit::Inches), "0.500\"");
}

TEST(StepIncrement, DefaultsAndEntries) {
    EXPECT_EQ(default_step_increment(Unit::Inches), 0.01f);
    EXPECT_EQ(default_step_increment(Unit::Centimetres), 0.007874f);
    EXPECT_EQ(step_increment_from_entry(0.25, Unit::Inches), 0.25f);
    EXPECT_FLOAT_EQ(step_increment_from_entry(25.4, Unit::Centimetres), 1.0f);
    // A step is a length: no negative steps, no values beyond float range.
    EXPECT_EQ(step_increment_from_entry(-0.5, Unit::Inches), 0.0f);
    EXPECT_EQ(step_increment_from_entry(1e300, Unit::Inches), 0.0f);
}

TEST(StepIncrement, ArrowClicks) {
    EXPECT_FLOAT_EQ(nudge_step_increment(0.01f, Unit::Inches, +1), 0.011f);
    EXPECT_FLOAT_EQ(nudge_step_increment(0.01f, Unit::Inches, -1), 0.009f);
    EXPECT_FLOAT_EQ(nudge_step_increment(0.007874f, Unit::Centimetres, +1), 0.0086614f);
    EXPECT_FLOAT_EQ(nudge_step_increment(0.007874f, Unit::Centimetres, -1), 0.0070866f);
    EXPECT_FLOAT_EQ(nudge_step_increment(0.0f, Unit::Inches, +1), 0.001f);
    // Results under 0.0002" become 0, and the down arrow never goes negative.
    EXPECT_EQ(nudge_step_increment(0.00119f, Unit::Inches, -1), 0.0f);
    EXPECT_EQ(nudge_step_increment(0.0005f, Unit::Inches, -1), 0.0f);
    EXPECT_EQ(nudge_step_increment(0.0f, Unit::Inches, -1), 0.0f);
    EXPECT_EQ(nudge_step_increment(0.0f, Unit::Centimetres, -1), 0.0f);
    EXPECT_EQ(nudge_step_increment(0.0009f, Unit::Centimetres, -1), 0.0f);  // 0.0001126"
    EXPECT_GT(nudge_step_increment(0.0013f, Unit::Inches, -1), 0.0f);       // 0.0003" stays
    // Ten clicks in cm are 0.2 mm.
    float step = 0.0f;
    for (int i = 0; i < 10; ++i) step = nudge_step_increment(step, Unit::Centimetres, +1);
    EXPECT_EQ(step_text(step, Unit::Centimetres), "0.20mm");
}

TEST(GotoTimeLimit, TwentySecondsPerInchPlusThirty) {
    EXPECT_EQ(goto_time_limit(0, kScale), 30000);
    EXPECT_EQ(goto_time_limit(0, 0.0f), 30000);
    // 6600 counts at the default scale are 1.79987": 35997 ms of travel.
    EXPECT_EQ(goto_time_limit(6600, kScale), 65997);
    EXPECT_EQ(goto_time_limit(1000, 0.001f), 50000);
}

TEST(GotoTimeLimit, NonsenseInputsStayInRange) {
    EXPECT_EQ(goto_time_limit(LONG_MAX, kScale), INT_MAX);
    EXPECT_EQ(goto_time_limit(65535, 1e30f), INT_MAX);
    EXPECT_EQ(goto_time_limit(65535, kInf), INT_MAX);
    EXPECT_EQ(goto_time_limit(-6600, kScale), 30000);
    EXPECT_EQ(goto_time_limit(6600, -1.0f), 30000);
    EXPECT_EQ(goto_time_limit(6600, kNaN), 30000);
}

TEST(LengthToCounts, FloorsTheQuotient) {
    EXPECT_EQ(length_to_counts(1.8, kScale), 6600);  // 6600.48
    EXPECT_EQ(length_to_counts(0.0, kScale), 0);
    EXPECT_EQ(length_to_counts(0.01, kScale), 36);     // 36.67
    EXPECT_EQ(length_to_counts(-0.0001, kScale), -1);  // floor, not truncation
    EXPECT_EQ(length_to_counts(1.0, 0.001f), 999);     // 0.001f is a hair above 0.001
}

TEST(LengthToCounts, NoValueForUnusableScalesOrResults) {
    for (float scale : {0.0f, -0.00027f, kNaN, kInf}) {
        EXPECT_FALSE(length_to_counts(1.0, scale).has_value()) << scale;
    }
    EXPECT_FALSE(length_to_counts(std::numeric_limits<double>::infinity(), kScale).has_value());
    EXPECT_FALSE(length_to_counts(std::numeric_limits<double>::quiet_NaN(), kScale).has_value());
    EXPECT_FALSE(length_to_counts(1e12, kScale).has_value());
    EXPECT_FALSE(length_to_counts(-1e12, kScale).has_value());
    EXPECT_FALSE(length_to_counts(1.0, 1e-40f).has_value());      // denormal scale: huge quotient
    EXPECT_TRUE(length_to_counts(585000.0, kScale).has_value());  // about 2.1e9 counts
}

TEST(TypedLengthToCounts, CentimetresAreConvertedFirst) {
    EXPECT_EQ(typed_length_to_counts(1.0, kScale, Unit::Inches), 3666);
    EXPECT_EQ(typed_length_to_counts(2.54, kScale, Unit::Centimetres), 3666);
    EXPECT_EQ(typed_length_to_counts(0.2, kScale, Unit::Centimetres), 288);  // 288.73
    EXPECT_EQ(typed_length_to_counts(0.2, kScale, Unit::Inches), 733);       // the default backlash
    EXPECT_FALSE(typed_length_to_counts(1.0, 0.0f, Unit::Centimetres).has_value());
}
