#include "cli/loudness.h"

#include <ebur128.h>

#include <cmath>
#include <cstdio>

namespace qx::cli {

namespace {

double toDb(double linear) { return linear > 0.0 ? 20.0 * std::log10(linear) : -HUGE_VAL; }

std::string number(double v, const char* unit) {
    char buf[48];
    if (std::isfinite(v))
        std::snprintf(buf, sizeof buf, "%.1f %s", v, unit);
    else
        std::snprintf(buf, sizeof buf, "-inf %s", unit);
    return buf;
}

}  // namespace

Loudness measureLoudness(const std::vector<int16_t>& samples, int channels, int rate) {
    Loudness l;
    ebur128_state* st = ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate),
                                     EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK |
                                         EBUR128_MODE_SAMPLE_PEAK);
    if (!st) return l;
    const size_t frames = samples.size() / static_cast<size_t>(channels);
    bool ok = ebur128_add_frames_short(st, samples.data(), frames) == EBUR128_SUCCESS;
    ok = ok && ebur128_loudness_global(st, &l.integratedLufs) == EBUR128_SUCCESS;
    ok = ok && ebur128_loudness_range(st, &l.rangeLu) == EBUR128_SUCCESS;
    double truePeak = 0.0, samplePeak = 0.0;
    for (unsigned c = 0; ok && c < static_cast<unsigned>(channels); ++c) {
        double tp = 0.0, sp = 0.0;
        ok = ebur128_true_peak(st, c, &tp) == EBUR128_SUCCESS && ebur128_sample_peak(st, c, &sp) == EBUR128_SUCCESS;
        truePeak = std::fmax(truePeak, tp);
        samplePeak = std::fmax(samplePeak, sp);
    }
    ebur128_destroy(&st);
    l.truePeakDbtp = toDb(truePeak);
    l.samplePeakDbfs = toDb(samplePeak);
    l.valid = ok;
    return l;
}

std::string describeLoudness(const Loudness& l) {
    if (!l.valid) return "loudness not measurable";
    return number(l.integratedLufs, "LUFS") + ", LRA " + number(l.rangeLu, "LU") + ", true peak " +
           number(l.truePeakDbtp, "dBTP") + ", sample peak " + number(l.samplePeakDbfs, "dBFS");
}

}  // namespace qx::cli
