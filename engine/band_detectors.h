#pragma once
// What the multiband stages share: the look-ahead line size and the per-band
// detector coefficients.
#include <cstdint>

#include "engine/coefficient_guards.h"
#include "params/parameters.h"

namespace qx {

// Look-ahead delay lines of the compressor and the limiters: 4096 frames,
// indexed by masking a free-running counter.
constexpr int kLookaheadFrames = 4096;
constexpr uint32_t kLookaheadMask = kLookaheadFrames - 1;

// d_i = c(Processor.Detect<i>.msec): the level detector coefficient of band i,
// shared by the dynamic EQ, compressor, expander and band limiter. Computed
// once per block and passed to each stage's coefficient function.
struct BandDetectors {
    double coefficient[kMaxBands] = {};
};

BandDetectors bandDetectors(const ProcessorParams& processor);

}  // namespace qx
