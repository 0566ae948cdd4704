// Factory preset F1 in force: the chain on host-sized blocks, and the
// "Frq Resp." measurement (334 points of 13 blocks of 1024 frames through a
// copy of the chain), which blocks the console while it runs and so should
// finish well under a second.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "engine/chain.h"
#include "engine/coefficient_update.h"
#include "engine/random.h"
#include "engine/response.h"
#include "engine/stage_setups.h"
#include "params/data_directory.h"
#include "params/parameter_table.h"
#include "params/preset_library.h"
#include "platform/platform.h"

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
    constexpr int kBlockFrames = 576;
    constexpr int kBlocks = 64;
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
                             *chain.state);
        benchmark::DoNotOptimize(buffer.data());
    }
    const double frames = static_cast<double>(bench.iterations()) * kBlocks * kBlockFrames;
    bench.SetItemsProcessed(static_cast<int64_t>(frames));
    bench.counters["x_realtime"] = benchmark::Counter(frames / 44100.0, benchmark::Counter::kIsRate);
}

void BM_ResponseF1(benchmark::State& bench) {
    PresetChain chain;
    auto measurement = std::make_unique<qx::ChainState>();
    qx::ResponseCurve curve;
    for (auto _ : bench) {
        qx::measureResponse(*chain.state, *measurement, curve);
        benchmark::DoNotOptimize(curve.peak.data());
    }
}

}  // namespace

BENCHMARK(BM_ChainF1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ResponseF1)->Unit(benchmark::kMillisecond)->Iterations(3);
