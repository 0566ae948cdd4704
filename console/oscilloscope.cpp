#include "console/analysis_windows.h"

namespace qx {

namespace {

constexpr COLORREF kGridColour = RGB(0, 102, 0);
constexpr COLORREF kTraceColour = RGB(0, 255, 0);
constexpr int kScopeMargin = 10;

}  // namespace

void drawScope(const WindowGroup* group, const ChainState& chain) {
    PlotCanvas canvas(group);
    if (!canvas.ready()) return;
    const int right = canvas.right();
    const uint16_t newest = chain.scopeIndex.load();
    const double centre = 0.5 * canvas.bottom();
    const double amplitude = centre - kScopeMargin;

    canvas.clear();
    canvas.usePen(kGridColour);
    canvas.horizontalLine(static_cast<int>(centre), 0, right);
    canvas.horizontalLine(static_cast<int>(centre - amplitude), 0, right);
    canvas.horizontalLine(static_cast<int>(centre + amplitude) - 1, 0, right);
    canvas.releaseTools();

    // Column x shows the sample written right - x entries before the newest.
    canvas.usePen(kTraceColour);
    canvas.polyline(right, [&](int x) {
        const uint16_t entry = static_cast<uint16_t>(newest - right + x);
        return POINT{x, static_cast<LONG>(centre - amplitude * chain.scope[entry].load())};
    });
}

}  // namespace qx
