#pragma once
// Forward transform of a real frame of N points (N a power of two), radix 2,
// decimation in time: X[k] = sum over n of x[n] e^(-2 pi i k n / N). The
// analysis displays use it; T is the working precision (single precision for
// the console's analyzer, double for the tool's long-term spectrum).
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>

namespace qx {

template <class T, std::size_t N>
class RealFft {
    static_assert(N >= 2 && (N & (N - 1)) == 0, "the frame size must be a power of two");

public:
    static constexpr std::size_t kSize = N;

    RealFft() {
        for (std::size_t k = 0; k < N / 2; ++k) {
            const double angle = -2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(N);
            cosines_[k] = static_cast<T>(std::cos(angle));
            sines_[k] = static_cast<T>(std::sin(angle));
        }
        for (std::size_t j = 0; j < N; ++j) {
            std::size_t reversed = 0;
            for (std::size_t bit = 1, value = j; bit < N; bit <<= 1, value >>= 1) reversed = (reversed << 1) | (value & 1u);
            reversed_[j] = static_cast<uint32_t>(reversed);
        }
    }

    // `real` and `imaginary` receive X[0..N-1]; nothing is allocated.
    void forward(const T* input, T* real, T* imaginary) const {
        for (std::size_t j = 0; j < N; ++j) {
            real[reversed_[j]] = input[j];
            imaginary[reversed_[j]] = T(0);
        }
        for (std::size_t block = 2; block <= N; block *= 2) {
            const std::size_t half = block / 2;
            const std::size_t stride = N / block;
            for (std::size_t start = 0; start < N; start += block) {
                for (std::size_t k = 0; k < half; ++k) {
                    const T wr = cosines_[k * stride];
                    const T wi = sines_[k * stride];
                    const std::size_t a = start + k;
                    const std::size_t b = a + half;
                    const T tr = wr * real[b] - wi * imaginary[b];
                    const T ti = wr * imaginary[b] + wi * real[b];
                    real[b] = real[a] - tr;
                    imaginary[b] = imaginary[a] - ti;
                    real[a] += tr;
                    imaginary[a] += ti;
                }
            }
        }
    }

private:
    std::array<T, N / 2> cosines_{};
    std::array<T, N / 2> sines_{};
    std::array<uint32_t, N> reversed_{};
};

}  // namespace qx
