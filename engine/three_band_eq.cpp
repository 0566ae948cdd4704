#include "engine/three_band_eq.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "base/vector_clones.h"
#include "engine/coefficient_guards.h"
#include "engine/sine.h"

namespace qx {
QX_FRAME_VARIANT_BEGIN

namespace {

// Added once per cascade and frame so the states never sit on exact zero,
// where denormals would slow the step down: 1 / (2^32 - 1).
constexpr double kTiny = 2.3283064370807974e-10;

// Above this a one-pole section s += (x - s) c loses its damping (c = 2 is the
// stability limit); 1.9 corresponds to about 0.397 x the sample rate.
constexpr double kMaxCoefficient = 1.9;

double crossoverCoefficient(double hz, double sampleRate) {
    const double c = 2.0 * portableSine(hz * (1.0 / sampleRate) * 3.141592653589793);
    return guard::clampFinite(c, 0.0, kMaxCoefficient);
}

}  // namespace

void designThreeBandSplitter(ThreeBandState& state, double lowMidHz, double midHighHz, double sampleRate,
                             bool reset) {
    if (reset) state = ThreeBandState{};
    state.f1 = lowMidHz;
    state.f2 = midHighHz;
    state.rate = sampleRate;
    state.c1 = crossoverCoefficient(lowMidHz, sampleRate);
    state.c2 = crossoverCoefficient(midHighHz, sampleRate);
}

void setThreeBandGains(ThreeBandState& state, const ThreeBandEqParams& params) {
    double gains[3];
    for (int b = 0; b < 3; ++b)
        gains[b] = params.bandMute[b].load() ? 0.0 : guard::gain(params.bandDb[b].load());
    state.gLow = gains[0];
    state.gMid = gains[1];
    state.gHigh = gains[2];
}

ThreeBandCoefficients threeBandCoefficients(const ThreeBandState& left, const ThreeBandState& right) {
    ThreeBandCoefficients k;
    const ThreeBandState* channels[2] = {&left, &right};
    for (int c = 0; c < 2; ++c) {
        k.crossover[c] = channels[c]->c1;
        k.crossover[2 + c] = channels[c]->c2;
        k.gLow[c] = channels[c]->gLow;
        k.gMid[c] = channels[c]->gMid;
        k.gHigh[c] = channels[c]->gHigh;
    }
    return k;
}

namespace {

using Pair = LanePair;
// Both cascades' sections of one rank side by side: the lower cascade's
// left and right, then the upper one's.
typedef double Quad __attribute__((vector_size(32), aligned(8)));

// Four-lane vectors go by reference: by value they would take another
// calling convention in the SSE2 copy.
QX_INLINE void join(Pair a, Pair b, Quad& out) { out = __builtin_shufflevector(a, b, 0, 1, 2, 3); }

// Ranks r and r + 1 of both cascades from the channels' states (at s1 and
// s5 plus r), and back.
QX_INLINE void loadRanks(const ThreeBandState& left, const ThreeBandState& right, int r, Quad& first, Quad& second) {
    Quad l, rt;
    join(loadLanes(&left.s1 + r), loadLanes(&left.s5 + r), l);
    join(loadLanes(&right.s1 + r), loadLanes(&right.s5 + r), rt);
    first = __builtin_shufflevector(l, rt, 0, 4, 2, 6);
    second = __builtin_shufflevector(l, rt, 1, 5, 3, 7);
}

QX_INLINE void storeRanks(ThreeBandState& left, ThreeBandState& right, int r, const Quad& first, const Quad& second) {
    const Quad l = __builtin_shufflevector(first, second, 0, 4, 2, 6);
    const Quad rt = __builtin_shufflevector(first, second, 1, 5, 3, 7);
    storeLanes(&left.s1 + r, __builtin_shufflevector(l, l, 0, 1));
    storeLanes(&left.s5 + r, __builtin_shufflevector(l, l, 2, 3));
    storeLanes(&right.s1 + r, __builtin_shufflevector(rt, rt, 0, 1));
    storeLanes(&right.s5 + r, __builtin_shufflevector(rt, rt, 2, 3));
}

}  // namespace

// Both channels and both cascades side by side in one vector, each lane
// computed exactly as a channel's cascade on its own.
void threeBandStereoStep(ThreeBandState& left, ThreeBandState& right, const ThreeBandCoefficients& k, double& l,
                         double& r) {
    using S = ThreeBandState;
    static_assert(offsetof(S, s2) == offsetof(S, s1) + sizeof(double) &&
                  offsetof(S, s3) == offsetof(S, s2) + sizeof(double) &&
                  offsetof(S, s4) == offsetof(S, s3) + sizeof(double) &&
                  offsetof(S, s6) == offsetof(S, s5) + sizeof(double) &&
                  offsetof(S, s7) == offsetof(S, s6) + sizeof(double) &&
                  offsetof(S, s8) == offsetof(S, s7) + sizeof(double));
    const Pair x = {l, r};
    Quad xx;
    join(x, x, xx);
    Quad c;
    std::memcpy(&c, k.crossover, sizeof c);

    Quad s1, s2, s3, s4;
    loadRanks(left, right, 0, s1, s2);
    loadRanks(left, right, 2, s3, s4);
    s1 = s1 + (xx - s1) * c + kTiny;
    s2 = s2 + (s1 - s2) * c;
    s3 = s3 + (s2 - s3) * c;
    s4 = s4 + (s3 - s4) * c;
    storeRanks(left, right, 0, s1, s2);
    storeRanks(left, right, 2, s3, s4);
    const Pair low = __builtin_shufflevector(s4, s4, 0, 1);
    const Pair lp2 = __builtin_shufflevector(s4, s4, 2, 3);

    // The input delay moves on by one 16-byte copy per channel: x0, x1 to x1, x2.
    const Pair xd = {left.x2, right.x2};
    static_assert(offsetof(S, x1) == offsetof(S, x0) + sizeof(double) &&
                  offsetof(S, x2) == offsetof(S, x1) + sizeof(double));
    for (S* channel : {&left, &right}) {
        unsigned char* const delay = reinterpret_cast<unsigned char*>(channel) + offsetof(S, x0);
        Pair recent;
        std::memcpy(&recent, delay, sizeof recent);
        std::memcpy(delay + sizeof(double), &recent, sizeof recent);
    }
    left.x0 = x[0];
    right.x0 = x[1];

    const Pair high = xd - lp2;
    const Pair mid = xd - (low + high);
    const Pair y = loadLanes(k.gMid) * mid + (loadLanes(k.gHigh) * high + loadLanes(k.gLow) * low);
    l = y[0];
    r = y[1];
}

// One channel: the stereo step with a throwaway twin.
double threeBandStep(ThreeBandState& s, double x) {
    ThreeBandState twin = s;
    double y = x, unused = x;
    threeBandStereoStep(s, twin, threeBandCoefficients(s, twin), y, unused);
    return y;
}

QX_FRAME_VARIANT_END
}  // namespace qx
