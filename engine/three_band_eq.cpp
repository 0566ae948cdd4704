#include "engine/three_band_eq.h"

#include <cmath>

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

QX_VECTOR_CLONES
double threeBandStep(ThreeBandState& s, double x) {
    const double c1 = s.c1.load();
    s.s1 = s.s1 + (x - s.s1) * c1 + kTiny;
    s.s2 = s.s2 + (s.s1 - s.s2) * c1;
    s.s3 = s.s3 + (s.s2 - s.s3) * c1;
    s.s4 = s.s4 + (s.s3 - s.s4) * c1;
    const double low = s.s4;

    const double c2 = s.c2.load();
    s.s5 = s.s5 + (x - s.s5) * c2 + kTiny;
    s.s6 = s.s6 + (s.s5 - s.s6) * c2;
    s.s7 = s.s7 + (s.s6 - s.s7) * c2;
    s.s8 = s.s8 + (s.s7 - s.s8) * c2;
    const double lp2 = s.s8;

    const double xd = s.x2;
    s.x2 = s.x1;
    s.x1 = s.x0;
    s.x0 = x;

    const double high = xd - lp2;
    const double mid = xd - (low + high);
    return s.gMid.load() * mid + (s.gHigh.load() * high + s.gLow.load() * low);
}

}  // namespace qx
