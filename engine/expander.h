#pragma once
// Band expander: a downward expander per band after the compressor. Below the
// threshold the gain falls linearly with the level ratio, down to 1/Ratio^2.
#include "engine/band_detectors.h"
#include "base/relaxed.h"
#include "filters/filterbank.h"
#include "params/parameters.h"
#include "base/frame_variant.h"

namespace qx {

struct ExpanderState {
    double envelope[kMaxBands] = {};  // X_i: mean square
    double gain[kMaxBands] = {};      // H_i
    // The frame's levels and gain targets, each left by one part of the
    // frame for the next.
    double level[kMaxBands] = {};
    double target[kMaxBands] = {};
};

struct ExpanderCoefficients {
    int bands = 1;
    double floor[kMaxBands] = {};      // 1 / Ratio^2
    double threshold[kMaxBands] = {};  // g(Threshold) * 0.1
    double attack[kMaxBands] = {};
    double release[kMaxBands] = {};
    double detector[kMaxBands] = {};
    // 1 - detector and 1 - floor, once per block rather than per frame.
    double keep[kMaxBands] = {};
    double span[kMaxBands] = {};
};

QX_FRAME_VARIANT_BEGIN
ExpanderCoefficients expanderCoefficients(const ExpanderParams& params,
                                          const BandDetectors& detectors, int32_t bandCount);

// One frame on bands 0..bands-1.
void expanderStep(ExpanderState& state, const ExpanderCoefficients& c, BandSignals& bands);

// The same frame in three parts, for a pipeline that runs other work between
// them, so the roots and the quotients wait beside it: the detectors and
// their roots, the gain targets, then the gains and the output. Each part of
// a frame runs before the next frame's part before it.
void expanderLevels(ExpanderState& state, const ExpanderCoefficients& c, const BandSignals& bands);
void expanderTargets(ExpanderState& state, const ExpanderCoefficients& c);
void expanderGains(ExpanderState& state, const ExpanderCoefficients& c, BandSignals& bands);

// -dB(H_i) per band.
void publishExpanderMeters(const ExpanderState& state, const ExpanderCoefficients& c, Number* meters);
QX_FRAME_VARIANT_END

}  // namespace qx
