#pragma once
// Drawing primitives shared by the oscilloscope, the spectrum analyzer and the
// frequency response plot: a canvas over a window's off-screen surface that
// fills, draws lines, frequency marks with their labels, centred text,
// polylines and bars, and copies the finished picture to the window.
#include <windows.h>

#include <array>
#include <cstdint>

#include "console/console.h"

namespace qx {

// Index i of the log frequency axis (0..1000, a hundredth of an octave per
// step from 20 Hz) to whole hertz: trunc(20 * 2^(i * 0.01)).
inline constexpr int kLogAxisSize = 1001;
int16_t logAxisFrequency(int index);

// Left edge of the frequency axis and the top line of the analyzer and plot.
inline constexpr int kAxisLeft = 16;
inline constexpr int kTopLine = 10;
inline constexpr int kBaselineMargin = 20;

// The column of axis index i: i / 3 + 16.
inline constexpr int axisColumn(int index) { return index / 3 + kAxisLeft; }

class PlotCanvas {
public:
    // Usable when the group has an open window with a surface and a device
    // context for the window can be had.
    explicit PlotCanvas(const WindowGroup* group);
    ~PlotCanvas();
    PlotCanvas(const PlotCanvas&) = delete;
    PlotCanvas& operator=(const PlotCanvas&) = delete;

    bool ready() const { return window_ != nullptr; }
    int left() const { return client_.left; }
    int right() const { return client_.right; }
    int bottom() const { return client_.bottom; }

    // Fills the client area black.
    void clear();
    // Replaces the current pen by a new solid pen of width 1 (the previous
    // one of ours deleted).
    void usePen(COLORREF colour);
    // Selects the label font (height 14, normal weight) with the text colour
    // on a black background; released by releaseTools.
    void useLabelFont(COLORREF colour);
    // Deselects and deletes our pen and font.
    void releaseTools();

    void line(int x0, int y0, int x1, int y1);
    void horizontalLine(int y, int x0, int x1) { line(x0, y, x1, y); }
    // Top line, baseline and the axis at column 16.
    void axes(int top, int baseline);
    // The octave marks of a log frequency table (entries 0 where not known):
    // walking every third index, each entry at or above 31.25 Hz, 62.5 Hz, ...
    // gets a vertical line from `top` to `baseline` and the next of the labels
    // "32" .. "16K" under the baseline.
    void frequencyMarks(const std::array<int16_t, kLogAxisSize>& frequencies, int top, int baseline);
    void centredText(const char* text, RECT box);
    // Connected line through `count` points, point k given by at(k).
    template <class PointAt>
    void polyline(int count, PointAt at) {
        if (count <= 0) return;
        const POINT first = at(0);
        MoveToEx(dc_, first.x, first.y, nullptr);
        for (int k = 1; k < count; ++k) {
            const POINT next = at(k);
            LineTo(dc_, next.x, next.y);
        }
    }
    // A vertical bar from the baseline up by `height` pixels (0: one pixel).
    void bar(int x, int baseline, double height);

private:
    HWND window_ = nullptr;
    HDC windowDc_ = nullptr;
    HDC dc_ = nullptr;
    RECT client_{};
    HPEN pen_ = nullptr;
    HGDIOBJ previousPen_ = nullptr;
    HFONT font_ = nullptr;
    HGDIOBJ previousFont_ = nullptr;
};

}  // namespace qx
