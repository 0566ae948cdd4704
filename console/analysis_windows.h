#pragma once
// The analysis windows of the console: the oscilloscope and the spectrum
// analyzer (redrawn from the chain's scope ring by the fast timer), the
// frequency response plot (measured on a private copy of the chain state),
// and the documentation viewer with its search.
#include <windows.h>

#include <array>
#include <cstdint>
#include <memory>

#include "console/plot_canvas.h"
#include "engine/fft.h"
#include "engine/response.h"

namespace qx {

// The newest stretch of the scope ring as a green trace, one sample per column.
void drawScope(const WindowGroup* group, const ChainState& chain);

class SpectrumAnalyzer {
public:
    static constexpr int kFrameSize = 1024;
    static constexpr int kFrames = 8;
    static constexpr int kFrameStep = 128;

    SpectrumAnalyzer();
    // Sums the eight newest overlapping frames of the ring and draws 112 bars.
    void draw(const WindowGroup* group, const ChainState& chain);

private:
    // One rectangular frame ending `offset` samples before the newest entry,
    // its |Re X[k]| added into the sums.
    void addFrame(const ChainState& chain, int offset);

    std::array<int16_t, kLogAxisSize> frequencies_{};
    // Single precision throughout, like the display needs; never reallocated.
    RealFft<float, kFrameSize> fft_;
    std::array<float, kFrameSize> sums_{};
    std::array<float, kFrameSize> input_{};
    std::array<float, kFrameSize> real_{};
    std::array<float, kFrameSize> imaginary_{};
};

class ResponsePlot {
public:
    ResponsePlot();
    // Measures the chain with the settings in force on a copy of `live`,
    // redrawing every 20 points and at the end. Blocks the calling thread.
    void measure(const WindowGroup* group, const ChainState& live);
    void draw(const WindowGroup* group) const;

private:
    static void progress(const ResponseCurve& curve, int32_t pointsDone, void* self);

    std::unique_ptr<ChainState> measurement_;  // the chain's copy, allocated once
    ResponseCurve curve_;
    double elapsedSeconds_ = 0.0;
    uint32_t startTick_ = 0;
    const WindowGroup* measuring_ = nullptr;
};

// Fills the viewer's text box from the "TEXT" resource of the module; a
// missing or empty resource leaves it empty.
void loadDocumentation(HWND window, HMODULE module);
// "Go": the next case-insensitive occurrence of the find text after the
// selection, wrapping to the start; "String not found" otherwise.
void findInDocumentation(HWND window);

struct AnalysisWindows {
    SpectrumAnalyzer spectrum;
    ResponsePlot response;
};

}  // namespace qx
