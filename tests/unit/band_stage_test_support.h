#pragma once
// Helpers for the multiband stage tests: band frames, reproducible random
// input, the absurd parameter values every stage must survive, finiteness
// checks, and a stage's parts run the way the chain's pipeline runs them.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <initializer_list>

#include "engine/band_detectors.h"
#include "engine/random.h"
#include "base/relaxed.h"
#include "filters/filterbank.h"

namespace qx::test {

// A band stage's frame and, on the meter frame, its meters, as the chain runs
// them.
template <class State, class Coefficients>
inline void bandStep(void (&step)(State&, const Coefficients&, BandSignals&),
                     void (&publish)(const State&, const Coefficients&, Number*), State& state,
                     const Coefficients& c, BandSignals& bands, bool meterFrame, Number* meters) {
    step(state, c, bands);
    if (meterFrame) publish(state, c, meters);
}

inline BandSignals bandFrame(double value) {
    BandSignals b;
    for (int i = 0; i < kBankBands; ++i) b.left[i] = b.right[i] = value;
    return b;
}

// Uniform in [-scale, scale).
inline double randomSample(Random& random, double scale = 1.0) {
    return (random.next() / 32767.0 - 0.5) * 2.0 * scale;
}

inline BandSignals randomFrame(Random& random, double scale = 1.0) {
    BandSignals b;
    for (int i = 0; i < kBankBands; ++i) {
        b.left[i] = randomSample(random, scale);
        b.right[i] = randomSample(random, scale);
    }
    return b;
}

// Values a preset file may hold although no control produces them.
constexpr double kAbsurdValues[] = {0.0, -1.0, -250.0, 1e9, -1e9, 1e300, -1e300};

inline bool allFinite(const double* values, int count) {
    for (int i = 0; i < count; ++i)
        if (!std::isfinite(values[i])) return false;
    return true;
}

inline bool allFinite(const Number* values, int count) {
    for (int i = 0; i < count; ++i)
        if (!std::isfinite(values[i].load())) return false;
    return true;
}

inline bool allFinite(const BandSignals& b) {
    return allFinite(b.left, kBankBands) && allFinite(b.right, kBankBands);
}

inline BandDetectors uniformDetectors(double coefficient) {
    BandDetectors d;
    for (double& c : d.coefficient) c = coefficient;
    return d;
}

// Frames 0..frames-1 through a stage's parts as the chain's pipeline runs
// them: in step i part p takes frame i - p, the last part first, so a part
// of a frame runs after the next frames' earlier parts.
template <class... Parts>
void runSkewed(int frames, Parts... parts) {
    constexpr int kParts = sizeof...(Parts);
    const std::function<void(int)> part[kParts] = {parts...};
    for (int i = 0; i < frames + kParts - 1; ++i)
        for (int p = kParts - 1; p >= 0; --p)
            if (i - p >= 0 && i - p < frames) part[p](i - p);
}

}  // namespace qx::test
