#include "engine/band_detectors.h"

#include <cmath>

#include "engine/chain.h"

namespace qx {

namespace guard {

namespace {
constexpr double kMinCoefficient = 1e-12;
constexpr double kDbLimit = 200.0;
constexpr double kMaxRatio = 1e6;
constexpr double kMeterFloor = 1e-30;
}  // namespace

double coefficient(double ms) {
    if (!(ms > 0.0) || !std::isfinite(ms)) return 1.0;
    const double c = timeCoefficient(ms);
    if (!(c < 1.0)) return 1.0;
    return c > kMinCoefficient ? c : kMinCoefficient;
}

double gain(double db) {
    if (!(db >= -kDbLimit)) db = -kDbLimit;  // also catches NaN
    if (db > kDbLimit) db = kDbLimit;
    return dbToGain(db);
}

int32_t lookahead(double ms) {
    const double frames = ms * 0.001 * kSampleRate;
    if (!(frames > 0.0)) return 0;
    if (frames >= static_cast<double>(kLookaheadMask)) return static_cast<int32_t>(kLookaheadMask);
    return static_cast<int32_t>(frames);
}

double ratio(double value) {
    if (!(value >= 1.0)) return 1.0;
    return value < kMaxRatio ? value : kMaxRatio;
}

int bands(int32_t bandCount) {
    if (bandCount < 1) return 1;
    return bandCount > kMaxBands ? kMaxBands : bandCount;
}

double reductionDb(double g) { return -levelDb(g); }

double levelDb(double g) { return gainToDb(g > kMeterFloor ? g : kMeterFloor); }

}  // namespace guard

BandDetectors bandDetectors(const ProcessorParams& processor) {
    BandDetectors d;
    for (int i = 0; i < kMaxBands; ++i) d.coefficient[i] = guard::coefficient(processor.detectMs[i].load());
    return d;
}

}  // namespace qx
