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

}  // namespace qx::test
