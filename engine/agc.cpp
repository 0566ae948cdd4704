#include "engine/agc.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "base/vector_clones.h"
#include "engine/chain.h"
#include "engine/coefficient_guards.h"

namespace qx {
QX_FRAME_VARIANT_BEGIN

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

// Two values side by side: the low and the high band, or the left and the
// right channel. Each lane is computed exactly as on its own.
using Pair = LanePair;

// Each band's detector power from the crossover's lanes: low left, low
// right, high left, high right.
QX_INLINE void bandPowers(AgcState& s, const AgcCoefficients& k, const QuadLanes& lanes, AgcHalfway& w) {
    const Pair detect = {k.detectLow, k.detectHigh}, keepDetect = {k.keepDetectLow, k.keepDetectHigh};
    // Left plus right square of each band: lanes 0 and 2 of the squares plus
    // their neighbours.
    const QuadLanes squares4 = lanes * lanes;
    const QuadLanes sums = squares4 + __builtin_shufflevector(squares4, squares4, 1, 0, 3, 2);
    const Pair squares = __builtin_shufflevector(sums, sums, 0, 2);
    Pair power = {s.powerLow, s.powerHigh};
    power = power * keepDetect + squares * detect;
    s.powerLow = power[0];
    s.powerHigh = power[1];
    w.lanes = lanes;
    storeLanes(w.power, power);
}

// Each band's target from its detector power.
QX_INLINE void bandTarget(const AgcCoefficients& k, AgcHalfway& w) {
    const Pair power = loadLanes(w.power);
    const Pair maxGain = {k.maxGain, k.maxGain};
    const Pair root = {std::sqrt(power[0]), std::sqrt(power[1])};
    Pair target = (0.4 / (root + 0.00001) - 1.0) * k.level + 1.0;
    target = target > maxGain ? maxGain : target;
    storeLanes(w.target, target);
}

// The band gains, and each lane gained by them for the protection.
QX_INLINE void bandGains(AgcState& s, const AgcCoefficients& k, AgcHalfway& w) {
    const Pair one = {1.0, 1.0};
    const Pair maxGain = {k.maxGain, k.maxGain};
    const QuadLanes lanes = w.lanes;
    const Pair power = loadLanes(w.power), target = loadLanes(w.target);
    // The gate looks at the gains before this frame's update.
    const Pair gain = {s.gainLow, s.gainHigh};
    const Pair weighted = power * gain;
    const bool gated = weighted[0] + weighted[1] <= k.gate;
    // Every branch of the update, then the choice of each lane.
    const Pair attack = {k.attackLow, k.attackHigh}, release = {k.releaseLow, k.releaseHigh};
    const Pair keepAttack = {k.keepAttackLow, k.keepAttackHigh}, keepRelease = {k.keepReleaseLow, k.keepReleaseHigh};
    const Pair riseLimit = {k.releaseMaxLow, k.releaseMaxHigh};
    const Pair next = keepRelease * gain + release * target;
    const Pair limit = riseLimit * gain;
    const Pair rising = gated ? gain * kAgcCreep : (next > limit ? limit : next);
    const Pair falling = keepAttack * gain + attack * target;
    Pair g = gain <= target ? rising : falling;
    g = g > maxGain ? maxGain : g;
    g = g < one ? one : g;
    static_assert(offsetof(AgcState, gainHigh) == offsetof(AgcState, gainLow) + sizeof(double));
    std::memcpy(&s.gainLow, &g, sizeof g);

    // Each lane's linked gain: its band's share of the low gain plus its share
    // of the high one.
    QuadLanes shareOfLow, shareOfHigh;
    std::memcpy(&shareOfLow, k.laneShareOfLow, sizeof shareOfLow);
    std::memcpy(&shareOfHigh, k.laneShareOfHigh, sizeof shareOfHigh);
    w.lanes = lanes * (shareOfLow * g[0] + shareOfHigh * g[1]);
}

// The protection's target, from the lanes as the gains left them: it pulls
// the recombined sum back towards an RMS of 0.5.
QX_INLINE void bandProtectTarget(AgcState& s, const AgcCoefficients& k, const AgcHalfway& w) {
    const QuadLanes scaled = w.lanes;
    const Pair lows = __builtin_shufflevector(scaled, scaled, 0, 1);
    const Pair highs = __builtin_shufflevector(scaled, scaled, 2, 3);
    const Pair sum = lows + highs;
    const Pair sumSquares = sum * sum;
    s.powerOut = s.powerOut * k.keepDetectSum + (sumSquares[0] + sumSquares[1]) * k.detectSum;
    double t = 0.5 / (std::sqrt(s.powerOut) + 0.00001);
    if (t > 1.0) t = 1.0;
    s.protectionTarget = t;
}

// The protection and the output.
QX_INLINE void bandProtect(AgcState& s, const AgcCoefficients& k, const AgcHalfway& w, double& left, double& right) {
    const QuadLanes scaled = w.lanes;
    const double t = s.protectionTarget;
    if (t >= s.protection)
        s.protection = t * k.attackSum + s.protection * k.keepAttackSum;
    else
        s.protection = t * k.releaseSum + s.protection * k.keepReleaseSum;

    QuadLanes trims;
    std::memcpy(&trims, k.laneTrims, sizeof trims);
    const QuadLanes trimmed = scaled * trims;
    const Pair out =
        (__builtin_shufflevector(trimmed, trimmed, 0, 1) + __builtin_shufflevector(trimmed, trimmed, 2, 3)) *
        s.protection;
    left = out[0];
    right = out[1];
}

// Crossover filters out of lock-step (never in the chain): one channel at a
// time, out of line so the usual path needs no registers kept across calls.
// Each sample comes out as in lock-step, only slower.
__attribute__((noinline, cold)) void twoBandStepApart(AgcState& s, const AgcCoefficients& k,
                                                      ReverseCascadeFilter& lowpass, ReverseCascadeFilter& highpass,
                                                      double& left, double& right) {
    QuadLanes lanes = {left, right, left, right};
    quadChannelSteps(lowpass, highpass, lanes, true);
    AgcHalfway w;
    bandPowers(s, k, lanes, w);
    bandTarget(k, w);
    bandGains(s, k, w);
    bandProtectTarget(s, k, w);
    bandProtect(s, k, w, left, right);
}

QX_INLINE void singleBandStep(AgcState& s, const AgcCoefficients& k, ReverseCascadeFilter& highpass, double& left,
                    double& right) {
    // The highpass feeds only the detector; the gain acts on the unfiltered signal.
    const double yL = filterStep(highpass, Channel::Left, left);
    const double yR = filterStep(highpass, Channel::Right, right);
    s.powerLow = s.powerLow * k.keepDetectLow + (yL * yL + yR * yR) * k.detectLow;

    double target = (0.5 / (std::sqrt(s.powerLow) + 0.00001) - 1.0) * k.level + 1.0;
    if (target > k.maxGain) target = k.maxGain;
    const bool gated = !(s.powerLow * s.gainLow >= k.gate);
    s.gainLow = clampGain(nextGain(s.gainLow, target, gated, k.attackLow, k.releaseLow, k.releaseMaxLow), k.maxGain);

    left = left * k.trimLow * s.gainLow;
    right = right * k.trimLow * s.gainLow;
}

}  // namespace

AgcCoefficients agcCoefficients(const AgcParams& params, const ReverseCascadeFilter& lowpass,
                                const ReverseCascadeFilter& highpass) {
    AgcCoefficients k = agcParameterCoefficients(params);
    takeCrossover(k, lowpass, highpass);
    return k;
}

void takeCrossover(AgcCoefficients& k, const ReverseCascadeFilter& lowpass, const ReverseCascadeFilter& highpass) {
    k.crossover = quadDesign(lowpass, highpass);
    k.crossoverInLockStep = pairInLockStep(lowpass, highpass);
}

AgcCoefficients agcParameterCoefficients(const AgcParams& p) {
    AgcCoefficients k;
    k.level = guard::clampFinite(p.levelPct.load() * 0.01, -kMaxLevel, kMaxLevel);
    k.maxGain = guard::gain(p.maxGainDb.load());
    k.gate = guard::gain(p.gateDb.load());
    k.link = guard::clampFinite(p.bandLinkPct.load() * 0.005, 0.0, 1.0);
    k.unlink = 1.0 - k.link;
    for (int lane = 0; lane < 4; ++lane) {
        k.laneShareOfLow[lane] = lane < 2 ? k.unlink : k.link;
        k.laneShareOfHigh[lane] = lane < 2 ? k.link : k.unlink;
    }

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
    for (int lane = 0; lane < 4; ++lane) k.laneTrims[lane] = lane < 2 ? k.trimLow : k.trimHigh;
    k.keepDetectLow = 1.0 - k.detectLow;
    k.keepDetectHigh = 1.0 - k.detectHigh;
    k.keepDetectSum = 1.0 - k.detectSum;
    k.keepAttackLow = 1.0 - k.attackLow;
    k.keepAttackHigh = 1.0 - k.attackHigh;
    k.keepAttackSum = 1.0 - k.attackSum;
    k.keepReleaseLow = 1.0 - k.releaseLow;
    k.keepReleaseHigh = 1.0 - k.releaseHigh;
    k.keepReleaseSum = 1.0 - k.releaseSum;
    return k;
}

bool agcDetect(AgcState& state, const AgcCoefficients& k, const AgcParams& params, ReverseCascadeFilter& lowpass,
               ReverseCascadeFilter& highpass, double& left, double& right, AgcHalfway& w) {
    if (params.singleBand.load()) {
        singleBandStep(state, k, highpass, left, right);
        return false;
    }
    if (!k.crossoverInLockStep) {
        twoBandStepApart(state, k, lowpass, highpass, left, right);
        return false;
    }
    QuadLanes lanes = {left, right, left, right};
    const bool blockEnd = lockStepForward(lowpass, highpass, [&](uint32_t write, uint32_t read) QX_INLINE_LAMBDA {
        quadForward(lowpass, highpass, k.crossover, write, read, lanes, true);
    });
    bandPowers(state, k, lanes, w);
    if (blockEnd) finishReverseCascadeBlockQuad(lowpass, highpass, true);
    return true;
}

void agcTarget(const AgcCoefficients& k, AgcHalfway& w) { bandTarget(k, w); }

void agcApply(AgcState& state, const AgcCoefficients& k, AgcHalfway& w) { bandGains(state, k, w); }

void agcProtectTarget(AgcState& state, const AgcCoefficients& k, const AgcHalfway& w) {
    bandProtectTarget(state, k, w);
}

void agcProtect(AgcState& state, const AgcCoefficients& k, const AgcHalfway& w, double& left, double& right) {
    bandProtect(state, k, w, left, right);
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

QX_FRAME_VARIANT_END
}  // namespace qx
