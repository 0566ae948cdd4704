#pragma once
// Guards for per-block coefficients. Parameter values read from files are not
// range-checked, so a coefficient made from them may meet zero, negative, huge
// or infinite inputs. Every stage makes its coefficients through these: each
// result is finite, every one-pole coefficient lies in (0, 1], and any value
// inside the catalogued ranges gives exactly the plain formula. They run once
// per block, never per frame.
#include <cstdint>

namespace qx::guard {

// x limited to [lo, hi]; NaN goes to lo.
inline double clampFinite(double x, double lo, double hi) {
    if (!(x >= lo)) return lo;
    if (!(x <= hi)) return hi;
    return x;
}

// One-pole coefficient c(T) = 1 / (T * 0.001 * 44100). A non-positive or
// non-finite time gives 1 (follow at once, like c+); the result stays within
// [1e-12, 1] so a smoother always moves and never overshoots.
double coefficient(double ms);

// 1 / ((a + b) * 0.0005 * 44100): the coefficient of the mean of two times,
// guarded like `coefficient`.
double coefficientOfMean(double msA, double msB);

// g(dB) with the level limited to +-200 dB, so the factor is finite and > 0;
// the catalogued levels stay within +-40 dB.
double gain(double db);

// Look-ahead in whole frames, truncated toward zero, within [0, 4095].
int32_t lookahead(double ms);

// A ratio of at least 1 (and at most 1e6); anything else counts as 1.
double ratio(double value);

// Band count within [1, 10].
int bands(int32_t bandCount);

// Gain reduction meter, -dB(g), and level meter dB(g), with g floored at
// 1e-30 so a gain that has not yet risen from zero still reads finite.
double reductionDb(double gain);
double levelDb(double gain);

}  // namespace qx::guard
