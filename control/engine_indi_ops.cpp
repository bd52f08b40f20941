// Queries the INDI driver needs beyond the other front ends' intent
// operations. Each answers from the busy table's situations.
#include "control/engine.h"

namespace corvell {

bool Engine::operation_pending() const {
    constexpr Situations kUnfinished =
        situation_bit(Situation::InitSettings) | situation_bit(Situation::InitHoming) |
        situation_bit(Situation::Homing) | situation_bit(Situation::GoTo) | situation_bit(Situation::Command) |
        situation_bit(Situation::QueuedStep) | situation_bit(Situation::Queued);
    return (situations() & kUnfinished) != 0 || initializing();
}

}  // namespace corvell
