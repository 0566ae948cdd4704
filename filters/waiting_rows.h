#pragma once
// Block work of lock-step reverse-cascade filters side by side, for the
// filters' own block ends and for batches of them (see allowBlockEndWaits).
// Used by the filter and bank code only.
#include <cstdint>
#include <cstring>

#include "base/vector_clones.h"
#include "filters/reverse_cascade.h"
#include "base/frame_variant.h"

namespace qx {

// One lane per channel of a block pass over channels whose positions agree.
// The lanes run the forward equation side by side in vector registers, each
// with its own coefficients and state, so every sample is computed exactly as
// by the channel's own block work.
template <int L>
struct LaneVector;
template <>
struct LaneVector<2> {
    using Type = LanePair;
};
template <>
struct LaneVector<4> {
    typedef double Type __attribute__((vector_size(32)));
};

template <int L>
struct LanePass {
    using V = typename LaneVector<L>::Type;
    using Pair = LanePair;
    double (*lines[L / 2])[2];  // per filter: both channels side by side
    SectionState states[L];  // copies: the forward states come out as they went in
    V b0, b1, b2, a1, a2, g;

    void addFilter(int lane, ReverseCascadeFilter& filter, bool withGain) {
        const ActiveDesign& d = filter.active;
        const double fb0 = d.b0[0], fb1 = d.b1[0], fb2 = d.b2[0], fa1 = d.a1[0], fa2 = d.a2[0];
        const double fg = withGain ? d.gain[0] : 1.0;
        lines[lane / 2] = filter.line;
        for (int c = 0; c < 2; ++c) {
            states[lane + c] = channelState(filter.state, c);
            b0[lane + c] = fb0;
            b1[lane + c] = fb1;
            b2[lane + c] = fb2;
            a1[lane + c] = fa1;
            a2[lane + c] = fa2;
            g[lane + c] = fg;
        }
    }

    // Sample j of every lane, and back.
    QX_INLINE void load(int j, V& x) const {
        if constexpr (L == 2) {
            std::memcpy(&x, lines[0][j], sizeof x);
        } else {
            Pair a, b;
            std::memcpy(&a, lines[0][j], sizeof a);
            std::memcpy(&b, lines[1][j], sizeof b);
            x = __builtin_shufflevector(a, b, 0, 1, 2, 3);
        }
    }
    QX_INLINE void store(int j, const V& x) const {
        if constexpr (L == 2) {
            std::memcpy(lines[0][j], &x, sizeof x);
        } else {
            // The upper half stored by the extracting instruction itself.
            std::memcpy(lines[0][j], &x, sizeof(Pair));
            std::memcpy(lines[1][j], reinterpret_cast<const unsigned char*>(&x) + sizeof(Pair), sizeof(Pair));
        }
    }

    // The forward equation of every lane on sample j; the result becomes y1.
    // With WithGain, Out writes it back times the gain, else as it is.
    template <bool Out, bool WithGain>
    QX_INLINE void advance(int j, V& x1, V& x2, V& y1, V& y2) const {
        V x;
        load(j, x);
        const V y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        if (Out) store(j, WithGain ? y * g : y);
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
    }

    // The same on samples j and j - 1. Each old state value's last product
    // comes before the load or result that replaces it, so every value can
    // stay in its register across the loop: no moves between the samples.
    template <bool Out, bool WithGain>
    QX_INLINE void advanceTwo(int j, V& x1, V& x2, V& y1, V& y2) const {
        const V b2x2 = b2 * x2;
        V xa;
        load(j, xa);
        const V a2y2 = a2 * y2;
        const V ya = b0 * xa + b1 * x1 + b2x2 - a1 * y1 - a2y2;
        if (Out) store(j, WithGain ? ya * g : ya);
        const V b2x1 = b2 * x1;
        V xb;
        load(j - 1, xb);
        const V a2y1 = a2 * y1;
        const V yb = b0 * xb + b1 * xa + b2x1 - a1 * ya - a2y1;
        if (Out) store(j - 1, WithGain ? yb * g : yb);
        x2 = xa;
        x1 = xb;
        y2 = ya;
        y1 = yb;
    }

    // Samples from `first` down to `last`.
    template <bool Out, bool WithGain>
    QX_INLINE void pass(int first, int last, V& x1, V& x2, V& y1, V& y2) const {
        int j = first;
        for (; j > last; j -= 2) advanceTwo<Out, WithGain>(j, x1, x2, y1, y2);
        if (j == last) advance<Out, WithGain>(j, x1, x2, y1, y2);
    }

    // The copied forward states, lane by lane.
    QX_INLINE void startStates(V& x1, V& x2, V& y1, V& y2) const {
        for (int e = 0; e < L; ++e) {
            x1[e] = states[e].x1;
            x2[e] = states[e].x2;
            y1[e] = states[e].y1;
            y2[e] = states[e].y2;
        }
    }

    template <bool WithGain>
    QX_INLINE void run(const BlockIndices& ix) {
        V x1, x2, y1, y2;
        startStates(x1, x2, y1, y2);
        // Warm-up over the block just filled, newest first; then the backward
        // pass over the pending block, in place.
        pass<false, WithGain>(ix.write, ix.write & kBlockStartMask, x1, x2, y1, y2);
        pass<true, WithGain>(ix.pending | kBlockOffsetMask, ix.pending & kBlockStartMask, x1, x2, y1, y2);
    }

    QX_INLINE void run(const BlockIndices& ix, bool withGain) {
        if (withGain)
            run<true>(ix);
        else
            run<false>(ix);
    }
};

// The block work of up to eight waiting filters, two to a group of four
// lanes, a pair of rows at a time: on its own, or (one group) inside a bank's
// block work, where the two share the wait on their own results. An odd
// filter fills both halves of the last group (its lanes compute and store
// the same values twice). Every filter waits at its block's last frame, so
// each pass covers all 4096 rows of a block at the same offsets from each
// filter's own block starts.
struct WaitingRows {
    static constexpr int kMostGroups = 4;
    using V = LaneVector<4>::Type;
    int count = 0;
    int groups = 0;
    ReverseCascadeFilter* filters[2 * kMostGroups];
    // Aimed at the blocks just filled and at the pending blocks.
    LanePass<4> warm[kMostGroups], back[kMostGroups];
    V x1[kMostGroups], x2[kMostGroups], y1[kMostGroups], y2[kMostGroups];

    // Takes a waiting filter; false when full.
    bool add(ReverseCascadeFilter& filter) {
        if (count == 2 * kMostGroups) return false;
        filters[count++] = &filter;
        return true;
    }

    // After the last add: the groups' designs, states and lines.
    void start() {
        groups = (count + 1) / 2;
        for (int k = 0; k < groups; ++k) {
            for (int h = 0; h < 2; ++h) {
                ReverseCascadeFilter& f = *filters[2 * k + h < count ? 2 * k + h : 2 * k];
                // Without gain a lane multiplies by 1, which changes no value.
                warm[k].addFilter(2 * h, f, f.wait.withGain);
                back[k].addFilter(2 * h, f, f.wait.withGain);
                warm[k].lines[h] = f.line + (f.indices[0].write & kBlockStartMask);
                back[k].lines[h] = f.line + (f.indices[0].pending & kBlockStartMask);
            }
            warm[k].startStates(x1[k], x2[k], y1[k], y2[k]);
        }
    }

    // Rows `offset` and `offset` - 1 of the G (= groups) groups: of the
    // warm-up over the blocks just filled, or (Out) of the backward pass over
    // the pending blocks, in place. The passes run from offset 4095 down to 0.
    // G is a constant so that the states can stay in registers, which takes a
    // caller's own copy of this record.
    template <bool Out, int G>
    QX_INLINE void twoRows(int offset) {
        const LanePass<4>* pass = Out ? back : warm;
        for (int k = 0; k < G; ++k) pass[k].template advanceTwo<Out, true>(offset, x1[k], x2[k], y1[k], y2[k]);
    }

    // After both passes: the filters' blocks rotate and their waits end.
    void finish() {
        for (int i = 0; i < count; ++i) {
            ReverseCascadeFilter& f = *filters[i];
            f.indices[0] = f.indices[1] = rotated(f.indices[0]);
            f.wait = {};
        }
        count = groups = 0;
    }
};

QX_FRAME_VARIANT_BEGIN
// Both passes of every group on their own, where no bank's block work
// carries them; start() before, finish() after, as for a bank's.
void runWaitingRows(WaitingRows& rows);

// Frames until a lock-step filter's block end, stepped once a frame (0: the
// next step ends it); INT32_MAX for a filter out of lock-step.
int32_t framesToBlockEnd(const ReverseCascadeFilter& filter);

// Ends the filter's allowance; a waiting filter joins `rows`, or where they
// are full does its block work at once.
void takeWaitingFilter(ReverseCascadeFilter& filter, WaitingRows& rows);
QX_FRAME_VARIANT_END

}  // namespace qx
