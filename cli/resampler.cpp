#include "cli/resampler.h"

#include <soxr.h>

namespace qx::cli {

namespace {
constexpr size_t kChunkFrames = 4096;
}

Resampler::Resampler(double fromRate, double toRate, int channels) : channels_(channels) {
    // No dither: the chain dithers itself, and runs must be repeatable.
    soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    io.flags |= SOXR_NO_DITHER;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    soxr_error_t e = nullptr;
    soxr_ = soxr_create(fromRate, toRate, static_cast<unsigned>(channels), &e, &io, &quality, nullptr);
    if (e) error_ = e;
    chunk_.resize(kChunkFrames * static_cast<size_t>(channels));
}

Resampler::~Resampler() { soxr_delete(soxr_); }

void Resampler::drain(const int16_t* in, size_t frames, std::vector<int16_t>& out) {
    // Input goes in whole; output comes in chunks until the library has none
    // ready (at the end of input: none left at all).
    const bool ending = in == nullptr;
    for (;;) {
        size_t used = 0, made = 0;
        soxr_error_t e = soxr_process(soxr_, in, frames, &used, chunk_.data(), kChunkFrames, &made);
        if (e) {
            error_ = e;
            return;
        }
        out.insert(out.end(), chunk_.begin(), chunk_.begin() + static_cast<std::ptrdiff_t>(made) * channels_);
        if (ending) {
            if (made == 0) return;
            continue;
        }
        in += used * static_cast<size_t>(channels_);
        frames -= used;
        if (frames == 0 && made < kChunkFrames) return;
    }
}

void Resampler::push(const int16_t* in, int64_t frames, std::vector<int16_t>& out) {
    if (error_.empty() && frames > 0) drain(in, static_cast<size_t>(frames), out);
}

void Resampler::flush(std::vector<int16_t>& out) {
    if (error_.empty()) drain(nullptr, 0, out);
}

double Resampler::heldFrames() const { return soxr_delay(soxr_); }

}  // namespace qx::cli
