#pragma once
// True and sample peak as libebur128 measures them, value for value, at a
// fraction of its cost: the library's interpolator adds each output's products
// one after the other in a scalar loop, which took over 40 % of a `process`
// run's processor time. Here the same taps, coefficients and sums run many
// outputs at once on the vector unit, each output still summed in the
// library's order, so every interpolated value and therefore the peak is the
// same.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qx::cli {

class TruePeakMeter {
public:
    TruePeakMeter(int rate, unsigned channels);

    // Interleaved frames, scaled as the library scales them: 16-bit by 1/32768,
    // doubles as they are; each value rounded to float before interpolation.
    void add(const int16_t* frames, std::size_t count);
    void add(const double* frames, std::size_t count);
    // Over all channels, 0 before any input. The true peak is never below the
    // sample peak; at 192 kHz and up the library does not oversample, and it
    // is the sample peak.
    double truePeak() const;
    double samplePeak() const { return samplePeak_; }

    static constexpr std::size_t kChunk = 256;  // frames interpolated per pass, a multiple of 16

private:
    struct Phase {  // one output phase's taps, in the library's order
        std::size_t first = 0;     // samples back from the newest, of the first tap
        std::vector<double> coeff;  // for consecutive samples back from there
    };
    void design(unsigned factor);
    template <class Sample>
    void addFrames(const Sample* frames, std::size_t count, double scale);
    void interpolate(std::size_t count);

    unsigned channels_ = 0;
    std::size_t history_ = 0;          // older samples kept per channel
    std::vector<Phase> phases_;
    std::vector<double> samples_;      // per channel: history_ older samples, then the chunk
    double peak_ = 0.0;        // the largest magnitude of the oversampled signal, before rounding
    double samplePeak_ = 0.0;
};

}  // namespace qx::cli
