#include <cstdio>

#include "console/analysis_windows.h"
#include "platform/clock.h"
#include "platform/threads.h"

namespace qx {

namespace {

constexpr COLORREF kGridColour = RGB(102, 0, 0);
constexpr COLORREF kCurveColour = RGB(255, 0, 0);
constexpr int kTimeTextTop = 30;
constexpr int kTimeTextBottom = 60;

bool hasSurface(const WindowGroup* group) {
    return group != nullptr && group->window != nullptr && group->surface.dc != nullptr;
}

}  // namespace

ResponsePlot::ResponsePlot() : measurement_(std::make_unique<ChainState>()) {
    // Before any measurement: every frequency known, the curve on the baseline.
    for (int k = 0; k < kResponsePoints; ++k) curve_.frequencyHz[k] = static_cast<int16_t>(responseFrequency(k));
}

void ResponsePlot::progress(const ResponseCurve&, int32_t, void* self) {
    auto* plot = static_cast<ResponsePlot*>(self);
    // Unsigned difference: the tick counter may wrap during a measurement.
    plot->elapsedSeconds_ = static_cast<uint32_t>(systemTickCount() - plot->startTick_) * 0.001;
    plot->draw(plot->measuring_);
}

void ResponsePlot::measure(const WindowGroup* group, const ChainState& live) {
    if (!hasSurface(group)) return;
    measuring_ = group;
    startTick_ = systemTickCount();
    measureResponse(live, *measurement_, curve_, &ResponsePlot::progress, this, makeSecondThread().get());
    progress(curve_, kResponsePoints, this);
    measuring_ = nullptr;
}

void ResponsePlot::draw(const WindowGroup* group) const {
    PlotCanvas canvas(group);
    if (!canvas.ready()) return;
    const int baseline = canvas.bottom() - kBaselineMargin;
    const double height = baseline - kTopLine;
    // Marks only where a frequency is known: during a measurement they
    // appear as the sweep passes them.
    std::array<int16_t, kLogAxisSize> frequencies{};
    for (int k = 0; k < kResponsePoints; ++k) frequencies[k * kResponseIndexStep] = curve_.frequencyHz[k];

    canvas.clear();
    canvas.usePen(kGridColour);
    canvas.useLabelFont(kCurveColour);
    const int fullScale = static_cast<int>(baseline - height);
    canvas.horizontalLine(baseline, kAxisLeft, canvas.right());
    canvas.horizontalLine(fullScale, kAxisLeft, canvas.right());
    canvas.horizontalLine(static_cast<int>(baseline - 0.5 * height), kAxisLeft, canvas.right());
    canvas.line(kAxisLeft, kTopLine, kAxisLeft, baseline);
    canvas.frequencyMarks(frequencies, fullScale, baseline);
    char text[64];
    std::snprintf(text, sizeof text, "Time To Complete Chart: %.1f sec", elapsedSeconds_);
    canvas.centredText(text, RECT{canvas.left(), kTimeTextTop, canvas.right(), kTimeTextBottom});
    canvas.releaseTools();

    canvas.usePen(kCurveColour);
    canvas.polyline(kResponsePoints, [&](int k) {
        return POINT{axisColumn(k * kResponseIndexStep), static_cast<LONG>(baseline - height * curve_.peak[k])};
    });
}

}  // namespace qx
