#include "control/init_values.h"

#include <cmath>

namespace corvell {

namespace {

// floor(x) held to 0..65535; `limited` is set when x was above the range.
uint16_t to_argument(long double x, bool& limited) {
    if (!(x >= 0.0L)) return 0;  // negative or not a number
    const long double whole = std::floor(x);
    if (whole > static_cast<long double>(kMaxArgument)) {
        limited = true;
        return static_cast<uint16_t>(kMaxArgument);
    }
    // The value goes out through single precision, as the module's
    // settings always have.
    return static_cast<uint16_t>(static_cast<float>(whole));
}

}  // namespace

InitializationValues initialization_values(float inchesPerCount, long maxTravel) {
    InitializationValues v;
    const long double scaled = 10000.0L * static_cast<long double>(inchesPerCount);
    v.d = to_argument(scaled * 250.0L / 3.0L, v.speedLimited);
    v.e = to_argument(scaled * 50.0L, v.speedLimited);
    v.f = to_argument(scaled * 10.0L, v.speedLimited);
    if (maxTravel > kMaxArgument) {
        v.w = static_cast<uint16_t>(kMaxArgument);
        v.travelLimited = true;
    } else if (maxTravel < 0) {
        v.w = 0;
        v.travelLimited = true;
    } else {
        v.w = static_cast<uint16_t>(maxTravel);
    }
    return v;
}

}  // namespace corvell
