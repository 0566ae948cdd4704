// Factory preset F1 in force: the chain on host-sized blocks, and the
// "Frq Resp." measurement (334 points of 13 blocks of 1024 frames through a
// copy of the chain), which blocks the console while it runs and so should
// finish well under a second.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>

#include "bench/chain_runs.h"
#include "engine/chain.h"
#include "engine/coefficient_update.h"
#include "engine/response.h"
#include "engine/stage_setups.h"
#include "params/data_directory.h"
#include "params/parameter_table.h"
#include "params/preset_library.h"
#include "platform/platform.h"
#include "platform/threads.h"

namespace {

// A chain with F1 loaded from the factory presets, in a data directory of its own.
struct PresetChain {
    std::filesystem::path dir = std::filesystem::temp_directory_path() / "quorvex-preset-bench";
    qx::DataDirectory data{qx::systemPlatform()};
    qx::PresetLibrary library{data};
    std::unique_ptr<qx::ChainState> state = std::make_unique<qx::ChainState>();
    qx::ParameterTable table = qx::buildParameterTable(*state);

    PresetChain() {
        std::filesystem::create_directories(dir);
        data.setDirectory((dir / "").string());
        library.scanLibrary();
        library.bind(&table, state.get(), &qx::updateCoefficients);
        qx::designAtStartup(*state);
        library.loadPreset(0);  // F1
    }
    ~PresetChain() { std::filesystem::remove_all(dir); }
};

void BM_ChainF1(benchmark::State& bench) {
    PresetChain chain;
    qx::bench::runBlocks(bench, *chain.state);
}

void BM_ResponseF1(benchmark::State& bench) {
    PresetChain chain;
    auto measurement = std::make_unique<qx::ChainState>();
    qx::ResponseCurve curve;
    const auto thread = qx::makeSecondThread();
    for (auto _ : bench) {
        qx::measureResponse(*chain.state, *measurement, curve, nullptr, nullptr, thread.get());
        benchmark::DoNotOptimize(curve.peak.data());
    }
}

}  // namespace

BENCHMARK(BM_ChainF1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ResponseF1)->Unit(benchmark::kMillisecond)->Iterations(3);
