// Throughput of the whole chain, processBlock on host-sized blocks of 576
// stereo frames, under a few typical settings.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/chain_runs.h"
#include "engine/chain.h"
#include "engine/coefficient_update.h"
#include "engine/stage_setups.h"
#include "params/parameter_table.h"

namespace {

using Settings = std::vector<std::pair<const char*, double>>;

void runChain(benchmark::State& bench, const Settings& settings) {
    auto state = std::make_unique<qx::ChainState>();
    qx::ParameterTable table = qx::buildParameterTable(*state);
    qx::designAtStartup(*state);
    for (const auto& [key, value] : settings) table.find(key)->assign(value);
    qx::updateCoefficients(*state, true);
    qx::bench::runBlocks(bench, *state);
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

// Everything on, ten bands, but one stage off: the difference from
// BM_ChainEverything10Bands is that stage's share of a frame, the measure by
// which to choose what to speed up next.
const bool kWithoutOneStage = [] {
    for (const auto& [key, value] : everythingOn(1)) {
        const std::string setting = key;
        const std::string prefix = "General.", suffix = ".Active";
        if (!setting.starts_with(prefix) || !setting.ends_with(suffix)) continue;
        const std::string stage = setting.substr(prefix.size(), setting.size() - prefix.size() - suffix.size());
        benchmark::RegisterBenchmark(("BM_ChainEverything10BandsWithout/" + stage).c_str(),
                                     [key](benchmark::State& bench) {
                                         Settings settings = everythingOn(1);
                                         settings.emplace_back(key, 0.0);
                                         runChain(bench, settings);
                                     })
            ->Unit(benchmark::kMillisecond);
    }
    return true;
}();

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
