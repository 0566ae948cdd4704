#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <vector>
#include <cstring>

#include "band_stage_test_support.h"
#include "engine/chain.h"
#include "engine/expander.h"

namespace qx {
namespace {

using test::bandFrame;
using test::bandStep;
using test::randomFrame;
using test::runSkewed;

ExpanderParams makeParams(double ratio, double thresholdDb, double attackMs = 0.0,
                          double releaseMs = 0.0) {
    ExpanderParams p;
    for (int i = 0; i < kMaxBands; ++i) {
        p.ratio[i] = ratio;
        p.thresholdDb[i] = thresholdDb;
        p.attackMs[i] = attackMs;
        p.releaseMs[i] = releaseMs;
    }
    return p;
}

TEST(Expander, RatioOneHasNoEffect) {
    Random random;
    ExpanderState s;
    const auto c = expanderCoefficients(makeParams(1.0, 24.0, 10.0, 0.0), test::uniformDetectors(0.05), 10);
    EXPECT_EQ(c.floor[0], 1.0);
    for (int n = 0; n < 3000; ++n) {
        BandSignals f = randomFrame(random, n < 1500 ? 1.0 : 1e-4);
        const BandSignals in = f;
        expanderStep(s, c, f);
        for (int i = 0; i < kMaxBands; ++i) {
            ASSERT_EQ(f.left[i], in.left[i]);
            ASSERT_EQ(f.right[i], in.right[i]);
        }
    }
}

TEST(Expander, RatioTenAttenuatesSilenceToOneHundredth) {
    ExpanderState s;
    Number meters[kMaxBands];
    const auto c = expanderCoefficients(makeParams(10.0, 24.0, 10.0, 0.0), test::uniformDetectors(0.05), 10);
    EXPECT_DOUBLE_EQ(c.floor[0], 0.01);
    for (int n = 0; n < 100; ++n) {
        BandSignals f = bandFrame(0.0);
        bandStep(expanderStep, publishExpanderMeters, s, c, f, n == 99, meters);
    }
    const double q = 0.00001 / (dbToGain(24.0) * 0.1);
    for (int i = 0; i < kMaxBands; ++i) {
        EXPECT_NEAR(s.gain[i], q * 0.99 + 0.01, 1e-12);
        EXPECT_NEAR(s.gain[i], 0.01, 1e-5);
        EXPECT_NEAR(meters[i].load(), 40.0, 0.01);
    }
}

// Below the threshold the gain falls linearly with the level ratio q:
// t = q (1 - 1/R^2) + 1/R^2; at or above the threshold it is 1.
TEST(Expander, GainIsLinearInTheLevelRatio) {
    for (double ratio : {2.0, 4.0}) {
        for (double frac : {0.25, 0.5, 0.9, 1.0, 2.0}) {
            ExpanderState s;
            const double thr = dbToGain(-20.0) * 0.1;
            const auto c = expanderCoefficients(makeParams(ratio, -20.0), test::uniformDetectors(1.0), 1);
            // DC on both channels: sqrt(X) = sqrt(2) a.
            const double a = (frac * thr - 0.00001) / std::sqrt(2.0);
            BandSignals f = bandFrame(a);
            expanderStep(s, c, f);
            const double floor = 1.0 / (ratio * ratio);
            const double expected = frac <= 1.0 ? frac * (1.0 - floor) + floor : 1.0;
            EXPECT_NEAR(s.gain[0], expected, 1e-12) << ratio << " " << frac;
            EXPECT_NEAR(f.left[0], a * expected, 1e-15);
        }
    }
}

TEST(Expander, AttackWhenFallingReleaseWhenRising) {
    const double atk = timeCoefficient(10.0), rel = timeCoefficient(200.0);
    const auto c = expanderCoefficients(makeParams(4.0, 0.0, 10.0, 200.0), test::uniformDetectors(1.0), 1);
    ExpanderState s;
    s.gain[0] = 0.5;
    BandSignals f = bandFrame(0.0);  // silence: target 1/16, below the gain
    expanderStep(s, c, f);
    const double quiet = 0.00001 / 0.1 * (1 - 1.0 / 16) + 1.0 / 16;
    EXPECT_DOUBLE_EQ(s.gain[0], quiet * atk + (1 - atk) * 0.5);
    s.gain[0] = 0.5;
    f = bandFrame(0.5);  // above the threshold: target 1
    expanderStep(s, c, f);
    EXPECT_DOUBLE_EQ(s.gain[0], 1.0 * rel + (1 - rel) * 0.5);
    EXPECT_DOUBLE_EQ(f.left[0], 0.5 * s.gain[0]);
}

TEST(Expander, OnlyTheUsedBandsAndOnlyOnTheMeterFrame) {
    ExpanderState s;
    Number meters[kMaxBands];
    for (auto& m : meters) m = -7.0;
    const auto c = expanderCoefficients(makeParams(4.0, 0.0), test::uniformDetectors(1.0), 5);
    BandSignals f = bandFrame(0.001);
    bandStep(expanderStep, publishExpanderMeters, s, c, f, false, meters);
    for (auto& m : meters) EXPECT_EQ(m.load(), -7.0);
    f = bandFrame(0.001);
    bandStep(expanderStep, publishExpanderMeters, s, c, f, true, meters);
    for (int i = 0; i < 5; ++i) EXPECT_DOUBLE_EQ(meters[i].load(), -gainToDb(s.gain[i]));
    for (int i = 5; i < kMaxBands; ++i) {
        EXPECT_EQ(meters[i].load(), -7.0);
        EXPECT_EQ(f.left[i], 0.001);
        EXPECT_EQ(s.gain[i], 0.0);
        EXPECT_EQ(s.envelope[i], 0.0);
    }
}

TEST(Expander, AbsurdParametersKeepEverythingFinite) {
    Random random;
    auto pick = [&] { return test::kAbsurdValues[random.next() % std::size(test::kAbsurdValues)]; };
    for (int round = 0; round < 20; ++round) {
        const bool uniform = round < static_cast<int>(std::size(test::kAbsurdValues));
        const double v = uniform ? test::kAbsurdValues[round] : 0.0;
        ExpanderParams p;
        ProcessorParams proc;
        for (int i = 0; i < kMaxBands; ++i) {
            p.ratio[i] = uniform ? v : pick();
            p.thresholdDb[i] = uniform ? v : pick();
            p.attackMs[i] = uniform ? v : pick();
            p.releaseMs[i] = uniform ? v : pick();
            proc.detectMs[i] = uniform ? v : pick();
        }
        const auto c = expanderCoefficients(p, bandDetectors(proc), round % 2 ? 10 : 3);
        ExpanderState s;
        Number meters[kMaxBands];
        for (int n = 0; n < 3000; ++n) {
            BandSignals f = randomFrame(random, n % 600 < 300 ? 1.0 : 0.0);
            bandStep(expanderStep, publishExpanderMeters, s, c, f, n % 50 == 0, meters);
            ASSERT_TRUE(test::allFinite(f)) << round << " frame " << n;
        }
        EXPECT_TRUE(test::allFinite(s.envelope, kMaxBands)) << round;
        EXPECT_TRUE(test::allFinite(s.gain, kMaxBands)) << round;
        EXPECT_TRUE(test::allFinite(meters, kMaxBands)) << round;
    }
}

// The chain runs the three parts in consecutive steps, a part of one frame
// after the next frames' earlier parts: every sample and state value as the
// whole frames give them, across levels above and below the thresholds.
TEST(Expander, PartsInPipelineOrderGiveTheWholeFrames) {
    const auto c = expanderCoefficients(makeParams(4.0, -12.0, 5.0, 50.0), test::uniformDetectors(0.05), 10);
    Random random;
    std::vector<BandSignals> whole(3000), parts;
    for (int n = 0; n < 3000; ++n) whole[n] = randomFrame(random, (n / 300) % 2 ? 1.0 : 1e-3);
    parts = whole;
    ExpanderState a, b;
    for (BandSignals& f : whole) expanderStep(a, c, f);
    runSkewed(3000, [&](int n) { expanderLevels(b, c, parts[n]); }, [&](int) { expanderTargets(b, c); },
              [&](int n) { expanderGains(b, c, parts[n]); });
    for (int n = 0; n < 3000; ++n)
        for (int i = 0; i < kMaxBands; ++i) {
            ASSERT_EQ(parts[n].left[i], whole[n].left[i]) << n;
            ASSERT_EQ(parts[n].right[i], whole[n].right[i]) << n;
        }
    EXPECT_EQ(std::memcmp(a.gain, b.gain, sizeof a.gain), 0);
    EXPECT_EQ(std::memcmp(a.envelope, b.envelope, sizeof a.envelope), 0);
}

}  // namespace
}  // namespace qx
