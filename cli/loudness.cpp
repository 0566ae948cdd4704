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

int ebur128Channel(Speaker s) {
    switch (s) {
        case Speaker::Left: return EBUR128_LEFT;
        case Speaker::Right: return EBUR128_RIGHT;
        case Speaker::Center: return EBUR128_CENTER;
        case Speaker::Lfe: return EBUR128_UNUSED;
        case Speaker::LeftSurround: return EBUR128_LEFT_SURROUND;
        case Speaker::RightSurround: return EBUR128_RIGHT_SURROUND;
        case Speaker::Other: break;
    }
    return EBUR128_CENTER;  // weight 1
}

}  // namespace

LoudnessMeter::LoudnessMeter(int rate, const std::vector<Speaker>& layout)
    : channels_(static_cast<unsigned>(layout.size())), weighted_(weightedLayout(layout)) {
    if (rate <= 0 || layout.empty()) return;
    state_ = ebur128_init(channels_, static_cast<unsigned long>(rate),
                          EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_SAMPLE_PEAK);
    for (unsigned c = 0; state_ != nullptr && c < channels_; ++c)
        ebur128_set_channel(state_, c, weighted_ ? ebur128Channel(layout[c]) : EBUR128_CENTER);
}

LoudnessMeter::~LoudnessMeter() {
    if (state_ != nullptr) ebur128_destroy(&state_);
}

bool LoudnessMeter::add(const int16_t* frames, std::size_t count) {
    failed_ = failed_ || state_ == nullptr || ebur128_add_frames_short(state_, frames, count) != EBUR128_SUCCESS;
    return !failed_;
}

bool LoudnessMeter::add(const double* frames, std::size_t count) {
    failed_ = failed_ || state_ == nullptr || ebur128_add_frames_double(state_, frames, count) != EBUR128_SUCCESS;
    return !failed_;
}

Loudness LoudnessMeter::result() const {
    Loudness l;
    if (state_ == nullptr || failed_) return l;
    bool ok = ebur128_loudness_global(state_, &l.integratedLufs) == EBUR128_SUCCESS;
    ok = ok && ebur128_loudness_range(state_, &l.rangeLu) == EBUR128_SUCCESS;
    double truePeak = 0.0, samplePeak = 0.0;
    for (unsigned c = 0; ok && c < channels_; ++c) {
        double tp = 0.0, sp = 0.0;
        ok = ebur128_true_peak(state_, c, &tp) == EBUR128_SUCCESS &&
             ebur128_sample_peak(state_, c, &sp) == EBUR128_SUCCESS;
        truePeak = std::fmax(truePeak, tp);
        samplePeak = std::fmax(samplePeak, sp);
    }
    l.truePeakDbtp = toDb(truePeak);
    l.samplePeakDbfs = toDb(samplePeak);
    l.valid = ok;
    return l;
}

std::vector<Speaker> usualLayout(int channels) {
    using S = Speaker;
    if (channels == 1) return {S::Center};
    if (channels == 2) return {S::Left, S::Right};
    if (channels == 6) return {S::Left, S::Right, S::Center, S::Lfe, S::LeftSurround, S::RightSurround};
    return std::vector<Speaker>(static_cast<std::size_t>(channels > 0 ? channels : 0), S::Other);
}

bool weightedLayout(const std::vector<Speaker>& layout) {
    bool seen[7] = {};
    for (Speaker s : layout) {
        const auto i = static_cast<int>(s);
        if (s == Speaker::Other || seen[i]) return false;
        seen[i] = true;
    }
    return !layout.empty();
}

std::string describeLayout(const std::vector<Speaker>& layout) {
    if (layout.size() == 1 && layout[0] == Speaker::Center) return "mono";
    static const char* const names[] = {"L", "R", "C", "LFE", "Ls", "Rs", "?"};
    std::string text;
    for (Speaker s : layout) {
        if (!text.empty()) text += ' ';
        text += names[static_cast<int>(s)];
    }
    return text;
}

Loudness measureLoudness(const std::vector<int16_t>& samples, int channels, int rate) {
    LoudnessMeter meter(rate, usualLayout(channels));
    meter.add(samples.data(), samples.size() / static_cast<std::size_t>(channels > 0 ? channels : 1));
    return meter.result();
}

std::string describeLoudness(const Loudness& l) {
    if (!l.valid) return "loudness not measurable";
    return number(l.integratedLufs, "LUFS") + ", LRA " + number(l.rangeLu, "LU") + ", true peak " +
           number(l.truePeakDbtp, "dBTP") + ", sample peak " + number(l.samplePeakDbfs, "dBFS");
}

}  // namespace qx::cli
