#include "engine/band_mix.h"

#include "engine/band_detectors.h"

namespace qx {

namespace {
// Far above any level the controls can set (4 x 24 dB is about 250).
constexpr double kMaxBandGain = 1e20;
}  // namespace

BandEqCoefficients bandEqCoefficients(const Number (&gains)[kMaxBands + 1], int32_t bandCount) {
    BandEqCoefficients c;
    c.bands = guard::bands(bandCount);
    for (int i = 0; i < kMaxBands; ++i) {
        double g = gains[i + 1].load();
        if (!(g >= 0.0)) g = 0.0;
        if (g > kMaxBandGain) g = kMaxBandGain;
        c.gain[i] = g;
    }
    return c;
}

void bandEqStep(const BandEqCoefficients& c, BandSignals& bands) {
    for (int i = 0; i < c.bands; ++i) {
        bands.left[i] *= c.gain[i];
        bands.right[i] *= c.gain[i];
    }
}

void recombineBands(const ProcessorParams& processor, int32_t bandCount, BandSignals& bands,
                    double& left, double& right) {
    const int nb = guard::bands(bandCount);
    double sumL = 0.0;
    double sumR = 0.0;
    for (int i = 0; i < nb; ++i) {
        if (processor.mono[i].load() != 0) {
            const double m = (bands.left[i] + bands.right[i]) * 0.5;
            bands.left[i] = m;
            bands.right[i] = m;
        }
        sumL += bands.left[i];
        sumR += bands.right[i];
    }
    left = sumL;
    right = sumR;
}

}  // namespace qx
