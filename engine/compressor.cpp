#include "engine/compressor.h"

#include <cmath>
#include <cstring>

#include "base/vector_clones.h"
#include "engine/band_lookahead.h"

namespace qx {
QX_FRAME_VARIANT_BEGIN

CompressorCoefficients compressorCoefficients(const CompressorParams& params,
                                              const BandDetectors& detectors,
                                              int32_t bandCount) {
    CompressorCoefficients c;
    c.bands = guard::bands(bandCount);
    c.peakDetect = params.peakDetect.load() != 0;
    c.typeII = params.typeII.load() != 0;
    const double thresholdScale = c.peakDetect ? 0.2 : 0.1;
    for (int i = 0; i < kMaxBands; ++i) {
        c.makeup[i] = guard::gain(params.gainDb[i].load());
        const double ratio = guard::ratio(params.ratio[i].load());
        c.ratio[i] = ratio;
        c.k[i] = ratio >= 2.0 ? 1.0 / (ratio - 1.0) : ratio - 1.0;
        c.threshold[i] = guard::gain(params.thresholdDb[i].load()) * thresholdScale;
        c.quietBelow[i] = quietPower(c.threshold[i]);
        c.lookahead[i] = guard::lookahead(params.lookaheadMs[i].load());
        c.attack[i] = guard::coefficient(params.attackMs[i].load());
        c.release[i] = guard::coefficient(params.releaseMs[i].load());
        c.innerAttack[i] = guard::coefficient(params.initialAttackMs[i].load());
        c.innerRelease[i] = guard::coefficient(params.initialReleaseMs[i].load());
        c.detector[i] = detectors.coefficient[i];
        c.keep[i] = 1.0 - c.detector[i];
        c.oneMinusK[i] = 1.0 - c.k[i];
    }
    c.sameLookahead = sameLookahead(c.lookahead);
    c.gateLevel = guard::gain(params.gateDb.load()) * 0.1;
    c.gateRelease = guard::coefficient(params.gateReleaseMs.load());
    const double window = params.windowSizeDb.load();
    // Scale inside the guard's dB range so both factors stay finite and positive.
    c.win1 = guard::gain(window * 0.6666666666666666);
    c.win2 = guard::gain(window * 0.4);
    return c;
}

namespace {

// One frame of the bands first..last-1 (at most one vector of them):
// detector, static curve and smoothing. Every branch of the rules is computed
// and the result chosen by selects, so the loops run as vector code; the
// chosen value is bit for bit what the branch would compute. The curve's
// quotient and root count only where the level reaches the threshold, the
// attack test's quotient only where a gain lies above its target; the divider
// bounds this stage, so a group where no band needs them skips them.
template <bool TypeII, bool Rising>
QX_INLINE void smoothGains(const CompressorCoefficients& c, int first, int last, const double* __restrict target,
                           const double* __restrict envelope, double* __restrict gain) {
#pragma GCC ivdep
    for (int i = first; i < last; ++i) {
        const double t = target[i - first];
        const double e = envelope[i];
        const double g = gain[i];
        const bool falling = g <= t;
        const double innerRelease = c.innerRelease[i], plainRelease = c.release[i];
        const double innerAttack = c.innerAttack[i], plainAttack = c.attack[i];
        const double release = pick(t <= c.win2 * g, innerRelease, plainRelease);
        // Without a rising band every lane takes a release below.
        double attack = plainAttack;
        if constexpr (Rising) attack = pick(g / c.win1 <= t, innerAttack, plainAttack);
        if constexpr (!TypeII) {
            const bool gated = g * e <= c.gateLevel;
            const double r = pick(gated, c.gateRelease, release);
            const double a = pick(falling, r, attack);
            gain[i] = (1.0 - a) * g + a * t;
        } else {
            // Type II: the times shorten in proportion to the reduction already
            // applied; the gate coefficient is not divided.
            const bool loud = g * e > c.gateLevel;
            const double divided = pick(falling, release, attack) / g;
            double a = pick(falling, pick(loud, divided, c.gateRelease), divided);
            a = a * 0.25;
            a = pick(a <= 1.0, a, 1.0);
            gain[i] = a * t + (1.0 - a) * g;
        }
    }
}

// The first part of a frame on the bands first..last-1: the detector and
// its level. An RMS group whose every power lies safely under its threshold
// leaves its levels at 0, under every threshold, without the roots.
template <bool PeakDetect>
QX_INLINE void groupLevels(const CompressorCoefficients& c, int first, int last, const double* __restrict xL,
                           const double* __restrict xR, CompressorState& state) {
    double* __restrict envelope = state.envelope;
    double* __restrict lvl = state.level + first;
    if constexpr (PeakDetect) {
#pragma GCC ivdep
        for (int i = first; i < last; ++i)
            lvl[i - first] = peakLevel(envelope[i], c.keep[i], xL[i], xR[i]);
    } else if (!rmsLevelsUnlessQuiet(envelope, c.detector, c.keep, c.quietBelow, xL, xR, first, last, lvl)) {
        for (int i = first; i < last; ++i) lvl[i - first] = 0.0;
    }
}

// The second part on the same bands: the static curve's target. A part of
// its own, a frame after the levels' roots, so its quotients and root do not
// wait on them.
QX_INLINE void groupTargets(const CompressorCoefficients& c, int first, int last, CompressorState& state) {
    const double* __restrict lvl = state.level + first;
    double* __restrict t = state.target + first;
    // The gate in the third part wants this frame's envelopes; by then the
    // next frame's first part has moved them on.
    for (int i = first; i < last; ++i) state.detected[i] = state.envelope[i];
    // The quotient q = level / threshold rounds to 1 or more exactly where
    // the level reaches the threshold (both positive; below it, q lies at
    // least an ulp of 1 under 1 and stays there), so a group where no band
    // reaches its threshold needs no quotient at all.
    const bool over = anyLane<LaneTest::LessEqual>(last - first, c.threshold + first, lvl);
    // Static curve: 1 below the threshold, else between 1/sqrt(q) (2:1) and
    // 1/q (limiting) as the ratio grows.
    if (over) {
        // One loop: a loop of its own for the quotient leaves two lanes as
        // scalar stores that the root then reads as one vector, and such a
        // load waits for the stores to retire.
#pragma GCC ivdep
        for (int i = first; i < last; ++i) {
            const double thr = c.threshold[i];
            const double k = c.k[i];
            const double q = lvl[i - first] / thr;
            const double inv = 1.0 / lvl[i - first];
            const double u = std::sqrt(q) * thr * inv;
            const double steep = u * k + inv * thr * c.oneMinusK[i];
            const double gentle = u * k + c.oneMinusK[i];
            const double curve = pick(c.ratio[i] >= 2.0, steep, gentle);
            t[i - first] = pick(q >= 1.0, curve, 1.0);
        }
    } else {
        for (int i = first; i < last; ++i) t[i - first] = 1.0;
    }
}

// The third part on the same bands: the gains move towards their targets.
template <bool TypeII>
QX_INLINE void groupSmoothing(const CompressorCoefficients& c, int first, int last, CompressorState& state) {
    const double* t = state.target + first;
    // Only a gain above its target (not falling) takes the attack.
    if (anyLane<LaneTest::NotLessEqual>(last - first, state.gain + first, t))
        smoothGains<TypeII, true>(c, first, last, t, state.detected, state.gain);
    else
        smoothGains<TypeII, false>(c, first, last, t, state.detected, state.gain);
}

// The first part of a frame on nb bands, the look-ahead samples read in
// place (Same) or gathered.
template <bool Same, class Count>
QX_INLINE void compressorLevelFrame(CompressorState& state, const CompressorCoefficients& c, Count nb,
                                     const BandSignals& bands) {
    LookaheadFrame<Same> frame;
    enterLookahead(state.counter, state.lineL, state.lineR, nb, c.makeup, c.lookahead, bands, frame);
    forEachGroup(nb, [&](int first, int last) QX_INLINE_LAMBDA {
        if (c.peakDetect)
            groupLevels<true>(c, first, last, frame.xL, frame.xR, state);
        else
            groupLevels<false>(c, first, last, frame.xL, frame.xR, state);
    });
}

// Bands looking different distances ahead, out of line: the gathered copies
// would give every frame of the usual case a realigned stack.
[[gnu::noinline]] void compressorGathered(CompressorState& state, const CompressorCoefficients& c,
                                          const BandSignals& bands) {
    withBandCount(c.bands, [&](auto nb) QX_INLINE_LAMBDA { compressorLevelFrame<false>(state, c, nb, bands); });
}

}  // namespace

void compressorLevels(CompressorState& state, const CompressorCoefficients& c, const BandSignals& bands) {
    if (!c.sameLookahead) return compressorGathered(state, c, bands);
    withBandCount(c.bands, [&](auto nb) QX_INLINE_LAMBDA { compressorLevelFrame<true>(state, c, nb, bands); });
}

void compressorTargets(CompressorState& state, const CompressorCoefficients& c, BandSignals& bands) {
    withBandCount(c.bands, [&](auto nb) QX_INLINE_LAMBDA {
        forEachGroup(nb, [&](int first, int last) QX_INLINE_LAMBDA { groupTargets(c, first, last, state); });
        // The frame's samples leave the line here, from the row the first
        // part's counter step left: the next frame's first part writes that
        // row before the third part of this one runs.
        const uint32_t read = state.counter & kLookaheadMask;
        const double* __restrict readL = state.lineL[read];
        const double* __restrict readR = state.lineR[read];
        const int n = nb;
#pragma GCC ivdep
        for (int i = 0; i < n; ++i) {
            bands.left[i] = readL[i];
            bands.right[i] = readR[i];
        }
    });
}

void compressorGains(CompressorState& state, const CompressorCoefficients& c, BandSignals& bands) {
    withBandCount(c.bands, [&](auto nb) QX_INLINE_LAMBDA {
        forEachGroup(nb, [&](int first, int last) QX_INLINE_LAMBDA {
            if (c.typeII)
                groupSmoothing<true>(c, first, last, state);
            else
                groupSmoothing<false>(c, first, last, state);
        });
        const int n = nb;
        const double* __restrict gain = state.gain;
#pragma GCC ivdep
        for (int i = 0; i < n; ++i) {
            bands.left[i] *= gain[i];
            bands.right[i] *= gain[i];
        }
    });
}

void compressorStep(CompressorState& state, const CompressorCoefficients& c, BandSignals& bands) {
    compressorLevels(state, c, bands);
    compressorTargets(state, c, bands);
    compressorGains(state, c, bands);
}

void publishCompressorMeters(const CompressorState& state, const CompressorCoefficients& c, Number* meters) {
    publishReductions(state.gain, c.bands, meters);
}

void compressorGapReset(CompressorState& state) {
    std::memset(state.lineL, 0, sizeof state.lineL);
    std::memset(state.lineR, 0, sizeof state.lineR);
}

QX_FRAME_VARIANT_END
}  // namespace qx
