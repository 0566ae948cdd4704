#pragma once
// The ten-band filterbanks of the multiband processor. A bank runs one
// reverse-cascaded section per band and channel, all sharing one delay line of
// twenty-value frames, so every band leaves exactly 8192 frames after it
// entered. The split bank turns the stereo signal into band signals; the
// refilter bank runs selected bands through their band filter once more.
//
// Entries are ordered band 0 channel 1, band 0 channel 2, band 1 channel 1, …;
// every per-entry value is kept as an array over the twenty entries so the
// frame loops run as vector code.
//
// Threads: the console designs bands while the audio thread steps the bank.
// Designs write relaxed atomics and then publish a new revision; the audio
// thread copies the designed values into its own arrays when it sees one.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/relaxed.h"
#include "filters/reverse_cascade.h"
#include "base/frame_variant.h"

namespace qx {

constexpr int kBankBands = 10;
constexpr int kBankEntries = 2 * kBankBands;
constexpr int kLowEntries = 10;
constexpr int kHighEntries = kBankEntries - kLowEntries;

// The current frame's band samples inside the multiband processor; only the
// first bandCount entries of each side are used.
struct BandSignals {
    double left[kBankBands];
    double right[kBankBands];
};

// A copyable counter with release stores and acquire loads: whoever sees a
// new revision also sees the coefficients written before it.
class Revision {
public:
    Revision() noexcept = default;
    Revision(const Revision& other) noexcept : value_(other.load()) {}
    Revision& operator=(const Revision& other) noexcept {
        value_.store(other.load(), std::memory_order_release);
        return *this;
    }
    uint32_t load() const noexcept { return value_.load(std::memory_order_acquire); }
    void bump() noexcept {
        value_.store(value_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }

private:
    std::atomic<uint32_t> value_{0};
};

// A bank's block end left for a batch (see allowBlockEndWaits).
struct BankBlockEndWait {
    bool allowed = false;  // the next block end may wait
    bool waiting = false;  // it does: the positions stand at the block's last frame
    bool masked = false;   // the waiting block work keeps the entries the pass masks leave off
    int entries = 0;       // ... and runs on this many entries
};

// Frames a bank has stepped whose forward pass is still to run (see
// splitBandsLater): their outputs are out, their rows await their results.
constexpr int kMaxLaterFrames = 1024;
struct LaterFrames {
    int32_t frames = 0;  // the rows from the write position on
    int32_t room = 0;    // how many more may join before they must be filtered
    int32_t count = 0;   // bands of each
    bool inPlace = false;  // the inputs stand in the rows (refilter), else in laterInput
};

struct ReverseCascadeBank {
    // Designed values (written by designBankBand); both channels of a band equal.
    Number b0[kBankEntries], b1[kBankEntries], b2[kBankEntries];
    Number a1[kBankEntries], a2[kBankEntries];
    Number gain[kBankEntries];
    Revision revision;

    // The audio thread's copy of the designed values, refreshed on a new revision.
    uint32_t seenRevision = 0;
    alignas(64) double cb0[kBankEntries];
    alignas(64) double cb1[kBankEntries];
    alignas(64) double cb2[kBankEntries];
    alignas(64) double ca1[kBankEntries];
    alignas(64) double ca2[kBankEntries];
    alignas(64) double cgain[kBankEntries];

    // Forward states per entry.
    alignas(64) double x1[kBankEntries];
    alignas(64) double x2[kBankEntries];
    alignas(64) double y1[kBankEntries];
    alignas(64) double y2[kBankEntries];

    // The refilter mask of the last frame as all-ones / all-zeros entry masks
    // (zero-initialised: the masks of mask 0).
    uint32_t passMask = 0;
    alignas(64) uint64_t pass[kBankEntries] = {};

    BlockIndices indices;  // shared by all entries
    BankBlockEndWait wait;  // the audio thread's
    LaterFrames later;  // the audio thread's
    alignas(64) double laterInput[kMaxLaterFrames][2];  // the split's inputs, left and right
    // The delay line's frames in two parts, entries 0-9 (bands 0-4) and
    // 10-19 (bands 5-9), so the five- and three-band layouts stream rows of
    // 80 bytes rather than 160: half the memory traffic of their block work,
    // which waits on memory more than on arithmetic.
    alignas(64) double lineLow[kDelayLineLength][kLowEntries];
    alignas(64) double lineHigh[kDelayLineLength][kHighEntries];
};

// One frame of a bank's delay line, entry by entry across its two parts.
struct LineFrame {
    double* low;
    double* high;
    QX_INLINE double& operator[](int e) const { return e < kLowEntries ? low[e] : high[e - kLowEntries]; }
    // Entries e to e + 3 (e a multiple of four) as one vector V. The group
    // from entry 8 lies half in each part and is joined in registers: joined
    // in memory, the compiler copies both halves through the stack, and the
    // whole vector's load waits for those stores to retire (in the block
    // work, twice a row).
    template <class V>
    QX_INLINE void loadGroup(int e, V& v) const {
        static_assert(sizeof(V) == 4 * sizeof(double));
        if (e < kLowEntries && e + 4 > kLowEntries) {
            typedef double Four __attribute__((vector_size(32), aligned(8)));
            const Four joined = __builtin_shufflevector(loadLanes(low + e), loadLanes(high), 0, 1, 2, 3);
            std::memcpy(&v, &joined, sizeof v);
            return;
        }
        pieces(e, [&](const double* at, size_t offset, size_t bytes) QX_INLINE_LAMBDA {
            std::memcpy(reinterpret_cast<char*>(&v) + offset, at, bytes);
        });
    }
    template <class V>
    QX_INLINE void storeGroup(int e, const V& v) const {
        pieces(e, [&](double* at, size_t offset, size_t bytes) QX_INLINE_LAMBDA {
            std::memcpy(at, reinterpret_cast<const char*>(&v) + offset, bytes);
        });
    }

private:
    // copy(where in the line, offset in the vector, bytes) for each piece.
    template <class Copy>
    QX_INLINE void pieces(int e, Copy copy) const {
        constexpr size_t kGroup = 4 * sizeof(double);
        if (e + 4 <= kLowEntries) {
            copy(low + e, 0, kGroup);
        } else if (e >= kLowEntries) {
            copy(high + (e - kLowEntries), 0, kGroup);
        } else {
            copy(low + e, 0, kGroup / 2);
            copy(high, kGroup / 2, kGroup / 2);
        }
    }
};

QX_FRAME_VARIANT_BEGIN
QX_INLINE LineFrame lineFrameAt(ReverseCascadeBank& bank, int position) {
    return {bank.lineLow[position], bank.lineHigh[position]};
}
QX_FRAME_VARIANT_END

// Block ends in batches. One section's block work is a chain of 8192 steps,
// each waiting on the one before; several sections' block work side by side
// keeps the processor busy where each alone would wait, and inside a bank's
// block work, which waits on memory, it costs next to nothing. So a caller
// that steps lock-step filters and banks frame by frame may let their block
// ends wait: of the batch's filters (those in lock-step) and banks, those
// whose block ends come first, on frame k from now (stepped once a frame),
// are allowed to wait, and k is the result; with no block end among the next
// `frames` frames, nothing is allowed and the result is `frames`. The caller
// then steps frames 0 to k and runs finishWaitingBlocks before any further
// step of these. One that steps less often ends its block later and does its
// block work at once, as usual, for its allowance has ended by then. Every
// sample comes out as without waiting: a waiting block work reads only its
// own line, design, mask and forward state, which nothing changes before the
// batch.
struct BlockEndBatch {
    // A bank (or none) and the filters whose block work may run inside its own.
    struct Part {
        ReverseCascadeBank* bank = nullptr;
        ReverseCascadeFilter* filters[8];  // all distinct
        int filterCount = 0;
    };
    Part parts[2];
    int partCount = 0;
};

QX_FRAME_VARIANT_BEGIN
int32_t allowBlockEndWaits(BlockEndBatch& batch, int32_t frames);

// The block work of everything waiting in the batch, each part's filters
// inside its bank's where they make one group of four lanes (two filters)
// and the bank's entries fill whole groups of four (ten bands, or a
// refilter mask ending on such a group); then every allowance ends.
void finishWaitingBlocks(BlockEndBatch& batch);
QX_FRAME_VARIANT_END

// Band label texts shown above the band columns: at most 7 characters.
using BandLabel = std::array<char, 8>;
using BandLabels = std::array<BandLabel, kBankBands>;

QX_FRAME_VARIANT_BEGIN
// Designs one band (0–9) for both channels with the section formulas;
// with `reset` set it then calls resetBankBand.
ReverseCascadeBank& designBankBand(ReverseCascadeBank& bank, int band, bool reset, FilterType type,
                                   double gainDb, double frequencyHz, double sampleRateHz,
                                   double bandwidthOctaves);

// Zeroes the band's states, sets the positions (pending 0, write and read
// 4096) and zeroes the whole delay line (all bands).
void resetBankBand(ReverseCascadeBank& bank, int band);

// Clears every band, the positions and the delay line.
void resetBank(ReverseCascadeBank& bank);

// One frame of the split bank: writes `count` band samples to each output
// array, the bands of the frame that entered 8192 calls earlier.
void splitBands(int count, double left, double right, ReverseCascadeBank& bank, double* outLeft,
                double* outRight);

// One frame of the refilter bank. Mask bit 2i filters band i's channel 1,
// bit 2i + 1 its channel 2; an entry with its bit clear passes unchanged,
// delayed alike. The outputs may be the input arrays.
void refilterBands(int count, const double* inLeft, const double* inRight,
                   ReverseCascadeBank& bank, double* outLeft, double* outRight, uint32_t mask);

// The same on the band signals in place. Fewer arguments: all in registers,
// so a caller can end in a jump to it.
void refilterBands(int count, ReverseCascadeBank& bank, BandSignals& bands, uint32_t mask);

// The same two steps with their forward passes left to run later, all
// together, in filterLaterFrames: the frame's outputs come at once (they
// are old rows), its inputs wait. The samples come out exactly as from the
// steps above. The chain runs its banks so and filters the frames left
// once a run of frames is through; a bank's block end, a new design, another
// count or mask, or a full store runs them first.
void splitBandsLater(int count, double left, double right, ReverseCascadeBank& bank, BandSignals& out);
void refilterBandsLater(int count, ReverseCascadeBank& bank, BandSignals& bands, uint32_t mask);
void filterLaterFrames(ReverseCascadeBank& bank);

// Number of bands of a layout number; anything outside 1–5 means layout 1.
int bandCountOfLayout(int layout);

// Designs all ten bands of both banks for a layout (1–5, anything else is
// layout 1) and its wide or narrow variant; sets the labels, the band count and
// the stored narrow flag (the value as passed).
void layoutFilterbank(ReverseCascadeBank& splitBank, ReverseCascadeBank& refilterBank,
                      BandLabels& bandLabels, int32_t& bandCount, uint8_t& storedNarrow,
                      bool reset, uint8_t narrow, int layout);
QX_FRAME_VARIANT_END

}  // namespace qx
