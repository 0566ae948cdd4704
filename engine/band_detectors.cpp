#include "engine/band_detectors.h"

#include <cmath>

#include "engine/chain.h"

namespace qx {

BandDetectors bandDetectors(const ProcessorParams& processor) {
    BandDetectors d;
    for (int i = 0; i < kMaxBands; ++i) d.coefficient[i] = guard::coefficient(processor.detectMs[i].load());
    return d;
}

}  // namespace qx
