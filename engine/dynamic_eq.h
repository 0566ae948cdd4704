#pragma once
// Dynamic EQ: tilts the band balance towards weak bands while keeping the mean
// band gain at unity. First stage on the band signals of the multiband processor.
#include "engine/band_detectors.h"
#include "base/relaxed.h"
#include "filters/filterbank.h"
#include "params/parameters.h"
#include "base/frame_variant.h"

namespace qx {

struct DynamicEqState {
    double power[kMaxBands] = {};  // D_i: smoothed band power
    double gain[kMaxBands] = {};   // Q_i: smoothed band gain
    double weight[kMaxBands] = {}; // w_i of the last frame, for the meters
};

struct DynamicEqCoefficients {
    int bands = 1;
    double invBands = 1.0;  // 1 / bands
    // The block's values, each repeated for every band, so the frame's
    // vector loop takes them as operands rather than broadcasting each again
    // for every vector.
    double speed[kMaxBands] = {};   // s = c+(Speed)
    double amount[kMaxBands] = {};  // Amount % * 0.01, within [0, 1]
    double hi[kMaxBands] = {};      // g(MaxEnhance)
    double lo[kMaxBands] = {};      // g(-MaxEnhance)
    double detector[kMaxBands] = {};
    // 1 - detector and 1 - speed, once per block rather than per frame.
    double keep[kMaxBands] = {};
    double speedKeep[kMaxBands] = {};
};

QX_FRAME_VARIANT_BEGIN
DynamicEqCoefficients dynamicEqCoefficients(const DynamicEqParams& params,
                                            const BandDetectors& detectors, int32_t bandCount);

// One frame on bands 0..bands-1 in two parts, for a pipeline that runs other
// work between them: dynamicEqWeigh updates the detectors and gains and finds
// the weights; dynamicEqApply sums them in band order, normalises them by
// their mean and applies them. A frame's second part must come before the
// next frame's first, as the weights wait in the state.
void dynamicEqWeigh(DynamicEqState& state, const DynamicEqCoefficients& c, const BandSignals& bands);
void dynamicEqApply(DynamicEqState& state, const DynamicEqCoefficients& c, BandSignals& bands);

// One whole frame.
inline void dynamicEqStep(DynamicEqState& state, const DynamicEqCoefficients& c, BandSignals& bands) {
    dynamicEqWeigh(state, c, bands);
    dynamicEqApply(state, c, bands);
}

// dB(w_i) per band, of the last frame.
void publishDynamicEqMeters(const DynamicEqState& state, const DynamicEqCoefficients& c, Number* meters);

// After a pause: the band gains restart from the tilt curve 2.4 ... 1.0 ... 2.4.
void dynamicEqGapReset(DynamicEqState& state);
QX_FRAME_VARIANT_END

}  // namespace qx
