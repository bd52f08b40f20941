#include <gtest/gtest.h>

#include <iconv.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "storage/codepage.h"

using namespace corvell;
using namespace std::string_literals;

namespace {

// The C library's own converter is the independent reference for the code
// page; it rejects the five undefined bytes.
class Iconv {
public:
    Iconv(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) ::iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts `in` whole; no value when the converter refuses any of it.
    std::optional<std::string> convert(std::string in) {
        ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        std::string out(16 + 4 * in.size(), '\0');
        char* src = in.data();
        size_t srcLeft = in.size();
        char* dst = out.data();
        size_t dstLeft = out.size();
        if (::iconv(cd_, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1) || srcLeft != 0)
            return std::nullopt;
        out.resize(out.size() - dstLeft);
        return out;
    }

private:
    iconv_t cd_;
};

std::string utf32le(char32_t cp) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((cp >> (8 * i)) & 0xFF);
    return s;
}

char32_t from_utf32le(const std::string& s) {
    char32_t cp = 0;
    for (int i = 3; i >= 0; --i) cp = (cp << 8) | static_cast<unsigned char>(s[i]);
    return cp;
}

bool undefined_in_code_page(unsigned b) { return b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D; }

std::string all_bytes() {
    std::string s;
    for (int b = 0; b < 256; ++b) s.push_back(static_cast<char>(b));
    return s;
}

}  // namespace

TEST(CodePage, EveryByteMatchesTheReferenceAndTheUndefinedOnesKeepTheirValue) {
    Iconv toUnicode("UTF-32LE", "CP1252");
    ASSERT_TRUE(toUnicode.ok()) << "the C library has no CP1252 converter";
    for (unsigned b = 1; b < 256; ++b) {
        const char32_t ours = cp1252_to_unicode(static_cast<unsigned char>(b));
        if (undefined_in_code_page(b)) {
            EXPECT_EQ(ours, b) << std::hex << "byte 0x" << b;
            continue;
        }
        const auto ref = toUnicode.convert(std::string(1, static_cast<char>(b)));
        ASSERT_TRUE(ref && ref->size() == 4) << std::hex << "byte 0x" << b;
        EXPECT_EQ(ours, from_utf32le(*ref)) << std::hex << "byte 0x" << b;
    }
    // A few by sight.
    EXPECT_EQ(cp1252_to_unicode(0x80), U'\u20AC');
    EXPECT_EQ(cp1252_to_unicode(0x93), U'\u201C');
    EXPECT_EQ(cp1252_to_unicode(0x9F), U'\u0178');
    EXPECT_EQ(cp1252_to_unicode(0xE9), U'\u00E9');
    EXPECT_EQ(cp1252_to_unicode('A'), U'A');
}

TEST(CodePage, EveryByteRoundTripsThroughItsCodePoint) {
    std::set<char32_t> seen;
    for (unsigned b = 0; b < 256; ++b) {
        const char32_t cp = cp1252_to_unicode(static_cast<unsigned char>(b));
        EXPECT_TRUE(seen.insert(cp).second) << std::hex << "two bytes share U+" << cp;
        EXPECT_EQ(cp1252_from_unicode(cp), std::optional<unsigned char>(static_cast<unsigned char>(b)))
            << std::hex << "byte 0x" << b;
    }
    // Whole strings, through both text forms.
    const std::string bytes = all_bytes();
    size_t unmapped = 99;
    EXPECT_EQ(cp1252_from_u32(cp1252_to_u32(bytes), &unmapped), bytes);
    EXPECT_EQ(unmapped, 0u);
    unmapped = 99;
    EXPECT_EQ(cp1252_from_utf8(cp1252_to_utf8(bytes), &unmapped), bytes);
    EXPECT_EQ(unmapped, 0u);
}

TEST(CodePage, CodePointsWithoutAByteHaveNoValue) {
    // The whole Basic Multilingual Plane against the reference: a byte
    // exactly where the reference has one, besides the five C1 controls.
    Iconv fromUnicode("CP1252", "UTF-32LE");
    ASSERT_TRUE(fromUnicode.ok());
    int mapped = 0;
    for (char32_t cp = 1; cp < 0x10000; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            EXPECT_FALSE(cp1252_from_unicode(cp).has_value()) << std::hex << "U+" << cp;
            continue;
        }
        const auto ours = cp1252_from_unicode(cp);
        if (ours) ++mapped;
        if (cp <= 0xFF && undefined_in_code_page(cp)) {
            EXPECT_EQ(ours, std::optional<unsigned char>(static_cast<unsigned char>(cp)));
            continue;
        }
        const auto ref = fromUnicode.convert(utf32le(cp));
        if (!ref) {
            EXPECT_FALSE(ours.has_value()) << std::hex << "U+" << cp;
        } else {
            ASSERT_EQ(ref->size(), 1u);
            EXPECT_EQ(ours, std::optional<unsigned char>(static_cast<unsigned char>((*ref)[0])))
                << std::hex << "U+" << cp;
        }
    }
    EXPECT_EQ(mapped, 255);
    EXPECT_FALSE(cp1252_from_unicode(U'\u0080').has_value());  // its byte is the euro sign
    EXPECT_FALSE(cp1252_from_unicode(U'\U0001F52D').has_value());
    EXPECT_FALSE(cp1252_from_unicode(0x110000).has_value());
    EXPECT_FALSE(cp1252_from_unicode(0xFFFFFFFF).has_value());
}

TEST(CodePage, TextToBytesReplacesWhatTheCodePageCannotHold) {
    size_t unmapped = 99;
    EXPECT_EQ(cp1252_from_utf8("Caf\u00E9 \u201C\u20AC5\u201D", &unmapped),
              "Caf\xE9 \x93\x80"
              "5\x94"s);
    EXPECT_EQ(unmapped, 0u);
    EXPECT_EQ(cp1252_to_utf8("Caf\xE9 \x93\x80"
                             "5\x94"s),
              "Caf\u00E9 \u201C\u20AC5\u201D");

    // Greek omega (2 bytes), a CJK character (3) and an emoji (4 bytes of
    // UTF-8) each become one '?'.
    EXPECT_EQ(cp1252_from_utf8("a\u03A9b\u671Bc\U0001F52Dd", &unmapped), "a?b?c?d");
    EXPECT_EQ(unmapped, 3u);
    EXPECT_EQ(cp1252_from_u32(U"a\u03A9b\U0001F52D", &unmapped), "a?b?");
    EXPECT_EQ(unmapped, 2u);
    EXPECT_EQ(cp1252_from_u32(std::u32string{U'x', static_cast<char32_t>(0xD800), static_cast<char32_t>(0x110000)},
                              &unmapped),
              "x??");
    EXPECT_EQ(unmapped, 2u);

    // A literal '?' is no replacement.
    EXPECT_EQ(cp1252_from_utf8("?", &unmapped), "?");
    EXPECT_EQ(unmapped, 0u);
    EXPECT_EQ(cp1252_from_utf8("", &unmapped), "");
    EXPECT_EQ(unmapped, 0u);
    // The count is optional.
    EXPECT_EQ(cp1252_from_utf8("\u03A9"), "?");
}

TEST(CodePage, MalformedUtf8BecomesOneReplacementPerByte) {
    struct Case {
        std::string in;
        std::string out;
        size_t unmapped;
    };
    const Case cases[] = {
        {"\x80x"s, "?x", 1},               // stray continuation byte
        {"a\xE2\x82"s, "a??", 2},          // truncated three-byte sequence at the end
        {"\xE2\x82x"s, "??x", 2},          // truncated, followed by text
        {"\xC0\xAF"s, "??", 2},            // overlong '/'
        {"\xE0\x80\xAF"s, "???", 3},       // overlong, three bytes
        {"\xED\xA0\x80"s, "???", 3},       // encoded surrogate
        {"\xF4\x90\x80\x80"s, "????", 4},  // beyond U+10FFFF
        {"\xFF\xFE"s, "??", 2},            // bytes that never start a sequence
        {"\xC3"s, "?", 1},                 // lead byte alone
        {"\xC3\xA9\xC3"s, "\xE9?"s, 1},    // good then truncated
        {"\xE2\x82\xAC\xE2\x82"s, "\x80??"s, 2},
    };
    for (const Case& c : cases) {
        size_t unmapped = 99;
        EXPECT_EQ(cp1252_from_utf8(c.in, &unmapped), c.out) << testing::PrintToString(c.in);
        EXPECT_EQ(unmapped, c.unmapped) << testing::PrintToString(c.in);
    }
}
