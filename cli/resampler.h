#pragma once
// Sample-rate conversion of interleaved 16-bit audio around the engine, which
// runs at 44100 Hz only. Very high quality libsoxr; its output is aligned with
// its input (the filter's own delay is taken off), so a flushed stream has
// exactly the input's duration.
#include <cstdint>
#include <string>
#include <vector>

struct soxr;

namespace qx::cli {

class Resampler {
public:
    Resampler(double fromRate, double toRate, int channels);
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;
    ~Resampler();

    // Empty when the resampler works, else the library's reason.
    const std::string& error() const { return error_; }

    // Appends the frames ready so far for `frames` more input frames to `out`.
    void push(const int16_t* in, int64_t frames, std::vector<int16_t>& out);
    // End of input: appends everything still held back.
    void flush(std::vector<int16_t>& out);
    // Output frames held back at the moment: the delay it adds to a live stream.
    double heldFrames() const;

private:
    void drain(const int16_t* in, size_t frames, std::vector<int16_t>& out);

    soxr* soxr_ = nullptr;
    int channels_;
    std::string error_;
    std::vector<int16_t> chunk_;
};

}  // namespace qx::cli
