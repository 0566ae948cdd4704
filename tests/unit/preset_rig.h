#pragma once
// A chain state with its parameter table and a preset library over a
// temporary data directory, started the way the plug-in starts them.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "chain_test_support.h"
#include "engine/coefficient_update.h"
#include "engine/stage_setups.h"
#include "params/preset_library.h"
#include "persistence_test_support.h"

namespace qx::test {

class PresetRig : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(data.setDirectory(dir.directory()));
        designAtStartup(*state);
        library.bind(&table, state.get(), updateCoefficients);
        library.scanLibrary();
    }
    void set(const std::string& key, double v) {
        const ParameterRecord* r = table.find(key);
        ASSERT_NE(r, nullptr) << key;
        r->assign(v);
    }

    TempDir dir;
    ScriptedPlatform platform;
    DataDirectory data{platform};
    ManualClock clock;
    std::unique_ptr<ChainState> state = makeState(clock);
    ParameterTable table = buildParameterTable(*state);
    PresetLibrary library{data};
};

}  // namespace qx::test
