// Throughput of the whole chain, processBlock on host-sized blocks of 576
// stereo frames, under a few typical settings.
#include <benchmark/benchmark.h>

#include <memory>
#include <utility>
#include <vector>

#include "engine/chain.h"
#include "engine/coefficient_update.h"
#include "engine/stage_setups.h"
#include "params/parameter_table.h"

namespace {

constexpr int kBlockFrames = 576;
constexpr int kBlocks = 64;

using Settings = std::vector<std::pair<const char*, double>>;

void runChain(benchmark::State& bench, const Settings& settings) {
    auto state = std::make_unique<qx::ChainState>();
    qx::ParameterTable table = qx::buildParameterTable(*state);
    qx::designAtStartup(*state);
    for (const auto& [key, value] : settings) table.find(key)->assign(value);
    qx::updateCoefficients(*state, true);

    // Program-like input: noise under a slow level sweep, so the dynamics work.
    qx::Random random;
    std::vector<int16_t> input(static_cast<size_t>(kBlocks) * kBlockFrames * 2);
    for (size_t i = 0; i < input.size(); ++i) {
        const double envelope = 0.2 + 0.8 * static_cast<double>(i % 40000) / 40000.0;
        input[i] = static_cast<int16_t>((random.next() - 16384) * envelope);
    }
    std::vector<int16_t> buffer(input.size());
    for (auto _ : bench) {
        buffer = input;
        for (int b = 0; b < kBlocks; ++b)
            qx::processBlock(buffer.data() + static_cast<size_t>(b) * kBlockFrames * 2, kBlockFrames, 16, 2, 44100,
                             *state);
        benchmark::DoNotOptimize(buffer.data());
    }
    const double frames = static_cast<double>(bench.iterations()) * kBlocks * kBlockFrames;
    bench.SetItemsProcessed(static_cast<int64_t>(frames));
    bench.counters["x_realtime"] = benchmark::Counter(frames / 44100.0, benchmark::Counter::kIsRate);
}

void BM_ChainFrameOnly(benchmark::State& bench) { runChain(bench, {}); }

void BM_ChainFilters(benchmark::State& bench) {
    runChain(bench, {{"General.HighpassFilter.Active", 1},
                     {"General.ParametricEQ.Active", 1},
                     {"ParametricEQ.Enable2", 1},
                     {"ParametricEQ.Gain1.dB", 3},
                     {"ParametricEQ.Peaking2", 1},
                     {"ParametricEQ.Gain2.dB", -2},
                     {"General.LowpassFilter.Active", 1}});
}

Settings everythingOn(int layout) {
    Settings s;
    for (const char* key : {"General.HighpassFilter.Active", "General.StereoImageProc.Active", "General.AGC.Active",
                            "General.3BandEQ.Active", "General.ParametricEQ.Active", "ParametricEQ.Enable2",
                            "General.Processor.Active", "General.DynamicEQ.Active", "General.Compressor.Active",
                            "General.Expander.Active", "General.Limiter.Active", "General.Saturator.Active",
                            "General.10BandEQ.Active", "General.FinalLimiter.Active", "General.FinalClipper.Active",
                            "FinalClipper.Complex", "General.LowpassFilter.Active"})
        s.emplace_back(key, 1.0);
    for (const char* key : {"Saturator.Clip1.Enable", "Saturator.Clip2.Enable", "Saturator.Clip3.Enable",
                            "Saturator.Refilter1", "Saturator.Refilter2", "Saturator.Refilter3"})
        s.emplace_back(key, 1.0);
    s.emplace_back("Processor.Filterbank", layout);
    return s;
}

void BM_ChainEverything10Bands(benchmark::State& bench) { runChain(bench, everythingOn(1)); }
void BM_ChainEverything5Bands(benchmark::State& bench) { runChain(bench, everythingOn(2)); }

// The lightest useful chain: levelling and peak control only.
void BM_ChainAgcAndFinalLimiter(benchmark::State& bench) {
    runChain(bench, {{"General.AGC.Active", 1}, {"General.FinalLimiter.Active", 1}});
}

}  // namespace

BENCHMARK(BM_ChainFrameOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChainFilters)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChainEverything10Bands)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChainEverything5Bands)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChainAgcAndFinalLimiter)->Unit(benchmark::kMillisecond);
