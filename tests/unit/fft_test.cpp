#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "engine/fft.h"
#include "engine/random.h"

namespace qx {
namespace {

// The transform against the defining sum, in double and in single precision.
TEST(RealFft, MatchesTheDirectSum) {
    Random random;
    random.seed(7);
    constexpr std::size_t N = 64;
    std::vector<double> x(N);
    for (double& v : x) v = random.next() / 16383.5 - 1.0;
    std::vector<float> xf(x.begin(), x.end());

    RealFft<double, N> fft;
    RealFft<float, N> fftFloat;
    std::vector<double> re(N), im(N);
    std::vector<float> ref(N), imf(N);
    fft.forward(x.data(), re.data(), im.data());
    fftFloat.forward(xf.data(), ref.data(), imf.data());
    for (std::size_t k = 0; k < N; ++k) {
        double sumRe = 0.0, sumIm = 0.0;
        for (std::size_t n = 0; n < N; ++n) {
            const double angle = 2.0 * std::numbers::pi * static_cast<double>(k * n % N) / N;
            sumRe += x[n] * std::cos(angle);
            sumIm -= x[n] * std::sin(angle);
        }
        EXPECT_NEAR(re[k], sumRe, 1e-12) << k;
        EXPECT_NEAR(im[k], sumIm, 1e-12) << k;
        EXPECT_NEAR(ref[k], sumRe, 1e-4) << k;
        EXPECT_NEAR(imf[k], sumIm, 1e-4) << k;
    }
}

}  // namespace
}  // namespace qx
