#pragma once
// Band saturator/clipper: a square-root waveshaper blended by the level, a
// gain, and an optional clip at a ceiling. Bands with their refilter switch on
// then run through their band filter again to remove the products the shaping
// created outside the band.
#include <cstdint>

#include "base/relaxed.h"
#include "filters/filterbank.h"
#include "params/parameters.h"
#include "base/frame_variant.h"

namespace qx {

QX_FRAME_VARIANT_BEGIN
// Two refilter mask bits per band: bit 2i for channel 1, 2i + 1 for channel 2.
uint32_t buildRefilterMask(const SaturatorParams& params, int32_t bandCount);
QX_FRAME_VARIANT_END

struct SaturatorState {
    double depth[kMaxBands] = {};  // deepest clip of the block, per band
    // The clip switches as last read, and as 0.0 or 1.0 per band (both start
    // off, alike).
    uint8_t clipBytes[kMaxBands] = {};
    double clipSwitch[kMaxBands] = {};
};

struct SaturatorCoefficients {
    int bands = 1;
    double level[kMaxBands] = {};    // lv_i within [0, 1]
    double gain[kMaxBands] = {};     // sg_i
    double ceiling[kMaxBands] = {};  // ceil_i = g(Clip) * 0.2
    bool shape = false;              // some band has lv_i > 0
    uint32_t refilterMask = 0;
};

QX_FRAME_VARIANT_BEGIN
// Per block: the coefficients ...
SaturatorCoefficients saturatorCoefficients(const SaturatorParams& params, int32_t bandCount);

// ... and the clip depths start again from zero.
void startSaturatorBlock(SaturatorState& state);

// One frame on bands 0..bands-1. The clip enables are read here, per frame;
// when the mask is non-zero the bands then pass through `refilterBank`, its
// forward pass left for the caller's filterLaterFrames.
void saturatorStep(SaturatorState& state, const SaturatorCoefficients& c,
                   const SaturatorParams& params, ReverseCascadeBank& refilterBank,
                   BandSignals& bands);

// At block end (stage active): meter_i = dB(depth_i / ceil_i + 1), depth within [0, 30].
void saturatorBlockEnd(const SaturatorState& state, const SaturatorCoefficients& c, Number* meters);
QX_FRAME_VARIANT_END

}  // namespace qx
