#include "engine/dynamic_eq.h"

#include <cmath>

namespace qx {

namespace {
constexpr double kGapCurve[kMaxBands] = {2.4, 1.9, 1.5, 1.2, 1.0, 1.0, 1.2, 1.5, 1.9, 2.4};
}  // namespace

DynamicEqCoefficients dynamicEqCoefficients(const DynamicEqParams& params,
                                            const BandDetectors& detectors, int32_t bandCount) {
    DynamicEqCoefficients c;
    c.bands = guard::bands(bandCount);
    c.invBands = 1.0 / c.bands;
    c.speed = guard::coefficient(params.speedMs.load());
    // Outside 0..1 the weights could cancel to a zero mean.
    double amount = params.amountPct.load() * 0.01;
    if (!(amount >= 0.0)) amount = 0.0;
    if (amount > 1.0) amount = 1.0;
    c.amount = amount;
    const double maxEnhance = params.maxEnhanceDb.load();
    c.hi = guard::gain(maxEnhance);
    c.lo = guard::gain(-maxEnhance);
    for (int i = 0; i < kMaxBands; ++i) c.detector[i] = detectors.coefficient[i];
    return c;
}

void dynamicEqStep(DynamicEqState& state, const DynamicEqCoefficients& c, BandSignals& bands,
                   bool meterFrame, Number* meters) {
    const int nb = c.bands;
    const double s = c.speed;
    double weight[kMaxBands];
    double sum = 0.0;
    for (int i = 0; i < nb; ++i) {
        const double l = bands.left[i];
        const double r = bands.right[i];
        const double d = c.detector[i];
        state.power[i] = (1.0 - d) * state.power[i] + (l * l + r * r) * d;
        double t = 0.05 / (std::sqrt(state.power[i]) + 0.00001);
        if (t < c.lo) t = c.lo;
        if (t > c.hi) t = c.hi;
        state.gain[i] = t * s + (1.0 - s) * state.gain[i];
        weight[i] = (state.gain[i] - 1.0) * c.amount + 1.0;
        sum += weight[i];
    }
    const double mean = sum * c.invBands;
    const double norm = 1.0 / mean;
    for (int i = 0; i < nb; ++i) {
        const double w = norm * weight[i];
        bands.left[i] *= w;
        bands.right[i] *= w;
        if (meterFrame) meters[i] = guard::levelDb(w);
    }
}

void dynamicEqGapReset(DynamicEqState& state) {
    for (int i = 0; i < kMaxBands; ++i) state.gain[i] = kGapCurve[i];
}

}  // namespace qx
