#include <cmath>

#include "engine/chain.h"

namespace qx {

double dbToGain(double db) { return std::pow(10.0, db * 0.05); }
double gainToDb(double gain) { return 20.0 * std::log10(gain); }
double timeCoefficient(double ms) { return 1.0 / (ms * 0.001 * kSampleRate); }
double guardedTimeCoefficient(double ms) { return ms > 0.0 ? timeCoefficient(ms) : 1.0; }

}  // namespace qx
