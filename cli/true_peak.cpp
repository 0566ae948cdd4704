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

typedef double Quad __attribute__((vector_size(32)));
typedef float QuadFloat __attribute__((vector_size(16)));

// The largest magnitude among four outputs as the library keeps them: each
// stored as a float, denormals flushed to zero (it runs with flush-to-zero
// on), and a NaN never winning the comparison.
QX_INLINE void foldOutputs(const Quad& sums, Quad& best) {
    const Quad m = __builtin_convertvector(__builtin_convertvector(sums, QuadFloat), Quad);
    const Quad a = m < 0 ? -m : m;
    const Quad kept = a < static_cast<double>(FLT_MIN) ? Quad{} : a;
    best = kept > best ? kept : best;
}

// One phase's outputs for a chunk, folded into the largest magnitude so far.
// Eight outputs at a time run side by side in the vector lanes; each one's
// products are added in tap order from zero, exactly as the library's scalar
// loop adds them. The last group may read past `count` into the chunk's
// spare room; those lanes are left out.
QX_VECTOR_CLONES double foldPhase(const double* newest, std::size_t count, const std::size_t* back,
                                  const double* coeff, std::size_t taps, double peak) {
    Quad best = {peak, peak, peak, peak};
    for (std::size_t n = 0; n < count; n += 8) {
        Quad low = {}, high = {};
        for (std::size_t t = 0; t < taps; ++t) {
            const double* from = newest + n - back[t];
            const Quad c = {coeff[t], coeff[t], coeff[t], coeff[t]};
            Quad x, y;
            std::memcpy(&x, from, sizeof x);
            std::memcpy(&y, from + 4, sizeof y);
            low += x * c;
            high += y * c;
        }
        if (count - n < 8) {  // past the end: a magnitude of zero changes nothing
            for (std::size_t k = count - n; k < 8; ++k) (k < 4 ? low[k] : high[k - 4]) = 0.0;
        }
        foldOutputs(low, best);
        foldOutputs(high, best);
    }
    for (int k = 0; k < 4; ++k) peak = best[k] > peak ? best[k] : peak;
    return peak;
}

}  // namespace

TruePeakMeter::TruePeakMeter(int rate, unsigned channels) : channels_(channels) {
    const unsigned factor = rate <= 0 || rate >= 192000 ? 1 : rate < 96000 ? 4 : 2;
    if (factor == 1 || channels == 0) return;
    // The library's windowed-sinc design, in its own expressions so the
    // coefficients round the same, and its rule of leaving out near-zero taps.
    phases_.resize(factor);
    for (unsigned j = 0; j < kTaps; ++j) {
        const double m = static_cast<double>(j) - static_cast<double>(kTaps - 1) / 2.0;
        double c = 1.0;
        if (std::fabs(m) > kAlmostZero) c = std::sin(m * M_PI / factor) / (m * M_PI / factor);
        c *= 0.5 * (1 - std::cos(2 * M_PI * j / (kTaps - 1)));
        if (std::fabs(c) > kAlmostZero) {
            phases_[j % factor].back.push_back(j / factor);
            phases_[j % factor].coeff.push_back(c);
        }
    }
    history_ = (kTaps + factor - 1) / factor - 1;
    samples_.assign(channels * (history_ + kChunk), 0.0);
}

void TruePeakMeter::add(const int16_t* frames, std::size_t count) { addFrames(frames, count, 32768.0); }

void TruePeakMeter::add(const double* frames, std::size_t count) { addFrames(frames, count, 1.0); }

template <class Sample>
void TruePeakMeter::addFrames(const Sample* frames, std::size_t count, double scale) {
    if (phases_.empty()) return;
    while (count > 0) {
        const std::size_t n = std::min(count, kChunk);
        for (unsigned c = 0; c < channels_; ++c) {
            double* chunk = samples_.data() + c * (history_ + kChunk) + history_;
            for (std::size_t i = 0; i < n; ++i)
                chunk[i] = static_cast<float>(static_cast<double>(frames[i * channels_ + c]) / scale);
        }
        interpolate(n);
        frames += n * channels_;
        count -= n;
    }
}

void TruePeakMeter::interpolate(std::size_t count) {
    for (unsigned c = 0; c < channels_; ++c) {
        double* line = samples_.data() + c * (history_ + kChunk);
        for (const Phase& p : phases_)
            peak_ = foldPhase(line + history_, count, p.back.data(), p.coeff.data(), p.back.size(), peak_);
        // The newest samples become the next chunk's history.
        std::memmove(line, line + count, history_ * sizeof(double));
    }
}

double TruePeakMeter::peak() const { return peak_; }

}  // namespace qx::cli
