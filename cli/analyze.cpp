#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "cli/loudness.h"
#include "cli/options.h"

namespace qx::cli {

namespace {

const char* const kAnalyzeHelp =
    "usage: quorvex analyze FILE... [--json]\n"
    "\n"
    "Measures each FILE (any format libsndfile reads, at its own rate, up to 8\n"
    "channels) and prints its sample rate, channels, duration, integrated loudness\n"
    "(LUFS), loudness range (LU), true peak (dBTP) and sample peak (dBFS).\n"
    "Mono, stereo, 5.1 and other layouts of the speakers L R C LFE Ls Rs (each at\n"
    "most once, such as 5.0 or quad) get the BS.1770 channel weights, with the LFE\n"
    "left out; the channel order comes from the file where it names one, else 6\n"
    "channels are taken as L R C LFE Ls Rs. Other layouts count every channel at\n"
    "weight 1 and say so.\n"
    "Several files: one report each, then a table with one line per file.\n"
    "\n"
    "  --json  one JSON object per file and line instead (no table); a figure that\n"
    "          is minus infinity (silence) is null\n";

constexpr int kMaxChannels = 8;
constexpr sf_count_t kBlockFrames = 4096;

struct Analysis {
    std::string file;
    int rate = 0;
    int channels = 0;
    std::vector<Speaker> layout;
    bool weighted = false;
    double seconds = 0.0;
    Loudness loudness;
};

// Where the file says which speaker each channel feeds, that layout; else the
// usual one for its channel count.
std::vector<Speaker> layoutOf(SNDFILE* file, int channels) {
    std::vector<int> map(static_cast<std::size_t>(channels));
    if (sf_command(file, SFC_GET_CHANNEL_MAP_INFO, map.data(), static_cast<int>(map.size() * sizeof(int))) != SF_TRUE)
        return usualLayout(channels);
    std::vector<Speaker> layout;
    for (int m : map) {
        switch (m) {
            case SF_CHANNEL_MAP_MONO: layout.push_back(Speaker::Center); break;
            case SF_CHANNEL_MAP_LEFT:
            case SF_CHANNEL_MAP_FRONT_LEFT: layout.push_back(Speaker::Left); break;
            case SF_CHANNEL_MAP_RIGHT:
            case SF_CHANNEL_MAP_FRONT_RIGHT: layout.push_back(Speaker::Right); break;
            case SF_CHANNEL_MAP_CENTER:
            case SF_CHANNEL_MAP_FRONT_CENTER: layout.push_back(Speaker::Center); break;
            case SF_CHANNEL_MAP_LFE: layout.push_back(Speaker::Lfe); break;
            case SF_CHANNEL_MAP_REAR_LEFT:
            case SF_CHANNEL_MAP_SIDE_LEFT: layout.push_back(Speaker::LeftSurround); break;
            case SF_CHANNEL_MAP_REAR_RIGHT:
            case SF_CHANNEL_MAP_SIDE_RIGHT: layout.push_back(Speaker::RightSurround); break;
            default: layout.push_back(Speaker::Other); break;
        }
    }
    return layout;
}

// Reads the file block by block into the meter; the file is never held whole.
int analyzeFile(const std::string& path, Analysis& a, std::string& error) {
    a.file = path;
    std::FILE* probe = std::fopen(path.c_str(), "rb");
    if (probe == nullptr) {
        error = path + ": " + std::strerror(errno);
        return kIoFailure;
    }
    std::fclose(probe);
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        error = path + ": " + sf_strerror(nullptr);
        return kUsageError;
    }
    a.rate = info.samplerate;
    a.channels = info.channels;
    int code = kOk;
    if (info.channels < 1 || info.channels > kMaxChannels) {
        error = path + ": " + std::to_string(info.channels) + " channels; analyze measures up to 8";
        code = kUsageError;
    } else {
        a.layout = layoutOf(file, info.channels);
        LoudnessMeter meter(info.samplerate, a.layout);
        a.weighted = meter.weighted();
        std::vector<double> block(static_cast<std::size_t>(kBlockFrames * info.channels));
        sf_count_t frames = 0;
        for (sf_count_t got; meter.ready() && (got = sf_readf_double(file, block.data(), kBlockFrames)) > 0;) {
            meter.add(block.data(), static_cast<std::size_t>(got));
            frames += got;
        }
        a.seconds = static_cast<double>(frames) / info.samplerate;
        a.loudness = meter.result();
        if (!meter.ready()) {
            error = path + ": loudness cannot be measured at " + std::to_string(info.samplerate) + " Hz";
            code = kUsageError;
        } else if (sf_error(file) != SF_ERR_NO_ERROR) {
            error = path + ": " + sf_strerror(file);
            code = kIoFailure;
        } else if (!a.loudness.valid) {
            error = path + ": loudness could not be measured";
            code = kUsageError;
        }
    }
    sf_close(file);
    return code;
}

std::string fixed(double v, int decimals, const char* infinite) {
    if (!std::isfinite(v)) return infinite;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v + 0.0);
    return text;
}

std::string channelText(const Analysis& a) {
    std::string text = std::to_string(a.channels) + " (";
    if (!a.weighted) return text + "no BS.1770 weights for this layout; every channel counted at weight 1)";
    text += describeLayout(a.layout) + "; BS.1770 weights";
    if (std::find(a.layout.begin(), a.layout.end(), Speaker::Lfe) != a.layout.end()) text += ", LFE left out";
    return text + ")";
}

void printReport(std::ostream& out, const Analysis& a) {
    const Loudness& l = a.loudness;
    out << a.file << "\n"
        << "sample rate: " << a.rate << " Hz\n"
        << "channels: " << channelText(a) << "\n"
        << "duration: " << fixed(a.seconds, 3, "-") << " s\n"
        << "integrated loudness: " << fixed(l.integratedLufs, 1, "-inf") << " LUFS\n"
        << "loudness range: " << fixed(l.rangeLu, 1, "-inf") << " LU\n"
        << "true peak: " << fixed(l.truePeakDbtp, 1, "-inf") << " dBTP\n"
        << "sample peak: " << fixed(l.samplePeakDbfs, 1, "-inf") << " dBFS\n";
}

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

void printJson(std::ostream& out, const Analysis& a) {
    const Loudness& l = a.loudness;
    out << "{\"file\": " << jsonString(a.file) << ", \"sample_rate\": " << a.rate << ", \"channels\": " << a.channels
        << ", \"layout\": " << jsonString(a.weighted ? describeLayout(a.layout) : "") << ", \"bs1770_weights\": "
        << (a.weighted ? "true" : "false") << ", \"duration_s\": " << fixed(a.seconds, 3, "null")
        << ", \"integrated_lufs\": " << fixed(l.integratedLufs, 1, "null")
        << ", \"loudness_range_lu\": " << fixed(l.rangeLu, 1, "null")
        << ", \"true_peak_dbtp\": " << fixed(l.truePeakDbtp, 1, "null")
        << ", \"sample_peak_dbfs\": " << fixed(l.samplePeakDbfs, 1, "null") << "}\n";
}

void printTable(std::ostream& out, const std::vector<Analysis>& all, const std::vector<bool>& measured) {
    char line[160];
    std::snprintf(line, sizeof line, "%7s %6s %6s %6s %7s %3s %10s  %s\n", "LUFS", "LU", "dBTP", "dBFS", "Hz", "ch",
                  "seconds", "file");
    out << "\n" << line;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const Analysis& a = all[i];
        const Loudness& l = a.loudness;
        if (measured[i]) {
            std::snprintf(line, sizeof line, "%7s %6s %6s %6s %7d %3d %10s  ", fixed(l.integratedLufs, 1, "-inf").c_str(),
                          fixed(l.rangeLu, 1, "-inf").c_str(), fixed(l.truePeakDbtp, 1, "-inf").c_str(),
                          fixed(l.samplePeakDbfs, 1, "-inf").c_str(), a.rate, a.channels,
                          fixed(a.seconds, 3, "-").c_str());
        } else {
            std::snprintf(line, sizeof line, "%7s %6s %6s %6s %7s %3s %10s  ", "-", "-", "-", "-", "-", "-", "-");
        }
        out << line << a.file << (measured[i] ? "" : " (not measured)") << "\n";
    }
}

}  // namespace

int runAnalyze(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (wantsHelp(args)) {
        out << kAnalyzeHelp;
        return kOk;
    }
    Options o;
    std::string error;
    if (!parseOptions(args, kJson, o, error)) return fail(err, kUsageError, "analyze: " + error);
    if (o.positional.empty()) return fail(err, kUsageError, "analyze: expected a FILE (see 'quorvex analyze --help')");

    std::vector<Analysis> all(o.positional.size());
    std::vector<bool> measured(all.size());
    int worst = kOk;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const int code = analyzeFile(o.positional[i], all[i], error);
        measured[i] = code == kOk;
        if (code != kOk) {
            fail(err, code, error);
            worst = std::max(worst, code);
            continue;
        }
        if (o.json) {
            printJson(out, all[i]);
        } else {
            if (i > 0) out << "\n";
            printReport(out, all[i]);
        }
    }
    if (!o.json && all.size() > 1) printTable(out, all, measured);
    return worst;
}

}  // namespace qx::cli
