#pragma once
// The chain's delay: how many frames after a sound enters it leaves again, for
// the switches in force. Hosts that align the output with the input (the tool,
// plug-in hosts that report latency) compensate it.
#include <cstdint>

#include "params/parameters.h"

namespace qx {

// Frames at 44100 Hz. Every reverse-cascaded section pass delays by 8192 frames
// (highpass, two-band AGC, each parametric section, each lowpass section, the
// band split, the refilter when a band in use has its flag set), each
// look-ahead line by 4095, the three-band EQ by 3 and the complex final clipper
// by 32. Stages that are off, and stages inside the multiband processor while
// it is off, add nothing.
int32_t chainLatencyFrames(const Parameters& params, int32_t bandCount);

}  // namespace qx
