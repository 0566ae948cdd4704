#include <cmath>
#include <numbers>

#include "console/analysis_windows.h"

namespace qx {

namespace {

constexpr COLORREF kMarkColour = RGB(0, 0, 136);
constexpr COLORREF kBarColour = RGB(0, 0, 255);
constexpr int kFrameBits = 10;  // 1024-point frames
constexpr int kBarStep = 9;     // axis indices per bar: 112 bars over 0..999
// A bar sums the bins of its frequencies in steps of this many hertz, each
// frequency's bin being hertz / 39.
constexpr int kHzPerBin = 39;

uint32_t reverseBits(uint32_t value, int bits) {
    uint32_t reversed = 0;
    for (int b = 0; b < bits; ++b) {
        reversed = (reversed << 1) | (value & 1u);
        value >>= 1;
    }
    return reversed;
}

}  // namespace

SpectrumAnalyzer::SpectrumAnalyzer() {
    for (int i = 0; i < kLogAxisSize; ++i) frequencies_[i] = logAxisFrequency(i);
    for (int k = 0; k < kFrameSize / 2; ++k) {
        const double angle = -2.0 * std::numbers::pi * k / kFrameSize;
        cosines_[k] = static_cast<float>(std::cos(angle));
        sines_[k] = static_cast<float>(std::sin(angle));
    }
}

void SpectrumAnalyzer::transform() {
    // Radix-2 decimation in time on the bit-reversed copy of the real input.
    for (int j = 0; j < kFrameSize; ++j) {
        const uint32_t target = reverseBits(static_cast<uint32_t>(j), kFrameBits);
        real_[target] = input_[j];
        imaginary_[target] = 0.0f;
    }
    for (int block = 2; block <= kFrameSize; block *= 2) {
        const int half = block / 2;
        const int stride = kFrameSize / block;
        for (int start = 0; start < kFrameSize; start += block) {
            for (int k = 0; k < half; ++k) {
                const float wr = cosines_[k * stride];
                const float wi = sines_[k * stride];
                const int a = start + k;
                const int b = a + half;
                const float tr = wr * real_[b] - wi * imaginary_[b];
                const float ti = wr * imaginary_[b] + wi * real_[b];
                real_[b] = real_[a] - tr;
                imaginary_[b] = imaginary_[a] - ti;
                real_[a] += tr;
                imaginary_[a] += ti;
            }
        }
    }
}

void SpectrumAnalyzer::addFrame(const ChainState& chain, int offset) {
    const uint16_t start = static_cast<uint16_t>(chain.scopeIndex.load() - offset - kFrameSize);
    for (int j = 0; j < kFrameSize; ++j)
        input_[j] = static_cast<float>(chain.scope[static_cast<uint16_t>(start + j)].load());
    transform();
    // The real part only, as the display has always summed it.
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
