// Number formats used on every display and in the settings files.
#pragma once
#include <string>

namespace corvell {

// Fixed-point text with at most `precision` significant digits and exactly
// `decimals` decimals (trailing zeros kept), rounded once. A value whose
// integer part needs more than `precision` digits is written in scientific
// notation ("1.2346E+05"). The decimal separator is '.'.
std::string format_fixed(double value, int precision, int decimals);

// C's "%.7g": 7 significant digits, shortest of fixed and exponent form.
// This is the form real numbers take in the settings files.
std::string format_general7(double value);

// Reads a whole text as a decimal number (blanks around it allowed, '.' or
// ',' as the separator). Returns false, leaving `out` untouched, for empty
// text, text that is not a number, or a value that is not finite.
bool parse_decimal(const std::string& text, double& out);

// Like C's atoi on a file field: optional blanks and sign, then leading
// digits; anything else ends the number, no digits give 0. Saturates at the
// 32-bit range instead of overflowing.
long parse_leading_int(const char* text, size_t length);

// Like C's atof on a file field: the longest leading part that reads as a
// decimal real, in the "C" locale; no number gives 0.
double parse_leading_real(const char* text, size_t length);

}  // namespace corvell
