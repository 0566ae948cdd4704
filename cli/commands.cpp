#include "cli/commands.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ostream>

#include "cli/audio_file.h"
#include "cli/engine_setup.h"
#include "cli/loudness.h"
#include "engine/chain.h"
#include "engine/response.h"

namespace qx::cli {

namespace {

constexpr int kHostBlock = 576;  // frames per block, as the player hands them over

const char* const kUsage =
    "usage: quorvex COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  process IN OUT [--set KEY=VALUE]...  process an audio file into a 16-bit WAV\n"
    "  params                               list every parameter of the table\n"
    "  response [--set KEY=VALUE]...        measure the chain's frequency response\n"
    "  analyze FILE                         loudness, loudness range and peaks of a file\n"
    "\n"
    "Run 'quorvex COMMAND --help' for the options of a command.\n";

const char* const kProcessHelp =
    "usage: quorvex process IN OUT [--set KEY=VALUE]...\n"
    "\n"
    "Reads IN (any format libsndfile reads; mono or stereo, 44100 Hz), runs it\n"
    "through the processing chain in blocks of 576 frames as the player does, and\n"
    "writes OUT as 16-bit PCM WAV. OUT appears only when it was written completely.\n"
    "\n"
    "  --set KEY=VALUE  set a parameter (see 'quorvex params'); may be repeated\n";

const char* const kParamsHelp =
    "usage: quorvex params\n"
    "\n"
    "Prints one tab-separated line per keyed parameter, in table order:\n"
    "key, kind (V vertical slider, H horizontal slider, L frequency slider,\n"
    "S switch), decimals, minimum, maximum, default.\n";

const char* const kResponseHelp =
    "usage: quorvex response [--set KEY=VALUE]...\n"
    "\n"
    "Measures the chain's frequency response with a -6 dB test sine at 334\n"
    "frequencies from 20 Hz and prints CSV lines 'frequency_hz,peak', the peak as a\n"
    "fraction of full scale (about 0.501 for unity gain). The elapsed time goes to\n"
    "standard error.\n"
    "\n"
    "  --set KEY=VALUE  set a parameter (see 'quorvex params'); may be repeated\n";

const char* const kAnalyzeHelp =
    "usage: quorvex analyze FILE\n"
    "\n"
    "Reads FILE as 'quorvex process' does and prints its integrated loudness\n"
    "(LUFS), loudness range (LU), true peak (dBTP) and sample peak (dBFS).\n";

bool wantsHelp(const std::vector<std::string>& args) {
    for (const auto& a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

// Splits a command's arguments into positional ones and --set settings.
bool parseArguments(const std::vector<std::string>& args, const ParameterTable& table,
                    std::vector<std::string>& positional, std::vector<Setting>& settings, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--set" || a.rfind("--set=", 0) == 0) {
            std::string text;
            if (a == "--set") {
                if (i + 1 >= args.size()) {
                    error = "--set needs KEY=VALUE";
                    return false;
                }
                text = args[++i];
            } else {
                text = a.substr(6);
            }
            Setting s;
            if (!parseSetting(text, table, s, error)) return false;
            settings.push_back(s);
        } else if (a.size() > 1 && a[0] == '-') {
            error = "unknown option '" + a + "'";
            return false;
        } else {
            positional.push_back(a);
        }
    }
    return true;
}

std::string shortest(double v) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    return std::string(buf, res.ptr);
}

char kindLetter(const ParameterRecord& r) {
    switch (r.kind) {
        case ControlKind::Switch: return 'S';
        case ControlKind::HorizontalSlider: return 'H';
        case ControlKind::Meter: return 'M';
        case ControlKind::VerticalSlider: break;
    }
    return r.isFrequencySlider() ? 'L' : 'V';
}

struct Level {
    double peak = 0.0;  // fraction of full scale
    double rms = 0.0;
};

Level measureLevel(const std::vector<int16_t>& samples) {
    Level level;
    double sum = 0.0;
    for (int16_t s : samples) {
        double v = s / 32768.0;
        level.peak = std::max(level.peak, std::fabs(v));
        sum += v * v;
    }
    if (!samples.empty()) level.rms = std::sqrt(sum / static_cast<double>(samples.size()));
    return level;
}

std::string dbfs(double v) {
    if (v <= 0.0) return "-inf dBFS";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f dBFS", 20.0 * std::log10(v));
    return buf;
}

void drawProgress(std::ostream& err, int64_t done, int64_t total) {
    constexpr int kWidth = 40;
    int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
    int filled = percent * kWidth / 100;
    err << "\rprocessing [" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] " << percent
        << "%" << std::flush;
}

int fail(std::ostream& err, int code, const std::string& message) {
    err << "quorvex: " << message << "\n";
    return code;
}

int runProcess(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool progress) {
    if (wantsHelp(args)) {
        out << kProcessHelp;
        return kOk;
    }
    Engine engine;
    std::vector<std::string> files;
    std::vector<Setting> settings;
    std::string error;
    if (!parseArguments(args, engine.table, files, settings, error)) return fail(err, kUsageError, "process: " + error);
    if (files.size() != 2) return fail(err, kUsageError, "process: expected IN and OUT (see 'quorvex process --help')");
    applySettings(engine, settings);

    Audio audio;
    IoResult read = readAudio(files[0], audio);
    if (read.status != IoStatus::Ok)
        return fail(err, read.status == IoStatus::IoError ? kIoFailure : kUsageError, read.message);

    Level in = measureLevel(audio.samples);
    Loudness inLoudness = measureLoudness(audio.samples, audio.channels, audio.rate);
    const int64_t total = audio.frames();
    int64_t lastShown = -1;
    for (int64_t frame = 0; frame < total; frame += kHostBlock) {
        int32_t n = static_cast<int32_t>(std::min<int64_t>(kHostBlock, total - frame));
        engine.state->outputPeak = 0.0;  // the host clears the peak before each block
        processBlock(audio.samples.data() + frame * audio.channels, n, 16, audio.channels, audio.rate, *engine.state);
        engine.clock.frames += static_cast<uint64_t>(n);
        if (progress && (frame / 44100) != lastShown) {
            lastShown = frame / 44100;
            drawProgress(err, frame + n, total);
        }
    }
    if (progress) {
        drawProgress(err, total, total);
        err << "\n";
    }
    Level outLevel = measureLevel(audio.samples);
    Loudness outLoudness = measureLoudness(audio.samples, audio.channels, audio.rate);

    IoResult written = writeWav(files[1], audio);
    if (written.status != IoStatus::Ok) return fail(err, kIoFailure, written.message);

    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", static_cast<double>(total) / 44100.0);
    out << files[0] << " -> " << files[1] << ": " << total << " frames (" << seconds << " s), "
        << (audio.channels == 1 ? "mono" : "stereo") << "\n";
    out << "  input:  peak " << dbfs(in.peak) << ", RMS " << dbfs(in.rms) << "; " << describeLoudness(inLoudness)
        << "\n";
    out << "  output: peak " << dbfs(outLevel.peak) << ", RMS " << dbfs(outLevel.rms) << "; "
        << describeLoudness(outLoudness) << "\n";
    return kOk;
}

int runParams(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (wantsHelp(args)) {
        out << kParamsHelp;
        return kOk;
    }
    if (!args.empty()) return fail(err, kUsageError, "params: unexpected argument '" + args[0] + "'");
    Engine engine;
    engine.table.forEachKeyed([&](const ParameterRecord& r) {
        out << r.key << '\t' << kindLetter(r) << '\t' << r.decimals << '\t' << shortest(r.minimum) << '\t'
            << shortest(r.maximum) << '\t' << shortest(r.defaultValue) << '\n';
    });
    return kOk;
}

int runResponse(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (wantsHelp(args)) {
        out << kResponseHelp;
        return kOk;
    }
    Engine engine;
    std::vector<std::string> positional;
    std::vector<Setting> settings;
    std::string error;
    if (!parseArguments(args, engine.table, positional, settings, error))
        return fail(err, kUsageError, "response: " + error);
    if (!positional.empty()) return fail(err, kUsageError, "response: unexpected argument '" + positional[0] + "'");
    applySettings(engine, settings);

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

int runAnalyze(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (wantsHelp(args)) {
        out << kAnalyzeHelp;
        return kOk;
    }
    if (args.size() != 1) return fail(err, kUsageError, "analyze: expected one FILE (see 'quorvex analyze --help')");
    Audio audio;
    IoResult read = readAudio(args[0], audio);
    if (read.status != IoStatus::Ok)
        return fail(err, read.status == IoStatus::IoError ? kIoFailure : kUsageError, read.message);
    Loudness l = measureLoudness(audio.samples, audio.channels, audio.rate);
    if (!l.valid) return fail(err, kUsageError, args[0] + ": loudness could not be measured");
    char text[256];
    std::snprintf(text, sizeof text,
                  "integrated loudness: %.1f LUFS\nloudness range: %.1f LU\ntrue peak: %.1f dBTP\n"
                  "sample peak: %.1f dBFS\n",
                  l.integratedLufs, l.rangeLu, l.truePeakDbtp, l.samplePeakDbfs);
    out << args[0] << "\n" << text;
    return kOk;
}

}  // namespace

int runCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool progress) {
    if (args.empty()) {
        err << kUsage;
        return kUsageError;
    }
    const std::string& command = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h" || command == "help") {
        out << kUsage;
        return kOk;
    }
    if (command == "process") return runProcess(rest, out, err, progress);
    if (command == "params") return runParams(rest, out, err);
    if (command == "response") return runResponse(rest, out, err);
    if (command == "analyze") return runAnalyze(rest, out, err);
    return fail(err, kUsageError, "unknown command '" + command + "' (see 'quorvex --help')");
}

}  // namespace qx::cli
