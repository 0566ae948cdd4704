#include "cli/true_peak.h"

#include "base/vector_clones.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace qx::cli {

namespace {

constexpr unsigned kTaps = 49;
constexpr double kAlmostZero = 0.000001;

// Sixteen outputs at a time, as two vectors of eight: one AVX-512 register
// each, two AVX2 or four SSE2 ones.
typedef double Octet __attribute__((vector_size(64)));

// The largest magnitude among eight outputs; a NaN never wins the comparison.
QX_INLINE void foldOutputs(const Octet& sums, Octet& best) {
    const Octet a = sums < 0 ? -sums : sums;
    best = a > best ? a : best;
}

// One phase over a chunk, its taps reaching back from `first` samples behind
// each output over consecutive samples (as the design's phases all do). Each
// output's products are added in tap order from zero, exactly as the
// library's scalar loop adds them. The last group may read past `count` into
// the chunk's spare room; those lanes are left out. `Taps` fixed at compile
// time lets the tap loop unroll with its coefficients in registers.
template <std::size_t Taps>
QX_INLINE double foldPhaseOf(const double* newest, std::size_t count, std::size_t first, const double* coeff,
                             std::size_t taps, double peak) {
    if constexpr (Taps > 0) taps = Taps;
    Octet best = Octet{} + peak;
    for (std::size_t n = 0; n < count; n += 16) {
        const double* at = newest + n - first;
        Octet low = {}, high = {};
        for (std::size_t t = 0; t < taps; ++t) {
            Octet x, y;
            std::memcpy(&x, at - t, sizeof x);
            std::memcpy(&y, at - t + 8, sizeof y);
            low += x * coeff[t];
            high += y * coeff[t];
        }
        for (std::size_t k = count - n; k < 16; ++k) (k < 8 ? low[k] : high[k - 8]) = 0.0;
        foldOutputs(low, best);
        foldOutputs(high, best);
    }
    for (int k = 0; k < 8; ++k) peak = best[k] > peak ? best[k] : peak;
    return peak;
}

QX_WIDE_VECTOR_CLONES double foldPhase(const double* newest, std::size_t count, std::size_t first,
                                       const double* coeff, std::size_t taps, double peak) {
    switch (taps) {  // the design's phases at 4x and 2x
        case 1: return foldPhaseOf<1>(newest, count, first, coeff, taps, peak);
        case 12: return foldPhaseOf<12>(newest, count, first, coeff, taps, peak);
        case 24: return foldPhaseOf<24>(newest, count, first, coeff, taps, peak);
        default: return foldPhaseOf<0>(newest, count, first, coeff, taps, peak);
    }
}

// A chunk of interleaved frames taken apart into one line per channel, each
// value scaled (by the inverse of a power of two, so exactly as the library's
// division) and rounded to float as the library keeps them; returns the
// largest magnitude before scaling. Eight lanes of maxima keep the loop free
// of a running comparison; a NaN never wins.
template <unsigned Channels, class Sample>
QX_INLINE double takeChunkOf(const Sample* from, unsigned channels, std::size_t count, double inverse, double* to,
                             std::size_t stride) {
    if constexpr (Channels > 0) channels = Channels;
    const std::size_t values = count * channels;
    double lanes[8] = {};
    std::size_t i = 0;
    for (; i + 8 <= values; i += 8)
        for (std::size_t k = 0; k < 8; ++k) {
            const double a = std::fabs(static_cast<double>(from[i + k]));
            lanes[k] = a > lanes[k] ? a : lanes[k];
        }
    for (; i < values; ++i) {
        const double a = std::fabs(static_cast<double>(from[i]));
        lanes[0] = a > lanes[0] ? a : lanes[0];
    }
    for (unsigned c = 0; c < channels; ++c)
        for (std::size_t f = 0; f < count; ++f)
            to[c * stride + f] = static_cast<float>(static_cast<double>(from[f * channels + c]) * inverse);
    double largest = 0.0;
    for (double l : lanes) largest = l > largest ? l : largest;
    return largest;
}

template <class Sample>
QX_INLINE double takeChunkAny(const Sample* from, unsigned channels, std::size_t count, double inverse, double* to,
                              std::size_t stride) {
    switch (channels) {
        case 1: return takeChunkOf<1>(from, channels, count, inverse, to, stride);
        case 2: return takeChunkOf<2>(from, channels, count, inverse, to, stride);
        default: return takeChunkOf<0>(from, channels, count, inverse, to, stride);
    }
}

QX_VECTOR_CLONES double takeChunk(const int16_t* from, unsigned channels, std::size_t count, double inverse,
                                  double* to, std::size_t stride) {
    return takeChunkAny(from, channels, count, inverse, to, stride);
}

QX_VECTOR_CLONES double takeChunk(const double* from, unsigned channels, std::size_t count, double inverse,
                                  double* to, std::size_t stride) {
    return takeChunkAny(from, channels, count, inverse, to, stride);
}

}  // namespace

TruePeakMeter::TruePeakMeter(int rate, unsigned channels) : channels_(channels) {
    const unsigned factor = rate <= 0 || rate >= 192000 ? 1 : rate < 96000 ? 4 : 2;
    if (factor > 1) design(factor);
    samples_.assign(channels * (history_ + kChunk), 0.0);
}

void TruePeakMeter::design(unsigned factor) {
    // The library's windowed-sinc design, in its own expressions so the
    // coefficients round the same, and its rule of leaving out near-zero taps.
    phases_.resize(factor);
    for (unsigned j = 0; j < kTaps; ++j) {
        const double m = static_cast<double>(j) - static_cast<double>(kTaps - 1) / 2.0;
        double c = 1.0;
        if (std::fabs(m) > kAlmostZero) c = std::sin(m * M_PI / factor) / (m * M_PI / factor);
        c *= 0.5 * (1 - std::cos(2 * M_PI * j / (kTaps - 1)));
        // Only the sinc's zeros and the window's ends are left out, so each
        // phase's taps reach back over consecutive samples.
        if (std::fabs(c) > kAlmostZero) {
            Phase& p = phases_[j % factor];
            if (p.coeff.empty()) p.first = j / factor;
            p.coeff.push_back(c);
        }
    }
    history_ = (kTaps + factor - 1) / factor - 1;
}

void TruePeakMeter::add(const int16_t* frames, std::size_t count) { addFrames(frames, count, 32768.0); }

void TruePeakMeter::add(const double* frames, std::size_t count) { addFrames(frames, count, 1.0); }

template <class Sample>
void TruePeakMeter::addFrames(const Sample* frames, std::size_t count, double scale) {
    if (samples_.empty()) return;
    while (count > 0) {
        const std::size_t n = std::min(count, kChunk);
        // The library takes the largest magnitude, then scales it.
        const double largest =
            takeChunk(frames, channels_, n, 1.0 / scale, samples_.data() + history_, history_ + kChunk) / scale;
        samplePeak_ = std::max(samplePeak_, largest);
        if (!phases_.empty()) interpolate(n);
        frames += n * channels_;
        count -= n;
    }
}

void TruePeakMeter::interpolate(std::size_t count) {
    for (unsigned c = 0; c < channels_; ++c) {
        double* line = samples_.data() + c * (history_ + kChunk);
        for (const Phase& p : phases_)
            peak_ = foldPhase(line + history_, count, p.first, p.coeff.data(), p.coeff.size(), peak_);
        // The newest samples become the next chunk's history.
        std::memmove(line, line + count, history_ * sizeof(double));
    }
}

double TruePeakMeter::truePeak() const {
    // The library keeps each output as a float, with denormals flushed to
    // zero (it runs with flush-to-zero on). Both roundings keep the order of
    // magnitudes, so rounding the largest once gives the largest rounded.
    const float rounded = static_cast<float>(peak_);
    const double kept = rounded < FLT_MIN ? 0.0 : static_cast<double>(rounded);
    return std::max(kept, samplePeak_);
}

}  // namespace qx::cli
