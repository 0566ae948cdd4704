#include "cli/plot_image.h"

#include <cairo.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

namespace qx::cli {

namespace {

constexpr int kWidth = 960;
constexpr int kHeight = 540;
constexpr double kLeft = 78.0, kRight = 24.0, kTop = 56.0, kBottom = 62.0;
constexpr double kLowHz = 20.0, kHighHz = 20000.0;
constexpr const char* kFont = "DejaVu Sans";

struct Area {
    double x0 = kLeft, y0 = kTop, x1 = kWidth - kRight, y1 = kHeight - kBottom;
};

double xOf(const Area& a, double hz) {
    return a.x0 + (a.x1 - a.x0) * std::log10(hz / kLowHz) / std::log10(kHighHz / kLowHz);
}

double yOf(const Area& a, const PlotChart& chart, double db) {
    db = std::clamp(db, chart.dbBottom, chart.dbTop);
    return a.y1 - (a.y1 - a.y0) * (db - chart.dbBottom) / (chart.dbTop - chart.dbBottom);
}

void setRgb(cairo_t* cr, unsigned rgb) {
    cairo_set_source_rgb(cr, ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0);
}

enum class Align { Left, Centre, Right };

void text(cairo_t* cr, const std::string& s, double x, double y, Align align, double size, bool bold = false) {
    cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL, bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_text_extents_t e;
    cairo_text_extents(cr, s.c_str(), &e);
    double left = x;
    if (align == Align::Centre) left = x - e.x_advance / 2.0;
    if (align == Align::Right) left = x - e.x_advance;
    cairo_move_to(cr, left, y);
    cairo_show_text(cr, s.c_str());
}

// A crisp one-pixel line: coordinates on pixel centres.
void gridLine(cairo_t* cr, double x0, double y0, double x1, double y1) {
    cairo_move_to(cr, std::floor(x0) + 0.5, std::floor(y0) + 0.5);
    cairo_line_to(cr, std::floor(x1) + 0.5, std::floor(y1) + 0.5);
    cairo_stroke(cr);
}

std::string hzLabel(double hz) {
    char s[16];
    if (hz >= 1000.0) {
        std::snprintf(s, sizeof s, "%gk", hz / 1000.0);
    } else {
        std::snprintf(s, sizeof s, "%g", hz);
    }
    return s;
}

void drawGrid(cairo_t* cr, const Area& a, const PlotChart& chart) {
    cairo_set_line_width(cr, 1.0);
    // Frequency: every 1-2-3..9 step of each decade, labels at 1, 2 and 5.
    for (double decade = 10.0; decade <= 10000.0; decade *= 10.0) {
        for (int m = 1; m <= 9; ++m) {
            const double hz = decade * m;
            if (hz < kLowHz || hz > kHighHz) continue;
            const bool major = m == 1 || m == 2 || m == 5;
            setRgb(cr, major ? 0xB8B8B8 : 0xE2E2E2);
            const double x = xOf(a, hz);
            gridLine(cr, x, a.y0, x, a.y1);
            if (major) {
                setRgb(cr, 0x333333);
                text(cr, hzLabel(hz), x, a.y1 + 18.0, Align::Centre, 12.0);
            }
        }
    }
    setRgb(cr, 0x333333);
    text(cr, hzLabel(kHighHz), xOf(a, kHighHz), a.y1 + 18.0, Align::Centre, 12.0);
    // Level: every step, the 0 dB line darker.
    for (double db = chart.dbBottom; db <= chart.dbTop + 1e-9; db += chart.dbStep) {
        const double y = yOf(a, chart, db);
        setRgb(cr, std::fabs(db) < 1e-9 ? 0x808080 : 0xD0D0D0);
        gridLine(cr, a.x0, y, a.x1, y);
        char s[16];
        std::snprintf(s, sizeof s, "%+.0f", db);
        setRgb(cr, 0x333333);
        text(cr, std::fabs(db) < 1e-9 ? "0" : s, a.x0 - 8.0, y + 4.0, Align::Right, 12.0);
    }
    setRgb(cr, 0x333333);
    cairo_rectangle(cr, std::floor(a.x0) + 0.5, std::floor(a.y0) + 0.5, std::floor(a.x1 - a.x0),
                    std::floor(a.y1 - a.y0));
    cairo_stroke(cr);
}

void drawSeries(cairo_t* cr, const Area& a, const PlotChart& chart, const PlotSeries& series) {
    if (series.points.empty()) return;
    cairo_save(cr);
    cairo_rectangle(cr, a.x0, a.y0, a.x1 - a.x0, a.y1 - a.y0);
    cairo_clip(cr);
    setRgb(cr, series.rgb);
    cairo_set_line_width(cr, 2.0);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    bool first = true;
    for (const PlotPoint& p : series.points) {
        if (p.frequencyHz <= 0.0) continue;
        const double x = xOf(a, p.frequencyHz), y = yOf(a, chart, p.db);
        if (first) {
            cairo_move_to(cr, x, y);
        } else {
            cairo_line_to(cr, x, y);
        }
        first = false;
    }
    cairo_stroke(cr);
    cairo_restore(cr);
}

void drawLegend(cairo_t* cr, const Area& a, const PlotChart& chart) {
    double y = a.y0 + 20.0;
    for (const PlotSeries& series : chart.series) {
        if (series.label.empty()) continue;
        setRgb(cr, series.rgb);
        cairo_set_line_width(cr, 3.0);
        cairo_move_to(cr, a.x1 - 170.0, y - 4.0);
        cairo_line_to(cr, a.x1 - 142.0, y - 4.0);
        cairo_stroke(cr);
        setRgb(cr, 0x222222);
        text(cr, series.label, a.x1 - 134.0, y, Align::Left, 13.0);
        y += 20.0;
    }
}

std::string scratchPath(const std::string& path) { return path + ".partial"; }

}  // namespace

bool takePlotOption(std::vector<std::string>& args, std::string& path, std::string& error) {
    static const std::string kOption = "--plot";
    path.clear();
    for (std::size_t i = 0; i < args.size();) {
        std::string value;
        std::size_t taken = 0;
        if (args[i] == kOption) {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                error = "--plot needs a file name";
                return false;
            }
            value = args[i + 1];
            taken = 2;
        } else if (args[i].rfind(kOption + "=", 0) == 0) {
            value = args[i].substr(kOption.size() + 1);
            taken = 1;
            if (value.empty()) {
                error = "--plot needs a file name";
                return false;
            }
        } else {
            ++i;
            continue;
        }
        if (!path.empty()) {
            error = "--plot given twice";
            return false;
        }
        path = value;
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i + taken));
    }
    return true;
}

bool parseChartCommand(const std::string& command, const std::vector<std::string>& args, Options& o,
                       std::string& plotPath, std::ostream& err, int& code) {
    std::string error;
    std::vector<std::string> rest = args;
    if (!takePlotOption(rest, plotPath, error) || !parseOptions(rest, kSet | kPreset | kDataDir, o, error)) {
        code = fail(err, kUsageError, command + ": " + error);
        return false;
    }
    if (!plotPath.empty() && !checkWritable(plotPath, error)) {
        code = fail(err, kIoFailure, error);
        return false;
    }
    return true;
}

double toDb(double fraction) { return fraction > 1e-10 ? 20.0 * std::log10(fraction) : -200.0; }

bool checkWritable(const std::string& path, std::string& error) {
    const std::string scratch = scratchPath(path);
    std::FILE* f = std::fopen(scratch.c_str(), "wb");
    if (f == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::fclose(f);
    std::remove(scratch.c_str());
    return true;
}

bool writePlotPng(const std::string& path, const PlotChart& chart, std::string& error) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, kHeight);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
    cairo_paint(cr);
    // Grey-scale antialiasing only: the same pixels on every display setting.
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    cairo_set_font_options(cr, options);
    cairo_font_options_destroy(options);

    const Area a;
    drawGrid(cr, a, chart);
    for (const PlotSeries& series : chart.series) drawSeries(cr, a, chart, series);
    drawLegend(cr, a, chart);
    setRgb(cr, 0x111111);
    text(cr, chart.title, kWidth / 2.0, 32.0, Align::Centre, 17.0, true);
    text(cr, "Frequency (Hz)", (a.x0 + a.x1) / 2.0, kHeight - 14.0, Align::Centre, 13.0);
    cairo_save(cr);
    cairo_translate(cr, 22.0, (a.y0 + a.y1) / 2.0);
    cairo_rotate(cr, -std::numbers::pi / 2.0);
    text(cr, chart.yAxisLabel, 0.0, 0.0, Align::Centre, 13.0);
    cairo_restore(cr);
    cairo_destroy(cr);

    const std::string scratch = scratchPath(path);
    const cairo_status_t status = cairo_surface_write_to_png(surface, scratch.c_str());
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS) {
        std::remove(scratch.c_str());
        error = path + ": " + cairo_status_to_string(status);
        return false;
    }
    if (std::rename(scratch.c_str(), path.c_str()) != 0) {
        error = path + ": " + std::strerror(errno);
        std::remove(scratch.c_str());
        return false;
    }
    return true;
}

}  // namespace qx::cli
