#include <chrono>
#include <cstdio>
#include <memory>

#include "cli/options.h"
#include "engine/response.h"

namespace qx::cli {

namespace {

const char* const kResponseHelp =
    "usage: quorvex response [--preset ID] [--set KEY=VALUE]... [--data-dir DIR]\n"
    "\n"
    "Measures the chain's frequency response with a -6 dB test sine at 334\n"
    "frequencies from 20 Hz and prints CSV lines 'frequency_hz,peak', the peak as a\n"
    "fraction of full scale (about 0.501 for unity gain). The elapsed time goes to\n"
    "standard error.\n"
    "\n" QX_PRESET_OPTIONS QX_DATA_DIR_OPTION;

}  // namespace

int runResponse(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (wantsHelp(args)) {
        out << kResponseHelp;
        return kOk;
    }
    Options o;
    std::string error;
    if (!parseOptions(args, kSet | kPreset | kDataDir, o, error)) return fail(err, kUsageError, "response: " + error);
    if (!o.positional.empty())
        return fail(err, kUsageError, "response: unexpected argument '" + o.positional[0] + "'");
    Engine engine(o.dataDir);
    if (!prepareEngine(engine, o, err, error)) return fail(err, kUsageError, "response: " + error);

    auto started = std::chrono::steady_clock::now();
    auto measurement = std::make_unique<ChainState>();
    ResponseCurve curve;
    measureResponse(*engine.state, *measurement, curve);
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

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
