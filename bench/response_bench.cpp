// The "Frq Resp." measurement with factory preset F1 in force: 334 points of
// 13 blocks of 1024 frames through a copy of the chain. It blocks the console
// while it runs, so it should finish well under a second.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>

#include "engine/coefficient_update.h"
#include "engine/response.h"
#include "engine/stage_setups.h"
#include "params/data_directory.h"
#include "params/parameter_table.h"
#include "params/preset_library.h"
#include "platform/platform.h"

namespace {

void BM_ResponseF1(benchmark::State& bench) {
    const auto dir = std::filesystem::temp_directory_path() / "quorvex-response-bench";
    std::filesystem::create_directories(dir);
    qx::DataDirectory data(qx::systemPlatform());
    data.setDirectory((dir / "").string());
    qx::PresetLibrary library(data);
    auto live = std::make_unique<qx::ChainState>();
    qx::ParameterTable table = qx::buildParameterTable(*live);
    library.scanLibrary();
    library.bind(&table, live.get(), &qx::updateCoefficients);
    qx::designAtStartup(*live);
    library.loadPreset(0);  // F1

    auto measurement = std::make_unique<qx::ChainState>();
    qx::ResponseCurve curve;
    for (auto _ : bench) {
        qx::measureResponse(*live, *measurement, curve);
        benchmark::DoNotOptimize(curve.peak.data());
    }
    std::filesystem::remove_all(dir);
}

}  // namespace

BENCHMARK(BM_ResponseF1)->Unit(benchmark::kMillisecond)->Iterations(3);
