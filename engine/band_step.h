#pragma once
// A band stage's frame and, on the meter frame, its meters. The meters are
// the caller's choice rather than the step's, so the steps' frames carry no
// meter arguments.
#include "base/relaxed.h"
#include "filters/filterbank.h"

namespace qx {

template <class State, class Coefficients>
inline void bandStep(void (&step)(State&, const Coefficients&, BandSignals&),
                     void (&publish)(const State&, const Coefficients&, Number*), State& state,
                     const Coefficients& c, BandSignals& bands, bool meterFrame, Number* meters) {
    step(state, c, bands);
    if (meterFrame) publish(state, c, meters);
}

}  // namespace qx
