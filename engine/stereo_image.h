#pragma once
// Stereo image processor: folds to mono, or widens the image by scaling the
// side signal with a width that follows the dynamics of the mid signal. When
// the highpass-filtered mid power rises above its own longer-term average the
// side is boosted at once, up to a ceiling; otherwise the width decays.
#include "base/relaxed.h"
#include "filters/reverse_cascade.h"
#include "params/parameters.h"
#include "base/frame_variant.h"

namespace qx {

struct StereoImageState {
    double power = 0.0;    // P: mean square of the filtered mid signal
    double average = 0.0;  // A: longer-term average of sqrt(P)
    double width = 0.0;    // W: factor applied to the side signal
    // The frame's sqrt(P) and width target, each left by one part of the
    // frame for the next.
    double level = 0.0;
    double target = 0.0;
};

struct StereoImageCoefficients {
    double detect1 = 1.0;   // a1 = c(Detect1)
    double detect2 = 1.0;   // a2 = c(Detect2)
    double release = 0.0;   // r = 1 - c(Release), per-frame decay of W
    double maxWidth = 1.0;  // Wmax = g(MaxEnhance)
    double amount = 0.0;    // k = Amount % x 0.1
    double keep1 = 0.0, keep2 = 0.0;  // 1 - a1, 1 - a2, once per block
};

QX_FRAME_VARIANT_BEGIN
// Per block. Times that are not positive or not finite act as instant
// (coefficient 1); MaxEnhance is limited to +-200 dB and k to +-1e6.
StereoImageCoefficients stereoImageCoefficients(const StereoImageParams& params);

// One frame in place. Reads StereoImageProc.Mono: when set both channels become
// (L + R) / 2 and neither the detector nor the width moves. Otherwise the mid
// signal runs through channel 1 of `highpass` as a causal filter.
void stereoImageStep(StereoImageState& state, const StereoImageCoefficients& k, const StereoImageParams& params,
                     ReverseCascadeFilter& highpass, double& left, double& right);

// The same frame in three parts, each taking the switch as read once for the
// frame, so the chain can run them in consecutive steps and the root and the
// quotient wait beside other work: the detector and its root, the width
// target, then the width and the output. Each frame's parts run in order, and
// a part runs before the next frame's part before it.
void stereoImageDetect(StereoImageState& s, const StereoImageCoefficients& k, ReverseCascadeFilter& highpass,
                       bool mono, double left, double right);
void stereoImageTarget(StereoImageState& s, const StereoImageCoefficients& k, bool mono);
void stereoImageApply(StereoImageState& s, const StereoImageCoefficients& k, bool mono, double& left, double& right);

// Block end (stage active): unless Mono is set, meter = dB(W + 0.00001) + 0.01.
void stereoImageBlockEnd(const StereoImageState& state, const StereoImageParams& params, Number& meter);
QX_FRAME_VARIANT_END

}  // namespace qx
