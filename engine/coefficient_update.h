#pragma once
#include "engine/chain_state.h"

namespace qx {

// Turns the current parameter values into filter designs and derived gains.
// A filter group is redesigned only when one of the values it was designed
// from changed, or on a full update (preset loads); nothing is ever reset, so
// audio in flight stays in the delay lines. Both gain sets are recomputed and
// the meters of stages that are off are cleared on every call.
void updateCoefficients(ChainState& state, bool full);

}  // namespace qx
