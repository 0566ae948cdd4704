// The playback thread runs the chain while the UI thread edits parameters,
// switches and test signals and reads meters and the scope ring. Built with
// -fsanitize=thread: any unsynchronised access between the two fails the run.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "engine/chain.h"
#include "platform/threads.h"

namespace qx {
namespace {

struct PlaybackClock {
    uint32_t now = 100000;
    static uint32_t tick(void* self) { return static_cast<PlaybackClock*>(self)->now; }
};

struct PollCount {
    int calls = 0;
    static void poll(void* self) { ++static_cast<PollCount*>(self)->calls; }
};

TEST(SharedValues, PlaybackAndUserInterfaceThreadsShareTheStateWithoutRaces) {
    auto state = std::make_unique<ChainState>();
    PlaybackClock clock;
    PollCount polls;
    state->tickCount = &PlaybackClock::tick;
    state->tickContext = &clock;
    state->pollSelection = &PollCount::poll;
    state->pollContext = &polls;
    state->testFrequencyHz = 1000.0;
    state->testLevelDb = -6.0;

    std::atomic<int> ready{0};
    auto waitForBoth = [&] {
        ready.fetch_add(1);
        while (ready.load() < 2) std::this_thread::yield();
    };

    // Playback runs at least kMinBlocks and keeps going while the UI thread is
    // still editing, up to kMaxBlocks, so the two really overlap.
    constexpr int kMinBlocks = 600;
    constexpr int kMaxBlocks = 20000;
    constexpr int kFrames = 512;
    std::atomic<bool> uiDone{false};
    std::thread playback([&] {
        std::vector<int16_t> buffer(2 * kFrames);
        waitForBoth();
        for (int b = 0; b < kMaxBlocks && (b < kMinBlocks || !uiDone.load()); ++b) {
            for (int i = 0; i < 2 * kFrames; ++i) buffer[i] = static_cast<int16_t>((b * 97 + i * 31) % 40000 - 20000);
            state->outputPeak = 0.0;  // what the host does before each block
            processBlock(buffer.data(), kFrames, 16, 2, 44100, *state);
            processBlock(buffer.data(), kFrames, 16, 1, 44100, *state);
            clock.now += 12;
        }
    });

    double observed = 0.0;
    std::thread ui([&] {
        GeneralParams& g = state->params.general;
        waitForBoth();
        for (int i = 0; i < 20000; ++i) {
            g.densityDriveDb = (i % 13) - 6.0;
            g.postAmpDb = (i % 7) - 3.0;
            g.processorActive = static_cast<uint8_t>(i & 1);
            g.ditherActive = static_cast<uint8_t>((i >> 1) & 1);
            g.mainBypass = static_cast<uint8_t>(i % 50 == 1);
            state->params.compressor.thresholdDb[i % kMaxBands] = -(i % 30);
            state->testLevelDb = -(i % 20);
            state->testFrequencyHz = 100.0 + i % 5000;
            state->inputMute = static_cast<uint8_t>((i >> 2) & 1);
            state->sineOn = static_cast<uint8_t>((i >> 3) & 1);
            state->noiseOn = static_cast<uint8_t>((i >> 4) & 1);
            state->consoleClosed = static_cast<uint8_t>((i >> 5) & 1);
            if (i % 1000 == 0) state->lastBlockTime = 0;  // a preset load forces a gap reset

            observed += state->inputMeter + state->outputMeter + state->outputPeak;
            observed += state->scope[(state->scopeIndex + 65535) & 65535];
            if (state->clipIndicator) state->clipIndicator = 0;
            if (i % 64 == 7) std::this_thread::yield();
        }
        uiDone.store(true);
    });

    playback.join();
    ui.join();
    EXPECT_TRUE(std::isfinite(observed));
    EXPECT_GT(state->gapResets, 0u);
}

// The measurement's two halves of the chain, every stage and the dither on,
// the noise test signal now and then: no race, and per block the same output
// peaks as on one thread.
TEST(SharedValues, ChainHalvesOnTwoThreadsShareNothingAndGiveTheSameBlocks) {
    std::vector<double> peaks[2];
    const auto thread = makeSecondThread();
    for (int run = 0; run < 2; ++run) {
        auto state = std::make_unique<ChainState>();
        GeneralParams& g = state->params.general;
        for (Flag* active : {&g.highpassActive, &g.stereoImageActive, &g.agcActive, &g.threeBandEqActive,
                             &g.parametricEqActive, &g.processorActive, &g.dynamicEqActive, &g.compressorActive,
                             &g.expanderActive, &g.limiterActive, &g.saturatorActive, &g.tenBandEqActive,
                             &g.finalLimiterActive, &g.finalClipperActive, &g.lowpassActive, &g.ditherActive})
            *active = 1;
        state->testLevelDb = -3.0;
        state->inputMute = 1;
        state->sineOn = 1;
        SilentRunHooks hooks;
        hooks.context = &peaks[run];
        hooks.beforeFront = [](int64_t block, ChainState& s, void*) {
            s.testFrequencyHz = 50.0 + 400.0 * block;
            s.noiseOn = block % 3 == 1;
        };
        hooks.beforeBack = [](int64_t, ChainState& s, void*) { s.outputPeak = 0.0; };
        hooks.afterBack = [](int64_t, ChainState& s, void* p) { static_cast<std::vector<double>*>(p)->push_back(s.outputPeak); };
        runSilentBlocks(*state, 24, 1024, run == 0 ? nullptr : thread.get(), hooks);
    }
    EXPECT_EQ(peaks[0].size(), 24u);
    EXPECT_EQ(peaks[0], peaks[1]);
}

}  // namespace
}  // namespace qx
