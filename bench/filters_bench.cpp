// Throughput of the phase-linear sections and the split bank, in frames per
// second. Each iteration runs a whole number of blocks so the block work (one
// call in 4096) is counted in its real proportion.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "engine/random.h"
#include "filters/filterbank.h"
#include "filters/reverse_cascade.h"

namespace {

constexpr int kFramesPerIteration = 2 * qx::kBlockLength;

// Frames per second as items, and seconds of 44100 Hz audio per second of
// CPU time as the multiple of real time.
void reportFrames(benchmark::State& state) {
    const double frames = static_cast<double>(state.iterations()) * kFramesPerIteration;
    state.SetItemsProcessed(static_cast<int64_t>(frames));
    state.counters["x_realtime"] = benchmark::Counter(frames / 44100.0, benchmark::Counter::kIsRate);
}

std::vector<double> makeNoise(int frames) {
    qx::Random r;
    std::vector<double> v(static_cast<size_t>(frames));
    for (double& x : v) x = (r.next() - 16384) / 65536.0;
    return v;
}

// One section, reverse-cascaded with gain on both channels (one stereo frame
// per item), as the highpass and lowpass stages run it.
void BM_ReverseCascadeSection(benchmark::State& state) {
    auto filter = std::make_unique<qx::ReverseCascadeFilter>();
    qx::designFilter(*filter, true, qx::FilterType::Lowpass, 0.0, 18000.0, 44100.0, 0.39);
    const std::vector<double> left = makeNoise(kFramesPerIteration);
    const std::vector<double> right = makeNoise(kFramesPerIteration + 7);
    for (auto _ : state) {
        double sum = 0.0;
        for (int n = 0; n < kFramesPerIteration; ++n) {
            sum += qx::reverseCascadeStep(*filter, qx::Channel::Left, left[n], true);
            sum += qx::reverseCascadeStep(*filter, qx::Channel::Right, right[n], true);
        }
        benchmark::DoNotOptimize(sum);
    }
    reportFrames(state);
}
BENCHMARK(BM_ReverseCascadeSection);

// Both banks designed for a layout (1: ten bands, 2: five, 5: three).
struct LaidOutBanks {
    std::unique_ptr<qx::ReverseCascadeBank> split = std::make_unique<qx::ReverseCascadeBank>();
    std::unique_ptr<qx::ReverseCascadeBank> refilter = std::make_unique<qx::ReverseCascadeBank>();
    int32_t count = 0;
    explicit LaidOutBanks(int layout) {
        qx::BandLabels labels{};
        uint8_t narrow = 0;
        qx::layoutFilterbank(*split, *refilter, labels, count, narrow, true, 0, layout);
    }
};

// The split bank for one stereo frame per item; the argument is the layout
// (1: ten bands, 2: five, 5: three).
void BM_SplitBands(benchmark::State& state) {
    const LaidOutBanks banks(static_cast<int>(state.range(0)));
    qx::ReverseCascadeBank& split = *banks.split;
    const int32_t count = banks.count;
    const std::vector<double> left = makeNoise(kFramesPerIteration);
    const std::vector<double> right = makeNoise(kFramesPerIteration + 7);
    qx::BandSignals bands{};
    for (auto _ : state) {
        for (int n = 0; n < kFramesPerIteration; ++n) {
            qx::splitBands(count, left[n], right[n], split, bands.left, bands.right);
            benchmark::DoNotOptimize(bands);
        }
    }
    reportFrames(state);
    state.SetLabel(std::to_string(count) + " bands");
}
BENCHMARK(BM_SplitBands)->Arg(1)->Arg(2)->Arg(5);

// The refilter bank with every band selected, in place, ten bands.
void BM_RefilterBands(benchmark::State& state) {
    const LaidOutBanks banks(1);
    qx::ReverseCascadeBank& refilter = *banks.refilter;
    const int32_t count = banks.count;
    const std::vector<double> left = makeNoise(kFramesPerIteration);
    qx::BandSignals bands{};
    for (auto _ : state) {
        for (int n = 0; n < kFramesPerIteration; ++n) {
            for (int b = 0; b < count; ++b) bands.left[b] = bands.right[b] = left[n];
            qx::refilterBands(count, bands.left, bands.right, refilter, bands.left, bands.right,
                              0xFFFFF);
            benchmark::DoNotOptimize(bands);
        }
    }
    reportFrames(state);
}
BENCHMARK(BM_RefilterBands);

// Both banks as the chain runs them: each frame's outputs at once, the
// forward passes after every host block of 576 frames; the refilter bank
// (second argument 1) on bands 1 to 3. The first argument is the layout.
void BM_BanksAsTheChainRunsThem(benchmark::State& state) {
    const LaidOutBanks banks(static_cast<int>(state.range(0)));
    qx::ReverseCascadeBank& split = *banks.split;
    qx::ReverseCascadeBank& refilter = *banks.refilter;
    const int32_t count = banks.count;
    const std::vector<double> left = makeNoise(kFramesPerIteration);
    const std::vector<double> right = makeNoise(kFramesPerIteration + 7);
    const bool refiltered = state.range(1) != 0;
    qx::BandSignals bands{};
    for (auto _ : state) {
        for (int n = 0; n < kFramesPerIteration;) {
            for (const int end = std::min(kFramesPerIteration, n + 576); n < end; ++n) {
                qx::splitBandsLater(count, left[n], right[n], split, bands);
                if (refiltered) qx::refilterBandsLater(count, refilter, bands, 0x3F);
                benchmark::DoNotOptimize(bands);
            }
            qx::filterLaterFrames(split);
            if (refiltered) qx::filterLaterFrames(refilter);
        }
    }
    reportFrames(state);
}
BENCHMARK(BM_BanksAsTheChainRunsThem)->Args({1, 0})->Args({1, 1})->Args({2, 0});

}  // namespace
