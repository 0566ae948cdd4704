#include "engine/coefficient_guards.h"

#include <cmath>

#include "engine/chain.h"

namespace qx::guard {

namespace {
constexpr double kMinCoefficient = 1e-12;
constexpr double kGainLimitDb = 200.0;
constexpr double kMaxRatio = 1e6;
constexpr double kMeterFloor = 1e-30;
constexpr int32_t kMaxLookahead = 4095;

double boundedCoefficient(double c) {
    if (!(c < 1.0)) return 1.0;
    return c > kMinCoefficient ? c : kMinCoefficient;
}
}  // namespace

double coefficient(double ms) {
    if (!(ms > 0.0) || !std::isfinite(ms)) return 1.0;
    return boundedCoefficient(timeCoefficient(ms));
}

double coefficientOfMean(double msA, double msB) {
    const double sum = msA + msB;
    if (!(sum > 0.0) || !std::isfinite(sum)) return 1.0;
    return boundedCoefficient(1.0 / (sum * 0.0005 * kSampleRate));
}

double gain(double db) { return dbToGain(clampFinite(db, -kGainLimitDb, kGainLimitDb)); }

int32_t lookahead(double ms) {
    const double frames = ms * 0.001 * kSampleRate;
    if (!(frames > 0.0)) return 0;
    if (frames >= kMaxLookahead) return kMaxLookahead;
    return static_cast<int32_t>(frames);
}

double ratio(double value) {
    if (!(value >= 1.0)) return 1.0;
    return value < kMaxRatio ? value : kMaxRatio;
}

int bands(int32_t bandCount) {
    if (bandCount < 1) return 1;
    return bandCount > 10 ? 10 : bandCount;
}

double reductionDb(double g) { return -levelDb(g); }

double levelDb(double g) { return gainToDb(g > kMeterFloor ? g : kMeterFloor); }

}  // namespace qx::guard
