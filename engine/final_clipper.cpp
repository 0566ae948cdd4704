#include "engine/final_clipper.h"

#include <cmath>

#include "base/vector_clones.h"
#include "engine/chain.h"
#include "engine/coefficient_guards.h"

namespace qx {

namespace {

constexpr double kTwoThirds = 0.6666666666666666;
constexpr double kOneThird = 0.3333333333333333;

// The Hilbert taps for the ring entries at odd distances from the centre,
// oldest first; the second half is the first negated in reverse order.
constexpr double kHilbert[32] = {
    0.0025806452,  0.0030833182,  0.0043436817,  0.0064979527,  0.0096989225,  0.014127455,
    0.0200126097,  0.0276672484,  0.0375532412,  0.050407705,   0.0675073918,  0.0912854169,
    0.1270041052,  0.1884398887,  0.3263013526,  0.9976398888,  -0.9976398888, -0.3263013526,
    -0.1884398887, -0.1270041052, -0.0912854169, -0.0675073918, -0.050407705,  -0.0375532412,
    -0.0276672484, -0.0200126097, -0.014127455,  -0.0096989225, -0.0064979527, -0.0043436817,
    -0.0030833182, -0.0025806452,
};
// Applied on entry to the ring and to the centre sample; their product is 1.
constexpr double kInputScale = 0.6376356075826649;
constexpr double kOutputScale = 1.568293847;

constexpr double kMaxDepth = 30.0;

QX_INLINE double softClip(double x, const FinalClipperCoefficients& k, double& depth) {
    double u = x * k.k1;
    if (u < -1.0)
        u = -kTwoThirds;
    else if (u > 1.0)
        u = kTwoThirds;
    else
        u = u - u * u * u * kOneThird;
    const double y = u * k.k2;
    if (x - y > depth) depth = x - y;
    return y;
}

QX_INLINE double envelopeClip(HilbertPair& h, double x, const FinalClipperCoefficients& k, double& depth) {
    // Unsigned arithmetic: the counter may wrap after days of playback.
    const uint32_t n = static_cast<uint32_t>(h.counter);
    h.ring[n & 63u] = x * kInputScale;
    h.counter = static_cast<int32_t>(n + 1u);

    // Entries written 63, 61, ..., 1 frames ago: from entry s in steps of
    // two, wrapping round the ring at most once, so the taps split into two
    // runs without index masks. The sum keeps its order.
    const uint32_t s = (n + 1u) & 63u;
    const uint32_t beforeWrap = (65u - s) / 2u;
    double q = 0.0;
    uint32_t j = 0;
    for (; j < beforeWrap; ++j) q += h.ring[s + 2u * j] * kHilbert[j];
    for (; j < 32; ++j) q += h.ring[s + 2u * j - 64u] * kHilbert[j];
    // The input of 32 frames ago.
    const double v = h.ring[(n + 32u) & 63u] * kOutputScale;

    const double q2 = q * q;
    double m = v * v + q2;
    if (m > k.thresholdSquared) m = k.thresholdSquared;
    double o = m - q2;
    if (o < 0.0) o = 0.0;
    double y = std::sqrt(o);
    if (v < 0.0) y = -y;
    if (v - y > depth) depth = v - y;
    return y;
}

}  // namespace

FinalClipperCoefficients finalClipperCoefficients(const FinalClipperParams& params) {
    FinalClipperCoefficients k;
    k.drive = guard::gain(params.driveDb.load());
    k.threshold = guard::gain(params.thresholdDb.load());
    k.k1 = kTwoThirds / k.threshold;
    k.k2 = 1.0 / k.k1;
    k.thresholdSquared = k.threshold * k.threshold;
    return k;
}

QX_VECTOR_CLONES
void finalClipperStep(FinalClipperState& state, const FinalClipperCoefficients& k, const FinalClipperParams& params,
                      double& left, double& right) {
    const double xL = left * k.drive;
    const double xR = right * k.drive;
    if (params.complex.load()) {
        left = envelopeClip(state.left, xL, k, state.depth);
        right = envelopeClip(state.right, xR, k, state.depth);
    } else {
        left = softClip(xL, k, state.depth);
        right = softClip(xR, k, state.depth);
    }
}

void finalClipperBlockEnd(FinalClipperState& state, const FinalClipperCoefficients& k, double decay, Number& meter) {
    state.depth = guard::clampFinite(state.depth, 0.0, kMaxDepth);
    meter = gainToDb(state.depth / k.threshold + 1.0);
    if (std::isfinite(decay)) state.depth -= decay;
}

double finalClipperDecay(int32_t frames, int32_t channels) {
    if (channels <= 0 || frames <= 0) return 0.0;
    return (frames / channels) * 0.00005;
}

void finalClipperGapReset(FinalClipperState& state) {
    state.left = HilbertPair{};
    state.right = HilbertPair{};
}

}  // namespace qx
