#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "band_stage_test_support.h"
#include "engine/band_mix.h"
#include "engine/chain.h"

namespace qx {
namespace {

using test::randomFrame;

TEST(BandMix, BandEqScalesTheUsedBands) {
    Number g[kMaxBands + 1];
    g[0] = 4.0;  // the preamp alone is not applied again
    for (int i = 0; i < kMaxBands; ++i) g[i + 1] = 0.5 * (i + 1);
    const BandEqCoefficients c = bandEqCoefficients(g, 5);
    Random random;
    BandSignals f = randomFrame(random);
    const BandSignals in = f;
    bandEqStep(c, f);
    for (int i = 0; i < kMaxBands; ++i) {
        const double e = i < 5 ? 0.5 * (i + 1) : 1.0;
        EXPECT_EQ(f.left[i], in.left[i] * e);
        EXPECT_EQ(f.right[i], in.right[i] * e);
    }
}

TEST(BandMix, RecombinationSumsTheUsedBands) {
    Random random;
    ProcessorParams proc;
    for (int nb : {3, 5, 10}) {
        BandSignals f = randomFrame(random);
        double expectL = 0.0, expectR = 0.0;
        for (int i = 0; i < nb; ++i) {
            expectL += f.left[i];
            expectR += f.right[i];
        }
        double l = 7.0, r = 7.0;
        recombineBands(proc, nb, f, l, r);
        EXPECT_EQ(l, expectL);
        EXPECT_EQ(r, expectR);
    }
}

TEST(BandMix, BandMono) {
    Random random;
    ProcessorParams proc;
    for (auto& m : proc.mono) m = 1;
    for (int n = 0; n < 100; ++n) {
        BandSignals f = randomFrame(random);
        double l, r;
        recombineBands(proc, 10, f, l, r);
        EXPECT_EQ(l, r);  // all mono: mono output whatever the width
    }
    // One band mono: only that band's difference disappears.
    for (auto& m : proc.mono) m = 0;
    proc.mono[1] = 1;
    BandSignals f = test::bandFrame(0.0);
    f.left[0] = 0.5;
    f.right[0] = -0.25;
    f.left[1] = 0.4;
    f.right[1] = 0.0;
    double l, r;
    recombineBands(proc, 3, f, l, r);
    EXPECT_EQ(l, 0.5 + 0.2);
    EXPECT_EQ(r, -0.25 + 0.2);
    EXPECT_EQ(f.left[1], 0.2);
    EXPECT_EQ(f.right[1], 0.2);
    // A mono switch beyond the band count changes nothing.
    proc.mono[1] = 0;
    proc.mono[6] = 1;
    f = test::bandFrame(0.0);
    f.left[6] = 1.0;
    recombineBands(proc, 5, f, l, r);
    EXPECT_EQ(l, 0.0);
    EXPECT_EQ(f.left[6], 1.0);
}

TEST(BandMix, GainsThatAreNotFiniteKeepTheBandsFinite) {
    Number g[kMaxBands + 1];
    g[1] = std::numeric_limits<double>::infinity();
    g[2] = std::numeric_limits<double>::quiet_NaN();
    g[3] = -1.0;
    g[4] = 1e9;
    g[5] = 0.0;
    const BandEqCoefficients c = bandEqCoefficients(g, 10);
    EXPECT_EQ(c.gain[0], 1e20);  // capped
    EXPECT_EQ(c.gain[1], 0.0);
    EXPECT_EQ(c.gain[2], 0.0);
    EXPECT_EQ(c.gain[3], 1e9);
    EXPECT_EQ(c.gain[4], 0.0);
    Random random;
    ProcessorParams proc;
    for (int n = 0; n < 100; ++n) {
        BandSignals f = randomFrame(random);
        bandEqStep(c, f);
        double l, r;
        recombineBands(proc, 10, f, l, r);
        ASSERT_TRUE(test::allFinite(f));
        ASSERT_TRUE(std::isfinite(l) && std::isfinite(r));
    }
    EXPECT_EQ(bandEqCoefficients(g, 0).bands, 1);
    EXPECT_EQ(bandEqCoefficients(g, 99).bands, 10);
}

}  // namespace
}  // namespace qx
