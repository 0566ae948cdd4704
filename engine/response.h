#pragma once
// Frequency response measurement: the whole chain, with the settings in force,
// run on a private copy of its state with a -6 dB test sine at 334 frequencies
// from 20 Hz to about 20.3 kHz, reading back the output peak at each.
#include <array>
#include <cstdint>

#include "base/second_thread.h"
#include "engine/chain_state.h"

namespace qx {

constexpr int kResponsePoints = 334;
// Point k is index 3k of the plot's 0..1000 frequency axis (i = 0, 3, ..., 999).
constexpr int kResponseIndexStep = 3;
constexpr int kResponseBlockFrames = 1024;
constexpr int kResponseSettleBlocks = 10;
constexpr int kResponseMeasuredBlocks = 3;
constexpr int kResponseProgressInterval = 20;  // points between progress reports
constexpr double kResponseTestLevelDb = -6.0;

struct ResponseCurve {
    std::array<int16_t, kResponsePoints> frequencyHz{};  // trunc(20 * 2^(i * 0.01)), 0 until measured
    std::array<double, kResponsePoints> peak{};          // output peak as a fraction of full scale
};

// Called after points 0, 20, 40, ... with the number of points measured so far.
using ResponseProgress = void (*)(const ResponseCurve& curve, int32_t pointsDone, void* context);

// The exact test frequency of point k (0 <= k < kResponsePoints).
double responseFrequency(int point);

// Copies `live` into `measurement` (a heap record of the caller's), switches the
// copy to input mute plus a -6 dB sine, and measures every point into `curve`
// (cleared first). The live state is only read; the copy keeps the live tick
// function and never polls the selection file. Runs 13 blocks of 1024 frames
// per point, so it takes a while: the caller decides when that is acceptable.
// With a second thread, half of the chain runs there and the measurement takes
// about half as long, with the same result; progress is still reported on the
// caller's thread.
void measureResponse(const ChainState& live, ChainState& measurement, ResponseCurve& curve,
                     ResponseProgress progress = nullptr, void* progressContext = nullptr,
                     SecondThread* thread = nullptr);

}  // namespace qx
