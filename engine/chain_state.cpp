#include "engine/chain.h"

#include <memory>

namespace qx {

// Outside the frame path's sources, so the record's constructor is compiled
// once, for every processor.
void zeroChainState(ChainState& state) {
    std::destroy_at(&state);
    std::construct_at(&state);
}

}  // namespace qx
