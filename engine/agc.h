#pragma once
// Two-band AGC: a slow gain control that only ever boosts, raising quiet
// program towards a target level, never below unity and never above MaxGain.
// Normally a crossover splits the signal into a low and a high band with their
// own detectors, attack, release and trims, the two gains optionally linked,
// and a wideband protection gain after the recombination keeps the sum from
// overshooting. In single-band mode one gain acts on the unsplit signal.
// Below the gate the gains stop following the program and only creep upward.
#include "base/relaxed.h"
#include "filters/reverse_cascade.h"
#include "params/parameters.h"
#include "base/frame_variant.h"

namespace qx {

// Per-frame gain factor while gated: about 0.63 dB per second.
constexpr double kAgcCreep = 1.0000016336986284;

struct AgcState {
    double powerLow = 0.0;    // P_lo (also the single-band detector)
    double powerHigh = 0.0;   // P_hi
    double powerOut = 0.0;    // P_out, recombined output
    double gainLow = 0.0;     // G_lo (also the single-band gain)
    double gainHigh = 0.0;    // G_hi
    double protection = 0.0;  // G_p; the gap reset leaves it alone
    double protectionTarget = 1.0;  // the frame's, left by one part for the next
};

struct AgcCoefficients {
    double level = 0.0;  // Level % x 0.01
    double maxGain = 1.0;
    double gate = 0.0;
    double link = 0.0;  // BandLink % x 0.005
    double unlink = 1.0;
    double detectLow = 1.0, detectHigh = 1.0, detectSum = 1.0;
    double attackLow = 1.0, attackHigh = 1.0, attackSum = 1.0;
    double releaseLow = 1.0, releaseHigh = 1.0, releaseSum = 1.0;
    double releaseMaxLow = 2.0, releaseMaxHigh = 2.0;  // largest rise factor per frame
    double trimLow = 1.0, trimHigh = 1.0;              // output trims g(Gain.*Band)
    // 1 - each coefficient above, once per block instead of per frame.
    double keepDetectLow = 0.0, keepDetectHigh = 0.0, keepDetectSum = 0.0;
    double keepAttackLow = 0.0, keepAttackHigh = 0.0, keepAttackSum = 0.0;
    double keepReleaseLow = 0.0, keepReleaseHigh = 0.0, keepReleaseSum = 0.0;
    QuadDesign crossover;  // lowpass, then highpass, as of the block start
    // The crossover's four channels stand at the same positions. Only the
    // two-band step moves them, all four alike in lock-step, so this holds
    // for every frame up to the next coefficients.
    bool crossoverInLockStep = false;
    // Per crossover lane (low left, low right, high left, high right): the
    // trims, and the shares of the low and the high band's gain in the
    // lane's linked gain (unlink or link).
    alignas(32) double laneTrims[4] = {1.0, 1.0, 1.0, 1.0};
    double laneShareOfLow[4] = {1.0, 1.0, 0.0, 0.0};
    double laneShareOfHigh[4] = {0.0, 0.0, 1.0, 1.0};
};

QX_FRAME_VARIANT_BEGIN
// Per block. Guards: times that are not positive or not finite act as
// instant (coefficient 1, largest rise x2); one-pole coefficients stay in
// [0, 1]; levels in dB are limited to +-200 dB; the link stays in [0, 1];
// Level is limited to +-1e6 x 100 %; the rise limit to 1e12. Takes the
// crossover filters' designs as they are (after takeDesign) and whether they
// run in lock-step (after any reset); until the next call nothing but the
// steps below may move the filters' positions.
AgcCoefficients agcCoefficients(const AgcParams& params, const ReverseCascadeFilter& lowpass,
                                const ReverseCascadeFilter& highpass);
// The same in two parts: what the parameters alone give (the crossover left
// as default), then the crossover's part.
AgcCoefficients agcParameterCoefficients(const AgcParams& params);
void takeCrossover(AgcCoefficients& k, const ReverseCascadeFilter& lowpass, const ReverseCascadeFilter& highpass);
QX_FRAME_VARIANT_END

// One frame in place. Two-band mode runs both channels through the
// reverse-cascaded crossover `lowpass` and `highpass` (with gain);
// single-band mode runs the causal `highpass` for the detector only. The mode
// AGC.SingleBand is read on every frame.
// Two-band frames come in five parts, so the chain can run them in
// consecutive steps and the roots and quotients of one wait beside other
// work: agcDetect runs the crossover and the bands' detector powers into
// `w`, agcTarget their targets (a root and a quotient), agcApply the gains
// (leaving the gained lanes in `w`), agcProtectTarget the protection's
// target, agcProtect the protection and the output; each part of a frame
// runs before the next frame's part before it. In single-band mode, or with
// the crossover out of lock-step, agcDetect runs the whole frame and returns
// false (no further parts).
struct AgcHalfway {
    // The crossover's (after agcApply: gained): low left, low right, high left, high right.
    QuadLanes lanes;
    double power[2];  // low, high
    double target[2];
};
QX_FRAME_VARIANT_BEGIN
bool agcDetect(AgcState& state, const AgcCoefficients& k, const AgcParams& params, ReverseCascadeFilter& lowpass,
               ReverseCascadeFilter& highpass, double& left, double& right, AgcHalfway& w);
void agcTarget(const AgcCoefficients& k, AgcHalfway& w);
void agcApply(AgcState& state, const AgcCoefficients& k, AgcHalfway& w);
void agcProtectTarget(AgcState& state, const AgcCoefficients& k, const AgcHalfway& w);
void agcProtect(AgcState& state, const AgcCoefficients& k, const AgcHalfway& w, double& left, double& right);

// One whole frame.
inline void agcStep(AgcState& state, const AgcCoefficients& k, const AgcParams& params, ReverseCascadeFilter& lowpass,
                    ReverseCascadeFilter& highpass, double& left, double& right) {
    AgcHalfway w;
    if (agcDetect(state, k, params, lowpass, highpass, left, right, w)) {
        agcTarget(k, w);
        agcApply(state, k, w);
        agcProtectTarget(state, k, w);
        agcProtect(state, k, w, left, right);
    }
}

// Block end (stage active): two-band publishes meters[0..2] (low gain, high
// gain, protection reduction); single-band only meters[0].
void agcBlockEnd(const AgcState& state, const AgcCoefficients& k, const AgcParams& params, Number* meters);

// Gap reset: both band gains restart at half of g(MaxGain).
void agcGapReset(AgcState& state, const AgcParams& params);
QX_FRAME_VARIANT_END

}  // namespace qx
