#pragma once
// Phase-linear second-order sections. Each sample runs through the section
// forward in time; every 4096 samples the finished block runs through it again
// backward, which squares the magnitude response and cancels the phase. The
// cost is a fixed delay of 8192 samples per section.
//
// Threads: the console designs a section while the audio thread steps it. The
// coefficients and the gain are relaxed atomics written one after the other;
// the audio thread takes a copy of them at each block start (takeDesign), so a
// redesign reaches the audio at the next block. A copy taken while a design is
// being written may still mix old and new values for that block. The copy,
// states, positions and delay lines belong to the audio thread (and to start-up).
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/relaxed.h"
#include "base/vector_clones.h"
#include "base/frame_variant.h"

namespace qx {

enum class FilterType : int32_t {
    Lowpass = 0,
    Highpass = 1,
    Bandpass = 2,  // constant 0 dB peak gain
    Notch = 3,
    Peaking = 4,
    LowShelf = 5,
    HighShelf = 6,
};

// Channel 1 carries the left signal, channel 2 the right.
enum class Channel : int32_t { Left = 0, Right = 1 };

constexpr int kBlockLength = 4096;                   // samples per block
constexpr int kDelayLineLength = 2 * kBlockLength;   // two blocks
constexpr int kReverseCascadeDelay = 2 * kBlockLength;  // samples from input to output
constexpr uint16_t kBlockOffsetMask = 0x0FFF;  // position within a block
constexpr uint16_t kBlockStartMask = 0x1000;   // start of a position's block

// Normalised coefficients (already divided by a0) and the linear gain of one design.
struct BiquadCoefficients {
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
    double gain = 1.0;
};

// Last two inputs and outputs of the forward equation of one channel.
struct SectionState {
    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
};

// The same for both channels, each value left and right side by side, so a
// stereo step loads and stores each as one vector; x1 and x2 (and y1 and y2)
// of both channels also load as one four-wide vector from one cache line.
struct SectionStates {
    alignas(32) double x1[2] = {};
    double x2[2] = {}, y1[2] = {}, y2[2] = {};
};
static_assert(offsetof(SectionStates, x2) == 16 && offsetof(SectionStates, y1) == 32 &&
              offsetof(SectionStates, y2) == 48);

QX_FRAME_VARIANT_BEGIN
inline SectionState channelState(const SectionStates& s, int c) { return {s.x1[c], s.x2[c], s.y1[c], s.y2[c]}; }

inline void setChannelState(SectionStates& s, int c, const SectionState& v) {
    s.x1[c] = v.x1;
    s.x2[c] = v.x2;
    s.y1[c] = v.y1;
    s.y2[c] = v.y2;
}
QX_FRAME_VARIANT_END

// Positions into a two-block delay line. The block being read out is also
// the one being filled: each step reads its output from a frame and then
// writes its forward result there, so write and read stand together and the
// frame written is in the cache already. The other block waits for its
// backward pass.
struct BlockIndices {
    uint16_t pending = 0;  // start of the block waiting for its backward pass
    uint16_t write = 0;    // where the next forward result goes
    uint16_t read = 0;     // where the next output comes from (= write)
};

QX_FRAME_VARIANT_BEGIN
// Steps until the block end of positions stepped once a frame (0: the next
// step ends the block).
inline int32_t stepsToBlockEnd(const BlockIndices& ix) { return kBlockOffsetMask - (ix.write & kBlockOffsetMask); }

// The positions after a block's work: filled block -> pending, finished
// block -> read out and filled.
inline BlockIndices rotated(const BlockIndices& ix) {
    const uint16_t finished = static_cast<uint16_t>(ix.pending & kBlockStartMask);
    return {static_cast<uint16_t>(ix.write & kBlockStartMask), finished, finished};
}
QX_FRAME_VARIANT_END

// The design the steps use, each value twice so a stereo step multiplies both
// channels by it straight from memory.
struct ActiveDesign {
    alignas(16) double b0[2] = {};
    double b1[2] = {}, b2[2] = {}, a1[2] = {}, a2[2] = {};
    double gain[2] = {};
};

// A lock-step filter's block end left for a batch (see allowBlockEndWaits in
// filters/filterbank.h).
struct BlockEndWait {
    bool allowed = false;  // the next block end may wait
    bool waiting = false;  // it does: the positions stand at the block's last frame
    bool withGain = false;  // the waiting block work's gain flag
};

struct ReverseCascadeFilter {
    Number b0, b1, b2, a1, a2;
    SectionStates state;
    Number gain;  // linear
    ActiveDesign active;  // the published design as of the block start
    BlockIndices indices[2];
    BlockEndWait wait;  // the audio thread's
    // Left and right side by side at each position, one vector per stereo step.
    alignas(16) double line[kDelayLineLength][2];
};

QX_FRAME_VARIANT_BEGIN
// The design formulas, without touching any record. Out-of-range inputs are
// pulled into a safe range first (frequency within (0, Fs/2), positive
// bandwidth, bounded gain), so the result is always finite and stable; values
// inside the ranges the controls produce are used unchanged.
BiquadCoefficients designCoefficients(FilterType type, double gainDb, double frequencyHz,
                                      double sampleRateHz, double bandwidthOctaves);

// Writes the five coefficients and the gain; with `reset` set it also clears
// the states and delay lines and takes the design at once. Without reset,
// audio in flight keeps running and the design waits for takeDesign.
ReverseCascadeFilter& designFilter(ReverseCascadeFilter& filter, bool reset, FilterType type,
                                   double gainDb, double frequencyHz, double sampleRateHz,
                                   double bandwidthOctaves);

// Clears both channels: states, positions (pending 0, write and read 4096),
// delay lines.
void resetFilter(ReverseCascadeFilter& filter);

// The published coefficients and gain become the ones the steps use.
inline void takeDesign(ReverseCascadeFilter& filter) {
    const double values[6] = {filter.b0, filter.b1, filter.b2, filter.a1, filter.a2, filter.gain};
    double* const fields[6] = {filter.active.b0, filter.active.b1, filter.active.b2,
                               filter.active.a1, filter.active.a2, filter.active.gain};
    for (int i = 0; i < 6; ++i) fields[i][0] = fields[i][1] = values[i];
}

// The forward equation shared by every step: y = b0·x + b1·x1 + b2·x2 − a1·y1 − a2·y2.
inline double forwardEquation(double b0, double b1, double b2, double a1, double a2,
                              SectionState& s, double x) {
    const double y = b0 * x + b1 * s.x1 + b2 * s.x2 - a1 * s.y1 - a2 * s.y2;
    s.x2 = s.x1;
    s.x1 = x;
    s.y2 = s.y1;
    s.y1 = y;
    return y;
}

// One causal step: the forward equation, times the gain.
inline double filterStep(ReverseCascadeFilter& filter, Channel channel, double x) {
    const ActiveDesign& d = filter.active;
    SectionState s = channelState(filter.state, static_cast<int>(channel));
    const double y = forwardEquation(d.b0[0], d.b1[0], d.b2[0], d.a1[0], d.a2[0], s, x);
    setChannelState(filter.state, static_cast<int>(channel), s);
    return y * d.gain[0];
}

// The block work at the end of a write block: warm-up, backward pass of the
// pending block, rotation. Out of line: it runs once in 4096 steps.
void finishReverseCascadeBlock(ReverseCascadeFilter& filter, Channel channel, bool withGain);

// One step of the reverse cascade. Returns the sample that entered 8192 calls
// earlier, filtered forward and backward. Without gain the `gain` field is not
// used at all.
inline double reverseCascadeStep(ReverseCascadeFilter& filter, Channel channel, double x,
                                 bool withGain) {
    const int c = static_cast<int>(channel);
    BlockIndices& ix = filter.indices[c];
    // Read before the write, which goes to the same frame, and before any
    // block work.
    const double out = filter.line[ix.read][c];
    const ActiveDesign& d = filter.active;
    SectionState s = channelState(filter.state, c);
    const double y = forwardEquation(d.b0[0], d.b1[0], d.b2[0], d.a1[0], d.a2[0], s, x);
    setChannelState(filter.state, c, s);
    filter.line[ix.write][c] = withGain ? y * d.gain[0] : y;
    if ((ix.write & kBlockOffsetMask) != kBlockOffsetMask) {
        ++ix.read;
        ++ix.write;
        return out;
    }
    finishReverseCascadeBlock(filter, channel, withGain);
    return out;
}

// Both channels of a filter whose channels step in lock-step (same positions),
// as the chain runs them: the two forward steps, and at a block end the block
// work of both channels in one pass, whose independent recursions overlap in
// the processor. Every sample is computed exactly as by two channel steps.
// Where the filter's wait is allowed, the block work waits for the batch.
void finishReverseCascadeBlockPair(ReverseCascadeFilter& filter, bool withGain);

// The forward half of a lock-step stereo step at positions `write` and `read`:
// reads both outputs, then writes both forward results. The two channels run
// side by side in one vector register, each exactly as on its own.
QX_INLINE void stereoForward(ReverseCascadeFilter& filter, uint32_t write, uint32_t read, double& left, double& right,
                             bool withGain) {
    using Pair = LanePair;
    Pair out;
    std::memcpy(&out, filter.line[read], sizeof out);
    SectionStates& s = filter.state;
    const Pair x = {left, right};
    Pair x1, x2, y1, y2;
    std::memcpy(&x1, s.x1, sizeof x1);
    std::memcpy(&x2, s.x2, sizeof x2);
    std::memcpy(&y1, s.y1, sizeof y1);
    std::memcpy(&y2, s.y2, sizeof y2);
    const ActiveDesign& d = filter.active;
    Pair b0, b1, b2, a1, a2, g;
    std::memcpy(&b0, d.b0, sizeof b0);
    std::memcpy(&b1, d.b1, sizeof b1);
    std::memcpy(&b2, d.b2, sizeof b2);
    std::memcpy(&a1, d.a1, sizeof a1);
    std::memcpy(&a2, d.a2, sizeof a2);
    std::memcpy(&g, d.gain, sizeof g);
    const Pair y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    std::memcpy(s.x1, &x, sizeof x);
    std::memcpy(s.x2, &x1, sizeof x1);
    std::memcpy(s.y1, &y, sizeof y);
    std::memcpy(s.y2, &y1, sizeof y1);
    const Pair result = withGain ? y * g : y;
    std::memcpy(filter.line[write], &result, sizeof result);
    left = out[0];
    right = out[1];
}
QX_FRAME_VARIANT_END

// The lock-step tests and the advance work on the positions' bytes where they
// lie: a few integer compares, and one add to memory per channel.
static_assert(sizeof(BlockIndices) == 6 && offsetof(BlockIndices, write) == 2 && offsetof(BlockIndices, read) == 4 &&
              std::endian::native == std::endian::little);

QX_FRAME_VARIANT_BEGIN
template <class T>
QX_INLINE T positionBytes(const ReverseCascadeFilter& filter, size_t offset) {
    T v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(filter.indices) + offset, sizeof v);
    return v;
}

// Channel 2's positions equal channel 1's: bytes 0-3 and 2-5 against 6-9 and 8-11.
QX_INLINE bool inLockStep(const ReverseCascadeFilter& f) {
    const uint32_t front = positionBytes<uint32_t>(f, 0) ^ positionBytes<uint32_t>(f, 6);
    const uint32_t back = positionBytes<uint32_t>(f, 2) ^ positionBytes<uint32_t>(f, 8);
    return (front | back) == 0;
}

// Channel 1's write and read position, from one load.
QX_INLINE void writeAndRead(const ReverseCascadeFilter& f, uint32_t& write, uint32_t& read) {
    const uint32_t both = positionBytes<uint32_t>(f, offsetof(BlockIndices, write));
    write = both & 0xFFFF;
    read = both >> 16;
}

// Both filters' positions agree, channel by channel.
QX_INLINE bool samePositions(const ReverseCascadeFilter& f, const ReverseCascadeFilter& g) {
    const uint64_t low = positionBytes<uint64_t>(f, 0) ^ positionBytes<uint64_t>(g, 0);
    const uint32_t high = positionBytes<uint32_t>(f, 8) ^ positionBytes<uint32_t>(g, 8);
    return (low | high) == 0;
}

// Write and read of both channels one on, each channel's pair as one 32-bit
// add. Positions stay below 2 x 4096, so no carry crosses into the next field.
QX_INLINE void advancePositions(ReverseCascadeFilter& filter) {
    for (const size_t offset : {offsetof(BlockIndices, write), sizeof(BlockIndices) + offsetof(BlockIndices, write)}) {
        unsigned char* const at = reinterpret_cast<unsigned char*>(filter.indices) + offset;
        uint32_t v;
        std::memcpy(&v, at, sizeof v);
        v += 0x00010001u;
        std::memcpy(at, &v, sizeof v);
    }
}

// A stereo step of a filter whose channels are in lock-step, as the caller
// knows: from inLockStep at its block start, when only stereo steps of this
// kind have moved the filter since (they move both channels alike).
QX_INLINE void lockedStereoStep(ReverseCascadeFilter& filter, double& left, double& right, bool withGain) {
    uint32_t write, read;
    writeAndRead(filter, write, read);
    stereoForward(filter, write, read, left, right, withGain);
    if ((write & kBlockOffsetMask) != kBlockOffsetMask) {
        advancePositions(filter);
        return;
    }
    finishReverseCascadeBlockPair(filter, withGain);
}

QX_INLINE void reverseCascadeStereoStep(ReverseCascadeFilter& filter, double& left, double& right, bool withGain) {
    if (!inLockStep(filter)) {
        left = reverseCascadeStep(filter, Channel::Left, left, withGain);
        right = reverseCascadeStep(filter, Channel::Right, right, withGain);
        return;
    }
    lockedStereoStep(filter, left, right, withGain);
}

// Both channels of two filters in lock-step, as the AGC's crossover runs them:
// four forward steps, and at a block end the block work of all four channels in
// one pass across lanes. Every sample is computed exactly as by four channel steps.
// Where both filters' waits are allowed, the block work waits for the batch.
void finishReverseCascadeBlockQuad(ReverseCascadeFilter& first, ReverseCascadeFilter& second, bool withGain);
QX_FRAME_VARIANT_END

// Four lanes: the first filter's two channels, then the second's.
typedef double QuadLanes __attribute__((vector_size(32)));

// Two filters' designs four lanes wide, taken at the block start right after
// takeDesign of both, so a lock-step of the two loads each coefficient as one
// vector instead of gathering it from two records every sample.
struct QuadDesign {
    alignas(32) double b0[4] = {};
    double b1[4] = {}, b2[4] = {}, a1[4] = {}, a2[4] = {};
    double gain[4] = {};
};

QX_FRAME_VARIANT_BEGIN
inline QuadDesign quadDesign(const ReverseCascadeFilter& first, const ReverseCascadeFilter& second) {
    QuadDesign q;
    const ActiveDesign* designs[2] = {&first.active, &second.active};
    for (int f = 0; f < 2; ++f) {
        for (int c = 0; c < 2; ++c) {
            const ActiveDesign& d = *designs[f];
            q.b0[2 * f + c] = d.b0[c];
            q.b1[2 * f + c] = d.b1[c];
            q.b2[2 * f + c] = d.b2[c];
            q.a1[2 * f + c] = d.a1[c];
            q.a2[2 * f + c] = d.a2[c];
            q.gain[2 * f + c] = d.gain[c];
        }
    }
    return q;
}

// The forward halves of two lock-step stereo filters at positions `write` and
// `read`, all four channels side by side in one vector; `lanes` goes in and
// the outputs come back in it. Each lane is computed exactly as on its own.
QX_INLINE void quadForward(ReverseCascadeFilter& first, ReverseCascadeFilter& second, const QuadDesign& d,
                           uint32_t write, uint32_t read, QuadLanes& lanes, bool withGain) {
    using Pair = LanePair;
    const auto load = [](QuadLanes& v, const void* from) QX_INLINE_LAMBDA { std::memcpy(&v, from, sizeof v); };
    // x1 and x2 of both channels, then y1 and y2, as one vector per filter.
    unsigned char* const firstX12 = reinterpret_cast<unsigned char*>(&first.state);
    unsigned char* const secondX12 = reinterpret_cast<unsigned char*>(&second.state);
    unsigned char* const firstY12 = firstX12 + offsetof(SectionStates, y1);
    unsigned char* const secondY12 = secondX12 + offsetof(SectionStates, y1);
    QuadLanes fx, sx, fy, sy;
    load(fx, firstX12);
    load(sx, secondX12);
    load(fy, firstY12);
    load(sy, secondY12);
    const QuadLanes x1 = __builtin_shufflevector(fx, sx, 0, 1, 4, 5), x2 = __builtin_shufflevector(fx, sx, 2, 3, 6, 7);
    const QuadLanes y1 = __builtin_shufflevector(fy, sy, 0, 1, 4, 5), y2 = __builtin_shufflevector(fy, sy, 2, 3, 6, 7);
    QuadLanes b0, b1, b2, a1, a2;
    load(b0, d.b0);
    load(b1, d.b1);
    load(b2, d.b2);
    load(a1, d.a1);
    load(a2, d.a2);
    const QuadLanes x = lanes;
    const QuadLanes y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;

    Pair out0, out1;
    std::memcpy(&out0, first.line[read], sizeof out0);
    std::memcpy(&out1, second.line[read], sizeof out1);
    lanes = __builtin_shufflevector(out0, out1, 0, 1, 2, 3);

    const QuadLanes firstX = __builtin_shufflevector(x, x1, 0, 1, 4, 5);
    const QuadLanes secondX = __builtin_shufflevector(x, x1, 2, 3, 6, 7);
    const QuadLanes firstY = __builtin_shufflevector(y, y1, 0, 1, 4, 5);
    const QuadLanes secondY = __builtin_shufflevector(y, y1, 2, 3, 6, 7);
    std::memcpy(firstX12, &firstX, sizeof firstX);
    std::memcpy(secondX12, &secondX, sizeof secondX);
    std::memcpy(firstY12, &firstY, sizeof firstY);
    std::memcpy(secondY12, &secondY, sizeof secondY);

    QuadLanes result = y;
    if (withGain) {
        QuadLanes g;
        load(g, d.gain);
        result = y * g;
    }
    // Each half straight from the vector: the upper one is stored by the
    // extracting instruction itself.
    std::memcpy(first.line[write], &result, sizeof(Pair));
    std::memcpy(second.line[write], reinterpret_cast<const unsigned char*>(&result) + sizeof(Pair), sizeof(Pair));
}

// All four channels of two filters stand at the same positions.
QX_INLINE bool pairInLockStep(const ReverseCascadeFilter& first, const ReverseCascadeFilter& second) {
    return inLockStep(first) && samePositions(first, second);
}

// Two filters in lock-step: `together(write, read)` runs both forward halves
// at those positions, then they move on. At a block end (the result) they stay
// and the caller runs finishReverseCascadeBlockQuad before the next step: the
// block work touches only delay lines and positions, so it may wait until the
// caller is done with the frame.
template <class Together>
QX_INLINE bool lockStepForward(ReverseCascadeFilter& first, ReverseCascadeFilter& second, Together together) {
    uint32_t write, read;
    writeAndRead(first, write, read);
    together(write, read);
    if ((write & kBlockOffsetMask) == kBlockOffsetMask) return true;
    advancePositions(first);
    advancePositions(second);
    return false;
}

// Channel steps of `first` on lanes 0 and 1 and of `second` on lanes 2 and 3,
// in place, one channel at a time.
QX_INLINE void quadChannelSteps(ReverseCascadeFilter& first, ReverseCascadeFilter& second, QuadLanes& lanes,
                                bool withGain) {
    lanes[0] = reverseCascadeStep(first, Channel::Left, lanes[0], withGain);
    lanes[1] = reverseCascadeStep(first, Channel::Right, lanes[1], withGain);
    lanes[2] = reverseCascadeStep(second, Channel::Left, lanes[2], withGain);
    lanes[3] = reverseCascadeStep(second, Channel::Right, lanes[3], withGain);
}

// `first` then `second` on one stereo signal, as two stereo steps would run
// them; `locked` is pairInLockStep(first, second), tested now or known as for
// lockedStereoStep. A filter's block work touches only its own delay line and
// positions, so in lock-step the first one's waits for the second's forward step.
QX_INLINE void reverseCascadeSeriesStep(ReverseCascadeFilter& first, ReverseCascadeFilter& second, double& left,
                                        double& right, bool withGain, bool locked) {
    if (!locked) {
        reverseCascadeStereoStep(first, left, right, withGain);
        reverseCascadeStereoStep(second, left, right, withGain);
        return;
    }
    const bool blockEnd = lockStepForward(first, second, [&](uint32_t write, uint32_t read) QX_INLINE_LAMBDA {
        stereoForward(first, write, read, left, right, withGain);
        stereoForward(second, write, read, left, right, withGain);
    });
    if (blockEnd) finishReverseCascadeBlockQuad(first, second, withGain);
}
QX_FRAME_VARIANT_END

}  // namespace qx
