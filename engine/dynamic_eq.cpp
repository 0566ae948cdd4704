#include "engine/dynamic_eq.h"

#include <cmath>

#include "base/vector_clones.h"

namespace qx {
QX_FRAME_VARIANT_BEGIN

namespace {

constexpr double kGapCurve[kMaxBands] = {2.4, 1.9, 1.5, 1.2, 1.0, 1.0, 1.2, 1.5, 1.9, 2.4};
}  // namespace

DynamicEqCoefficients dynamicEqCoefficients(const DynamicEqParams& params,
                                            const BandDetectors& detectors, int32_t bandCount) {
    DynamicEqCoefficients c;
    c.bands = guard::bands(bandCount);
    c.invBands = 1.0 / c.bands;
    const double speed = guard::coefficient(params.speedMs.load());
    // Outside 0..1 the weights could cancel to a zero mean.
    double amount = params.amountPct.load() * 0.01;
    if (!(amount >= 0.0)) amount = 0.0;
    if (amount > 1.0) amount = 1.0;
    const double maxEnhance = params.maxEnhanceDb.load();
    const double hi = guard::gain(maxEnhance);
    const double lo = guard::gain(-maxEnhance);
    for (int i = 0; i < kMaxBands; ++i) {
        c.speed[i] = speed;
        c.amount[i] = amount;
        c.hi[i] = hi;
        c.lo[i] = lo;
        c.speedKeep[i] = 1.0 - speed;
        c.detector[i] = detectors.coefficient[i];
        c.keep[i] = 1.0 - c.detector[i];
    }
    return c;
}

namespace {

// The per-band work runs as vector code; only the mean of the weights is a
// sum in band order, as before.
template <class Count>
QX_INLINE void weighBands(DynamicEqState& state, const DynamicEqCoefficients& c, const BandSignals& bands, Count nb) {
    const int n = nb;  // a constant where the count is one
    double* __restrict weight = state.weight;
    double* __restrict power = state.power;
    double* __restrict gain = state.gain;
    const double* __restrict left = bands.left;
    const double* __restrict right = bands.right;
#pragma GCC ivdep  // the state, coefficient and band arrays never overlap
    for (int i = 0; i < n; ++i) {
        const double l = left[i];
        const double r = right[i];
        const double d = c.detector[i];
        power[i] = c.keep[i] * power[i] + (l * l + r * r) * d;
        double t = 0.05 / (std::sqrt(power[i]) + 0.00001);
        t = t < c.lo[i] ? c.lo[i] : t;
        t = t > c.hi[i] ? c.hi[i] : t;
        gain[i] = t * c.speed[i] + c.speedKeep[i] * gain[i];
        weight[i] = (gain[i] - 1.0) * c.amount[i] + 1.0;
    }
}

template <class Count>
QX_INLINE void applyWeights(DynamicEqState& state, const DynamicEqCoefficients& c, BandSignals& bands, Count nb) {
    const int n = nb;
    double* __restrict weight = state.weight;
    double sum = 0.0;
#pragma GCC unroll 10
    for (int i = 0; i < n; ++i) sum += weight[i];
    const double mean = sum * c.invBands;
    const double norm = 1.0 / mean;
    double* __restrict left = bands.left;
    double* __restrict right = bands.right;
#pragma GCC ivdep
    for (int i = 0; i < n; ++i) {
        const double w = norm * weight[i];
        weight[i] = w;
        left[i] *= w;
        right[i] *= w;
    }
}

}  // namespace

void dynamicEqWeigh(DynamicEqState& state, const DynamicEqCoefficients& c, const BandSignals& bands) {
    withBandCount(c.bands, [&](auto nb) QX_INLINE_LAMBDA { weighBands(state, c, bands, nb); });
}

void dynamicEqApply(DynamicEqState& state, const DynamicEqCoefficients& c, BandSignals& bands) {
    withBandCount(c.bands, [&](auto nb) QX_INLINE_LAMBDA { applyWeights(state, c, bands, nb); });
}

void publishDynamicEqMeters(const DynamicEqState& state, const DynamicEqCoefficients& c, Number* meters) {
    for (int i = 0; i < c.bands; ++i) meters[i] = guard::levelDb(state.weight[i]);
}

void dynamicEqGapReset(DynamicEqState& state) {
    for (int i = 0; i < kMaxBands; ++i) state.gain[i] = kGapCurve[i];
}

QX_FRAME_VARIANT_END
}  // namespace qx
