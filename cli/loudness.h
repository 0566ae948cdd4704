#pragma once
// Programme loudness of 16-bit audio as broadcast meters report it.
#include <ebur128.h>

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

Loudness measureLoudness(const std::vector<int16_t>& samples, int channels, int rate);

// The same measured block by block in constant memory, for streams of any
// length. The library measures each 400 ms gating block (every 100 ms) and
// each 3 s short-term block (every second); the gates and the range work on
// histograms of 0.001 LU bins that also sum the blocks' energies, so the
// integrated loudness is exact but for the bin at the relative gate.
class LoudnessMeter {
public:
    LoudnessMeter(int channels, int rate);
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;
    ~LoudnessMeter();
    void add(const int16_t* samples, int64_t frames);
    Loudness result() const;

private:
    struct Histogram {
        std::vector<uint64_t> counts;
        std::vector<double> energies;
        void add(double lufs);
    };
    void blockEnd();

    ebur128_state* state_;
    int channels_;
    bool ok_;
    int64_t blockFrames_;     // 100 ms as the library counts it
    int64_t framesInBlock_ = 0;
    int64_t blocks_ = 0;      // 100 ms blocks so far
    Histogram gating_, shortTerm_;
};

// "-14.2 LUFS, LRA 5.1 LU, true peak -1.0 dBTP, sample peak -1.3 dBFS"
std::string describeLoudness(const Loudness& l);

}  // namespace qx::cli
