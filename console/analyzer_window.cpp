#include <cmath>

#include "console/analysis_windows.h"

namespace qx {

namespace {

constexpr COLORREF kMarkColour = RGB(0, 0, 136);
constexpr COLORREF kBarColour = RGB(0, 0, 255);
constexpr int kBarStep = 9;  // axis indices per bar: 112 bars over 0..999
// A bar sums the bins of its frequencies in steps of this many hertz, each
// frequency's bin being hertz / 39.
constexpr int kHzPerBin = 39;

}  // namespace

SpectrumAnalyzer::SpectrumAnalyzer() {
    for (int i = 0; i < kLogAxisSize; ++i) frequencies_[i] = logAxisFrequency(i);
}

void SpectrumAnalyzer::addFrame(const ChainState& chain, int offset) {
    const uint16_t start = static_cast<uint16_t>(chain.scopeIndex.load() - offset - kFrameSize);
    for (int j = 0; j < kFrameSize; ++j)
        input_[j] = static_cast<float>(chain.scope[static_cast<uint16_t>(start + j)].load());
    fft_.forward(input_.data(), real_.data(), imaginary_.data());
    // The bars sum the absolute real part, not the magnitude.
    for (int k = 0; k < kFrameSize; ++k) sums_[k] += std::fabs(real_[k]);
}

void SpectrumAnalyzer::draw(const WindowGroup* group, const ChainState& chain) {
    if (group == nullptr || group->window == nullptr || group->surface.dc == nullptr) return;
    sums_.fill(0.0f);
    for (int s = 0; s < kFrames; ++s) addFrame(chain, kFrameStep * s);

    PlotCanvas canvas(group);
    if (!canvas.ready()) return;
    const int baseline = canvas.bottom() - kBaselineMargin;
    canvas.clear();
    canvas.usePen(kMarkColour);
    canvas.useLabelFont(kBarColour);
    canvas.axes(kTopLine, baseline);
    canvas.frequencyMarks(frequencies_, kTopLine, baseline);
    canvas.releaseTools();

    canvas.usePen(kBarColour);
    int low = 0;
    for (int i = 0; i < kLogAxisSize - 1; i += kBarStep) {
        const int high = frequencies_[i];
        float sum = 0.0f;
        for (int hz = low; hz < high; hz += kHzPerBin) sum += sums_[hz / kHzPerBin];
        low = high;
        double value = 5.0 * std::sqrt(static_cast<double>(sum)) - 32.0;
        if (value < 0.0) value = 0.0;
        canvas.bar(axisColumn(i), baseline, value);
    }
}

}  // namespace qx
