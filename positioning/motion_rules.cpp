#include "positioning/motion_rules.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "positioning/units.h"

namespace corvell {

namespace {

// Every count that reaches the module is a 16-bit register value.
long clamp_to_module(long long count) { return static_cast<long>(std::clamp<long long>(count, 0, kMaxModuleCount)); }

// Inputs come from profile files and displays; holding them to the 32-bit
// range keeps the sums below free of overflow.
long long clamp32(long value) { return std::clamp<long long>(value, INT32_MIN, INT32_MAX); }

}  // namespace

std::optional<long> step_target(long position, float inchesPerCount, float stepInches, bool stepIn) {
    if (stepInches == 0.0f || std::isnan(stepInches)) return std::nullopt;
    if (!(std::isfinite(inchesPerCount) && inchesPerCount > 0.0f)) return std::nullopt;

    const double ipc = inchesPerCount;
    const double length = static_cast<double>(position) * ipc;
    const double moved = stepIn ? length - static_cast<double>(stepInches) : length + static_cast<double>(stepInches);
    // Never below zero length: no partial move.
    if (!(moved >= 0.0)) return std::nullopt;

    const double target = std::floor(moved / ipc);
    if (std::isnan(target)) return std::nullopt;
    if (target >= static_cast<double>(kMaxModuleCount)) return kMaxModuleCount;
    return static_cast<long>(target);
}

ApproachPlan backlash_plan(long T, long P, long B, long M, bool endInward, bool enabled) {
    const long long t = clamp32(T);
    const long long p = clamp32(P);
    const long long b = clamp32(B);
    const long long m = clamp32(M);

    ApproachPlan plan;
    plan.finalTarget = clamp_to_module(t);
    plan.firstTarget = plan.finalTarget;
    // Without correction, or without a distance to take up, go straight.
    if (!enabled || b <= 0) return plan;

    long long first = t;
    bool needed = false;
    bool clipped = false;
    if (endInward) {
        // The move must end going inward: come from at least B above T.
        if (p < t || p - t < b) {
            needed = true;
            first = t + b;
            if (first > m) {
                first = m;
                clipped = true;
            }
        }
    } else {
        // The move must end going outward: come from at least B below T.
        if (t < p || t - p < b) {
            needed = true;
            first = t - b;
            if (first < 0) {
                first = 0;
                clipped = true;
            }
        }
    }
    if (!needed) return plan;

    plan.twoLegs = true;
    plan.clipped = clipped;
    plan.firstTarget = clamp_to_module(first);
    return plan;
}

}  // namespace corvell
