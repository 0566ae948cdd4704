#include "engine/expander.h"

#include <cmath>

namespace qx {

ExpanderCoefficients expanderCoefficients(const ExpanderParams& params,
                                          const BandDetectors& detectors, int32_t bandCount) {
    ExpanderCoefficients c;
    c.bands = guard::bands(bandCount);
    for (int i = 0; i < kMaxBands; ++i) {
        const double ratio = guard::ratio(params.ratio[i].load());
        c.floor[i] = 1.0 / (ratio * ratio);
        c.threshold[i] = guard::gain(params.thresholdDb[i].load()) * 0.1;
        c.attack[i] = guard::coefficient(params.attackMs[i].load());
        c.release[i] = guard::coefficient(params.releaseMs[i].load());
        c.detector[i] = detectors.coefficient[i];
    }
    return c;
}

void expanderStep(ExpanderState& state, const ExpanderCoefficients& c, BandSignals& bands,
                  bool meterFrame, Number* meters) {
    const int nb = c.bands;
    for (int i = 0; i < nb; ++i) {
        const double l = bands.left[i];
        const double r = bands.right[i];
        const double d = c.detector[i];
        state.envelope[i] = (1.0 - d) * state.envelope[i] + (l * l + r * r) * d;
        const double q = (std::sqrt(state.envelope[i]) + 0.00001) / c.threshold[i];
        const double floor = c.floor[i];
        const double t = q <= 1.0 ? q * (1.0 - floor) + floor : 1.0;
        double h = state.gain[i];
        if (h <= t) {
            h = t * c.release[i] + (1.0 - c.release[i]) * h;
        } else {
            h = t * c.attack[i] + (1.0 - c.attack[i]) * h;
        }
        state.gain[i] = h;
        bands.left[i] = l * h;
        bands.right[i] = r * h;
        if (meterFrame) meters[i] = guard::reductionDb(h);
    }
}

}  // namespace qx
