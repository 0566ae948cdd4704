#include "engine/limiter.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "base/vector_clones.h"
#include "engine/band_lookahead.h"

namespace qx {
QX_FRAME_VARIANT_BEGIN

namespace {

// The parts of one frame of one instance, with every branch of the rules
// computed and the result chosen by selects, so a loop over the band
// instances runs as vector code.

// The target: 1 where the level lies below the threshold, else their ratio.
QX_INLINE double limiterTarget(double threshold, double level) {
    const double t = threshold / level;
    return pick(t > 1.0, 1.0, t);
}

// An instance's hold and gain, as values.
struct HoldAndGain {
    double gain, held, minimum, countdown;
};

// Hold and smoothing towards the target t.
// Hold: a lower target takes effect at once and restarts the hold; a higher
// one is ignored until the hold runs out, when the lowest target seen
// meanwhile becomes the held value. On values, not on the state: selects
// written straight back into state arrays become masked stores, and a later
// read of the same entries waits for such a store to retire.
QX_INLINE HoldAndGain holdAndSmooth(HoldAndGain s, double attack, double release, double holdFrames, double t) {
    // Restart (hold over or a lower target) before expiry. The conditions
    // combine with | rather than ||, so they stay lane masks, not branches.
    const double lowest = pick(t <= s.minimum, t, s.minimum);
    const double left = s.countdown - 1.0;
    const bool restart = (s.countdown < 1.0) | (t <= s.held);
    const bool renew = restart | (left == 0.0);
    const double u = pick(restart, t, s.held);
    const double k = pick(s.gain <= u, release, attack);
    return {u * k + (1.0 - k) * s.gain, pick(restart, t, pick(renew, lowest, s.held)), pick(renew, 1.0, lowest),
            pick(renew, holdFrames, left)};
}

// One frame of one instance in two parts: the detector and the target ...
// An RMS power below quietBelow (see quietPower) cannot bring the level up
// to the threshold, so the target is 1 without the root and the quotient.
inline double instanceTarget(LimiterInstance& s, const LimiterInstanceCoefficients& c, bool peakDetect, double xL,
                             double xR, double quietBelow = 0.0) {
    const double keep = 1.0 - c.detector;
    if (peakDetect) return limiterTarget(c.threshold, peakLevel(s.envelope, keep, xL, xR) + 0.00001);
    s.envelope = rmsPower(s.envelope, c.detector, keep, xL, xR);
    if (s.envelope < quietBelow) return 1.0;
    return limiterTarget(c.threshold, std::sqrt(s.envelope) + 0.00001);
}

// ... then the hold and the gain; returns F.
inline double instanceGain(LimiterInstance& s, const LimiterInstanceCoefficients& c, double t) {
    const HoldAndGain next = holdAndSmooth({s.gain, s.hold.held, s.hold.minimum, static_cast<double>(s.hold.countdown)},
                                           c.attack, c.release, c.lookahead + 3, t);
    s.gain = next.gain;
    s.hold.held = next.held;
    s.hold.minimum = next.minimum;
    s.hold.countdown = static_cast<int32_t>(next.countdown);
    return next.gain;
}

// Bands first..last-1, at most one vector of them. The divider bounds this
// stage and a band limiter mostly idles: where the threshold lies above the
// level (both positive), their quotient is above 1 once rounded, so the
// target is 1 without it; a group where that holds for every band skips the
// division.
template <bool PeakDetect>
QX_INLINE void groupLanes(BandLimiterState& state, const BandLimiterCoefficients& c, int first, int last,
                          const double* __restrict xL, const double* __restrict xR) {
    double* __restrict envelope = state.envelope;
    const double* __restrict threshold = c.threshold;
    alignas(32) double level[kGroupBands];
    bool quiet = false;
    if constexpr (PeakDetect) {
#pragma GCC ivdep  // the state, coefficient and band arrays never overlap
        for (int i = first; i < last; ++i)
            level[i - first] = peakLevel(envelope[i], c.keep[i], xL[i], xR[i]) + 0.00001;
    } else {
        quiet = !rmsLevelsUnlessQuiet(envelope, c.detector, c.keep, c.quietBelow, xL, xR, first, last, level);
    }
    uint64_t loud = 0;
    if (!quiet)
        for (int i = first; i < last; ++i) loud |= laneMask(!(threshold[i] > level[i - first]));
    double* __restrict gain = state.gain;
    double* __restrict held = state.held;
    double* __restrict minimum = state.minimum;
    double* __restrict countdown = state.countdown;
    const double* __restrict attack = c.attack;
    const double* __restrict release = c.release;
    const double* __restrict holdFrames = c.holdFrames;
    // Band i's update towards t, stored back whole; returns the bits it changed.
    const auto update = [&](int i, double t) QX_INLINE_LAMBDA {
        const HoldAndGain before = {gain[i], held[i], minimum[i], countdown[i]};
        const HoldAndGain after = holdAndSmooth(before, attack[i], release[i], holdFrames[i], t);
        gain[i] = after.gain;
        held[i] = after.held;
        minimum[i] = after.minimum;
        countdown[i] = after.countdown;
        return (std::bit_cast<uint64_t>(before.gain) ^ std::bit_cast<uint64_t>(after.gain)) |
               (std::bit_cast<uint64_t>(before.held) ^ std::bit_cast<uint64_t>(after.held)) |
               (std::bit_cast<uint64_t>(before.minimum) ^ std::bit_cast<uint64_t>(after.minimum)) |
               (std::bit_cast<uint64_t>(before.countdown) ^ std::bit_cast<uint64_t>(after.countdown));
    };
    bool& steady = state.steady[first / kGroupBands];
    // The targets stay in registers: lanes stored one by one and read back
    // as a vector would wait for the stores to retire.
    if (loud != 0) {
        steady = false;
#pragma GCC ivdep
        for (int i = first; i < last; ++i) update(i, limiterTarget(threshold[i], level[i - first]));
    } else if (!steady) {
        // Every target is 1. An update that leaves the group's state as it
        // found it, bit for bit, would do so again on the same coefficients:
        // the group skips it until a target falls or the block ends. A band
        // limiter mostly idles, and its gains settle on such a fixed point
        // (not always exactly 1) early in each quiet stretch.
        uint64_t changed = 0;
        uint64_t holding = 0;
        for (int i = first; i < last; ++i)
            holding |= laneMask(!(held[i] == 1.0) | !(minimum[i] == 1.0) | !(countdown[i] == holdFrames[i]));
        if (holding == 0) {
            // No hold running: each band's held value and minimum are 1 and
            // its countdown full, and a target of 1 restarts the hold just so;
            // only the gain moves, towards 1 (1 * k is k exactly).
#pragma GCC ivdep
            for (int i = first; i < last; ++i) {
                const double k = pick(gain[i] <= 1.0, release[i], attack[i]);
                const double g = k + (1.0 - k) * gain[i];
                changed |= std::bit_cast<uint64_t>(g) ^ std::bit_cast<uint64_t>(gain[i]);
                gain[i] = g;
            }
        } else {
#pragma GCC ivdep
            for (int i = first; i < last; ++i) changed |= update(i, 1.0);
        }
        steady = changed == 0;
    }
}

template <bool PeakDetect, class Count>
QX_INLINE void bandLanes(BandLimiterState& state, const BandLimiterCoefficients& c, Count nb,
                         const double* __restrict xL, const double* __restrict xR) {
    forEachGroup(nb, [&](int first, int last) QX_INLINE_LAMBDA {
        groupLanes<PeakDetect>(state, c, first, last, xL, xR);
    });
}

LimiterInstanceCoefficients instanceCoefficients(double driveDb, double threshold, double detector,
                                                 double lookaheadMs, double attackMs,
                                                 double releaseMs) {
    LimiterInstanceCoefficients c;
    c.drive = guard::gain(driveDb);
    c.threshold = threshold;
    c.detector = detector;
    c.lookahead = guard::lookahead(lookaheadMs);
    c.attack = guard::coefficient(attackMs);
    c.release = guard::coefficient(releaseMs);
    return c;
}

}  // namespace

double limiterGainStep(LimiterInstance& instance, const LimiterInstanceCoefficients& c,
                       bool peakDetect, double xL, double xR) {
    return instanceGain(instance, c, instanceTarget(instance, c, peakDetect, xL, xR));
}

void setBandInstance(BandLimiterCoefficients& c, int band, const LimiterInstanceCoefficients& instance) {
    c.drive[band] = instance.drive;
    c.threshold[band] = instance.threshold;
    c.quietBelow[band] = quietPower(instance.threshold);
    c.detector[band] = instance.detector;
    c.keep[band] = 1.0 - instance.detector;
    c.attack[band] = instance.attack;
    c.release[band] = instance.release;
    c.lookahead[band] = instance.lookahead;
    c.holdFrames[band] = instance.lookahead + 3;
    c.sameLookahead = sameLookahead(c.lookahead);
}

LimiterInstanceCoefficients bandInstance(const BandLimiterCoefficients& c, int band) {
    LimiterInstanceCoefficients instance;
    instance.drive = c.drive[band];
    instance.threshold = c.threshold[band];
    instance.detector = c.detector[band];
    instance.attack = c.attack[band];
    instance.release = c.release[band];
    instance.lookahead = c.lookahead[band];
    return instance;
}

BandLimiterCoefficients bandLimiterCoefficients(const LimiterParams& params,
                                                const BandDetectors& detectors,
                                                int32_t bandCount) {
    BandLimiterCoefficients c;
    c.bands = guard::bands(bandCount);
    c.peakDetect = params.peakDetect.load() != 0;
    const double thresholdScale = c.peakDetect ? 0.2 : 0.1;
    for (int i = 0; i < kMaxBands; ++i) {
        setBandInstance(c, i,
                        instanceCoefficients(params.gainDb[i].load(),
                                             guard::gain(params.thresholdDb[i].load()) * thresholdScale,
                                             detectors.coefficient[i], params.lookaheadMs[i].load(),
                                             params.attackMs[i].load(), params.releaseMs[i].load()));
    }
    return c;
}

namespace {

// One frame on nb bands, the look-ahead samples read in place (Same) or
// gathered.
template <bool Same, class Count>
QX_INLINE void bandLimiterFrame(BandLimiterState& state, const BandLimiterCoefficients& c, Count nb,
                                BandSignals& bands) {
    LookaheadFrame<Same> frame;
    enterLookahead(state.counter, state.lineL, state.lineR, nb, c.drive, c.lookahead, bands, frame);
    if (c.peakDetect)
        bandLanes<true>(state, c, nb, frame.xL, frame.xR);
    else
        bandLanes<false>(state, c, nb, frame.xL, frame.xR);
    leaveLookahead(state.lineL, state.lineR, frame, nb, state.gain, bands);
}

// Bands looking different distances ahead, out of line: the gathered copies
// would give every frame of the usual case a realigned stack.
[[gnu::noinline]] void bandLimiterGathered(BandLimiterState& state, const BandLimiterCoefficients& c,
                                           BandSignals& bands) {
    withBandCount(c.bands, [&](auto nb) QX_INLINE_LAMBDA { bandLimiterFrame<false>(state, c, nb, bands); });
}

}  // namespace

void startBandLimiterBlock(BandLimiterState& state) {
    for (bool& steady : state.steady) steady = false;
}

void bandLimiterStep(BandLimiterState& state, const BandLimiterCoefficients& c, BandSignals& bands) {
    if (!c.sameLookahead) return bandLimiterGathered(state, c, bands);
    withBandCount(c.bands, [&](auto nb) QX_INLINE_LAMBDA { bandLimiterFrame<true>(state, c, nb, bands); });
}

void publishBandLimiterMeters(const BandLimiterState& state, const BandLimiterCoefficients& c, Number* meters) {
    publishReductions(state.gain, c.bands, meters);
}

void bandLimiterGapReset(BandLimiterState& state) {
    std::memset(state.lineL, 0, sizeof state.lineL);
    std::memset(state.lineR, 0, sizeof state.lineR);
}

FinalLimiterCoefficients finalLimiterCoefficients(const FinalLimiterParams& params) {
    FinalLimiterCoefficients c;
    c.peakDetect = params.peakDetect.load() != 0;
    const double thresholdScale = c.peakDetect ? 1.0 : 0.5;
    c.instance = instanceCoefficients(params.driveDb.load(),
                                      guard::gain(params.thresholdDb.load()) * thresholdScale,
                                      guard::coefficient(params.detectMs.load()),
                                      params.lookaheadMs.load(), params.attackMs.load(),
                                      params.releaseMs.load());
    if (!c.peakDetect) c.quietBelow = quietPower(c.instance.threshold);
    return c;
}

void finalLimiterTarget(FinalLimiterState& state, const FinalLimiterCoefficients& c, double left, double right) {
    const LimiterInstanceCoefficients& k = c.instance;
    const uint32_t w = state.counter & kLookaheadMask;
    state.counter += 1;
    const uint32_t rd = state.counter & kLookaheadMask;
    state.lineL[w] = k.drive * left;
    state.lineR[w] = k.drive * right;
    const uint32_t ahead = (rd + static_cast<uint32_t>(k.lookahead)) & kLookaheadMask;
    state.target =
        instanceTarget(state.instance, k, c.peakDetect, state.lineL[ahead], state.lineR[ahead], c.quietBelow);
}

void finalLimiterApply(FinalLimiterState& state, const FinalLimiterCoefficients& c, double& left, double& right,
                       bool meterFrame, Number& meter) {
    const uint32_t rd = state.counter & kLookaheadMask;
    const double f = instanceGain(state.instance, c.instance, state.target);
    left = f * state.lineL[rd];
    right = f * state.lineR[rd];
    if (meterFrame) meter = guard::reductionDb(f);
}

void finalLimiterStep(FinalLimiterState& state, const FinalLimiterCoefficients& c, double& left, double& right,
                      bool meterFrame, Number& meter) {
    finalLimiterTarget(state, c, left, right);
    finalLimiterApply(state, c, left, right, meterFrame, meter);
}

void finalLimiterGapReset(FinalLimiterState& state) {
    std::memset(state.lineL, 0, sizeof state.lineL);
    std::memset(state.lineR, 0, sizeof state.lineR);
}

QX_FRAME_VARIANT_END
}  // namespace qx
