#include <gtest/gtest.h>

#include "engine/chain.h"

namespace qx {

TEST(Conversions, DecibelsAndTimeCoefficients) {
    EXPECT_DOUBLE_EQ(dbToGain(0.0), 1.0);
    EXPECT_NEAR(dbToGain(-6.0), 0.501187, 1e-6);
    EXPECT_NEAR(gainToDb(dbToGain(7.3)), 7.3, 1e-12);
    EXPECT_DOUBLE_EQ(timeCoefficient(1000.0), 1.0 / 44100.0);
    EXPECT_DOUBLE_EQ(guardedTimeCoefficient(0.0), 1.0);
    EXPECT_DOUBLE_EQ(guardedTimeCoefficient(-5.0), 1.0);
    EXPECT_DOUBLE_EQ(guardedTimeCoefficient(10.0), timeCoefficient(10.0));
}

}  // namespace qx
