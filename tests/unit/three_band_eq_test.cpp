#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/chain.h"
#include "engine/random.h"
#include "engine/three_band_eq.h"

namespace qx {
namespace {

constexpr double kPi = 3.141592653589793;

std::vector<double> noise(int frames, uint32_t seed) {
    Random random;
    random.seed(seed);
    std::vector<double> v(frames);
    for (double& x : v) x = random.next() / 32767.0 * 2.0 - 1.0;
    return v;
}

ThreeBandState splitter(double f1, double f2, double low, double mid, double high) {
    ThreeBandState s;
    designThreeBandSplitter(s, f1, f2, 44100.0, true);
    s.gLow = low;
    s.gMid = mid;
    s.gHigh = high;
    return s;
}

// Peak output of a sine after the cascades have settled.
double sineGain(ThreeBandState s, double hz) {
    double peak = 0.0;
    for (int i = 0; i < 44100; ++i) {
        const double y = threeBandStep(s, std::sin(2.0 * kPi * hz * i / 44100.0));
        if (i >= 22050) peak = std::max(peak, std::fabs(y));
    }
    return peak;
}

bool stateFinite(const ThreeBandState& s) {
    const double v[] = {s.c1, s.s1, s.s2, s.s3, s.s4, s.c2, s.s5, s.s6, s.s7, s.s8,
                        s.x0, s.x1, s.x2, s.gLow, s.gMid, s.gHigh};
    for (double x : v)
        if (!std::isfinite(x)) return false;
    return true;
}

TEST(ThreeBandEq, UnityGainsGiveTheInputDelayedByThreeFrames) {
    const double pairs[][2] = {{880, 5000}, {20, 7240.77}, {5000, 880}, {1000, 1000}, {7240.77, 20}};
    const std::vector<double> in = noise(20000, 7);
    for (const auto& p : pairs) {
        ThreeBandState s = splitter(p[0], p[1], 1.0, 1.0, 1.0);
        for (int i = 0; i < static_cast<int>(in.size()); ++i) {
            const double expected = i >= 3 ? in[i - 3] : 0.0;
            ASSERT_NEAR(threeBandStep(s, in[i]), expected, 1e-12) << p[0] << "/" << p[1] << " frame " << i;
        }
    }
}

TEST(ThreeBandEq, AllBandsMutedIsSilence) {
    ThreeBandEqParams params;
    for (int b = 0; b < 3; ++b) {
        params.bandDb[b] = 12.0;
        params.bandMute[b] = 1;
    }
    ThreeBandState s;
    designThreeBandSplitter(s, 880.0, 5000.0, 44100.0, true);
    setThreeBandGains(s, params);
    for (double x : noise(5000, 3)) ASSERT_EQ(threeBandStep(s, x), 0.0);
}

TEST(ThreeBandEq, GainsFollowLevelsAndMutes) {
    ThreeBandEqParams params;
    params.bandDb[0] = 0.0;
    params.bandDb[1] = 6.0;
    params.bandDb[2] = -24.0;
    ThreeBandState s;
    setThreeBandGains(s, params);
    EXPECT_EQ(s.gLow.load(), 1.0);
    EXPECT_DOUBLE_EQ(s.gMid.load(), std::pow(10.0, 0.3));
    EXPECT_NEAR(s.gHigh.load(), 0.0630957, 1e-7);

    params.bandMute[1] = 1;  // a mute wins over the level
    setThreeBandGains(s, params);
    EXPECT_EQ(s.gLow.load(), 1.0);
    EXPECT_EQ(s.gMid.load(), 0.0);
    EXPECT_NEAR(s.gHigh.load(), 0.0630957, 1e-7);
}

TEST(ThreeBandEq, DesignWritesCoefficientsAndRememberedValues) {
    ThreeBandState s;
    // 2 sin(pi f / rate): f = rate / 6 gives 1, f = rate / 4 gives sqrt 2.
    designThreeBandSplitter(s, 7350.0, 11025.0, 44100.0, true);
    EXPECT_NEAR(s.c1.load(), 1.0, 1e-15);
    EXPECT_NEAR(s.c2.load(), std::sqrt(2.0), 1e-15);
    EXPECT_EQ(s.f1, 7350.0);
    EXPECT_EQ(s.f2, 11025.0);
    EXPECT_EQ(s.rate, 44100.0);

    designThreeBandSplitter(s, 880.0, 5000.0, 44100.0, false);
    EXPECT_NEAR(s.c1.load(), 2.0 * std::sin(kPi * 880.0 / 44100.0), 1e-15);
    EXPECT_NEAR(s.c2.load(), 2.0 * std::sin(kPi * 5000.0 / 44100.0), 1e-15);
}

TEST(ThreeBandEq, ResetClearsEverythingAndAPlainRedesignKeepsAudioInFlight) {
    ThreeBandState s = splitter(880.0, 5000.0, 1.0, 1.0, 1.0);
    for (double x : noise(100, 5)) threeBandStep(s, x);
    const ThreeBandState before = s;

    designThreeBandSplitter(s, 500.0, 3000.0, 44100.0, false);
    EXPECT_EQ(s.s1, before.s1);
    EXPECT_EQ(s.s8, before.s8);
    EXPECT_EQ(s.x0, before.x0);
    EXPECT_EQ(s.x2, before.x2);
    EXPECT_EQ(s.gMid.load(), 1.0);
    EXPECT_EQ(s.f1, 500.0);

    designThreeBandSplitter(s, 880.0, 5000.0, 44100.0, true);
    EXPECT_EQ(s.s1, 0.0);
    EXPECT_EQ(s.s4, 0.0);
    EXPECT_EQ(s.s5, 0.0);
    EXPECT_EQ(s.x0, 0.0);
    EXPECT_EQ(s.x1, 0.0);
    // The gains are zeroed too: silent until the gains are set again.
    EXPECT_EQ(s.gLow.load(), 0.0);
    EXPECT_EQ(s.gMid.load(), 0.0);
    EXPECT_EQ(s.gHigh.load(), 0.0);
    for (double x : noise(50, 6)) ASSERT_EQ(threeBandStep(s, x), 0.0);
    EXPECT_NE(s.c1.load(), 0.0);
}

TEST(ThreeBandEq, EachBandPassesItsOwnRange) {
    // Low band: unity well below the lower crossover, small far above it.
    EXPECT_NEAR(sineGain(splitter(880, 5000, 1, 0, 0), 40.0), 1.0, 0.01);
    EXPECT_LT(sineGain(splitter(880, 5000, 1, 0, 0), 15000.0), 0.02);
    // High band: small far below the upper crossover, near unity far above.
    EXPECT_LT(sineGain(splitter(880, 5000, 0, 0, 1), 40.0), 0.01);
    EXPECT_GT(sineGain(splitter(880, 5000, 0, 0, 1), 15000.0), 0.8);
    // Mid band: little at either end, most of the signal between the crossovers.
    EXPECT_LT(sineGain(splitter(880, 5000, 0, 1, 0), 10.0), 0.05);
    EXPECT_GT(sineGain(splitter(880, 5000, 0, 1, 0), 2100.0), 0.5);
    // Boosting one band by 6 dB raises a sine inside it by about 6 dB.
    EXPECT_NEAR(sineGain(splitter(880, 5000, 2, 1, 1), 40.0), 2.0, 0.02);
}

TEST(ThreeBandEq, SwappedCrossoversNegateTheMidBand) {
    ThreeBandState a = splitter(880, 5000, 0, 1, 0);
    ThreeBandState b = splitter(5000, 880, 0, 1, 0);
    double energy = 0.0;
    for (double x : noise(10000, 11)) {
        const double ya = threeBandStep(a, x);
        const double yb = threeBandStep(b, x);
        ASSERT_NEAR(yb, -ya, 1e-12);
        energy += ya * ya;
    }
    EXPECT_GT(energy, 100.0);
}

TEST(ThreeBandEq, AbsurdParametersKeepOutputAndStateFinite) {
    const double absurd[] = {0.0, -1.0, 1e9, -1e9, INFINITY, -INFINITY};
    const std::vector<double> in = noise(4000, 13);
    for (int field = 0; field < 6; ++field) {
        for (double v : absurd) {
            double f1 = 880.0, f2 = 5000.0, rate = 44100.0;
            ThreeBandEqParams params;
            if (field == 0) f1 = v;
            if (field == 1) f2 = v;
            if (field == 2) rate = v;
            if (field >= 3) params.bandDb[field - 3] = v;
            ThreeBandState s;
            designThreeBandSplitter(s, f1, f2, rate, true);
            setThreeBandGains(s, params);
            EXPECT_GE(s.c1.load(), 0.0);
            EXPECT_LE(s.c1.load(), 1.9);
            EXPECT_LE(s.c2.load(), 1.9);
            for (double x : in) ASSERT_TRUE(std::isfinite(threeBandStep(s, x))) << field << " = " << v;
            ASSERT_TRUE(stateFinite(s)) << field << " = " << v;
        }
    }
}

}  // namespace
}  // namespace qx
