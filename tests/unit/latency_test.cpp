// The chain's reported delay against the delay an impulse actually takes
// through it, for every factory preset and for random stage switches.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "chain_test_support.h"
#include "engine/latency.h"
#include "engine/random.h"
#include "engine/coefficient_update.h"
#include "engine/stage_setups.h"
#include "params/preset_library.h"
#include "preset_rig.h"

namespace qx {
namespace {

constexpr int kImpulseAt = 6000;

// Index of the largest output sample after an impulse at kImpulseAt, run
// through a copy of the state in host-sized blocks.
int measuredDelay(const ChainState& source, int latency) {
    auto run = std::make_unique<ChainState>(source);
    const int frames = kImpulseAt + latency + 4096;
    std::vector<int16_t> buffer(2 * static_cast<std::size_t>(frames), 0);
    buffer[2 * kImpulseAt] = buffer[2 * kImpulseAt + 1] = 12000;
    for (int f = 0; f < frames; f += 576) {
        const int count = std::min(576, frames - f);
        processBlock(buffer.data() + 2 * f, count, 16, 2, 44100, *run);
    }
    int peakAt = -1;
    int peak = 0;
    for (int f = 0; f < frames; ++f) {
        const int v = std::abs(buffer[2 * f]) + std::abs(buffer[2 * f + 1]);
        if (v > peak) {
            peak = v;
            peakAt = f;
        }
    }
    return peakAt - kImpulseAt;
}

class ChainLatency : public test::PresetRig {};

TEST_F(ChainLatency, ImpulseLeavesAfterTheReportedDelayForEveryFactoryPreset) {
    // F2-F4 run the longest chains (1.58 s), F1 about 1.02 s; F10 has none.
    const int expected[] = {45053, 69629, 69629, 69629, 36861, 36861, 36861, 12287, 4095, 0};
    for (int n = 0; n < 10; ++n) {
        library.loadPreset(-n);
        const int latency = chainLatencyFrames(state->params, state->bandCount);
        EXPECT_EQ(latency, expected[n]) << "F" << n + 1;
        EXPECT_EQ(measuredDelay(*state, latency), latency) << "F" << n + 1;
    }
}

TEST_F(ChainLatency, ImpulseLeavesAfterTheReportedDelayForRandomSwitches) {
    const char* stages[] = {"HighpassFilter", "StereoImageProc", "AGC",      "3BandEQ",      "ParametricEQ",
                            "Processor",      "DynamicEQ",       "Compressor", "Expander",   "Limiter",
                            "Saturator",      "10BandEQ",        "FinalLimiter", "FinalClipper", "LowpassFilter"};
    const char* switches[] = {"AGC.SingleBand", "ParametricEQ.Enable2", "FinalClipper.Complex"};
    Random random;
    random.seed(2026);
    for (int trial = 0; trial < 12; ++trial) {
        library.loadPreset(-(trial % 10));
        for (const char* stage : stages) set(std::string("General.") + stage + ".Active", random.next() & 1);
        for (const char* key : switches) set(key, random.next() & 1);
        for (int b = 1; b <= 10; ++b) set("Saturator.Refilter" + std::to_string(b), (random.next() % 5) == 0);
        set("Processor.Filterbank", random.next() % 5);
        updateCoefficients(*state, false);
        const int latency = chainLatencyFrames(state->params, state->bandCount);
        EXPECT_EQ(measuredDelay(*state, latency), latency) << "trial " << trial;
    }
}

}  // namespace
}  // namespace qx
