#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "engine/chain.h"
#include "engine/coefficient_memo.h"
#include "engine/random.h"
#include "unit/chain_test_support.h"

namespace qx {
namespace {

// Padding after the switch, as in the stages' parameter records.
struct MemoParams {
    Flag on;
    Number value;
    Number other;
};

struct MemoKey {
    int32_t count = 0;
};

// Computed again exactly when a parameter or the key differs bit for bit
// (0 and -0 differ; a NaN is equal to itself), from a snapshot that later
// writes do not reach.
TEST(CoefficientMemo, ComputesAgainOnlyWhenAnInputChangesBitForBit) {
    CoefficientMemo<MemoParams, MemoKey, double> memo;
    MemoParams live;
    live.value = 2.0;
    int computed = 0;
    const auto take = [&](int32_t count) {
        return memo.take(live, MemoKey{count}, [&](const MemoParams& p, const MemoKey& key) {
            ++computed;
            return p.value.load() * key.count + p.other.load() + p.on.load();
        });
    };
    EXPECT_EQ(take(3), 6.0);
    EXPECT_EQ(take(3), 6.0);
    EXPECT_EQ(computed, 1);
    live.on = 1;
    EXPECT_EQ(take(3), 7.0);
    live.other = 0.5;
    EXPECT_EQ(take(3), 7.5);
    EXPECT_EQ(take(4), 9.5);
    live.other = -0.0;
    EXPECT_EQ(take(4), 9.0);
    EXPECT_EQ(computed, 5);
    live.value = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(std::isnan(take(4)));
    EXPECT_TRUE(std::isnan(take(4)));
    EXPECT_EQ(computed, 6);
}

// The chain with its block coefficients kept from block to block gives the
// same samples as a chain that computes them afresh every block, while the
// parameters of every stage that keeps them, the detectors, the band count,
// the drive, the post amp and the test tone's level move between blocks, come
// back to earlier values, or stay.
TEST(CoefficientMemo, ChainGivesTheSamplesOfCoefficientsComputedEveryBlock) {
    test::ManualClock clock;
    auto kept = test::makeState(clock);
    auto fresh = test::makeState(clock);
    for (ChainState* s : {kept.get(), fresh.get()}) {
        GeneralParams& g = s->params.general;
        s->sineOn = 1;
        for (Flag* on : {&g.stereoImageActive, &g.agcActive, &g.processorActive, &g.dynamicEqActive, &g.compressorActive,
                         &g.expanderActive, &g.limiterActive, &g.saturatorActive, &g.finalLimiterActive,
                         &g.finalClipperActive})
            *on = 1;
    }
    const std::vector<int16_t> input = test::programInput();
    constexpr int kFrames = 1000;
    Random random;
    random.seed(7);
    const auto pick = [&](double lo, double hi) { return lo + (hi - lo) * random.next() / 32767.0; };
    for (int block = 0; block < 60; ++block) {
        // Every third block leaves the parameters as they are.
        if (block % 3 != 2) {
            const int band = block % kMaxBands;
            const double threshold = block % 4 == 0 ? -10.0 : pick(-30.0, 0.0);
            const double detect = pick(1.0, 50.0);
            const double level = pick(0.0, 100.0);
            const int32_t bands = block % 5 == 4 ? 5 : 10;
            for (ChainState* s : {kept.get(), fresh.get()}) {
                Parameters& p = s->params;
                p.general.densityDriveDb = threshold / 10.0;
                p.general.postAmpDb = -threshold / 10.0;
                s->testLevelDb = threshold - 50.0;
                p.processor.detectMs[band] = detect;
                p.agc.maxGainDb = -threshold / 2.0;
                p.agc.attackLowMs = detect;
                p.stereoImage.amountPct = level;
                p.dynamicEq.maxEnhanceDb = threshold / -3.0;
                p.compressor.thresholdDb[band] = threshold;
                p.compressor.typeII = block % 2;
                p.expander.thresholdDb[band] = threshold - 20.0;
                p.limiter.thresholdDb[band] = threshold + 6.0;
                p.saturator.levelPct[band] = level;
                p.saturator.refilter[band] = block % 2;
                p.finalLimiter.thresholdDb = threshold / 2.0;
                p.finalClipper.driveDb = -threshold / 4.0;
                s->bandCount = bands;
            }
        }
        fresh->frontMemos = {};
        fresh->backMemos = {};
        std::vector<int16_t> a(input.begin() + block * 2 * kFrames, input.begin() + (block + 1) * 2 * kFrames);
        std::vector<int16_t> b = a;
        test::runStereo(a, *kept);
        test::runStereo(b, *fresh);
        ASSERT_EQ(a, b) << "block " << block;
    }
}

}  // namespace
}  // namespace qx
