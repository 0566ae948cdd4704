#include "engine/expander.h"

#include <cmath>

#include "base/vector_clones.h"
#include "engine/band_lookahead.h"

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
        c.keep[i] = 1.0 - c.detector[i];
        c.span[i] = 1.0 - c.floor[i];
    }
    return c;
}

namespace {

// Branches as selects, so the loop over the bands runs as vector code.
template <class Count>
QX_INLINE void expandBands(ExpanderState& state, const ExpanderCoefficients& c, BandSignals& bands, bool meterFrame,
                           Number* meters, Count nb) {
    const int n = nb;  // a constant where the count is one
    double* __restrict envelope = state.envelope;
    double* __restrict gain = state.gain;
    double* __restrict left = bands.left;
    double* __restrict right = bands.right;
#pragma GCC ivdep  // the state, coefficient and band arrays never overlap
    for (int i = 0; i < n; ++i) {
        const double l = left[i];
        const double r = right[i];
        const double d = c.detector[i];
        envelope[i] = c.keep[i] * envelope[i] + (l * l + r * r) * d;
        const double q = (std::sqrt(envelope[i]) + 0.00001) / c.threshold[i];
        const double floor = c.floor[i];
        const double t = pick(q <= 1.0, q * c.span[i] + floor, 1.0);
        const double h = gain[i];
        const double k = pick(h <= t, c.release[i], c.attack[i]);
        const double next = t * k + (1.0 - k) * h;
        gain[i] = next;
        left[i] = l * next;
        right[i] = r * next;
    }
    if (meterFrame) publishReductions(gain, n, meters);
}

}  // namespace

QX_VECTOR_CLONES
void expanderStep(ExpanderState& state, const ExpanderCoefficients& c, BandSignals& bands,
                  bool meterFrame, Number* meters) {
    withBandCount(c.bands,
                  [&](auto nb) QX_INLINE_LAMBDA { expandBands(state, c, bands, meterFrame, meters, nb); });
}

}  // namespace qx
