#pragma once
// The end of the multiband processor: the ten-band EQ gains, per-band mono
// and the sum of the bands back to one left and one right sample.
#include <cstdint>

#include "base/relaxed.h"
#include "filters/filterbank.h"
#include "params/parameters.h"
#include "base/frame_variant.h"

namespace qx {

struct BandEqCoefficients {
    int bands = 1;
    double gain[kMaxBands] = {};
};

QX_FRAME_VARIANT_BEGIN
// Per block: a copy of the current band gains. `gains` holds the preamp factor
// followed by the ten band gains (each already including the preamp), as the
// coefficient update writes them; a gain that is not finite is capped so the
// bands stay finite.
BandEqCoefficients bandEqCoefficients(const Number (&gains)[kMaxBands + 1], int32_t bandCount);

// One frame: band i of both channels times its gain.
void bandEqStep(const BandEqCoefficients& c, BandSignals& bands);

// One frame: bands with their mono switch set (read here, per frame) become
// (left + right) / 2 on both sides; then L and R are the sums over the bands.
void recombineBands(const ProcessorParams& processor, int32_t bandCount, BandSignals& bands,
                    double& left, double& right);
QX_FRAME_VARIANT_END

}  // namespace qx
