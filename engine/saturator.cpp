#include "engine/saturator.h"

#include <cmath>

#include "engine/band_detectors.h"

namespace qx {

uint32_t buildRefilterMask(const SaturatorParams& params, int32_t bandCount) {
    const int nb = guard::bands(bandCount);
    uint32_t mask = 0;
    for (int i = 0; i < nb; ++i) {
        const bool on = params.refilter[i].load() != 0;
        for (int channel = 0; channel < 2; ++channel) {
            mask >>= 1;
            if (on) mask |= 0x80000u;
        }
    }
    for (int i = nb; i < kMaxBands; ++i) mask >>= 2;
    return mask;
}

SaturatorCoefficients saturatorCoefficients(const SaturatorParams& params, int32_t bandCount,
                                            SaturatorState& state) {
    SaturatorCoefficients c;
    c.bands = guard::bands(bandCount);
    for (int i = 0; i < kMaxBands; ++i) {
        // Beyond 0..1 the blend would extrapolate the waveshaper without bound.
        double level = params.levelPct[i].load() * 0.01;
        if (!(level >= 0.0)) level = 0.0;
        if (level > 1.0) level = 1.0;
        c.level[i] = level;
        c.gain[i] = guard::gain(params.gainDb[i].load());
        c.ceiling[i] = guard::gain(params.clipDb[i].load()) * 0.2;
        state.depth[i] = 0.0;
    }
    c.refilterMask = buildRefilterMask(params, bandCount);
    return c;
}

namespace {

inline double shape(double x, double level) {
    const double s = x >= 0.0 ? std::sqrt(x) : -std::sqrt(-x);
    return x * (1.0 - level) + s * level;
}

inline double clip(double x, double ceiling, double& depth) {
    double y = x;
    if (y > ceiling) y = ceiling;
    if (y < -ceiling) y = -ceiling;
    const double excess = x - y;
    if (excess > depth) depth = excess;
    return y;
}

}  // namespace

void saturatorStep(SaturatorState& state, const SaturatorCoefficients& c,
                   const SaturatorParams& params, ReverseCascadeBank& refilterBank,
                   BandSignals& bands) {
    const int nb = c.bands;
    for (int i = 0; i < nb; ++i) {
        double l = bands.left[i];
        double r = bands.right[i];
        const double level = c.level[i];
        if (level > 0.0) {
            l = shape(l, level);
            r = shape(r, level);
        }
        l *= c.gain[i];
        r *= c.gain[i];
        if (params.clipEnable[i].load() != 0) {
            l = clip(l, c.ceiling[i], state.depth[i]);
            r = clip(r, c.ceiling[i], state.depth[i]);
        }
        bands.left[i] = l;
        bands.right[i] = r;
    }
    if (c.refilterMask != 0) {
        refilterBands(nb, bands.left, bands.right, refilterBank, bands.left, bands.right,
                      c.refilterMask);
    }
}

void saturatorBlockEnd(const SaturatorState& state, const SaturatorCoefficients& c, Number* meters) {
    for (int i = 0; i < c.bands; ++i) {
        double depth = state.depth[i];
        if (!(depth >= 0.0)) depth = 0.0;
        if (depth > 30.0) depth = 30.0;
        meters[i] = guard::levelDb(depth / c.ceiling[i] + 1.0);
    }
}

}  // namespace qx
