#include "params/slider.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace qx {
namespace {

// Truncation toward zero that stays defined for NaN and huge values.
int32_t truncate(double x) {
    if (std::isnan(x)) return 0;
    if (x >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    if (x <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(x);
}

// s = 10^d for a linear slider with d decimals.
double stepScale(int32_t decimals) {
    double s = 1.0;
    for (int32_t d = 0; d < decimals && d < 9; ++d) s *= 10.0;
    return s;
}

bool isSlider(const ParameterRecord& r) {
    return r.kind == ControlKind::VerticalSlider || r.kind == ControlKind::HorizontalSlider;
}

// Display clamp of a linear slider; a NaN shows at the minimum.
double clampToRange(const ParameterRecord& r, double v) {
    if (v > r.maximum) return r.maximum;
    if (!(v >= r.minimum)) return r.minimum;
    return v;
}

std::string formatFixed(int32_t digits, double v) {
    char small[64];
    const int n = std::snprintf(small, sizeof small, "%.*f", digits, v);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), "%.*f", digits, v);
    text.resize(static_cast<size_t>(n));
    return text;
}

}  // namespace

double frequencyAtStep(double k) { return 20.0 * std::pow(2.0, 0.01 * k); }

SliderRange sliderRange(const ParameterRecord& r) {
    SliderRange out;
    if (!isSlider(r)) return out;
    if (r.isFrequencySlider()) {
        out.maxPos = truncate(r.maximum);
        out.range = out.maxPos;
        out.tickFrequency = 100;
        out.lineSize = 1;
        out.pageSize = 100;
        return out;
    }
    const double s = stepScale(r.decimals);
    out.minPos = truncate(s * r.minimum);
    out.maxPos = truncate(s * r.maximum);
    out.range = out.maxPos - out.minPos;
    out.tickFrequency = truncate(static_cast<double>(truncate(r.tickSpacing)) * s);
    out.lineSize = truncate(s * r.lineStep);
    out.pageSize = truncate(s * r.pageStep);
    return out;
}

int32_t sliderPosition(const ParameterRecord& r, double value) {
    if (!isSlider(r)) return 0;
    if (r.isFrequencySlider()) {
        const int32_t top = truncate(r.maximum);
        int32_t k = 0;
        while (k <= top && !(frequencyAtStep(k) >= value)) ++k;
        return top - k;
    }
    const double s = stepScale(r.decimals);
    const double v = clampToRange(r, value);
    // The factor keeps a value such as 0.3 (2.9999... steps) from landing a step low.
    const int32_t steps = truncate(s * v * 1.0000001);
    if (r.kind == ControlKind::VerticalSlider) return truncate(s * r.maximum) - steps;
    return steps - truncate(s * r.minimum);
}

double sliderValue(const ParameterRecord& r, int32_t position) {
    if (!isSlider(r)) return 0.0;
    if (r.isFrequencySlider()) return 20.0 * std::pow(2.0, (r.maximum - position) * 0.01);
    const double s = stepScale(r.decimals);
    if (r.kind == ControlKind::VerticalSlider) return r.maximum - position / s;
    return r.minimum + position / s;
}

std::string valueText(const ParameterRecord& r, double value) {
    switch (r.kind) {
        case ControlKind::VerticalSlider:
        case ControlKind::HorizontalSlider:
            if (r.isFrequencySlider()) return formatFixed(0, value);
            return formatFixed(r.decimals, clampToRange(r, value));
        case ControlKind::Meter:
            return formatFixed(r.decimals < 0 ? 0 : r.decimals, value);
        case ControlKind::Switch:
            break;
    }
    return std::string();
}

int32_t meterPosition(const ParameterRecord& r, double value) {
    const double x = (value - r.minimum) / (r.maximum - r.minimum) * 1000.0;
    if (!(x > 0.0)) return 0;  // also NaN and an empty range
    if (x >= 1000.0) return 1000;
    return static_cast<int32_t>(x);
}

}  // namespace qx
