#include "engine/stereo_image.h"

#include <cmath>

#include "base/vector_clones.h"
#include "engine/chain.h"
#include "engine/coefficient_guards.h"

namespace qx {
QX_FRAME_VARIANT_BEGIN

namespace {
constexpr double kMaxAmount = 1e6;
}  // namespace

StereoImageCoefficients stereoImageCoefficients(const StereoImageParams& params) {
    StereoImageCoefficients k;
    k.detect1 = guard::coefficient(params.detect1Ms.load());
    k.detect2 = guard::coefficient(params.detect2Ms.load());
    k.release = 1.0 - guard::coefficient(params.releaseMs.load());
    k.maxWidth = guard::gain(params.maxEnhanceDb.load());
    k.amount = guard::clampFinite(params.amountPct.load() * 0.1, -kMaxAmount, kMaxAmount);
    k.keep1 = 1.0 - k.detect1;
    k.keep2 = 1.0 - k.detect2;
    return k;
}

void stereoImageDetect(StereoImageState& s, const StereoImageCoefficients& k, ReverseCascadeFilter& highpass,
                       bool mono, double left, double right) {
    if (mono) return;
    const double mid = (left + right) * 0.5;
    const double y = filterStep(highpass, Channel::Left, mid);
    s.power = s.power * k.keep1 + y * y * k.detect1;
    s.level = std::sqrt(s.power);
}

void stereoImageTarget(StereoImageState& s, const StereoImageCoefficients& k, bool mono) {
    if (mono) return;
    const double level = s.level;
    s.average = s.average * k.keep2 + level * k.detect2;
    double w = k.amount * (level / (s.average + 0.01) - 0.8) + 0.8;
    if (w < 1.0) w = 1.0;
    if (w > k.maxWidth) w = k.maxWidth;  // the ceiling wins when it is below 1
    s.target = w;
}

void stereoImageApply(StereoImageState& s, const StereoImageCoefficients& k, bool mono, double& left, double& right) {
    const double mid = (left + right) * 0.5;
    if (mono) {
        left = mid;
        right = mid;
        return;
    }
    const double side = (left - right) * 0.5;
    const double w = s.target;
    // Instant rise, exponential decay (which may dip below w for one frame).
    s.width = pickWhereLess(s.width, w, w, k.release * s.width);
    left = mid + side * s.width;
    right = mid - side * s.width;
}

void stereoImageStep(StereoImageState& s, const StereoImageCoefficients& k, const StereoImageParams& params,
                     ReverseCascadeFilter& highpass, double& left, double& right) {
    const bool mono = params.mono.load() != 0;
    stereoImageDetect(s, k, highpass, mono, left, right);
    stereoImageTarget(s, k, mono);
    stereoImageApply(s, k, mono, left, right);
}

void stereoImageBlockEnd(const StereoImageState& s, const StereoImageParams& params, Number& meter) {
    if (params.mono.load()) return;
    meter = gainToDb(s.width + 0.00001) + 0.01;
}

QX_FRAME_VARIANT_END
}  // namespace qx
