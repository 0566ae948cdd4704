#include "engine/three_band_eq.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "base/vector_clones.h"
#include "engine/coefficient_guards.h"
#include "engine/sine.h"

namespace qx {

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

// Both channels side by side in one vector, each lane computed exactly as a
// channel on its own.
QX_VECTOR_CLONES
void threeBandStereoStep(ThreeBandState& left, ThreeBandState& right, double& l, double& r) {
    using Pair = LanePair;
    using S = ThreeBandState;
    const auto get = [&](double S::*m) QX_INLINE_LAMBDA { return Pair{left.*m, right.*m}; };
    const auto put = [&](double S::*m, Pair v) QX_INLINE_LAMBDA {
        left.*m = v[0];
        right.*m = v[1];
        return v;
    };
    const auto shared = [&](Number S::*m) QX_INLINE_LAMBDA { return Pair{(left.*m).load(), (right.*m).load()}; };
    const Pair x = {l, r};

    const Pair c1 = shared(&S::c1);
    const Pair s1 = put(&S::s1, get(&S::s1) + (x - get(&S::s1)) * c1 + kTiny);
    const Pair s2 = put(&S::s2, get(&S::s2) + (s1 - get(&S::s2)) * c1);
    const Pair s3 = put(&S::s3, get(&S::s3) + (s2 - get(&S::s3)) * c1);
    const Pair low = put(&S::s4, get(&S::s4) + (s3 - get(&S::s4)) * c1);

    const Pair c2 = shared(&S::c2);
    const Pair s5 = put(&S::s5, get(&S::s5) + (x - get(&S::s5)) * c2 + kTiny);
    const Pair s6 = put(&S::s6, get(&S::s6) + (s5 - get(&S::s6)) * c2);
    const Pair s7 = put(&S::s7, get(&S::s7) + (s6 - get(&S::s7)) * c2);
    const Pair lp2 = put(&S::s8, get(&S::s8) + (s7 - get(&S::s8)) * c2);

    // The input delay moves on by one 16-byte copy per channel: x0, x1 to x1, x2.
    const Pair xd = get(&S::x2);
    static_assert(offsetof(S, x1) == offsetof(S, x0) + sizeof(double) &&
                  offsetof(S, x2) == offsetof(S, x1) + sizeof(double));
    for (S* channel : {&left, &right}) {
        unsigned char* const delay = reinterpret_cast<unsigned char*>(channel) + offsetof(S, x0);
        Pair recent;
        std::memcpy(&recent, delay, sizeof recent);
        std::memcpy(delay + sizeof(double), &recent, sizeof recent);
    }
    put(&S::x0, x);

    const Pair high = xd - lp2;
    const Pair mid = xd - (low + high);
    const Pair y = shared(&S::gMid) * mid + (shared(&S::gHigh) * high + shared(&S::gLow) * low);
    l = y[0];
    r = y[1];
}

// One channel: the stereo step with a throwaway twin.
double threeBandStep(ThreeBandState& s, double x) {
    ThreeBandState twin = s;
    double y = x, unused = x;
    threeBandStereoStep(s, twin, y, unused);
    return y;
}

}  // namespace qx
