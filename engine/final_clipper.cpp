#include "engine/final_clipper.h"

#include <array>
#include <cmath>
#include <cstring>

#include "base/vector_clones.h"
#include "engine/chain.h"
#include "engine/coefficient_guards.h"

namespace qx {
QX_FRAME_VARIANT_BEGIN

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
constexpr double kRingEntryScale = 0.6376356075826649;
constexpr double kCentreScale = 1.568293847;

constexpr double kMaxDepth = 30.0;

// Both channels side by side in one vector; each lane is computed exactly as
// a channel on its own.
using Pair = LanePair;
// Two positions' sums: both channels of each.
typedef double Quad __attribute__((vector_size(32)));

// An input is tap 31 - i of position p + 2i (p the next position, i = 0..31):
// the sum in slot s of p's parity takes kHilbert[31 - ((s - o) & 31)], o
// being p's slot, found at entry 32 - o + s of this run, each tap twice for
// the two channels.
constexpr auto kTapRun = [] {
    std::array<std::array<double, 2>, 64> run{};
    for (int k = 0; k < 64; ++k) run[k][0] = run[k][1] = kHilbert[31 - (k & 31)];
    return run;
}();

// The depth follows left, then right; as selects and one store, so the
// compiler makes them max operations rather than compares and branches.
QX_INLINE void updateDepth(Pair excess, double& depth) {
    double d = depth;
    d = pick(excess[0] > d, excess[0], d);
    d = pick(excess[1] > d, excess[1], d);
    depth = d;
}

QX_INLINE Pair softClip(Pair x, const FinalClipperCoefficients& k, double& depth) {
    const Pair u = x * k.k1;
    const Pair cubic = u - u * u * u * kOneThird;
    const Pair low = {-1.0, -1.0}, high = {1.0, 1.0};
    const Pair low23 = {-kTwoThirds, -kTwoThirds}, high23 = {kTwoThirds, kTwoThirds};
    const Pair c = u < low ? low23 : (u > high ? high23 : cubic);
    const Pair y = c * k.k2;
    updateDepth(x - y, depth);
    return y;
}

QX_INLINE Pair envelopeClip(HilbertHistory& h, Pair x, const FinalClipperCoefficients& k, double& depth) {
    // Unsigned arithmetic: the counter may wrap after days of playback.
    const uint32_t n = static_cast<uint32_t>(h.counter);
    const Pair in = x * kRingEntryScale;
    storeLanes(h.ring[n & 63u], in);
    h.counter = static_cast<int32_t>(n + 1u);

    // This input's products, each added to the sum it belongs to in turn.
    const uint32_t p = n + 1u;
    double* sums = &h.sums[p & 1u][0][0];
    const double* taps = &kTapRun[32u - ((p >> 1) & 31u)][0];
    const Quad ins = {in[0], in[1], in[0], in[1]};
#pragma GCC unroll 16
    for (int s = 0; s < 16; ++s) {
        Quad sum, tap;
        std::memcpy(&sum, sums + 4 * s, sizeof sum);
        std::memcpy(&tap, taps + 4 * s, sizeof tap);
        sum += ins * tap;
        std::memcpy(sums + 4 * s, &sum, sizeof sum);
    }
    // Position n's sum took its last tap a frame ago; its slot starts afresh
    // for position n + 64.
    double* mine = h.sums[n & 1u][(n >> 1) & 31u];
    const Pair q = loadLanes(mine);
    storeLanes(mine, Pair{0.0, 0.0});
    // The input of 32 frames ago.
    const Pair v = loadLanes(h.ring[(n + 32u) & 63u]) * kCentreScale;

    const Pair zero = {0.0, 0.0};
    const Pair ceiling = {k.thresholdSquared, k.thresholdSquared};
    const Pair q2 = q * q;
    Pair m = v * v + q2;
    m = m > ceiling ? ceiling : m;
    Pair o = m - q2;
    o = o < zero ? zero : o;
    Pair y = {std::sqrt(o[0]), std::sqrt(o[1])};
    y = v < zero ? -y : y;
    updateDepth(v - y, depth);
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

void finalClipperStep(FinalClipperState& state, const FinalClipperCoefficients& k, const FinalClipperParams& params,
                      double& left, double& right) {
    const Pair x = Pair{left, right} * k.drive;
    const Pair y = params.complex.load() ? envelopeClip(state.history, x, k, state.depth) : softClip(x, k, state.depth);
    left = y[0];
    right = y[1];
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
    state.history = HilbertHistory{};
}

QX_FRAME_VARIANT_END
}  // namespace qx
