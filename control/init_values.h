// The settings the initialization writes into the control module: three
// speed settings derived from the focuser's scale, and the maximum travel.
#pragma once
#include <cstdint>

namespace corvell {

// Largest value a two-byte argument can carry.
constexpr long kMaxArgument = 65535;

struct InitializationValues {
    uint16_t d = 0, e = 0, f = 0;  // speed settings
    uint16_t w = 0;                // maximum travel, counts
    bool speedLimited = false;     // a speed setting was above 65535 and is sent as 65535
    bool travelLimited = false;    // the maximum travel was outside 0..65535 and is held to it
};

// d = floor(10000 x inches per count x 250/3), e = ... x 50, f = ... x 10,
// computed in extended precision and held to the module's range, never
// wrapped: a value above 65535 is sent as 65535, one below 0 (or not a
// number) as 0.
InitializationValues initialization_values(float inchesPerCount, long maxTravel);

}  // namespace corvell
