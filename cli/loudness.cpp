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

LoudnessMeter::LoudnessMeter(int rate, const std::vector<Speaker>& layout)
    : channels_(static_cast<unsigned>(layout.size())),
      weighted_(weightedLayout(layout)),
      peaks_(rate, static_cast<unsigned>(layout.size())) {
    if (rate <= 0 || layout.empty()) return;
    state_ = ebur128_init(channels_, static_cast<unsigned long>(rate),
                          EBUR128_MODE_M | EBUR128_MODE_S);
    for (unsigned c = 0; state_ != nullptr && c < channels_; ++c)
        ebur128_set_channel(state_, c, weighted_ ? ebur128Channel(layout[c]) : EBUR128_CENTER);
    stepFrames_ = static_cast<std::size_t>((rate + 5) / 10);
    // The library's 100 ms window is rate / 10 frames, its step (rate + 5) / 10.
    tiledSteps_ = rate % 10 < 5;
}

LoudnessMeter::~LoudnessMeter() {
    if (state_ != nullptr) ebur128_destroy(&state_);
}

// In pieces that end on the library's 100 ms steps, so each step's blocks can be read.
template <class Sample, class Add>
bool LoudnessMeter::addInSteps(const Sample* frames, std::size_t count, Add addFrames) {
    while (!failed_ && count > 0) {
        if (state_ == nullptr) {
            failed_ = true;
            break;
        }
        const std::size_t n = std::min(count, stepFrames_ - framesInStep_);
        failed_ = addFrames(state_, frames, n) != EBUR128_SUCCESS;
        frames += n * channels_;
        count -= n;
        framesInStep_ += n;
        if (framesInStep_ == stepFrames_) stepEnd();
    }
    return !failed_;
}

bool LoudnessMeter::add(const int16_t* frames, std::size_t count) {
    peaks_.add(frames, count);
    return addInSteps(frames, count, ebur128_add_frames_short);
}

bool LoudnessMeter::add(const double* frames, std::size_t count) {
    peaks_.add(frames, count);
    return addInSteps(frames, count, ebur128_add_frames_double);
}

double LoudnessMeter::shortTermLufs() const {
    double lufs = -HUGE_VAL;
    if (state_ == nullptr || failed_ || steps_ < 30 || ebur128_loudness_shortterm(state_, &lufs) != EBUR128_SUCCESS)
        return -HUGE_VAL;
    return lufs;
}

void LoudnessMeter::stepEnd() {
    framesInStep_ = 0;
    ++steps_;
    double lufs = 0.0;
    if (tiledSteps_) {
        // Each step's own energy, read once; the 400 ms and 3 s blocks are
        // their means. Asking the library for those windows would sum every
        // sample seven times over.
        if (ebur128_loudness_window(state_, 100, &lufs) != EBUR128_SUCCESS) {
            failed_ = true;
            return;
        }
        stepEnergies_[static_cast<size_t>(steps_ % kStepsKept)] = std::isfinite(lufs) ? energyOf(lufs) : 0.0;
        auto meanOfLast = [&](int64_t n) {
            double sum = 0.0;
            for (int64_t k = 0; k < n; ++k) sum += stepEnergies_[static_cast<size_t>((steps_ - k) % kStepsKept)];
            return sum > 0.0 ? lufsOf(sum / static_cast<double>(n)) : -HUGE_VAL;
        };
        if (steps_ >= 4) gating_.add(meanOfLast(4));
        if (steps_ >= kStepsKept && steps_ % 10 == 0) shortTerm_.add(meanOfLast(kStepsKept));
        return;
    }
    if (steps_ >= 4 && ebur128_loudness_momentary(state_, &lufs) == EBUR128_SUCCESS) gating_.add(lufs);
    if (steps_ >= kStepsKept && steps_ % 10 == 0 && ebur128_loudness_shortterm(state_, &lufs) == EBUR128_SUCCESS)
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
    l.truePeakDbtp = toDb(peaks_.truePeak());
    l.samplePeakDbfs = toDb(peaks_.samplePeak());
    l.valid = state_ != nullptr && !failed_;
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
