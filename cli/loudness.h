#pragma once
// Programme loudness as broadcast meters report it (ITU-R BS.1770, EBU R 128):
// integrated loudness, loudness range, true and sample peak.
#include "cli/true_peak.h"

#include <ebur128.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qx::cli {

struct Loudness {
    double integratedLufs = 0.0;  // -inf for silence
    double rangeLu = 0.0;
    double truePeakDbtp = 0.0;    // max over channels; -inf for silence
    double samplePeakDbfs = 0.0;
    bool valid = false;
};

// Where a channel plays, as far as the loudness weighting cares.
enum class Speaker { Left, Right, Center, Lfe, LeftSurround, RightSurround, Other };

// Measures audio fed block by block, in constant memory for streams of any
// length. A layout of known speakers, each at most once, gets the BS.1770
// weights (surrounds +1.5 dB, the LFE left out); a layout with any Other
// counts every channel at weight 1. The library measures each 400 ms gating
// block (every 100 ms) and each 3 s short-term block (every second); the
// gates and the range work on histograms of 0.001 LU bins that also sum the
// blocks' energies, so the integrated loudness is exact but for the bin at
// the relative gate.
class LoudnessMeter {
public:
    LoudnessMeter(int rate, const std::vector<Speaker>& layout);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    // False when the rate or channel count cannot be measured.
    bool ready() const { return state_ != nullptr; }
    bool weighted() const { return weighted_; }
    // Interleaved frames; false on failure (the result is then not valid).
    bool add(const int16_t* frames, std::size_t count);
    bool add(const double* frames, std::size_t count);
    Loudness result() const;
    // The loudness of the last 3 s, -inf before there is any.
    double shortTermLufs() const;

private:
    struct Histogram {
        std::vector<uint64_t> counts;
        std::vector<double> energies;
        void add(double lufs);
    };
    template <class Sample, class Add>
    bool addInSteps(const Sample* frames, std::size_t count, Add addFrames);
    void stepEnd();

    ebur128_state* state_ = nullptr;
    unsigned channels_ = 0;
    bool weighted_ = false;
    bool failed_ = false;
    std::size_t stepFrames_ = 0;  // 100 ms as the library counts it
    std::size_t framesInStep_ = 0;
    int64_t steps_ = 0;           // 100 ms steps so far
    // Whether the library's 100 ms window is exactly one step, so the steps'
    // energies tile the 400 ms and 3 s blocks; the last 3 s of them.
    bool tiledSteps_ = false;
    static constexpr int64_t kStepsKept = 30;
    std::array<double, kStepsKept> stepEnergies_{};
    Histogram gating_, shortTerm_;
    TruePeakMeter peaks_;  // the library's own peaks, measured faster
};

// The usual layout of a channel count: mono, L R, or L R C LFE Ls Rs; Other
// for every channel of any other count.
std::vector<Speaker> usualLayout(int channels);
// True when every speaker is known and none occurs twice.
bool weightedLayout(const std::vector<Speaker>& layout);
// "L R C LFE Ls Rs", "mono"
std::string describeLayout(const std::vector<Speaker>& layout);

Loudness measureLoudness(const std::vector<int16_t>& samples, int channels, int rate);

// "-14.2 LUFS, LRA 5.1 LU, true peak -1.0 dBTP, sample peak -1.3 dBFS"
std::string describeLoudness(const Loudness& l);

}  // namespace qx::cli
