#include "console/plot_canvas.h"

#include <cmath>

namespace qx {

namespace {

constexpr const char* kMarkLabels[] = {"32", "64", "125", "250", "500", "1K", "2K", "4K", "8K", "16K"};
constexpr double kFirstMarkHz = 31.25;
constexpr int kLabelHeight = 14;
constexpr int kLabelGap = 3;

}  // namespace

int16_t logAxisFrequency(int index) { return static_cast<int16_t>(20.0 * std::pow(2.0, index * 0.01)); }

PlotCanvas::PlotCanvas(const WindowGroup* group) {
    if (group == nullptr || group->window == nullptr || group->surface.dc == nullptr) return;
    HDC windowDc = GetDC(group->window);
    if (windowDc == nullptr) return;
    window_ = group->window;
    windowDc_ = windowDc;
    dc_ = group->surface.dc;
    GetClientRect(window_, &client_);
}

PlotCanvas::~PlotCanvas() {
    if (!ready()) return;
    releaseTools();
    BitBlt(windowDc_, 0, 0, client_.right - client_.left, client_.bottom - client_.top, dc_, 0, 0, SRCCOPY);
    ReleaseDC(window_, windowDc_);
}

void PlotCanvas::clear() {
    FillRect(dc_, &client_, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
}

void PlotCanvas::usePen(COLORREF colour) {
    HPEN pen = CreatePen(PS_SOLID, 1, colour);
    if (pen == nullptr) return;
    HGDIOBJ old = SelectObject(dc_, pen);
    if (pen_ == nullptr) {
        previousPen_ = old;
    } else {
        DeleteObject(pen_);
    }
    pen_ = pen;
}

void PlotCanvas::useLabelFont(COLORREF colour) {
    if (font_ == nullptr) {
        font_ = CreateFontA(kLabelHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                            CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, nullptr);
        if (font_ != nullptr) previousFont_ = SelectObject(dc_, font_);
    }
    SetTextColor(dc_, colour);
    SetBkColor(dc_, RGB(0, 0, 0));
    SetBkMode(dc_, OPAQUE);
}

void PlotCanvas::releaseTools() {
    if (pen_ != nullptr) {
        SelectObject(dc_, previousPen_);
        DeleteObject(pen_);
        pen_ = nullptr;
    }
    if (font_ != nullptr) {
        SelectObject(dc_, previousFont_);
        DeleteObject(font_);
        font_ = nullptr;
    }
}

void PlotCanvas::line(int x0, int y0, int x1, int y1) {
    MoveToEx(dc_, x0, y0, nullptr);
    LineTo(dc_, x1, y1);
}

void PlotCanvas::axes(int top, int baseline) {
    horizontalLine(baseline, kAxisLeft, client_.right);
    horizontalLine(top, kAxisLeft, client_.right);
    line(kAxisLeft, top, kAxisLeft, baseline);
}

void PlotCanvas::frequencyMarks(const std::array<int16_t, kLogAxisSize>& frequencies, int top, int baseline) {
    double threshold = kFirstMarkHz;
    int label = 0;
    for (int i = 0; i < kLogAxisSize; i += 3) {
        if (frequencies[i] < threshold) continue;
        threshold *= 2.0;
        const int x = axisColumn(i);
        line(x, top, x, baseline);
        if (label < static_cast<int>(std::size(kMarkLabels))) {
            centredText(kMarkLabels[label++], RECT{i / 3 + 1, baseline + kLabelGap, i / 3 + 31, client_.bottom});
        }
    }
}

void PlotCanvas::centredText(const char* text, RECT box) {
    DrawTextA(dc_, text, -1, &box, DT_CENTER | DT_SINGLELINE | DT_NOPREFIX);
}

void PlotCanvas::bar(int x, int baseline, double height) {
    line(x, baseline, x, static_cast<int>(baseline - height - 1.0));
}

}  // namespace qx
