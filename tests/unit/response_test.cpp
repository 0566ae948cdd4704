#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/chain.h"
#include "engine/response.h"
#include "unit/chain_test_support.h"

namespace qx {
namespace {

using test::makeState;
using test::ManualClock;

const double kHalfScale = std::pow(10.0, -6.0 * 0.05);  // the -6 dB test level

struct ProgressLog {
    std::vector<int32_t> pointsDone;
    bool tableGrowsInOrder = true;
    static void report(const ResponseCurve& curve, int32_t done, void* self) {
        auto* log = static_cast<ProgressLog*>(self);
        log->pointsDone.push_back(done);
        if (curve.frequencyHz[done - 1] == 0) log->tableGrowsInOrder = false;
        if (done < kResponsePoints && curve.frequencyHz[done] != 0) log->tableGrowsInOrder = false;
    }
};

struct PollCount {
    int calls = 0;
    static void poll(void* self) { ++static_cast<PollCount*>(self)->calls; }
};

TEST(ResponseMeasurement, BypassedChainGivesTheFrequencyTableAndAZeroCurve) {
    ManualClock clock;
    auto live = makeState(clock);
    live->params.general.mainBypass = 1;
    auto measurement = std::make_unique<ChainState>();
    ResponseCurve curve;
    curve.peak.fill(7.0);
    ProgressLog log;
    measureResponse(*live, *measurement, curve, &ProgressLog::report, &log);

    for (int k = 0; k < kResponsePoints; ++k) {
        const double f = 20.0 * std::pow(2.0, 3 * k / 100.0);
        ASSERT_EQ(curve.frequencyHz[k], static_cast<int16_t>(std::trunc(f))) << k;
        ASSERT_EQ(curve.peak[k], 0.0) << k;
        ASSERT_NEAR(responseFrequency(k), f, f * 1e-13);
    }
    EXPECT_EQ(curve.frequencyHz[0], 20);
    EXPECT_EQ(curve.frequencyHz[100], 160);
    EXPECT_EQ(curve.frequencyHz[200], 1280);
    EXPECT_EQ(curve.frequencyHz[kResponsePoints - 1], 20338);

    std::vector<int32_t> expected;
    for (int k = 0; k < kResponsePoints; k += 20) expected.push_back(k + 1);
    EXPECT_EQ(log.pointsDone, expected);
    EXPECT_TRUE(log.tableGrowsInOrder);
}

TEST(ResponseMeasurement, NeutralChainIsFlatAtTheTestLevelWhateverTheLiveTestSignals) {
    ManualClock clock;
    auto live = makeState(clock);
    PollCount polls;
    live->pollSelection = &PollCount::poll;
    live->pollContext = &polls;
    live->consoleClosed = 1;
    live->noiseOn = 1;
    live->testLevelDb = 0.0;
    live->testFrequencyHz = 50.0;
    live->sinePhase = 1.0;
    live->scope[10] = 0.25;
    auto measurement = std::make_unique<ChainState>();
    ResponseCurve curve;
    measureResponse(*live, *measurement, curve);

    for (int k = 0; k < kResponsePoints; ++k) {
        ASSERT_LE(curve.peak[k], kHalfScale) << k;
        ASSERT_GT(curve.peak[k], kHalfScale * 0.998) << k;
    }
    // The copy carries the measurement's test settings; the live record is
    // untouched and its selection poll never ran.
    EXPECT_EQ(measurement->inputMute, 1);
    EXPECT_EQ(measurement->sineOn, 1);
    EXPECT_EQ(measurement->noiseOn, 0);
    EXPECT_EQ(measurement->testLevelDb, -6.0);
    EXPECT_EQ(measurement->testFrequencyHz, responseFrequency(kResponsePoints - 1));
    EXPECT_TRUE(measurement->tickCount == live->tickCount);
    EXPECT_EQ(measurement->gapResets, 1u);  // the live record had never processed a block
    EXPECT_EQ(polls.calls, 0);
    EXPECT_EQ(live->noiseOn, 1);
    EXPECT_EQ(live->inputMute, 0);
    EXPECT_EQ(live->sinePhase, 1.0);
    EXPECT_EQ(live->scope[10], 0.25);
    EXPECT_EQ(live->scopeIndex, 0);
}

TEST(ResponseMeasurement, FollowsPostAmpUpToTheClampAndTheDensityDrive) {
    ManualClock clock;
    auto measurement = std::make_unique<ChainState>();
    ResponseCurve curve;

    auto live = makeState(clock);
    live->params.general.postAmpDb = 6.0;  // the -6 dB sine comes out at full scale, clamped
    measureResponse(*live, *measurement, curve);
    for (int k = 0; k < kResponsePoints; ++k) {
        ASSERT_LE(curve.peak[k], 0.9999 + 1e-12) << k;
        ASSERT_GT(curve.peak[k], 0.997) << k;
    }

    live = makeState(clock);
    live->params.general.densityDriveDb = -6.0;
    measureResponse(*live, *measurement, curve);
    for (int k = 0; k < kResponsePoints; ++k) {
        ASSERT_LE(curve.peak[k], kHalfScale * kHalfScale + 1e-12) << k;
        ASSERT_GT(curve.peak[k], kHalfScale * kHalfScale * 0.998) << k;
    }
}

TEST(ResponseMeasurement, RefusesToMeasureIntoTheLiveRecordItself) {
    ManualClock clock;
    auto live = makeState(clock);
    ResponseCurve curve;
    curve.peak.fill(1.0);
    measureResponse(*live, *live, curve);
    EXPECT_EQ(curve.peak[5], 0.0);
    EXPECT_EQ(live->sineOn, 0);
    EXPECT_EQ(live->scopeIndex, 0);
}

}  // namespace
}  // namespace qx
