#include "cli/loudness.h"

#include <ebur128.h>

#include <algorithm>
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
    LoudnessMeter meter(channels, rate);
    meter.add(samples.data(), static_cast<int64_t>(samples.size()) / channels);
    return meter.result();
}

namespace {

constexpr double kFloorLufs = -70.0;  // absolute gate, also the histograms' lower end
constexpr double kTopLufs = 10.0;
constexpr double kBinsPerLu = 1000.0;
constexpr size_t kBins = static_cast<size_t>((kTopLufs - kFloorLufs) * kBinsPerLu);

double energyOf(double lufs) { return std::pow(10.0, (lufs + 0.691) / 10.0); }
double lufsOf(double energy) { return 10.0 * std::log10(energy) - 0.691; }
size_t binOf(double lufs) {
    return std::min(kBins - 1, static_cast<size_t>((lufs - kFloorLufs) * kBinsPerLu));
}

}  // namespace

void LoudnessMeter::Histogram::add(double lufs) {
    if (!(lufs >= kFloorLufs)) return;  // below the absolute gate, or silence
    if (counts.empty()) {
        counts.assign(kBins, 0);
        energies.assign(kBins, 0.0);
    }
    const size_t bin = binOf(lufs);
    ++counts[bin];
    energies[bin] += energyOf(lufs);
}

LoudnessMeter::LoudnessMeter(int channels, int rate)
    : state_(ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate),
                          EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_SAMPLE_PEAK)),
      channels_(channels),
      ok_(state_ != nullptr),
      blockFrames_((rate + 5) / 10) {}

LoudnessMeter::~LoudnessMeter() {
    if (state_) ebur128_destroy(&state_);
}

void LoudnessMeter::add(const int16_t* samples, int64_t frames) {
    // In pieces that end on the library's 100 ms steps, so each step's blocks can be read.
    while (ok_ && frames > 0) {
        const int64_t n = std::min(frames, blockFrames_ - framesInBlock_);
        ok_ = ebur128_add_frames_short(state_, samples, static_cast<size_t>(n)) == EBUR128_SUCCESS;
        samples += n * channels_;
        frames -= n;
        framesInBlock_ += n;
        if (framesInBlock_ == blockFrames_) blockEnd();
    }
}

void LoudnessMeter::blockEnd() {
    framesInBlock_ = 0;
    ++blocks_;
    double lufs = 0.0;
    if (blocks_ >= 4 && ebur128_loudness_momentary(state_, &lufs) == EBUR128_SUCCESS) gating_.add(lufs);
    if (blocks_ >= 30 && blocks_ % 10 == 0 && ebur128_loudness_shortterm(state_, &lufs) == EBUR128_SUCCESS)
        shortTerm_.add(lufs);
}

Loudness LoudnessMeter::result() const {
    Loudness l;
    l.integratedLufs = -HUGE_VAL;
    l.rangeLu = 0.0;
    // Integrated: the mean energy of the blocks above the absolute gate sets a
    // relative gate 10 LU below it; the mean of the blocks above both is the result.
    auto meanAbove = [](const Histogram& h, size_t from, double& mean) {
        double sum = 0.0;
        uint64_t n = 0;
        for (size_t i = from; i < h.counts.size(); ++i) {
            sum += h.energies[i];
            n += h.counts[i];
        }
        mean = n > 0 ? sum / static_cast<double>(n) : 0.0;
        return n;
    };
    double mean = 0.0;
    if (meanAbove(gating_, 0, mean) > 0) {
        const double gate = lufsOf(mean) - 10.0;
        if (meanAbove(gating_, gate < kFloorLufs ? 0 : binOf(gate), mean) > 0) l.integratedLufs = lufsOf(mean);
    }
    // Range: short-term values above a gate 20 LU below their mean, from the
    // 10th to the 95th percentile.
    if (meanAbove(shortTerm_, 0, mean) > 0) {
        const double gate = lufsOf(mean) - 20.0;
        const size_t from = gate < kFloorLufs ? 0 : binOf(gate);
        uint64_t n = 0;
        for (size_t i = from; i < kBins; ++i) n += shortTerm_.counts[i];
        auto percentile = [&](double p) {
            const auto rank = static_cast<uint64_t>(static_cast<double>(n - 1) * p + 0.5);
            uint64_t seen = 0;
            for (size_t i = from; i < kBins; ++i) {
                seen += shortTerm_.counts[i];
                if (seen > rank) return lufsOf(shortTerm_.energies[i] / static_cast<double>(shortTerm_.counts[i]));
            }
            return 0.0;
        };
        if (n > 0) l.rangeLu = percentile(0.95) - percentile(0.10);
    }
    double truePeak = 0.0, samplePeak = 0.0;
    bool ok = ok_;
    for (unsigned c = 0; ok && c < static_cast<unsigned>(channels_); ++c) {
        double tp = 0.0, sp = 0.0;
        ok = ebur128_true_peak(state_, c, &tp) == EBUR128_SUCCESS && ebur128_sample_peak(state_, c, &sp) == EBUR128_SUCCESS;
        truePeak = std::fmax(truePeak, tp);
        samplePeak = std::fmax(samplePeak, sp);
    }
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
