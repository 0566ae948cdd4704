#pragma once
// The engine's own sine, in plain double arithmetic, so the test tone and the
// coefficients built from it are the same on every build and processor: the C
// library's sin differs in its last bits between glibc and mingw-w64, whose
// sin is the x87 fsin, and fsin differs again between processor makers.
// About one ulp for |x| up to 2^22 pi/2; beyond that the argument is first
// taken modulo 2 pi (exactly, but with 2 pi rounded). NaN and inf give NaN.
#include <cmath>

namespace qx {

namespace sine_detail {

// q(z) = c[0] z^7 + ... + c[7], by Horner's rule.
inline double horner(double z, const double (&c)[8]) {
    double q = c[0];
    for (int i = 1; i < 8; ++i) q = q * z + c[i];
    return q;
}

// Taylor series on |r| <= pi/4 (and a hair) of sin(r + y) and cos(r + y),
// y a tail below half an ulp of r; the first term left out is below 3e-18.
inline double sinKernel(double r, double y) {
    constexpr double kSin[8] = {-8.22063524662433e-18,  2.8114572543455206e-15, -7.647163731819816e-13,
                                1.6059043836821613e-10, -2.505210838544172e-08, 2.7557319223985893e-06,
                                -0.0001984126984126984, 0.008333333333333333};
    const double z = r * r;
    const double v = z * r;
    const double q = horner(z, kSin);
    return r - ((z * (0.5 * y - v * q) - y) - v * -0.16666666666666666);
}

inline double cosKernel(double r, double y) {
    constexpr double kCos[8] = {-1.5619206968586225e-16, 4.779477332387385e-14, -1.1470745597729725e-11,
                                2.08767569878681e-09,    -2.755731922398589e-07, 2.48015873015873e-05,
                                -0.001388888888888889,   0.041666666666666664};
    const double z = r * r;
    const double q = horner(z, kCos);
    // 1 - z/2 with its rounding error carried separately.
    const double hz = 0.5 * z;
    const double w = 1.0 - hz;
    return w + (((1.0 - w) - hz) + (z * z * q - r * y));
}

}  // namespace sine_detail

inline double portableSine(double x) {
    // pi/2 in three parts (Cody and Waite): the first two have 31 significant
    // bits, so k times either is exact for |k| < 2^22.
    constexpr double kHalfPi1 = 0x1.921fb544p+0;
    constexpr double kHalfPi2 = 0x1.0b4611a4p-34;
    constexpr double kHalfPi3 = 0x1.13198a2e03707p-65;
    constexpr double kTwoOverPi = 0.6366197723675814;
    constexpr double kLimit = 6588397.0;  // 2^22 pi/2, rounded down
    if (!(std::fabs(x) <= kLimit)) x = std::fmod(x, 6.283185307179586);
    const double k = std::round(x * kTwoOverPi);
    // r + y = x - k pi/2: t is exact, the rest an exact two-sum and a tail.
    const double t = x - k * kHalfPi1;
    const double w = k * kHalfPi2;
    const double hi = t - w;
    const double back = hi - t;
    double y = ((t - (hi - back)) - (w + back)) - k * kHalfPi3;
    const double r = hi + y;
    y -= r - hi;
    // The quarter turn k mod 4 picks sin, cos, -sin or -cos.
    const double quarter = k - 4.0 * std::floor(k * 0.25);
    if (quarter == 1.0) return sine_detail::cosKernel(r, y);
    if (quarter == 2.0) return -sine_detail::sinKernel(r, y);
    if (quarter == 3.0) return -sine_detail::cosKernel(r, y);
    return sine_detail::sinKernel(r, y);
}

}  // namespace qx
