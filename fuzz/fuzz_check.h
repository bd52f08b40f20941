// A failed property in a fuzz target: print what broke and abort, so that
// libFuzzer keeps the input as a crash.
#pragma once
#include <cmath>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

// The files write reals with 7 significant digits, which cannot hold every
// float: the value read back lies within that rounding of the value written
// (a float just above a power of ten can come back as the float below it,
// which prints one digit lower), and from then on its text reads back
// unchanged.
inline bool within_seven_digits(float readBack, float written) {
    return std::fabs(static_cast<double>(readBack) - static_cast<double>(written)) <=
           1e-6 * std::fabs(static_cast<double>(written));
}
