#pragma once
#include <cstdint>

#include "engine/chain_state.h"

namespace qx {

// dB to linear gain and back, and the one-pole time coefficient of a time in ms.
double dbToGain(double db);
double gainToDb(double gain);
double timeCoefficient(double ms);         // c(T) = 1 / (T * 0.001 * 44100)
double guardedTimeCoefficient(double ms);  // c(T), or 1 when T <= 0

// Runs one host block through the chain in place; always returns `frames`.
// Blocks that are not 16-bit, 1 or 2 channels, 44100 Hz pass untouched.
int32_t processBlock(int16_t* samples, int32_t frames, int32_t bits, int32_t channels, int32_t rate,
                     ChainState& state);

// The same chain for hosts with floating-point audio: separate channel arrays
// (right ignored with one channel) at 44100 Hz, full scale 1.0, rewritten in
// place without 16-bit quantisation; the clamp at +-0.9999 still applies.
int32_t processFloatBlock(float* left, float* right, int32_t frames, int32_t channels, ChainState& state);

// Brings the stages back to silence after a pause in playback or a preset
// load, so no old audio is heard: filter states and delay lines are cleared.
// processBlock calls it when a block arrives more than 6 s after the last one
// (a preset load sets lastBlockTime to 0 to get there).
void resetStagesAfterGap(ChainState& state);

// Brings a state record back to its zeroed start, in place (the record is too
// large for a temporary on the stack).
void zeroChainState(ChainState& state);

}  // namespace qx
