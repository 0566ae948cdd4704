#include <gtest/gtest.h>

#include <cmath>

#include "band_stage_test_support.h"
#include "engine/chain.h"
#include "engine/dynamic_eq.h"

namespace qx {
namespace {

using test::bandFrame;
using test::bandStep;
using test::randomFrame;

DynamicEqParams makeParams(double speedMs, double amountPct, double maxEnhanceDb) {
    DynamicEqParams p;
    p.speedMs = speedMs;
    p.amountPct = amountPct;
    p.maxEnhanceDb = maxEnhanceDb;
    return p;
}

TEST(DynamicEq, GapResetSetsTheTiltCurveAndKeepsPower) {
    DynamicEqState s;
    s.power[2] = 0.7;
    dynamicEqGapReset(s);
    const double curve[kMaxBands] = {2.4, 1.9, 1.5, 1.2, 1.0, 1.0, 1.2, 1.5, 1.9, 2.4};
    for (int i = 0; i < kMaxBands; ++i) EXPECT_EQ(s.gain[i], curve[i]);
    EXPECT_EQ(s.power[2], 0.7);
}

TEST(DynamicEq, NeutralSettingsPassTheBands) {
    Random random;
    for (int nb : {3, 5, 10}) {
        // Amount 0: every weight is exactly 1 whatever the gain states do.
        DynamicEqState s;
        dynamicEqGapReset(s);
        const auto c = dynamicEqCoefficients(makeParams(2000, 0, 9), test::uniformDetectors(0.01), nb);
        for (int n = 0; n < 500; ++n) {
            BandSignals in = randomFrame(random);
            BandSignals out = in;
            dynamicEqStep(s, c, out);
            for (int i = 0; i < kMaxBands; ++i) {
                EXPECT_DOUBLE_EQ(out.left[i], in.left[i]);
                EXPECT_DOUBLE_EQ(out.right[i], in.right[i]);
            }
        }
    }
    // Amount 100 % with MaxEnhance 0 dB: every target is 1; at speed 0 the
    // gain states are 1 from the first frame on.
    DynamicEqState s;
    dynamicEqGapReset(s);
    const auto c = dynamicEqCoefficients(makeParams(0, 100, 0), test::uniformDetectors(0.01), 10);
    for (int n = 0; n < 100; ++n) {
        BandSignals in = randomFrame(random);
        BandSignals out = in;
        dynamicEqStep(s, c, out);
        for (int i = 0; i < kMaxBands; ++i) EXPECT_DOUBLE_EQ(out.left[i], in.left[i]);
    }
}

TEST(DynamicEq, SingleBandIsAlwaysUnity) {
    Random random;
    DynamicEqState s;
    dynamicEqGapReset(s);
    Number meters[kMaxBands];
    const auto c = dynamicEqCoefficients(makeParams(200, 100, 24), test::uniformDetectors(0.05), 1);
    for (int n = 0; n < 2000; ++n) {
        BandSignals in = randomFrame(random, n < 1000 ? 1.0 : 0.001);
        BandSignals out = in;
        bandStep(dynamicEqStep, publishDynamicEqMeters, s, c, out, true, meters);
        EXPECT_NEAR(out.left[0], in.left[0], 1e-15);
        EXPECT_NEAR(out.right[0], in.right[0], 1e-15);
        EXPECT_NEAR(meters[0].load(), 0.0, 1e-12);
        for (int i = 1; i < kMaxBands; ++i) EXPECT_EQ(out.left[i], in.left[i]);
    }
}

// Steady state cross-check: a band whose level sits at 0.05 has target 1, one
// at 0.025 has target 2; the weights are those targets over their mean.
TEST(DynamicEq, SteadyWeightsFollowTheBandLevels) {
    DynamicEqState s;
    dynamicEqGapReset(s);
    Number meters[kMaxBands];
    const auto c = dynamicEqCoefficients(makeParams(10, 100, 12), test::uniformDetectors(0.05), 2);
    // sqrt(D) = sqrt(2) * a for a DC band of value a on both sides.
    const double a0 = (0.05 - 0.00001) / std::sqrt(2.0);
    const double a1 = (0.025 - 0.00001) / std::sqrt(2.0);
    BandSignals out;
    for (int n = 0; n < 44100; ++n) {
        out = bandFrame(0.0);
        out.left[0] = out.right[0] = a0;
        out.left[1] = out.right[1] = a1;
        bandStep(dynamicEqStep, publishDynamicEqMeters, s, c, out, n == 44099, meters);
    }
    EXPECT_NEAR(out.left[0] / a0, 1.0 / 1.5, 1e-6);
    EXPECT_NEAR(out.left[1] / a1, 2.0 / 1.5, 1e-6);
    EXPECT_NEAR(meters[0].load(), gainToDb(1.0 / 1.5), 1e-5);
    EXPECT_NEAR(meters[1].load(), gainToDb(2.0 / 1.5), 1e-5);
    EXPECT_NEAR(s.gain[0], 1.0, 1e-6);
    EXPECT_NEAR(s.gain[1], 2.0, 1e-6);
}

TEST(DynamicEq, TargetsAreBoundedByMaxEnhance) {
    // A silent band wants far more than 6 dB, a loud one far less than -6 dB.
    DynamicEqState s;
    dynamicEqGapReset(s);
    const auto c = dynamicEqCoefficients(makeParams(10, 100, 6), test::uniformDetectors(0.05), 2);
    const double hi = dbToGain(6), lo = dbToGain(-6);
    BandSignals out;
    for (int n = 0; n < 44100; ++n) {
        out = bandFrame(0.0);
        out.left[0] = out.right[0] = 1e-7;
        out.left[1] = out.right[1] = 0.9;
        dynamicEqStep(s, c, out);
    }
    EXPECT_NEAR(s.gain[0], hi, 1e-9);
    EXPECT_NEAR(s.gain[1], lo, 1e-9);
    const double mean = (hi + lo) / 2;
    EXPECT_NEAR(out.left[1] / 0.9, lo / mean, 1e-8);
    // Half the amount pulls each weight half way to 1 before normalising.
    const auto half = dynamicEqCoefficients(makeParams(200, 50, 6), test::uniformDetectors(0.05), 2);
    BandSignals f = bandFrame(0.0);
    f.left[0] = f.right[0] = 1e-7;
    f.left[1] = f.right[1] = 0.9;
    dynamicEqStep(s, half, f);
    const double w0 = (hi - 1) * 0.5 + 1, w1 = (lo - 1) * 0.5 + 1;
    EXPECT_NEAR(f.left[1] / 0.9, w1 / ((w0 + w1) / 2), 1e-8);
}

TEST(DynamicEq, MetersOnlyOnTheMeterFrameAndBandsBeyondCountUntouched) {
    DynamicEqState s;
    dynamicEqGapReset(s);
    Number meters[kMaxBands];
    for (auto& m : meters) m = -99.0;
    const auto c = dynamicEqCoefficients(makeParams(2000, 50, 9), test::uniformDetectors(0.01), 3);
    BandSignals f = bandFrame(0.3);
    bandStep(dynamicEqStep, publishDynamicEqMeters, s, c, f, false, meters);
    for (auto& m : meters) EXPECT_EQ(m.load(), -99.0);
    for (int i = 3; i < kMaxBands; ++i) EXPECT_EQ(f.left[i], 0.3);
    DynamicEqState fresh;
    dynamicEqGapReset(fresh);
    for (int i = 3; i < kMaxBands; ++i) EXPECT_EQ(s.gain[i], fresh.gain[i]);
    f = bandFrame(0.3);
    bandStep(dynamicEqStep, publishDynamicEqMeters, s, c, f, true, meters);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(meters[i].load(), gainToDb(f.left[i] / 0.3), 1e-12);
    for (int i = 3; i < kMaxBands; ++i) EXPECT_EQ(meters[i].load(), -99.0);
}

TEST(DynamicEq, AbsurdParametersKeepEverythingFinite) {
    Random random;
    for (double v : test::kAbsurdValues) {
        for (int nb : {1, 3, 10}) {
            ProcessorParams proc;
            for (auto& d : proc.detectMs) d = v;
            const BandDetectors det = bandDetectors(proc);
            const auto c = dynamicEqCoefficients(makeParams(v, v, v), det, nb);
            DynamicEqState s;  // from load: gain states still zero
            Number meters[kMaxBands];
            for (int n = 0; n < 3000; ++n) {
                BandSignals f = randomFrame(random, n % 500 < 250 ? 1.0 : 0.0);
                bandStep(dynamicEqStep, publishDynamicEqMeters, s, c, f, n % 64 == 0, meters);
                ASSERT_TRUE(test::allFinite(f)) << v << " nb " << nb << " frame " << n;
            }
            EXPECT_TRUE(test::allFinite(s.power, kMaxBands));
            EXPECT_TRUE(test::allFinite(s.gain, kMaxBands));
            EXPECT_TRUE(test::allFinite(meters, kMaxBands));
        }
    }
}

}  // namespace
}  // namespace qx
