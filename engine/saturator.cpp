#include "engine/saturator.h"

#include <cmath>

#include "base/vector_clones.h"
#include "engine/band_detectors.h"

namespace qx {
QX_FRAME_VARIANT_BEGIN

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

SaturatorCoefficients saturatorCoefficients(const SaturatorParams& params, int32_t bandCount) {
    SaturatorCoefficients c;
    c.bands = guard::bands(bandCount);
    for (int i = 0; i < kMaxBands; ++i) {
        // Beyond 0..1 the blend would extrapolate the waveshaper without bound.
        double level = params.levelPct[i].load() * 0.01;
        if (!(level >= 0.0)) level = 0.0;
        if (level > 1.0) level = 1.0;
        c.level[i] = level;
        if (i < c.bands && level > 0.0) c.shape = true;
        c.gain[i] = guard::gain(params.gainDb[i].load());
        c.ceiling[i] = guard::gain(params.clipDb[i].load()) * 0.2;
    }
    c.refilterMask = buildRefilterMask(params, bandCount);
    return c;
}

void startSaturatorBlock(SaturatorState& state) {
    for (double& depth : state.depth) depth = 0.0;
}

namespace {

// The square-root shaper, the gain and the clip of each band, as selects so
// the loop over the bands runs as vector code. copysign(sqrt(|x|), x) is bit
// for bit x >= 0 ? sqrt(x) : -sqrt(-x), signed zeros and NaNs included.
template <bool Shape, class Count>
QX_INLINE void saturateBands(SaturatorState& state, const SaturatorCoefficients& c, const SaturatorParams& params,
                             BandSignals& bands, Count nb) {
    const int n = nb;  // a constant where the count is one
    // The clip switches are atomics, which do not vectorise: read first, and
    // kept as doubles, which SSE2 compares in vector lanes (64-bit integers it
    // cannot). The doubles are rewritten only when a switch moves: a vector
    // load of lanes just stored one by one would wait for the stores to retire.
    // Whether one moved: each switch's byte against the one last read.
    uint32_t moved = 0;
#pragma GCC unroll 10
    for (int i = 0; i < n; ++i) moved |= static_cast<uint32_t>(params.clipEnable[i].load() ^ state.clipBytes[i]);
    if (moved != 0) [[unlikely]] {
        for (int i = 0; i < kMaxBands; ++i) {
            state.clipBytes[i] = params.clipEnable[i].load();
            state.clipSwitch[i] = state.clipBytes[i] != 0;
        }
    }
    const double* __restrict clipSwitch = state.clipSwitch;
    double* __restrict left = bands.left;
    double* __restrict right = bands.right;
    double* __restrict depth = state.depth;
#pragma GCC ivdep  // the state, coefficient and band arrays never overlap
    for (int i = 0; i < n; ++i) {
        double l = left[i];
        double r = right[i];
        if constexpr (Shape) {
            const double level = c.level[i];
            const double shapedL = l * (1.0 - level) + std::copysign(std::sqrt(std::fabs(l)), l) * level;
            const double shapedR = r * (1.0 - level) + std::copysign(std::sqrt(std::fabs(r)), r) * level;
            l = pick(level > 0.0, shapedL, l);
            r = pick(level > 0.0, shapedR, r);
        }
        l *= c.gain[i];
        r *= c.gain[i];
        const double ceiling = c.ceiling[i];
        double clippedL = pick(l > ceiling, ceiling, l);
        clippedL = pick(clippedL < -ceiling, -ceiling, clippedL);
        double clippedR = pick(r > ceiling, ceiling, r);
        clippedR = pick(clippedR < -ceiling, -ceiling, clippedR);
        // A band not clipping adds an excess of 0, which leaves its depth as
        // it was (a depth starts each block at 0 and only grows); the store
        // stays unconditional, so SSE2 code needs no masked store.
        const bool on = clipSwitch[i] != 0.0;
        const double excessL = pick(on, l - clippedL, 0.0);
        const double excessR = pick(on, r - clippedR, 0.0);
        double d = depth[i];
        d = pick(excessL > d, excessL, d);
        d = pick(excessR > d, excessR, d);
        depth[i] = d;
        left[i] = pick(on, clippedL, l);
        right[i] = pick(on, clippedR, r);
    }
}

}  // namespace

void saturatorStep(SaturatorState& state, const SaturatorCoefficients& c,
                   const SaturatorParams& params, ReverseCascadeBank& refilterBank,
                   BandSignals& bands) {
    withBandCount(c.bands, [&](auto nb) QX_INLINE_LAMBDA {
        if (c.shape)
            saturateBands<true>(state, c, params, bands, nb);
        else
            saturateBands<false>(state, c, params, bands, nb);
    });
    if (c.refilterMask != 0) {
        refilterBandsLater(c.bands, refilterBank, bands, c.refilterMask);
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

QX_FRAME_VARIANT_END
}  // namespace qx
