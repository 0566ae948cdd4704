#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "band_stage_test_support.h"
#include "engine/band_detectors.h"
#include "engine/chain.h"

namespace qx {

TEST(StageGuards, InRangeValuesAreThePlainConversions) {
    for (double ms : {0.1, 1.0, 20.0, 500.0, 5000.0, 20000.0})
        EXPECT_EQ(guard::coefficient(ms), timeCoefficient(ms)) << ms;
    for (double db : {-80.0, -24.0, -6.0, 0.0, 0.1, 24.0})
        EXPECT_EQ(guard::gain(db), dbToGain(db)) << db;
    for (double r : {1.0, 1.5, 2.0, 10.0}) EXPECT_EQ(guard::ratio(r), r);
    EXPECT_EQ(guard::lookahead(5.0), 220);  // 220.5 truncated
    EXPECT_EQ(guard::lookahead(90.0), 3969);
    EXPECT_EQ(guard::lookahead(0.0), 0);
    EXPECT_EQ(guard::lookahead(0.1), 4);  // 4.41
    EXPECT_EQ(guard::bands(3), 3);
    EXPECT_EQ(guard::bands(5), 5);
    EXPECT_EQ(guard::bands(10), 10);
}

TEST(StageGuards, AbsurdValuesStayUsable) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Times: zero, negative, non-finite mean "at once"; huge ones still move.
    for (double ms : {0.0, -1.0, -1e9, inf, -inf, nan, 1e-9}) EXPECT_EQ(guard::coefficient(ms), 1.0) << ms;
    for (double ms : {1e9, 1e300, 1.7e308}) {
        EXPECT_GT(guard::coefficient(ms), 0.0) << ms;
        EXPECT_LE(guard::coefficient(ms), 1e-9) << ms;
    }
    for (double db : {1e9, -1e9, 1e300, -1e300, inf, -inf, nan}) {
        const double g = guard::gain(db);
        EXPECT_TRUE(std::isfinite(g)) << db;
        EXPECT_GT(g, 0.0) << db;
    }
    for (double r : {0.0, -3.0, 0.5, nan, -inf}) EXPECT_EQ(guard::ratio(r), 1.0) << r;
    EXPECT_TRUE(std::isfinite(guard::ratio(inf)));
    EXPECT_EQ(guard::lookahead(-5.0), 0);
    EXPECT_EQ(guard::lookahead(nan), 0);
    EXPECT_EQ(guard::lookahead(92.86), 4095);  // just beyond the line
    EXPECT_EQ(guard::lookahead(1e9), 4095);
    EXPECT_EQ(guard::lookahead(inf), 4095);
    EXPECT_EQ(guard::bands(0), 1);
    EXPECT_EQ(guard::bands(-7), 1);
    EXPECT_EQ(guard::bands(11), 10);
}

TEST(StageGuards, MetersOfZeroGainReadFinite) {
    EXPECT_EQ(guard::reductionDb(1.0), 0.0);
    EXPECT_DOUBLE_EQ(guard::reductionDb(0.5), -gainToDb(0.5));
    EXPECT_DOUBLE_EQ(guard::levelDb(2.0), gainToDb(2.0));
    EXPECT_TRUE(std::isfinite(guard::reductionDb(0.0)));
    EXPECT_TRUE(std::isfinite(guard::levelDb(0.0)));
    EXPECT_TRUE(std::isfinite(guard::levelDb(-1.0)));
}

TEST(BandDetectors, OneCoefficientPerBandFromItsDetectTime) {
    ProcessorParams p;
    const double defaults[kMaxBands] = {20, 10, 8, 7, 6, 5, 4, 3, 2, 1};
    for (int i = 0; i < kMaxBands; ++i) p.detectMs[i] = defaults[i];
    const BandDetectors d = bandDetectors(p);
    for (int i = 0; i < kMaxBands; ++i) EXPECT_DOUBLE_EQ(d.coefficient[i], 1.0 / (defaults[i] * 44.1)) << i;
    p.detectMs[3] = 0.0;
    p.detectMs[4] = -1e9;
    const BandDetectors guarded = bandDetectors(p);
    EXPECT_EQ(guarded.coefficient[3], 1.0);
    EXPECT_EQ(guarded.coefficient[4], 1.0);
}

}  // namespace qx
