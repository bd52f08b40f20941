#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "guarded_buffer.h"
#include "positioning/number_format.h"

using namespace corvell;

namespace {

struct FixedCase {
    double value;
    int precision;
    int decimals;
    const char* expected;
};

}  // namespace

TEST(FormatFixed, DisplayExamples) {
    const FixedCase cases[] = {
        {6600 * static_cast<double>(0.00027270746f), 5, 3, "1.800"},  // 6600 counts, default scale
        {3666.9330479734758, 7, 3, "3666.933"},                       // counts per inch
        {1443.6744283360140, 7, 3, "1443.674"},                       // counts per cm
        {0.0, 5, 3, "0.000"},
        {0.0, 5, 0, "0"},
        {6600.0, 5, 0, "6600"},
        {65535.0, 5, 0, "65535"},
        {0.49999999813735479, 5, 2, "0.50"},  // 0.5 mm typed in cm
        {0.01, 5, 3, "0.010"},
        {-1.23456, 5, 3, "-1.235"},
        {-6600.0, 5, 0, "-6600"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_fixed(c.value, c.precision, c.decimals), c.expected)
            << c.value << " P" << c.precision << " D" << c.decimals;
    }
}

TEST(FormatFixed, SignificantDigitsLimitTheDecimalsButZerosAreKept) {
    // Only five significant digits are kept; the decimal places are still
    // written, as zeros.
    EXPECT_EQ(format_fixed(123.456, 5, 3), "123.460");
    EXPECT_EQ(format_fixed(12345.6, 5, 3), "12346.000");
    EXPECT_EQ(format_fixed(0.0123456789, 5, 8), "0.01234600");
    EXPECT_EQ(format_fixed(1.5, 5, 4), "1.5000");
}

TEST(FormatFixed, RoundsOnceHalfAwayFromZero) {
    // 2.34449 rounded to 5 digits first would give 2.3445 and then 2.345;
    // rounding once at the third decimal gives 2.344.
    EXPECT_EQ(format_fixed(2.34449, 5, 3), "2.344");
    // Exact halves (representable in binary) go away from zero.
    EXPECT_EQ(format_fixed(2.5, 5, 0), "3");
    EXPECT_EQ(format_fixed(-2.5, 5, 0), "-3");
    EXPECT_EQ(format_fixed(0.125, 5, 2), "0.13");
    // Carry through nines into a new leading digit.
    EXPECT_EQ(format_fixed(9.99996, 5, 3), "10.000");
    EXPECT_EQ(format_fixed(0.9996, 5, 3), "1.000");
    EXPECT_EQ(format_fixed(0.0005, 5, 3), "0.001");
    EXPECT_EQ(format_fixed(0.00049, 5, 3), "0.000");
}

TEST(FormatFixed, NegativeValuesRoundingToZeroHaveNoSign) {
    EXPECT_EQ(format_fixed(-0.0004, 5, 3), "0.000");
    EXPECT_EQ(format_fixed(-0.0, 5, 3), "0.000");
    EXPECT_EQ(format_fixed(-0.0006, 5, 3), "-0.001");
}

TEST(FormatFixed, ScientificWhenTheIntegerPartHasTooManyDigits) {
    EXPECT_EQ(format_fixed(123456.0, 5, 3), "1.2346E+05");
    EXPECT_EQ(format_fixed(-123456.0, 5, 0), "-1.2346E+05");
    // Checked after rounding: 99999.7 becomes 100000, six digits.
    EXPECT_EQ(format_fixed(99999.7, 5, 0), "1.0000E+05");
    EXPECT_EQ(format_fixed(99999.4, 5, 0), "99999");
    EXPECT_EQ(format_fixed(1e20, 5, 3), "1.0000E+20");
    EXPECT_EQ(format_fixed(1234567.0, 7, 3), "1234567.000");
    EXPECT_EQ(format_fixed(12345678.0, 7, 3), "1.234568E+07");
}

TEST(FormatFixed, NonFiniteValues) {
    EXPECT_EQ(format_fixed(std::numeric_limits<double>::quiet_NaN(), 5, 3), "NAN");
    EXPECT_EQ(format_fixed(std::numeric_limits<double>::infinity(), 5, 3), "INF");
    EXPECT_EQ(format_fixed(-std::numeric_limits<double>::infinity(), 5, 3), "-INF");
}

TEST(FormatGeneral7, SettingsFileForms) {
    EXPECT_EQ(format_general7(0.01f), "0.01");
    EXPECT_EQ(format_general7(0.007874f), "0.007874");
    EXPECT_EQ(format_general7(0.00027270746f), "0.0002727075");
    EXPECT_EQ(format_general7(6600.0), "6600");
    EXPECT_EQ(format_general7(0.0), "0");
    EXPECT_EQ(format_general7(-0.5), "-0.5");
    EXPECT_EQ(format_general7(1e-5), "1e-05");
    EXPECT_EQ(format_general7(12345678.0), "1.234568e+07");
}

TEST(ParseDecimal, AcceptsWholeNumbers) {
    const struct {
        const char* text;
        double value;
    } cases[] = {
        {"0.5", 0.5},  {" 0.5 ", 0.5}, {"0,5", 0.5},    {"-1.25", -1.25}, {"+2", 2.0},      {"3.", 3.0},
        {".25", 0.25}, {",25", 0.25},  {"1e3", 1000.0}, {"7", 7.0},       {"\t4.5\n", 4.5},
    };
    for (const auto& c : cases) {
        double out = -99.0;
        EXPECT_TRUE(parse_decimal(c.text, out)) << c.text;
        EXPECT_DOUBLE_EQ(out, c.value) << c.text;
    }
}

TEST(ParseDecimal, RejectsAnythingElseAndLeavesTheValue) {
    const std::string cases[] = {
        "",
        "   ",
        "abc",
        "1.2.3",
        "5x",
        "x5",
        "inf",
        "nan",
        "-inf",
        "infinity",
        "1e999",
        "+-1",
        "--1",
        "-",
        ".",
        "0x10",
        "1,2.3",
        "1 2",
        "1e",
        std::string("1\0"
                    "2",
                    3),
    };
    for (const auto& text : cases) {
        double out = -99.0;
        EXPECT_FALSE(parse_decimal(text, out)) << '"' << text << '"';
        EXPECT_EQ(out, -99.0) << '"' << text << '"';
    }
}

TEST(ParseLeadingInt, AtoiSemantics) {
    const struct {
        const char* text;
        long value;
    } cases[] = {
        {"123", 123}, {"  -45xyz", -45}, {"+7", 7},  {"abc", 0},     {"", 0},    {"12 34", 12},
        {"- 5", 0},   {"0", 0},          {"-1", -1}, {"6600", 6600}, {"007", 7}, {"1.9", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_leading_int(c.text, std::strlen(c.text)), c.value) << c.text;
    }
}

TEST(ParseLeadingInt, SaturatesAtThe32BitRange) {
    const struct {
        const char* text;
        long value;
    } cases[] = {
        {"2147483647", INT32_MAX},  {"2147483648", INT32_MAX},  {"99999999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN}, {"-2147483649", INT32_MIN}, {"-99999999999999999999999", INT32_MIN},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_leading_int(c.text, std::strlen(c.text)), c.value) << c.text;
    }
}

TEST(ParseLeadingInt, StaysInsideTheField) {
    const char digits[] = {'1', '2', '3', '4', '5', '6'};
    EXPECT_EQ(parse_leading_int(digits, 3), 123);
    EXPECT_EQ(parse_leading_int(digits, 0), 0);
    const char withZero[] = {'1', '2', '\0', '3', '4'};
    EXPECT_EQ(parse_leading_int(withZero, 5), 12);
    // A field that ends at the last readable byte, with no zero after it.
    GuardedBuffer buffer("4711");
    EXPECT_EQ(parse_leading_int(buffer.data(), buffer.size()), 4711);
    GuardedBuffer blanks("   ");
    EXPECT_EQ(parse_leading_int(blanks.data(), blanks.size()), 0);
}

TEST(ParseLeadingReal, AtofSemantics) {
    const struct {
        const char* text;
        double value;
    } cases[] = {
        {"0.0002727075", 0.0002727075},
        {"  1.5e2abc", 150.0},
        {"-0.25", -0.25},
        {"+.5", 0.5},
        {"abc", 0.0},
        {"", 0.0},
        {"5,5", 5.0},  // the files always use '.'
        {"1e", 1.0},
        {"1.5.2", 1.5},
        {"inf", 0.0},  // not a decimal real
        {"nan", 0.0},
        {"1e999", 0.0},  // too large for a double
        {"-x", 0.0},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(parse_leading_real(c.text, std::strlen(c.text)), c.value) << c.text;
    }
}

TEST(ParseLeadingReal, StaysInsideTheField) {
    const char text[] = {'1', '.', '2', '5'};
    EXPECT_DOUBLE_EQ(parse_leading_real(text, 3), 1.2);
    GuardedBuffer buffer("0.007874");
    EXPECT_DOUBLE_EQ(parse_leading_real(buffer.data(), buffer.size()), 0.007874);
    GuardedBuffer exponent("2e");
    EXPECT_DOUBLE_EQ(parse_leading_real(exponent.data(), exponent.size()), 2.0);
}
