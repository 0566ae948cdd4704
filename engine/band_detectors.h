#pragma once
// What the multiband stages share: the per-band detector coefficients and the
// guards that turn unchecked parameter values into safe per-block values.
//
// Parameter values come from files without range checks, so every per-block
// coefficient is made through these guards. For values inside the ranges the
// controls produce, each guard returns exactly the plain conversion.
#include <cstdint>

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

namespace guard {

// One-pole coefficient c(T) = 1 / (T * 0.001 * 44100). A non-positive or
// non-finite time gives 1 (follow at once); the result is kept within
// [1e-12, 1] so a smoother always moves and never overshoots.
double coefficient(double ms);

// g(dB) with the level limited to +-200 dB, so the factor is finite and > 0.
double gain(double db);

// Look-ahead in whole frames, truncated toward zero, within [0, 4095].
int32_t lookahead(double ms);

// A ratio of at least 1 (and at most 1e6); anything else counts as 1.
double ratio(double value);

// Band count within [1, 10].
int bands(int32_t bandCount);

// Gain reduction meter, -dB(g), and level meter dB(g), with g floored at
// 1e-30 so a gain that has not yet risen from zero still reads finite.
double reductionDb(double gain);
double levelDb(double gain);

}  // namespace guard
}  // namespace qx
