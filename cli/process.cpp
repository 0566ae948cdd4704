#include <algorithm>
#include <cmath>
#include <cstdio>

#include "cli/audio_file.h"
#include "cli/loudness.h"
#include "cli/options.h"
#include "engine/chain.h"

namespace qx::cli {

namespace {

const char* const kProcessHelp =
    "usage: quorvex process IN OUT [--preset ID] [--set KEY=VALUE]... [--data-dir DIR]\n"
    "\n"
    "Reads IN (any format libsndfile reads; mono or stereo, 44100 Hz), runs it\n"
    "through the processing chain in blocks of 576 frames as the player does, and\n"
    "writes OUT as 16-bit PCM WAV. OUT appears only when it was written completely.\n"
    "\n" QX_PRESET_OPTIONS QX_DATA_DIR_OPTION;

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

}  // namespace

int runProcess(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool progress) {
    if (wantsHelp(args)) {
        out << kProcessHelp;
        return kOk;
    }
    Options o;
    std::string error;
    if (!parseOptions(args, kSet | kPreset | kDataDir, o, error)) return fail(err, kUsageError, "process: " + error);
    const std::vector<std::string>& files = o.positional;
    if (files.size() != 2) return fail(err, kUsageError, "process: expected IN and OUT (see 'quorvex process --help')");
    Engine engine(o.dataDir);
    if (!prepareEngine(engine, o, err, error)) return fail(err, kUsageError, "process: " + error);

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

}  // namespace qx::cli
