#include "engine/agc.h"

#include <cmath>

#include "base/vector_clones.h"
#include "engine/chain.h"
#include "engine/coefficient_guards.h"

namespace qx {

namespace {

constexpr double kMaxLevel = 1e6;
constexpr double kMaxRise = 1e12;

// 1 / (T * 0.001 * 30605.4) + 1: the most a release may raise a gain in one frame.
double releaseLimit(double ms) {
    if (!(ms > 0.0) || !std::isfinite(ms)) return 2.0;
    return guard::clampFinite(1.0 / (ms * 0.001 * 30605.399999999998) + 1.0, 1.0, kMaxRise);
}

// One band's gain update before the Gmax / unity clamps.
QX_INLINE double nextGain(double g, double target, bool gated, double attack, double release, double riseLimit) {
    if (g <= target) {
        if (gated) return g * kAgcCreep;
        const double next = (1.0 - release) * g + release * target;
        const double limit = riseLimit * g;
        return next > limit ? limit : next;
    }
    return (1.0 - attack) * g + attack * target;
}

QX_INLINE double clampGain(double g, double maxGain) {
    if (g > maxGain) g = maxGain;
    if (g < 1.0) g = 1.0;
    return g;
}

QX_INLINE void twoBandStep(AgcState& s, const AgcCoefficients& k, ReverseCascadeFilter& lowpass,
                 ReverseCascadeFilter& highpass, double& left, double& right) {
    double lowL = left, lowR = right, highL = left, highR = right;
    reverseCascadeQuadStep(lowpass, highpass, lowL, lowR, highL, highR, true);

    s.powerLow = s.powerLow * (1.0 - k.detectLow) + (lowL * lowL + lowR * lowR) * k.detectLow;
    s.powerHigh = s.powerHigh * (1.0 - k.detectHigh) + (highL * highL + highR * highR) * k.detectHigh;

    double targetLow = (0.4 / (std::sqrt(s.powerLow) + 0.00001) - 1.0) * k.level + 1.0;
    if (targetLow > k.maxGain) targetLow = k.maxGain;
    double targetHigh = (0.4 / (std::sqrt(s.powerHigh) + 0.00001) - 1.0) * k.level + 1.0;
    if (targetHigh > k.maxGain) targetHigh = k.maxGain;

    // The gate looks at the gains before this frame's update.
    const bool gated = s.powerLow * s.gainLow + s.powerHigh * s.gainHigh <= k.gate;
    const double gLow = nextGain(s.gainLow, targetLow, gated, k.attackLow, k.releaseLow, k.releaseMaxLow);
    const double gHigh = nextGain(s.gainHigh, targetHigh, gated, k.attackHigh, k.releaseHigh, k.releaseMaxHigh);
    s.gainLow = clampGain(gLow, k.maxGain);
    s.gainHigh = clampGain(gHigh, k.maxGain);

    const double linkedLow = k.unlink * s.gainLow + k.link * s.gainHigh;
    const double linkedHigh = k.link * s.gainLow + k.unlink * s.gainHigh;
    lowL *= linkedLow;
    lowR *= linkedLow;
    highL *= linkedHigh;
    highR *= linkedHigh;

    // Protection: pull the recombined sum back towards an RMS of 0.5.
    const double sumL = lowL + highL;
    const double sumR = lowR + highR;
    s.powerOut = s.powerOut * (1.0 - k.detectSum) + (sumL * sumL + sumR * sumR) * k.detectSum;
    double t = 0.5 / (std::sqrt(s.powerOut) + 0.00001);
    if (t > 1.0) t = 1.0;
    if (t >= s.protection)
        s.protection = t * k.attackSum + s.protection * (1.0 - k.attackSum);
    else
        s.protection = t * k.releaseSum + s.protection * (1.0 - k.releaseSum);

    left = (lowL * k.trimLow + highL * k.trimHigh) * s.protection;
    right = (lowR * k.trimLow + highR * k.trimHigh) * s.protection;
}

QX_INLINE void singleBandStep(AgcState& s, const AgcCoefficients& k, ReverseCascadeFilter& highpass, double& left,
                    double& right) {
    // The highpass feeds only the detector; the gain acts on the unfiltered signal.
    const double yL = filterStep(highpass, Channel::Left, left);
    const double yR = filterStep(highpass, Channel::Right, right);
    s.powerLow = s.powerLow * (1.0 - k.detectLow) + (yL * yL + yR * yR) * k.detectLow;

    double target = (0.5 / (std::sqrt(s.powerLow) + 0.00001) - 1.0) * k.level + 1.0;
    if (target > k.maxGain) target = k.maxGain;
    const bool gated = !(s.powerLow * s.gainLow >= k.gate);
    s.gainLow = clampGain(nextGain(s.gainLow, target, gated, k.attackLow, k.releaseLow, k.releaseMaxLow), k.maxGain);

    left = left * k.trimLow * s.gainLow;
    right = right * k.trimLow * s.gainLow;
}

}  // namespace

AgcCoefficients agcCoefficients(const AgcParams& p) {
    AgcCoefficients k;
    k.level = guard::clampFinite(p.levelPct.load() * 0.01, -kMaxLevel, kMaxLevel);
    k.maxGain = guard::gain(p.maxGainDb.load());
    k.gate = guard::gain(p.gateDb.load());
    k.link = guard::clampFinite(p.bandLinkPct.load() * 0.005, 0.0, 1.0);
    k.unlink = 1.0 - k.link;

    const double detectLow = p.detectLowMs.load(), detectHigh = p.detectHighMs.load();
    const double attackLow = p.attackLowMs.load(), attackHigh = p.attackHighMs.load();
    const double releaseLow = p.releaseLowMs.load(), releaseHigh = p.releaseHighMs.load();
    k.detectLow = guard::coefficient(detectLow);
    k.detectHigh = guard::coefficient(detectHigh);
    k.detectSum = guard::coefficientOfMean(detectHigh, detectLow);
    k.attackLow = guard::coefficient(attackLow);
    k.attackHigh = guard::coefficient(attackHigh);
    k.attackSum = guard::coefficientOfMean(attackHigh, attackLow);
    k.releaseLow = guard::coefficient(releaseLow);
    k.releaseHigh = guard::coefficient(releaseHigh);
    k.releaseSum = guard::coefficientOfMean(releaseHigh, releaseLow);
    k.releaseMaxLow = releaseLimit(releaseLow);
    k.releaseMaxHigh = releaseLimit(releaseHigh);
    k.trimLow = guard::gain(p.gainLowDb.load());
    k.trimHigh = guard::gain(p.gainHighDb.load());
    return k;
}

QX_VECTOR_CLONES
void agcStep(AgcState& state, const AgcCoefficients& k, const AgcParams& params, ReverseCascadeFilter& lowpass,
             ReverseCascadeFilter& highpass, double& left, double& right) {
    if (params.singleBand.load())
        singleBandStep(state, k, highpass, left, right);
    else
        twoBandStep(state, k, lowpass, highpass, left, right);
}

void agcBlockEnd(const AgcState& s, const AgcCoefficients& k, const AgcParams& params, Number* meters) {
    if (params.singleBand.load()) {
        meters[0] = gainToDb(s.gainLow + 0.00001);
        return;
    }
    meters[0] = gainToDb(k.unlink * s.gainLow + k.link * s.gainHigh + 0.00001);
    meters[1] = gainToDb(k.link * s.gainLow + k.unlink * s.gainHigh + 0.00001);
    meters[2] = 0.0001 - gainToDb(s.protection + 0.00001);
}

void agcGapReset(AgcState& state, const AgcParams& params) {
    const double start = guard::gain(params.maxGainDb.load()) * 0.5;
    state.gainLow = start;
    state.gainHigh = start;
}

}  // namespace qx
