// Code-page conversions on arbitrary bytes: bytes -> text -> bytes gives
// every byte back, and any input taken as UTF-8 gives one byte per
// character with each replacement counted.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "storage/codepage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace corvell;
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    size_t unmapped = 1;
    FUZZ_CHECK(cp1252_from_utf8(cp1252_to_utf8(bytes), &unmapped) == bytes && unmapped == 0);
    unmapped = 1;
    FUZZ_CHECK(cp1252_from_u32(cp1252_to_u32(bytes), &unmapped) == bytes && unmapped == 0);

    // The same bytes read as UTF-8 text: never more bytes out than in, and
    // the text made of the result converts back to the result.
    const std::string fromText = cp1252_from_utf8(bytes, &unmapped);
    FUZZ_CHECK(fromText.size() <= bytes.size());
    FUZZ_CHECK(unmapped <= fromText.size());
    FUZZ_CHECK(cp1252_from_utf8(cp1252_to_utf8(fromText)) == fromText);
    return 0;
}
