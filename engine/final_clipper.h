#pragma once
// Final clipper: drives the signal and limits it to a ceiling, either with a
// soft cubic curve sample by sample or, in complex mode, by clipping the
// envelope of the analytic signal formed with a 32-tap Hilbert transformer
// (only the in-phase part is reduced, so the envelope never exceeds the
// ceiling). Complex mode delays the signal by 32 frames.
#include <cstdint>

#include "base/relaxed.h"
#include "params/parameters.h"
#include "base/frame_variant.h"

namespace qx {

// Hilbert transformer history of both channels, which always step together:
// each entry holds left and right side by side. The transformer output of
// position p takes the inputs of positions p - 63, p - 61, ..., p - 1 in
// that order; it is summed as they come, one tap per input, so no frame
// waits on a chain of 32 additions.
struct HilbertHistory {
    double ring[64][2] = {};  // the scaled input of position p at p & 63
    // Position p's sum in the making, at sums[p & 1][(p >> 1) & 31].
    alignas(32) double sums[2][32][2] = {};
    int32_t counter = 0;  // next write position; only its low six bits matter
};

struct FinalClipperState {
    HilbertHistory history;  // zeroed by the gap reset
    double depth = 0.0;      // clip depth behind the meter; never reset
};

struct FinalClipperCoefficients {
    double drive = 1.0;             // cd = g(Drive)
    double threshold = 1.0;         // T = g(Threshold), the ceiling
    double k1 = 0.6666666666666666; // 2/3 / T
    double k2 = 1.5;                // 1 / k1
    double thresholdSquared = 1.0;  // T^2
};

QX_FRAME_VARIANT_BEGIN
// Per block. Drive and threshold levels are limited to +-200 dB so the
// ceiling and both scale factors stay finite and non-zero.
FinalClipperCoefficients finalClipperCoefficients(const FinalClipperParams& params);

// One frame, both channels in place. Reads FinalClipper.Complex.
void finalClipperStep(FinalClipperState& state, const FinalClipperCoefficients& k, const FinalClipperParams& params,
                      double& left, double& right);

// Block end (stage active): publishes dB(depth / T + 1) with depth held in
// [0, 30], then lets depth fall by `decay` so the meter returns linearly
// between clipping events.
void finalClipperBlockEnd(FinalClipperState& state, const FinalClipperCoefficients& k, double decay, Number& meter);

// The block's meter decay: (frames / channels, integer division) x 0.00005;
// 0 when frames or channels are not positive.
double finalClipperDecay(int32_t frames, int32_t channels);

// Gap reset: clears both Hilbert histories (the depth stays).
void finalClipperGapReset(FinalClipperState& state);
QX_FRAME_VARIANT_END

}  // namespace qx
