#pragma once
#include <cstdint>

#include "base/second_thread.h"
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

// Hooks of runSilentBlocks, each called on the thread that runs its half of
// the chain, with the block's number.
struct SilentRunHooks {
    void* context = nullptr;
    // Before the first half of the chain runs the block (e.g. to set the tone).
    void (*beforeFront)(int64_t block, ChainState& state, void* context) = nullptr;
    // Before and after the second half runs it (e.g. to clear and read the
    // output peak).
    void (*beforeBack)(int64_t block, ChainState& state, void* context) = nullptr;
    void (*afterBack)(int64_t block, ChainState& state, void* context) = nullptr;
};

constexpr int32_t kSilentRunMaxFrames = 1024;

// Runs `blocks` blocks of `frames` (1..1024) frames of 16-bit stereo silence
// through the chain exactly as processBlock does, for measurements that play
// the test tone. With a second thread the chain's first half (test signals to
// the compressor) runs there, a few blocks ahead of the second half on the
// caller's thread; the halves share no state but the frames handed on, so
// every block comes out bit for bit the same. That holds while the first half
// draws no random numbers: with the noise generator on, or without the sine,
// everything runs on the caller's thread. Allocates: not for the audio thread.
void runSilentBlocks(ChainState& state, int64_t blocks, int32_t frames, SecondThread* thread,
                     const SilentRunHooks& hooks);

// Brings the stages back to silence after a pause in playback or a preset
// load, so no old audio is heard: filter states and delay lines are cleared.
// processBlock calls it when a block arrives more than 6 s after the last one
// (a preset load sets lastBlockTime to 0 to get there).
void resetStagesAfterGap(ChainState& state);

// Brings a state record back to its zeroed start, in place (the record is too
// large for a temporary on the stack).
void zeroChainState(ChainState& state);

}  // namespace qx
