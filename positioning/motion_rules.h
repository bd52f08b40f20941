// Targets of step moves and the backlash approach rule of stored go-tos.
#pragma once
#include <cstdint>
#include <optional>

namespace corvell {

// Target count of a step in or out by `stepInches` from `position`.
// No move (no value) when the step is 0, the scale is 0 or below, or a step
// in would pass below zero length. A step out beyond the module's range is
// clamped to 65535.
std::optional<long> step_target(long position, float inchesPerCount, float stepInches, bool stepIn);

// How a go-to of a stored position approaches its target.
struct ApproachPlan {
    long firstTarget = 0;  // sent first
    long finalTarget = 0;  // the stored count itself
    bool twoLegs = false;  // an overshoot leg comes first, then finalTarget
    bool clipped = false;  // the overshoot was cut by a travel stop
};

// T stored count, P current count, B backlash count, M maximum travel.
// `endInward`: the slot was stored after a move toward lower counts.
// With correction off the plan goes straight to T. Every target stays within
// 0..65535.
ApproachPlan backlash_plan(long T, long P, long B, long M, bool endInward, bool enabled);

}  // namespace corvell
