#include "positioning/number_format.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>

namespace corvell {

namespace {

// Decimal digits of |value| as produced by a correctly rounded conversion
// with many more digits than any display needs: digits[0] stands at the
// place 10^exponent. Forty digits leave the first eighteen exact for every
// double, so rounding decisions taken on them match the binary value.
struct Digits {
    std::string digits;
    int exponent = 0;
};

Digits decimal_digits(double magnitude) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific, 39);
    std::string text(buf, res.ptr);
    // text looks like "d.ddd...e+XX"
    Digits d;
    const auto e = text.find('e');
    d.digits.reserve(40);
    for (size_t i = 0; i < e; ++i) {
        if (text[i] != '.') d.digits.push_back(text[i]);
    }
    d.exponent = std::stoi(text.substr(e + 1));
    return d;
}

// Rounds the digit string half away from zero so that its last kept digit
// stands at the place 10^lastPlace. Returns the kept digits (most
// significant first) and the place of the first one; an empty string means
// the value rounds to zero.
struct Rounded {
    std::string digits;
    int firstPlace = 0;
};

Rounded round_at_place(const Digits& d, int lastPlace) {
    Rounded r;
    const int keep = d.exponent - lastPlace + 1;  // digits kept
    if (keep < 0) return r;                       // below half a unit of lastPlace
    const char next = keep < static_cast<int>(d.digits.size()) ? d.digits[keep] : '0';
    r.digits = d.digits.substr(0, keep);
    r.firstPlace = d.exponent;
    if (next >= '5') {
        // Carry from the last kept digit upwards.
        int i = keep - 1;
        while (i >= 0 && r.digits[i] == '9') {
            r.digits[i] = '0';
            --i;
        }
        if (i >= 0) {
            ++r.digits[i];
        } else {
            r.digits.insert(r.digits.begin(), '1');
            ++r.firstPlace;
        }
    }
    // Nothing kept, or only zeros: the value rounds to zero.
    if (r.digits.find_first_not_of('0') == std::string::npos) return Rounded{};
    return r;
}

// Digit at a given place of a rounded value ('0' outside the kept digits).
char digit_at(const Rounded& r, int place) {
    const int index = r.firstPlace - place;
    if (index < 0 || index >= static_cast<int>(r.digits.size())) return '0';
    return r.digits[index];
}

std::string scientific(double magnitude, bool negative, int precision) {
    const Digits d = decimal_digits(magnitude);
    const Rounded r = round_at_place(d, d.exponent - precision + 1);
    std::string out;
    if (negative) out.push_back('-');
    out.push_back(digit_at(r, r.firstPlace));
    if (precision > 1) {
        out.push_back('.');
        for (int i = 1; i < precision; ++i) out.push_back(digit_at(r, r.firstPlace - i));
    }
    const int exp = r.firstPlace;
    out.push_back('E');
    out.push_back(exp < 0 ? '-' : '+');
    std::string e = std::to_string(exp < 0 ? -exp : exp);
    if (e.size() < 2) e.insert(e.begin(), '0');
    out += e;
    return out;
}

// Copies a field up to its first zero byte, never past `length`.
std::string bounded_field(const char* text, size_t length) {
    if (text == nullptr) return {};
    const void* nul = std::memchr(text, 0, length);
    const size_t n = nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : length;
    return std::string(text, n);
}

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace

std::string format_fixed(double value, int precision, int decimals) {
    precision = std::clamp(precision, 1, 18);
    decimals = std::clamp(decimals, 0, 18);
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";

    const bool negative = std::signbit(value);
    const double magnitude = std::fabs(value);

    Rounded r;
    if (magnitude != 0.0) {
        const Digits d = decimal_digits(magnitude);
        // One rounding, at whichever comes first: the last significant
        // digit allowed or the last decimal shown.
        const int lastPlace = std::max(-decimals, d.exponent - precision + 1);
        r = round_at_place(d, lastPlace);
    }
    if (!r.digits.empty() && r.firstPlace + 1 > precision) {
        return scientific(magnitude, negative, precision);
    }

    std::string out;
    if (negative && !r.digits.empty()) out.push_back('-');
    const int topPlace = r.digits.empty() ? 0 : std::max(r.firstPlace, 0);
    for (int place = topPlace; place >= 0; --place) out.push_back(digit_at(r, place));
    if (decimals > 0) {
        out.push_back('.');
        for (int place = -1; place >= -decimals; --place) out.push_back(digit_at(r, place));
    }
    return out;
}

std::string format_general7(double value) {
    char buf[64];
    // The "C"-locale conversion of printf's "%.7g", whatever locale the
    // application runs under.
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 7);
    return std::string(buf, res.ptr);
}

bool parse_decimal(const std::string& text, double& out) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && is_blank(text[begin])) ++begin;
    while (end > begin && is_blank(text[end - 1])) --end;
    if (begin == end) return false;

    std::string body = text.substr(begin, end - begin);
    bool negative = false;
    size_t start = 0;
    if (body[0] == '+' || body[0] == '-') {
        negative = body[0] == '-';
        start = 1;
    }
    // After the sign only a digit or the separator may start the number, so
    // "inf", "nan", a second sign or a hexadecimal form never get through.
    if (start >= body.size()) return false;
    const char first = body[start];
    if (!(std::isdigit(static_cast<unsigned char>(first)) || first == '.' || first == ',')) return false;
    for (size_t i = start; i < body.size(); ++i) {
        if (body[i] == ',') body[i] = '.';
    }

    double value = 0.0;
    const char* b = body.data() + start;
    const char* e = body.data() + body.size();
    auto res = std::from_chars(b, e, value, std::chars_format::general);
    if (res.ec != std::errc() || res.ptr != e || !std::isfinite(value)) return false;
    out = negative ? -value : value;
    return true;
}

namespace {

// Skips leading blanks and one sign of a file field; returns where the
// digits start.
size_t skip_blanks_and_sign(const std::string& field, bool& negative) {
    size_t i = 0;
    while (i < field.size() && is_blank(field[i])) ++i;
    negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) {
        negative = field[i] == '-';
        ++i;
    }
    return i;
}

}  // namespace

long parse_leading_int(const char* text, size_t length) {
    const std::string field = bounded_field(text, length);
    bool negative = false;
    size_t i = skip_blanks_and_sign(field, negative);
    // Accumulate as a negative number so that INT32_MIN is reachable, and
    // stop growing once the 32-bit range is left.
    const long long limit = negative ? -static_cast<long long>(INT32_MIN) : INT32_MAX;
    long long magnitude = 0;
    for (; i < field.size() && std::isdigit(static_cast<unsigned char>(field[i])); ++i) {
        magnitude = magnitude * 10 + (field[i] - '0');
        if (magnitude > limit) magnitude = limit;
    }
    return static_cast<long>(negative ? -magnitude : magnitude);
}

double parse_leading_real(const char* text, size_t length) {
    const std::string field = bounded_field(text, length);
    bool negative = false;
    size_t i = skip_blanks_and_sign(field, negative);
    if (i >= field.size()) return 0.0;
    const char first = field[i];
    // Only decimal forms: no second sign, no "inf"/"nan".
    if (!(std::isdigit(static_cast<unsigned char>(first)) || first == '.')) return 0.0;

    double value = 0.0;
    const char* b = field.data() + i;
    const char* e = field.data() + field.size();
    auto res = std::from_chars(b, e, value, std::chars_format::general);
    // A number too large or too small for a double is not a usable setting.
    if (res.ec != std::errc() || !std::isfinite(value)) return 0.0;
    return negative ? -value : value;
}

}  // namespace corvell
