#pragma once
#include <cstdint>

#include "base/second_thread.h"
#include "engine/chain_state.h"
#include "base/frame_variant.h"

namespace qx {

// dB to linear gain and back, and the one-pole time coefficient of a time in ms.
double dbToGain(double db);
double gainToDb(double gain);
double timeCoefficient(double ms);         // c(T) = 1 / (T * 0.001 * 44100)
double guardedTimeCoefficient(double ms);  // c(T), or 1 when T <= 0

QX_FRAME_VARIANT_BEGIN

// Runs one host block through the chain in place; always returns `frames`.
// Blocks that are not 16-bit, 1 or 2 channels, 44100 Hz pass untouched.
int32_t processBlock(int16_t* samples, int32_t frames, int32_t bits, int32_t channels, int32_t rate,
                     ChainState& state);

// The same chain for hosts with floating-point audio: separate channel arrays
// (right ignored with one channel) at 44100 Hz, full scale 1.0, rewritten in
// place without 16-bit quantisation; the clamp at +-0.9999 still applies.
int32_t processFloatBlock(float* left, float* right, int32_t frames, int32_t channels, ChainState& state);
QX_FRAME_VARIANT_END

// What runBlockStream asks of its host; each hook is called on the thread
// that runs its half of the chain, with the block's number.
struct BlockStreamHooks {
    void* context = nullptr;
    // Before the block starts: writes the block's interleaved 16-bit frames to
    // `samples` (room for kBlockStreamMaxFrames) and returns how many; 0 ends
    // the stream. Changes the block should start with belong here (a test
    // tone, a reset request).
    int32_t (*fill)(int64_t block, int16_t* samples, ChainState& state, void* context) = nullptr;
    // Once the first half has run the block (e.g. to move the host's block
    // clock on by `frames`).
    void (*afterFront)(int64_t block, int32_t frames, ChainState& state, void* context) = nullptr;
    // Before the second half runs it (e.g. to clear the output peak).
    void (*beforeBack)(int64_t block, ChainState& state, void* context) = nullptr;
    // The finished block; false ends the stream.
    bool (*done)(int64_t block, const int16_t* samples, int32_t frames, ChainState& state, void* context) = nullptr;
    // Blocks the first half may run ahead of the second, 4..kBlockStreamMaxAhead:
    // each costs room for a block of every band's signal (up to 160 KB).
    int32_t aheadBlocks = 16;
};

constexpr int32_t kBlockStreamMaxFrames = 1024;
constexpr int32_t kBlockStreamMaxAhead = 256;

QX_FRAME_VARIANT_BEGIN
// Runs a stream of 16-bit blocks of `channels` (1 or 2) channels at 44100 Hz
// through the chain, each block exactly as processBlock would run it. With a
// second thread the chain's first half (input to the compressor) runs there,
// a few blocks ahead of the second half on the caller's thread; the halves
// share no state but what a block hands on, so every block comes out bit for
// bit the same. Without one, or when it cannot start, everything runs on the
// caller's thread in the order fill, beforeBack, processBlock, afterFront,
// done. Once done returns false, fill is not called again, but a fill that
// is waiting must return by itself. Returns whether two threads ran.
// Allocates once per stream: not for the audio thread.
bool runBlockStream(ChainState& state, int32_t channels, SecondThread* thread, const BlockStreamHooks& hooks);
QX_FRAME_VARIANT_END

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

constexpr int32_t kSilentRunMaxFrames = kBlockStreamMaxFrames;

QX_FRAME_VARIANT_BEGIN
// Runs `blocks` blocks of `frames` (1..1024) frames of 16-bit stereo silence
// through the chain as a block stream, for measurements that play the test
// tone. Allocates: not for the audio thread.
void runSilentBlocks(ChainState& state, int64_t blocks, int32_t frames, SecondThread* thread,
                     const SilentRunHooks& hooks);

// Brings the stages back to silence after a pause in playback or a preset
// load, so no old audio is heard: filter states and delay lines are cleared.
// processBlock calls it when a block arrives more than 6 s after the last one
// (a preset load sets lastBlockTime to 0 to get there).
void resetStagesAfterGap(ChainState& state);
QX_FRAME_VARIANT_END

// Brings a state record back to its zeroed start, in place (the record is too
// large for a temporary on the stack).
void zeroChainState(ChainState& state);

}  // namespace qx
