#include "storage/codepage.h"

#include <cstdio>
#include <utility>

namespace corvell {

namespace {

// Bytes 0x80..0x9F; every other byte stands for the code point of its own
// value. The undefined bytes keep their own value as C1 controls.
constexpr char32_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98..9F
};

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes one well-formed UTF-8 sequence at `text[pos]`: its code point and
// length, or length 0 when the bytes there are not one (stray continuation
// byte, truncated sequence, overlong form, surrogate, beyond U+10FFFF).
std::pair<char32_t, size_t> decode_utf8(std::string_view text, size_t pos) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[pos + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return {lead, 1};
    size_t length;
    char32_t cp;
    char32_t lowest;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        cp = lead & 0x1F;
        lowest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        cp = lead & 0x0F;
        lowest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        cp = lead & 0x07;
        lowest = 0x10000;
    } else {
        return {0, 0};
    }
    if (text.size() - pos < length) return {0, 0};
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return {0, 0};
        cp = (cp << 6) | (byte(i) & 0x3F);
    }
    if (cp < lowest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0, 0};
    return {cp, length};
}

}  // namespace

char32_t cp1252_to_unicode(unsigned char byte) {
    if (byte >= 0x80 && byte <= 0x9F) return kHighControls[byte - 0x80];
    return byte;
}

std::optional<unsigned char> cp1252_from_unicode(char32_t codePoint) {
    if (codePoint <= 0xFF) {
        // 0x80..0x9F stand for other characters, except the five undefined
        // bytes that keep their own value.
        if (codePoint < 0x80 || codePoint > 0x9F) return static_cast<unsigned char>(codePoint);
        if (kHighControls[codePoint - 0x80] == codePoint) return static_cast<unsigned char>(codePoint);
        return std::nullopt;
    }
    for (unsigned i = 0; i < 32; ++i) {
        if (kHighControls[i] == codePoint) return static_cast<unsigned char>(0x80 + i);
    }
    return std::nullopt;
}

std::u32string cp1252_to_u32(std::string_view bytes) {
    std::u32string out;
    out.reserve(bytes.size());
    for (char c : bytes) out.push_back(cp1252_to_unicode(static_cast<unsigned char>(c)));
    return out;
}

std::string cp1252_to_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) append_utf8(out, cp1252_to_unicode(static_cast<unsigned char>(c)));
    return out;
}

std::string cp1252_from_u32(std::u32string_view text, size_t* unmapped) {
    std::string out;
    out.reserve(text.size());
    size_t replaced = 0;
    for (char32_t cp : text) {
        const auto byte = cp1252_from_unicode(cp);
        if (byte) {
            out.push_back(static_cast<char>(*byte));
        } else {
            out.push_back(kCp1252Replacement);
            ++replaced;
        }
    }
    if (unmapped) *unmapped = replaced;
    return out;
}

std::string cp1252_from_utf8(std::string_view utf8, size_t* unmapped) {
    std::string out;
    out.reserve(utf8.size());
    size_t replaced = 0;
    for (size_t pos = 0; pos < utf8.size();) {
        const auto [cp, length] = decode_utf8(utf8, pos);
        const auto byte = length ? cp1252_from_unicode(cp) : std::nullopt;
        if (byte) {
            out.push_back(static_cast<char>(*byte));
        } else {
            out.push_back(kCp1252Replacement);
            ++replaced;
        }
        pos += length ? length : 1;
    }
    if (unmapped) *unmapped = replaced;
    return out;
}

std::optional<char32_t> first_unstorable_utf8(std::string_view utf8) {
    for (size_t pos = 0; pos < utf8.size();) {
        const auto [cp, length] = decode_utf8(utf8, pos);
        if (length == 0) return 0xFFFD;
        if (cp == 0 || !cp1252_from_unicode(cp)) return cp;
        pos += length;
    }
    return std::nullopt;
}

std::string unstorable_text(char32_t c) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
    std::string shown;
    if (c >= 0x20 && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF)) {
        shown = "'";
        append_utf8(shown, c);
        shown += "' ";
    }
    return shown + "(" + code +
           ") cannot be stored: descriptions hold only Western European (Windows-1252) characters.";
}

}  // namespace corvell
