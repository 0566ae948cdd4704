#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "cli/options.h"
#include "cli/plot_image.h"
#include "engine/response.h"
#include "platform/threads.h"

namespace qx::cli {

namespace {

const char* const kResponseHelp =
    "usage: quorvex response [--plot FILE.png] [--preset ID] [--set KEY=VALUE]... [--data-dir DIR]\n"
    "\n"
    "Measures the chain's frequency response with a -6 dB test sine at 334\n"
    "frequencies from 20 Hz and prints CSV lines 'frequency_hz,peak', the peak as a\n"
    "fraction of full scale (about 0.501 for unity gain). The elapsed time goes to\n"
    "standard error.\n"
    "\n"
    "  --plot FILE.png  also draw the response as a chart: gain in dB relative to the\n"
    "                   test tone against log frequency, titled with the settings' name\n"
    "\n" QX_PRESET_OPTIONS QX_DATA_DIR_OPTION;

constexpr double kTestLevel = 0.5011872336272722;  // -6 dB
constexpr std::size_t kIgnoredLowPoints = 8;

PlotChart responseChart(const ResponseCurve& curve, const std::string& name, std::size_t changes) {
    PlotChart chart;
    chart.title = "Quorvex frequency response: " + (name.empty() ? std::string("(unnamed settings)") : name);
    if (changes > 0) chart.title += " + " + std::to_string(changes) + (changes == 1 ? " setting" : " settings");
    chart.yAxisLabel = "Gain for a -6 dBFS sine (dB)";
    PlotSeries series{"", 0xC01010, {}};
    double low = 0.0, high = 0.0;
    std::vector<double> levels;
    for (int k = 0; k < kResponsePoints; ++k) {
        const double db = toDb(curve.peak[k] / kTestLevel);
        series.points.push_back({responseFrequency(k), db});
        levels.push_back(db);
        high = std::max(high, db);
    }
    // The scale ignores the lowest few points: when the chain's delay outlasts
    // a point's blocks, the first points read the silence still in it and run
    // off the bottom of the chart.
    std::sort(levels.begin(), levels.end());
    low = std::min(low, levels[kIgnoredLowPoints]);
    // Whole 6 dB steps around the curve, never less than -24..+12 dB, never below -60.
    chart.dbStep = 6.0;
    chart.dbTop = std::max(12.0, std::ceil(high / 6.0) * 6.0);
    chart.dbBottom = std::clamp(std::floor(low / 6.0) * 6.0, -60.0, -24.0);
    chart.series.push_back(std::move(series));
    return chart;
}

}  // namespace

int runResponse(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (wantsHelp(args)) {
        out << kResponseHelp;
        return kOk;
    }
    Options o;
    std::string plotPath;
    int code = kOk;
    if (!parseChartCommand("response", args, o, plotPath, err, code)) return code;
    if (!o.positional.empty())
        return fail(err, kUsageError, "response: unexpected argument '" + o.positional[0] + "'");
    std::string error;
    Engine engine(o.dataDir);
    if (!prepareEngine(engine, o, err, error)) return fail(err, kUsageError, "response: " + error);

    auto started = std::chrono::steady_clock::now();
    auto measurement = std::make_unique<ChainState>();
    ResponseCurve curve;
    measureResponse(*engine.state, *measurement, curve, nullptr, nullptr, makeSecondThread().get());
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    if (!plotPath.empty() &&
        !writePlotPng(plotPath, responseChart(curve, std::string(engine.library.presetName()), o.sets.size()), error))
        return fail(err, kIoFailure, error);

    out << "frequency_hz,peak\n";
    char line[64];
    for (int i = 0; i < kResponsePoints; ++i) {
        std::snprintf(line, sizeof line, "%d,%.6f\n", curve.frequencyHz[i], curve.peak[i]);
        out << line;
    }
    char text[64];
    std::snprintf(text, sizeof text, "Time To Complete Chart: %.1f sec\n", elapsed);
    err << text;
    return kOk;
}

}  // namespace qx::cli
