#pragma once
// The chain's frame pipeline: a block's frames through consecutive parts of
// the chain, several frames in flight at once.
#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "base/vector_clones.h"

namespace qx {

// Runs frames through `Parts` consecutive parts of the chain as a
// software pipeline: in each step part s takes frame i - s, so the parts of
// one step depend on nothing of each other, and the processor works on one
// frame's part while another's waits on a division or a root. Each part
// still sees its frames in order, so every sample comes out the same.
// Within a step the parts run last first: a stage split over parts s and
// s + 1 then runs each frame's part s + 1 before the next frame's part s, so
// its state sees the frames' parts in the order one frame at a time would.
// part(std::integral_constant<int, s>, frame number, whether it is the
// block's first (frame 0), the frame's record), each frame's Record passed
// from part to part. Frames `begin` to `end` - 1: a block may run as several
// such stretches, each one drained before the next.
template <int Parts, class Record, class Part>
QX_INLINE void pipelineFrames(int32_t begin, int32_t end, Part&& part) {
    // Frame n's record is records[n - base]: within a run of steps each part
    // finds its record at a fixed distance from the step's, and now and then
    // the records still in flight move back to the front.
    constexpr int kRecords = 64;
    constexpr int kInFlight = Parts - 1;
    Record records[kRecords];
    int64_t base = begin;  // steps counted in 64 bits: a block of nearly 2^31 frames has more
    const auto step = [&]<bool Edge, int... S>(int64_t i, Record* at, std::integer_sequence<int, S...>)
                          QX_INLINE_LAMBDA {
        ((!Edge || (i - S >= begin && i - S < end)
              ? part(std::integral_constant<int, S>{}, static_cast<int32_t>(i - S), Edge && i == S, at[-S])
              : void()),
         ...);
    };
    constexpr auto parts = []<int... S>(std::integer_sequence<int, S...>) {
        return std::integer_sequence<int, (Parts - 1 - S)...>{};
    }(std::make_integer_sequence<int, Parts>{});
    // While the pipeline fills and drains each part tests its frame; in
    // between every part has one, none of them the first.
    const int64_t stop = int64_t{end} + kInFlight;
    for (int64_t i = begin; i < stop;) {
        if (i - base == kRecords) {
            std::copy_n(records + kRecords - kInFlight, kInFlight, records);
            base += kRecords - kInFlight;
        }
        Record* at = records + (i - base);
        if (i >= int64_t{begin} + Parts && i < end) {
            for (const int64_t last = std::min(int64_t{end}, base + kRecords); i < last; ++i, ++at)
                step.template operator()<false>(i, at, parts);
        } else {
            step.template operator()<true>(i, at, parts);
            ++i;
        }
    }
}

}  // namespace qx
