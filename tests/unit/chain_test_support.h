#pragma once
// Shared helpers for tests that drive processBlock: a heap ChainState with a
// clock the test controls, and an independent model of the output conversion.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/chain.h"
#include "engine/random.h"

namespace qx::test {

// Millisecond clock under test control. Each reading returns `now` and then
// advances it by `stepPerReading`, so tests can tell the readings apart.
struct ManualClock {
    uint32_t now = 100000;
    uint32_t stepPerReading = 0;
    int readings = 0;

    static uint32_t tick(void* self) {
        auto* clock = static_cast<ManualClock*>(self);
        const uint32_t t = clock->now;
        clock->now += clock->stepPerReading;
        ++clock->readings;
        return t;
    }
};

inline std::unique_ptr<ChainState> makeState(ManualClock& clock) {
    auto state = std::make_unique<ChainState>();
    state->tickCount = &ManualClock::tick;
    state->tickContext = &clock;
    state->random.seed(12345);
    return state;
}

// What a sample of value v (full scale 1.0) leaves the chain as.
inline int16_t expectedSample(double v) {
    v = std::min(0.9999, std::max(-0.9999, v));
    return static_cast<int16_t>(std::trunc(v * 32768.0));
}

inline int32_t runStereo(std::vector<int16_t>& buffer, ChainState& state) {
    return processBlock(buffer.data(), static_cast<int32_t>(buffer.size() / 2), 16, 2, 44100, state);
}

// Program-like stereo input, 5 s: a bass line on a beat, a sustained chord,
// noise bursts on the beat; a normal, a quiet and a long loud passage (peaks
// near full scale) that reaches the output even behind the longest latency
// (1.6 s with both filters); no runs of exact zeros.
inline std::vector<int16_t> programInput() {
    constexpr int kFrames = 5 * 44100;
    constexpr double kTwoPi = 6.283185307179586;
    std::vector<int16_t> out(2 * kFrames);
    Random random;
    random.seed(2024);
    auto noise = [&random] { return random.next() / 16383.5 - 1.0; };
    for (int i = 0; i < kFrames; ++i) {
        const double t = i / 44100.0;
        const double level = t < 1.0 ? 0.3 : (t < 1.6 ? 0.01 : 0.75);
        const double beat = std::exp(-std::fmod(t, 0.5) * 12.0);
        const double bass = std::sin(kTwoPi * 55.0 * t) * beat;
        const double chord =
            (std::sin(kTwoPi * 220.0 * t) + std::sin(kTwoPi * 277.18 * t) + std::sin(kTwoPi * 329.63 * t)) / 3.0;
        const double l = level * (0.6 * bass + 0.4 * chord + 0.25 * beat * beat * noise()) + 0.0005 * noise();
        const double r = level * (0.6 * bass + 0.3 * chord + 0.25 * beat * beat * noise()) + 0.0005 * noise();
        out[2 * i] = static_cast<int16_t>(std::clamp(l, -0.999, 0.999) * 32767.0);
        out[2 * i + 1] = static_cast<int16_t>(std::clamp(r, -0.999, 0.999) * 32767.0);
    }
    return out;
}

}  // namespace qx::test
