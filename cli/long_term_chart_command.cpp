#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <numbers>
#include <vector>

#include "cli/options.h"
#include "cli/plot_image.h"
#include "engine/chain.h"
#include "engine/fft.h"
#include "engine/latency.h"

namespace qx::cli {

namespace {

const char* const kSpectrumHelp =
    "usage: quorvex spectrum IN [--plot FILE.png] [--preset ID] [--set KEY=VALUE]... [--data-dir DIR]\n"
    "\n"
    "Runs IN (mono or stereo, 44100 Hz) through the processing chain and measures\n"
    "the long-term spectrum of the input and of the processed output: the mean\n"
    "power of Hann-windowed 4096-point frames of the mono sum in bands of 1/12\n"
    "octave, in dB where a full-scale sine in the band reads 0. Prints CSV lines\n"
    "'frequency_hz,input_db,output_db'; the output is aligned with the input, the\n"
    "chain's delay taken out.\n"
    "\n"
    "  --plot FILE.png  also draw both spectra on one chart\n"
    "\n" QX_PRESET_OPTIONS QX_DATA_DIR_OPTION;

constexpr std::size_t kFrame = 4096;
constexpr std::size_t kHop = kFrame / 2;
constexpr double kPointsPerOctave = 24.0;  // chart points; each averages 1/12 octave

// Mean power spectrum of a mono stream, fed in pieces of any length.
class LongTermSpectrum {
public:
    LongTermSpectrum() : power_(kFrame / 2 + 1, 0.0) {
        for (std::size_t n = 0; n < kFrame; ++n)
            window_[n] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(n) / kFrame);
    }

    void add(double sample) {
        pending_[filled_++] = sample;
        if (filled_ < kFrame) return;
        for (std::size_t n = 0; n < kFrame; ++n) windowed_[n] = pending_[n] * window_[n];
        fft_.forward(windowed_.data(), real_.data(), imaginary_.data());
        for (std::size_t k = 0; k < power_.size(); ++k) power_[k] += real_[k] * real_[k] + imaginary_[k] * imaginary_[k];
        ++frames_;
        // Frames overlap by half.
        std::copy(pending_.begin() + kHop, pending_.end(), pending_.begin());
        filled_ -= kHop;
    }

    // Level of the 1/12-octave band around `hz`: the power of the bins
    // within +-1/24 octave (the two nearest bins interpolated where the band
    // holds none), in dB where a full-scale sine inside the band reads 0.
    double levelDb(double hz) const {
        if (frames_ == 0) return -200.0;
        const double binHz = static_cast<double>(kSampleRate) / kFrame;
        const double spread = std::pow(2.0, 0.5 / 12.0);
        const std::size_t last = power_.size() - 1;
        const auto low = static_cast<std::size_t>(std::ceil(hz / spread / binHz));
        const auto high = std::min(static_cast<std::size_t>(std::floor(hz * spread / binHz)), last);
        double sum = 0.0;
        if (low <= high) {
            for (std::size_t k = low; k <= high; ++k) sum += power_[k];
        } else {
            const double at = std::min(hz / binHz, static_cast<double>(last));
            const auto below = static_cast<std::size_t>(at);
            const std::size_t above = std::min(below + 1, last);
            const double t = at - static_cast<double>(below);
            sum = power_[below] * (1.0 - t) + power_[above] * t;
        }
        // Parseval: a sine of amplitude A puts 3 A^2 N^2 / 32 into the
        // positive-frequency bins under the Hann window.
        const double fullScale = 3.0 * kFrame * kFrame / 32.0;
        const double mean = sum / static_cast<double>(frames_);
        return mean > 0.0 ? 10.0 * std::log10(mean / fullScale) : -200.0;
    }

private:
    RealFft<double, kFrame> fft_;
    std::array<double, kFrame> window_{};
    std::array<double, kFrame> pending_{};
    std::array<double, kFrame> windowed_{};
    std::array<double, kFrame> real_{};
    std::array<double, kFrame> imaginary_{};
    std::vector<double> power_;
    std::size_t filled_ = 0;
    uint64_t frames_ = 0;
};

double monoOf(const int16_t* frame, int channels) {
    return channels == 1 ? frame[0] / 32768.0 : (frame[0] / 32768.0 + frame[1] / 32768.0) * 0.5;
}

struct SndFile {
    SNDFILE* file = nullptr;
    ~SndFile() {
        if (file != nullptr) sf_close(file);
    }
};

// Streams the file through the chain in host-sized blocks, feeding the
// input to one spectrum and the delay-compensated output to the other.
bool analyse(const std::string& path, Engine& engine, LongTermSpectrum& input, LongTermSpectrum& output,
             std::string& error, int& code) {
    std::FILE* probe = std::fopen(path.c_str(), "rb");
    if (probe == nullptr) {
        error = path + ": " + std::strerror(errno);
        code = kIoFailure;
        return false;
    }
    std::fclose(probe);
    SF_INFO info{};
    SndFile sound;
    sound.file = sf_open(path.c_str(), SFM_READ, &info);
    code = kUsageError;
    if (sound.file == nullptr) {
        error = path + ": " + sf_strerror(nullptr);
        return false;
    }
    if (info.channels < 1 || info.channels > 2 || info.samplerate != kSampleRate) {
        error = path + ": " + std::to_string(info.channels) + " channels at " + std::to_string(info.samplerate) +
                " Hz; only mono and stereo at 44100 Hz are analysed";
        return false;
    }
    sf_command(sound.file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const int channels = info.channels;
    const int64_t delay = chainLatencyFrames(engine.state->params, engine.state->bandCount);
    int64_t toSkip = delay;
    int64_t toFlush = delay;
    std::vector<int16_t> block(static_cast<std::size_t>(kHostBlock) * channels);
    for (;;) {
        sf_count_t frames = sf_readf_short(sound.file, block.data(), kHostBlock);
        if (frames <= 0) {
            // The chain still holds `delay` frames of the file: push silence through.
            if (toFlush <= 0) break;
            frames = std::min<int64_t>(kHostBlock, toFlush);
            std::fill(block.begin(), block.end(), int16_t{0});
            toFlush -= frames;
        } else {
            for (sf_count_t f = 0; f < frames; ++f) input.add(monoOf(&block[static_cast<std::size_t>(f) * channels], channels));
        }
        engine.state->outputPeak = 0.0;
        processBlock(block.data(), static_cast<int32_t>(frames), 16, channels, kSampleRate, *engine.state);
        engine.clock.frames += static_cast<uint64_t>(frames);
        for (sf_count_t f = 0; f < frames; ++f) {
            if (toSkip > 0) {
                --toSkip;
                continue;
            }
            output.add(monoOf(&block[static_cast<std::size_t>(f) * channels], channels));
        }
    }
    return true;
}

}  // namespace

int runSpectrum(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (wantsHelp(args)) {
        out << kSpectrumHelp;
        return kOk;
    }
    Options o;
    std::string plotPath;
    int code = kOk;
    if (!parseChartCommand("spectrum", args, o, plotPath, err, code)) return code;
    if (o.positional.size() != 1)
        return fail(err, kUsageError, "spectrum: expected one input file (see 'quorvex spectrum --help')");
    std::string error;
    Engine engine(o.dataDir);
    if (!prepareEngine(engine, o, err, error)) return fail(err, kUsageError, "spectrum: " + error);

    auto input = std::make_unique<LongTermSpectrum>();
    auto output = std::make_unique<LongTermSpectrum>();
    if (!analyse(o.positional[0], engine, *input, *output, error, code)) return fail(err, code, error);

    PlotChart chart;
    const std::string name(engine.library.presetName());
    chart.title = "Long-term spectrum of " + std::filesystem::path(o.positional[0]).filename().string() +
                  ", processed with " + (name.empty() ? std::string("unnamed settings") : name);
    chart.yAxisLabel = "Level in 1/12-octave bands (dB re full-scale sine)";
    PlotSeries in{"input", 0x7A7A7A, {}};
    PlotSeries processed{"processed output", 0x1F5FBF, {}};
    double highest = -200.0;
    out << "frequency_hz,input_db,output_db\n";
    for (double step = 0.0;; step += 1.0) {
        const double hz = 20.0 * std::pow(2.0, step / kPointsPerOctave);
        if (hz > 20000.0) break;
        const double a = input->levelDb(hz), b = output->levelDb(hz);
        in.points.push_back({hz, a});
        processed.points.push_back({hz, b});
        highest = std::max({highest, a, b});
        char line[96];
        std::snprintf(line, sizeof line, "%.1f,%.2f,%.2f\n", hz, a, b);
        out << line;
    }
    chart.dbStep = 10.0;
    chart.dbTop = std::max(-40.0, std::ceil(highest / 10.0) * 10.0);
    chart.dbBottom = chart.dbTop - 80.0;
    chart.series = {std::move(in), std::move(processed)};
    if (!plotPath.empty() && !writePlotPng(plotPath, chart, error)) return fail(err, kIoFailure, error);
    return kOk;
}

}  // namespace qx::cli
