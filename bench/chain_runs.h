#pragma once
// The chain on host-sized blocks of 576 stereo frames of program-like input
// (noise under a slow level sweep, so the dynamics work), settled as in
// playback, counted in frames and in multiples of real time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "engine/chain.h"
#include "engine/random.h"

namespace qx::bench {

inline void runBlocks(benchmark::State& bench, ChainState& state) {
    constexpr int kBlockFrames = 576;
    constexpr int kBlocks = 64;
    Random random;
    std::vector<int16_t> input(static_cast<size_t>(kBlocks) * kBlockFrames * 2);
    for (size_t i = 0; i < input.size(); ++i) {
        const double envelope = 0.2 + 0.8 * static_cast<double>(i % 40000) / 40000.0;
        input[i] = static_cast<int16_t>((random.next() - 16384) * envelope);
    }
    std::vector<int16_t> buffer(input.size());
    const auto pass = [&] {
        buffer = input;
        for (int b = 0; b < kBlocks; ++b)
            processBlock(buffer.data() + static_cast<size_t>(b) * kBlockFrames * 2, kBlockFrames, 16, 2, 44100, state);
        benchmark::DoNotOptimize(buffer.data());
    };
    // Playback runs settled: the timing starts after 20 s of the input, by
    // when a fresh state's dynamics have left their start (the band
    // limiter's gains climb from 0 for about 14 s).
    constexpr int kPassFrames = kBlocks * kBlockFrames;
    constexpr int kSettlePasses = (20 * 44100 + kPassFrames - 1) / kPassFrames;
    for (int settle = 0; settle < kSettlePasses; ++settle) pass();
    for (auto _ : bench) pass();
    const double frames = static_cast<double>(bench.iterations()) * kBlocks * kBlockFrames;
    bench.SetItemsProcessed(static_cast<int64_t>(frames));
    bench.counters["x_realtime"] = benchmark::Counter(frames / 44100.0, benchmark::Counter::kIsRate);
}

}  // namespace qx::bench
