// The configuration file parser on arbitrary bytes: it must never read past
// them (AddressSanitizer sees to that), and what it reads must encode to a
// file that reads back the same.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "positioning/number_format.h"
#include "storage/settings_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // libFuzzer's buffer holds exactly `size` bytes: a read past them is
    // caught.
    const char* bytes = reinterpret_cast<const char*>(data);
    const corvell::ProgramConfig config = corvell::parse_config(bytes, size);

    const std::string encoded = corvell::encode_config(config);
    FUZZ_CHECK(encoded.size() <= corvell::kSettingsReadLimit);
    const corvell::ProgramConfig back = corvell::parse_config(encoded.data(), encoded.size());
    FUZZ_CHECK(back.baudIndex == config.baudIndex);
    FUZZ_CHECK(back.portIndex == config.portIndex);
    FUZZ_CHECK(back.unitsIndex == config.unitsIndex);
    FUZZ_CHECK(back.nextFileNumber == config.nextFileNumber);
    FUZZ_CHECK(back.currentFileNumber == config.currentFileNumber);
    FUZZ_CHECK(within_seven_digits(back.stepIncrement, config.stepIncrement));
    // Saved again, the file is the same, unless the step's 7-digit text
    // read back as another float; that text then stays as it is.
    const std::string settled = corvell::encode_config(back);
    FUZZ_CHECK(settled == encoded ||
               corvell::format_general7(back.stepIncrement) != corvell::format_general7(config.stepIncrement));
    const corvell::ProgramConfig third = corvell::parse_config(settled.data(), settled.size());
    FUZZ_CHECK(corvell::encode_config(third) == settled);
    return 0;
}
