#include "engine/band_mix.h"

#include <type_traits>

#include "base/vector_clones.h"
#include "engine/band_detectors.h"

namespace qx {
QX_FRAME_VARIANT_BEGIN

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
    withBandCount(c.bands, [&](auto nb) QX_INLINE_LAMBDA {
        const int n = nb;  // a constant where the count is one
#pragma GCC ivdep  // the gains and the bands never overlap
        for (int i = 0; i < n; ++i) {
            bands.left[i] *= c.gain[i];
            bands.right[i] *= c.gain[i];
        }
    });
}

namespace {

// Bands with their mono switch set become (left + right) / 2; the sums stay
// in band order. Out of line: mono bands are rare.
[[gnu::noinline]] void recombineWithMono(const ProcessorParams& processor, int n, BandSignals& bands,
                                         double& left, double& right) {
    double sumL = 0.0;
    double sumR = 0.0;
    for (int i = 0; i < n; ++i) {
        double l = bands.left[i];
        double r = bands.right[i];
        if (processor.mono[i].load() != 0) {
            l = (l + r) * 0.5;
            r = l;
            bands.left[i] = l;
            bands.right[i] = r;
        }
        sumL += l;
        sumR += r;
    }
    left = sumL;
    right = sumR;
}

}  // namespace

// Unrolled over the band count; the sums stay in band order.
void recombineBands(const ProcessorParams& processor, int32_t bandCount, BandSignals& bands,
                    double& left, double& right) {
    withBandCount(bandCount, [&](auto nb) QX_INLINE_LAMBDA {
        // The layouts' counts come as constants; only another needs the guard.
        int n = nb;
        if constexpr (std::is_same_v<decltype(nb), int>) n = guard::bands(nb);
        // One test of all the switches; a set one takes the loop above.
        // The empty asm keeps the ors a chain: regrouped into a tree they
        // would hold every switch in a register of its own, saved and
        // restored on each frame.
        unsigned anyMono = 0;
#pragma GCC unroll 10
        for (int i = 0; i < n; ++i) {
            anyMono |= processor.mono[i].load();
            asm("" : "+r"(anyMono));
        }
        if (anyMono != 0) return recombineWithMono(processor, n, bands, left, right);
        double sumL = 0.0;
        double sumR = 0.0;
#pragma GCC unroll 10
        for (int i = 0; i < n; ++i) {
            sumL += bands.left[i];
            sumR += bands.right[i];
        }
        left = sumL;
        right = sumR;
    });
}

QX_FRAME_VARIANT_END
}  // namespace qx
