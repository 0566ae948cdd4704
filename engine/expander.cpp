#include "engine/expander.h"

#include <cmath>
#include <cstring>

#include "base/vector_clones.h"
#include "engine/band_lookahead.h"

namespace qx {
QX_FRAME_VARIANT_BEGIN

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

// Bands first..last-1, at most one vector of them, in three parts (see
// expanderLevels); branches as selects, so the loops run as vector code.
// The detectors and their roots:
QX_INLINE void expandGroupLevels(ExpanderState& state, const ExpanderCoefficients& c, const BandSignals& bands,
                                  int first, int last) {
    double* __restrict envelope = state.envelope;
    double* __restrict level = state.level;
    const double* __restrict left = bands.left;
    const double* __restrict right = bands.right;
#pragma GCC ivdep  // the state, coefficient and band arrays never overlap
    for (int i = first; i < last; ++i) {
        const double l = left[i];
        const double r = right[i];
        envelope[i] = c.keep[i] * envelope[i] + (l * l + r * r) * c.detector[i];
        level[i] = std::sqrt(envelope[i]) + 0.00001;
    }
}

// The targets. The divider bounds this part and the levels mostly lie above
// the thresholds: there (both positive) their quotient is above 1 once
// rounded, so the gain target is 1 without it, and a group where that holds
// for every band skips the division.
QX_INLINE void expandGroupTargets(ExpanderState& state, const ExpanderCoefficients& c, int first, int last) {
    double* __restrict target = state.target + first;
    const double* __restrict level = state.level + first;
    if (anyLane<LaneTest::LessEqual>(last - first, level, c.threshold + first)) {
        if (last - first == 2) {
            // Written as a pair: left to the loop below, a pair of bands
            // (the ten-band layout's last) comes out as scalar branches.
            typedef double Pair __attribute__((vector_size(16), aligned(8)));
            Pair lv, thr, span, floor;
            std::memcpy(&lv, level, sizeof lv);
            std::memcpy(&thr, c.threshold + first, sizeof thr);
            std::memcpy(&span, c.span + first, sizeof span);
            std::memcpy(&floor, c.floor + first, sizeof floor);
            const Pair q = lv / thr;
            const Pair curve = q * span + floor;
            const Pair t = q <= 1.0 ? curve : Pair{1.0, 1.0};
            std::memcpy(target, &t, sizeof t);
        } else {
#pragma GCC ivdep
            for (int i = first; i < last; ++i) {
                const double q = level[i - first] / c.threshold[i];
                target[i - first] = pick(q <= 1.0, q * c.span[i] + c.floor[i], 1.0);
            }
        }
    } else {
        for (int i = first; i < last; ++i) target[i - first] = 1.0;
    }
}

// The gains and the output.
QX_INLINE void expandGroupGains(ExpanderState& state, const ExpanderCoefficients& c, BandSignals& bands, int first,
                                int last) {
    double* __restrict gain = state.gain;
    double* __restrict left = bands.left;
    double* __restrict right = bands.right;
    const double* __restrict target = state.target;
#pragma GCC ivdep
    for (int i = first; i < last; ++i) {
        const double t = target[i];
        const double h = gain[i];
        const double k = pick(h <= t, c.release[i], c.attack[i]);
        const double next = t * k + (1.0 - k) * h;
        gain[i] = next;
        left[i] = left[i] * next;
        right[i] = right[i] * next;
    }
}

}  // namespace

void expanderLevels(ExpanderState& state, const ExpanderCoefficients& c, const BandSignals& bands) {
    withBandCount(c.bands, [&](auto nb) QX_INLINE_LAMBDA {
        forEachGroup(nb, [&](int first, int last) QX_INLINE_LAMBDA { expandGroupLevels(state, c, bands, first, last); });
    });
}

void expanderTargets(ExpanderState& state, const ExpanderCoefficients& c) {
    withBandCount(c.bands, [&](auto nb) QX_INLINE_LAMBDA {
        forEachGroup(nb, [&](int first, int last) QX_INLINE_LAMBDA { expandGroupTargets(state, c, first, last); });
    });
}

void expanderGains(ExpanderState& state, const ExpanderCoefficients& c, BandSignals& bands) {
    withBandCount(c.bands, [&](auto nb) QX_INLINE_LAMBDA {
        forEachGroup(nb, [&](int first, int last) QX_INLINE_LAMBDA { expandGroupGains(state, c, bands, first, last); });
    });
}

void expanderStep(ExpanderState& state, const ExpanderCoefficients& c, BandSignals& bands) {
    expanderLevels(state, c, bands);
    expanderTargets(state, c);
    expanderGains(state, c, bands);
}

void publishExpanderMeters(const ExpanderState& state, const ExpanderCoefficients& c, Number* meters) {
    publishReductions(state.gain, c.bands, meters);
}

QX_FRAME_VARIANT_END
}  // namespace qx
