#pragma once
// Guards for per-block coefficients. Parameter values read from files are not
// range-checked, so a coefficient made from them may meet zero, negative, huge
// or infinite inputs. These helpers keep every result finite and every
// one-pole coefficient inside [0, 1], and return exactly the plain formula for
// any value inside the catalogued ranges. They run once per block, never per
// frame.
#include <cmath>

#include "engine/chain.h"

namespace qx::guards {

// Largest level in dB any stage turns into a linear factor (a factor of 1e6
// or 1e-6); the catalogued levels stay within +-40 dB.
constexpr double kGainLimitDb = 120.0;

// x limited to [lo, hi]; NaN goes to lo.
inline double clampFinite(double x, double lo, double hi) {
    if (!(x >= lo)) return lo;
    if (!(x <= hi)) return hi;
    return x;
}

// g(dB) with the level limited to +-kGainLimitDb.
inline double gainFromDb(double db) { return dbToGain(clampFinite(db, -kGainLimitDb, kGainLimitDb)); }

// One-pole coefficient c(T) in [0, 1]; a non-positive or non-finite time
// means "instant" (1), like the guarded form c+.
inline double onePole(double ms) {
    if (!(ms > 0.0) || !std::isfinite(ms)) return 1.0;
    return clampFinite(timeCoefficient(ms), 0.0, 1.0);
}

// 1 / ((a + b) * 0.0005 * 44100): the coefficient of the mean of two times,
// guarded like onePole.
inline double onePoleOfMean(double msA, double msB) {
    const double sum = msA + msB;
    if (!(sum > 0.0) || !std::isfinite(sum)) return 1.0;
    return clampFinite(1.0 / (sum * 0.0005 * kSampleRate), 0.0, 1.0);
}

}  // namespace qx::guards
