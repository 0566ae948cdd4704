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

// A power below which the RMS level, the root of the power plus 0.00001,
// surely lies under `threshold`, so a group of bands all below it needs no
// root for a test against the threshold; 0 (never below) where the threshold
// leaves too little room. Below it the root lies under 0.999 of the room
// above 0.00001 even with the roundings of r, r * r and the root, and the
// remaining margin of about a thousandth of the room exceeds the rounding of
// the sum (threshold * 2^-53) when the room is more than 1e-12 of the
// threshold.
constexpr double quietPower(double threshold) {
    const double room = threshold - 0.00001;
    if (!(room > threshold * 1e-12)) return 0.0;
    const double r = room * 0.999;
    return r * r;
}

}  // namespace qx
