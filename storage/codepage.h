// The single-byte code page of the descriptions in the settings files
// (Windows-1252): one byte is one character. Every byte value stands for
// exactly one code point, so bytes -> text -> bytes gives back every byte.
// The five bytes the code page leaves undefined (0x81, 0x8D, 0x8F, 0x90,
// 0x9D) stand for the C1 control characters of the same value.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace corvell {

// The code point that `byte` stands for.
char32_t cp1252_to_unicode(unsigned char byte);

// The byte that stands for `codePoint`; no value when the code page has no
// byte for it.
std::optional<unsigned char> cp1252_from_unicode(char32_t codePoint);

// Whole texts. Bytes to text never fails.
std::u32string cp1252_to_u32(std::string_view bytes);
std::string cp1252_to_utf8(std::string_view bytes);

// Text to bytes. A character the code page cannot hold becomes '?'; so does
// each byte of malformed UTF-8. `unmapped`, when given, receives how many
// were replaced (0: the bytes hold the text exactly).
constexpr char kCp1252Replacement = '?';
std::string cp1252_from_u32(std::u32string_view text, size_t* unmapped = nullptr);
std::string cp1252_from_utf8(std::string_view utf8, size_t* unmapped = nullptr);

// The first character of the UTF-8 text that a description in the files
// cannot hold: one outside the code page, or a zero, which ends a field
// (malformed UTF-8 gives U+FFFD). None when the text holds none.
std::optional<char32_t> first_unstorable_utf8(std::string_view utf8);
// What the user is told when `c` is refused, in UTF-8.
std::string unstorable_text(char32_t c);

}  // namespace corvell
