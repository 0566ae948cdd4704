#pragma once
// Programme loudness of 16-bit audio as broadcast meters report it.
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

// "-14.2 LUFS, LRA 5.1 LU, true peak -1.0 dBTP, sample peak -1.3 dBFS"
std::string describeLoudness(const Loudness& l);

}  // namespace qx::cli
