// The receive path of module replies on arbitrary byte streams: replies of
// a chosen length arrive in chunks of any size; the frame must never hold
// more than its length, must keep exactly the first bytes that arrived, and
// the position and status decoders take any completed reply.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "control/protocol.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace corvell;
    FuzzedDataProvider in(data, size);
    ReplyFrame frame;
    std::vector<uint8_t> arrived;
    while (in.remaining_bytes() > 0) {
        // A new reply is expected (any length the caller may pass), or the
        // next chunk of bytes comes in.
        if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
            frame.reset(in.ConsumeIntegral<int8_t>());
            FUZZ_CHECK(frame.length >= 1 && frame.length <= 3);
            FUZZ_CHECK(frame.count == 0 && !frame.ready);
            arrived.clear();
            continue;
        }
        const std::vector<uint8_t> chunk = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 8));
        const int before = frame.count;
        const int taken = frame.store(chunk.data(), static_cast<int>(chunk.size()));
        FUZZ_CHECK(taken >= 0 && taken <= static_cast<int>(chunk.size()));
        FUZZ_CHECK(frame.count == before + taken);
        FUZZ_CHECK(frame.count <= frame.length);
        FUZZ_CHECK(frame.ready == (frame.count == frame.length));
        arrived.insert(arrived.end(), chunk.begin(), chunk.end());
        FUZZ_CHECK(std::equal(frame.buffer, frame.buffer + frame.count, arrived.begin()));

        if (frame.ready) {
            // A status reply's status is its last byte; a 'p' reply carries
            // the position in bytes 2 and 3.
            const std::vector<std::string> lines = status_lines(frame.buffer[frame.length - 1]);
            FUZZ_CHECK(lines.size() <= 6);
            if (frame.length == 3) (void)position_from_reply(frame.buffer);
        }
    }
    return 0;
}
