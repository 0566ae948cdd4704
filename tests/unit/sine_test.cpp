#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "engine/sine.h"

namespace qx {
namespace {

// Over the test tone's whole phase range, within rounding of the C library's
// sin; what is not a number stays one.
TEST(PortableSine, MatchesTheLibraryOverThePhaseRangeAndRefusesNonFinite) {
    const double turn = 2.0 * std::numbers::pi;
    double worst = 0.0;
    for (int i = 0; i <= 1 << 21; ++i) {
        const double x = -turn + 2.0 * turn * i / (1 << 21);
        worst = std::fmax(worst, std::fabs(portableSine(x) - std::sin(x)));
    }
    EXPECT_LT(worst, 2e-16);
    EXPECT_EQ(portableSine(0.0), 0.0);
    EXPECT_TRUE(std::isnan(portableSine(std::numeric_limits<double>::infinity())));
    EXPECT_TRUE(std::isnan(portableSine(std::numeric_limits<double>::quiet_NaN())));
}

}  // namespace
}  // namespace qx
