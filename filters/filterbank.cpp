#include "filters/filterbank.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "base/vector_clones.h"
#include "filters/waiting_rows.h"

namespace qx {
QX_FRAME_VARIANT_BEGIN

namespace {

// ---------------------------------------------------------------------------
// Frame kernels. N is the number of used entries when known at compile time
// (20, 10 or 6 for the layouts' 10, 5 and 3 bands), 0 for a count known only
// at run time. Every entry computes exactly the section's forward equation,
// in the same order of operations, so vector and scalar code give the same
// bits.

// Bitwise choice between two doubles: `on` is all ones or all zeros. Written
// without branches so masked loops stay vector code.
QX_INLINE double choose(uint64_t on, double a, double b) {
    return std::bit_cast<double>((std::bit_cast<uint64_t>(a) & on) |
                                 (std::bit_cast<uint64_t>(b) & ~on));
}

// L entries' values in vector lanes, lane masks of all ones or zeros, and
// the same masks as a comparison's result; four lanes are the usual group.
template <int L>
struct LanesOf {
    typedef double Values __attribute__((vector_size(8 * L), aligned(8)));
    typedef uint64_t Masks __attribute__((vector_size(8 * L), aligned(8)));
    typedef int64_t Tests __attribute__((vector_size(8 * L), aligned(8)));
};
using Lanes = LanesOf<4>::Values;
using LaneMasks = LanesOf<4>::Masks;
using LaneTests = LanesOf<4>::Tests;

// Read as doubles, masks of all ones are NaNs (unequal to themselves) and
// masks of zeros are zeros, so one comparison turns them into a condition a
// selection takes whole: one blend in AVX code, where the bitwise choice
// takes three operations. By reference: vectors passed by value would take
// another calling convention in the SSE2 copy.
template <class Masks, class Tests>
QX_INLINE void laneTests(const Masks& on, Tests& tests) {
    typedef double Bits __attribute__((vector_size(sizeof(Masks)), aligned(8)));
    const Bits bits = (Bits)on;
    tests = bits != bits;
}

template <class Tests, class Values>
QX_INLINE void chooseLanes(const Tests& on, const Values& a, const Values& b, Values& out) {
    out = on ? a : b;
}

// Copies the designed values into the audio thread's arrays. Out of line:
// it runs only after a design.
[[gnu::noinline]] void copyDesign(ReverseCascadeBank& bank, uint32_t revision) {
    bank.seenRevision = revision;
    for (int e = 0; e < kBankEntries; ++e) {
        bank.cb0[e] = bank.b0[e];
        bank.cb1[e] = bank.b1[e];
        bank.cb2[e] = bank.b2[e];
        bank.ca1[e] = bank.a1[e];
        bank.ca2[e] = bank.a2[e];
        bank.cgain[e] = bank.gain[e];
    }
}

// The refilter mask's entry masks, kept from frame to frame as the mask
// seldom changes.
QX_INLINE void takePassMask(ReverseCascadeBank& bank, uint32_t mask) {
    if (mask == bank.passMask) return;
    bank.passMask = mask;
    for (int e = 0; e < kBankEntries; ++e) bank.pass[e] = 0 - static_cast<uint64_t>((mask >> e) & 1u);
}

// Forward pass of every used entry into frame W. With Masked, an entry whose
// pass[e] is zero stores its input unchanged and keeps its state. Entries from
// End on (a compile-time bound, 0: all used) are all off: they only copy.
// InPlace: the inputs already stand in frame W (`in` is unused), so the
// entries from End on are already their own copies.
template <int N, bool Masked, int End = 0, bool InPlace = false>
QX_INLINE void forwardPass(ReverseCascadeBank& bank, int used, const double* __restrict in,
                 const uint64_t* __restrict pass, const LineFrame& frame) {
    const int n = End > 0 ? End : N > 0 ? N : used;
    if constexpr (End > 0 && !InPlace)
        for (int e = End; e < N; ++e) frame[e] = in[e];
    double* __restrict x1 = bank.x1;
    double* __restrict x2 = bank.x2;
    double* __restrict y1 = bank.y1;
    double* __restrict y2 = bank.y2;
    const double* __restrict b0 = bank.cb0;
    const double* __restrict b1 = bank.cb1;
    const double* __restrict b2 = bank.cb2;
    const double* __restrict a1 = bank.ca1;
    const double* __restrict a2 = bank.ca2;
    const double* __restrict g = bank.cgain;
    // Four entries at a time (and a last pair) as explicit lanes: left to
    // itself the compiler moves the states through the stack. Each lane
    // computes the scalar expression below, rounded alike.
    const auto step = [&]<int L>(int e) QX_INLINE_LAMBDA {
        using V = typename LanesOf<L>::Values;
        V x, xa, xb, ya, yb, kb0, kb1, kb2, ka1, ka2, kg;
        if constexpr (InPlace && L == 4)
            frame.loadGroup(e, x);
        else
            std::memcpy(&x, InPlace ? &frame[e] : in + e, sizeof x);
        std::memcpy(&xa, x1 + e, sizeof x);
        std::memcpy(&xb, x2 + e, sizeof x);
        std::memcpy(&ya, y1 + e, sizeof x);
        std::memcpy(&yb, y2 + e, sizeof x);
        std::memcpy(&kb0, b0 + e, sizeof x);
        std::memcpy(&kb1, b1 + e, sizeof x);
        std::memcpy(&kb2, b2 + e, sizeof x);
        std::memcpy(&ka1, a1 + e, sizeof x);
        std::memcpy(&ka2, a2 + e, sizeof x);
        std::memcpy(&kg, g + e, sizeof x);
        const V y = kb0 * x + kb1 * xa + kb2 * xb - ka1 * ya - ka2 * yb;
        V out = y * kg, nx2 = xa, nx1 = x, ny2 = ya, ny1 = y;
        if constexpr (Masked) {
            typename LanesOf<L>::Masks mask;
            std::memcpy(&mask, pass + e, sizeof mask);
            typename LanesOf<L>::Tests on;
            laneTests(mask, on);
            chooseLanes(on, out, x, out);
            chooseLanes(on, xa, xb, nx2);
            chooseLanes(on, x, xa, nx1);
            chooseLanes(on, ya, yb, ny2);
            chooseLanes(on, y, ya, ny1);
        }
        if constexpr (L == 4)
            frame.storeGroup(e, out);
        else
            std::memcpy(&frame[e], &out, sizeof out);
        std::memcpy(x2 + e, &nx2, sizeof out);
        std::memcpy(x1 + e, &nx1, sizeof out);
        std::memcpy(y2 + e, &ny2, sizeof out);
        std::memcpy(y1 + e, &ny1, sizeof out);
    };
    int e = 0;
    for (; e + 4 <= n; e += 4) step.template operator()<4>(e);
    // The entries past the last whole vector: none where the count is a
    // multiple of four; a pair of lanes for the five- and three-band layouts'
    // last band (a pair never spans the line's two parts).
    constexpr int kCount = End > 0 ? End : N;
    static_assert(kLowEntries % 2 == 0);
    if constexpr (kCount % 4 == 2) {
        step.template operator()<2>(e);
    } else if constexpr (kCount == 0 || kCount % 4 != 0) {
        for (; e < n; ++e) {
            const double x = InPlace ? frame[e] : in[e];
            const double y = b0[e] * x + b1[e] * x1[e] + b2[e] * x2[e] - a1[e] * y1[e] - a2[e] * y2[e];
            if constexpr (Masked) {
                const uint64_t on = pass[e];
                frame[e] = choose(on, y * g[e], x);
                x2[e] = choose(on, x1[e], x2[e]);
                x1[e] = choose(on, x, x1[e]);
                y2[e] = choose(on, y1[e], y2[e]);
                y1[e] = choose(on, y, y1[e]);
            } else {
                x2[e] = x1[e];
                x1[e] = x;
                y2[e] = y1[e];
                y1[e] = y;
                frame[e] = y * g[e];
            }
        }
    }
}

// The rows of the block work for N entries (0: `used`, known only at run
// time). With Masked, an entry whose pass[e] is zero keeps its stored values
// (its state copy may run along; it is discarded). Row by row over all the
// entries: the entries' recursions are independent chains the processor
// overlaps, where one group at a time would wait on each chain's latency.
template <int N, bool Masked>
QX_INLINE void blockRows(ReverseCascadeBank& bank, int used, const uint64_t* __restrict pass) {
    const int n = N > 0 ? N : used;
    alignas(64) double x1[kBankEntries], x2[kBankEntries], y1[kBankEntries], y2[kBankEntries];
    alignas(64) double b0[kBankEntries], b1[kBankEntries], b2[kBankEntries];
    alignas(64) double a1[kBankEntries], a2[kBankEntries], g[kBankEntries];
    for (int e = 0; e < kBankEntries; ++e) {
        x1[e] = bank.x1[e];
        x2[e] = bank.x2[e];
        y1[e] = bank.y1[e];
        y2[e] = bank.y2[e];
        b0[e] = bank.cb0[e];
        b1[e] = bank.cb1[e];
        b2[e] = bank.cb2[e];
        a1[e] = bank.ca1[e];
        a2[e] = bank.ca2[e];
        g[e] = bank.cgain[e];
    }

    // Entry e's recursion over one row, and over two rows per pass where two
    // remain: the state moves of one row vanish into the other's registers.
    // Each row is computed exactly as on its own.
    const auto oneRow = [&](int e, double x) {
        const double y = b0[e] * x + b1[e] * x1[e] + b2[e] * x2[e] - a1[e] * y1[e] - a2[e] * y2[e];
        x2[e] = x1[e];
        x1[e] = x;
        y2[e] = y1[e];
        y1[e] = y;
        return y;
    };
    const auto twoRows = [&](int e, double xa, double xb, double& ya, double& yb) {
        ya = b0[e] * xa + b1[e] * x1[e] + b2[e] * x2[e] - a1[e] * y1[e] - a2[e] * y2[e];
        yb = b0[e] * xb + b1[e] * xa + b2[e] * x1[e] - a1[e] * ya - a2[e] * y1[e];
        x2[e] = xa;
        x1[e] = xb;
        y2[e] = ya;
        y1[e] = yb;
    };

    // A row's entries part by part of the line: body(first, last, base, rows),
    // entry e at rows[e - base] of each row.
    const int lowEnd = n < kLowEntries ? n : kLowEntries;
    const auto twoParts = [&](int j, auto&& body) QX_INLINE_LAMBDA {
        body(0, lowEnd, 0, bank.lineLow[j], bank.lineLow[j - 1]);
        if (n > kLowEntries) body(kLowEntries, n, kLowEntries, bank.lineHigh[j], bank.lineHigh[j - 1]);
    };
    const auto oneParts = [&](int j, auto&& body) QX_INLINE_LAMBDA {
        body(0, lowEnd, 0, bank.lineLow[j]);
        if (n > kLowEntries) body(kLowEntries, n, kLowEntries, bank.lineHigh[j]);
    };

    BlockIndices& ix = bank.indices;
    const int writeStart = ix.write & kBlockStartMask;
    int j = ix.write;
    for (; j - 1 >= writeStart; j -= 2) {
        twoParts(j, [&](int first, int last, int base, const double* __restrict rowA,
                        const double* __restrict rowB) QX_INLINE_LAMBDA {
            for (int e = first; e < last; ++e) {
                double ya, yb;
                twoRows(e, rowA[e - base], rowB[e - base], ya, yb);
            }
        });
    }
    for (; j >= writeStart; --j) {
        oneParts(j, [&](int first, int last, int base, const double* __restrict row) QX_INLINE_LAMBDA {
            for (int e = first; e < last; ++e) oneRow(e, row[e - base]);
        });
    }

    const auto out = [&](uint64_t on, double y, double gain, double x) {
        if constexpr (Masked) return choose(on, y * gain, x);
        return y * gain;
    };
    const int pendingStart = ix.pending & kBlockStartMask;
    const int pendingEnd = ix.pending | kBlockOffsetMask;
    for (j = pendingEnd; j - 1 >= pendingStart; j -= 2) {
        twoParts(j, [&](int first, int last, int base, double* __restrict rowA,
                        double* __restrict rowB) QX_INLINE_LAMBDA {
            for (int e = first; e < last; ++e) {
                const double xa = rowA[e - base];
                const double xb = rowB[e - base];
                double ya, yb;
                twoRows(e, xa, xb, ya, yb);
                const uint64_t on = Masked ? pass[e] : 0;
                rowA[e - base] = out(on, ya, g[e], xa);
                rowB[e - base] = out(on, yb, g[e], xb);
            }
        });
    }
    for (; j >= pendingStart; --j) {
        oneParts(j, [&](int first, int last, int base, double* __restrict row) QX_INLINE_LAMBDA {
            for (int e = first; e < last; ++e) {
                const double x = row[e - base];
                row[e - base] = out(Masked ? pass[e] : 0, oneRow(e, x), g[e], x);
            }
        });
    }
}

// The same for N = 4G entries, G of them side by side with their states in
// registers, a tile of rows at a time (the tile stays in the first-level
// cache). Two rows per turn, each old state value's last product before the
// load or result that replaces it, so no value moves between registers. At
// five groups this beats blockRows; at fewer, each chain's latency shows.
template <int G, bool Masked, int FG>
QX_INLINE void groupRows(ReverseCascadeBank& bank, const uint64_t* __restrict pass, const WaitingRows* extra) {
    constexpr int kTileRows = 128;
    // A copy of the waiting filters' rows whose states can live in registers.
    WaitingRows filterRows;
    if constexpr (FG > 0) filterRows = *extra;
    Lanes b0[G], b1[G], b2[G], a1[G], a2[G], g[G], x1[G], x2[G], y1[G], y2[G];
    LaneTests on[G];
    for (int k = 0; k < G; ++k) {
        const int f = 4 * k;
        std::memcpy(&b0[k], bank.cb0 + f, sizeof(Lanes));
        std::memcpy(&b1[k], bank.cb1 + f, sizeof(Lanes));
        std::memcpy(&b2[k], bank.cb2 + f, sizeof(Lanes));
        std::memcpy(&a1[k], bank.ca1 + f, sizeof(Lanes));
        std::memcpy(&a2[k], bank.ca2 + f, sizeof(Lanes));
        std::memcpy(&g[k], bank.cgain + f, sizeof(Lanes));
        if constexpr (Masked) {
            LaneMasks mask;
            std::memcpy(&mask, pass + f, sizeof mask);
            laneTests(mask, on[k]);
        }
        std::memcpy(&x1[k], bank.x1 + f, sizeof(Lanes));
        std::memcpy(&x2[k], bank.x2 + f, sizeof(Lanes));
        std::memcpy(&y1[k], bank.y1 + f, sizeof(Lanes));
        std::memcpy(&y2[k], bank.y2 + f, sizeof(Lanes));
    }
    const auto load = [&](int j, int k, Lanes& x) QX_INLINE_LAMBDA {
        lineFrameAt(bank, j).loadGroup(4 * k, x);
    };
    const auto store = [&]<bool Out>(int j, int k, const Lanes& y, const Lanes& x) QX_INLINE_LAMBDA {
        if constexpr (Out) {
            Lanes out = y * g[k];
            if constexpr (Masked) chooseLanes(on[k], out, x, out);
            lineFrameAt(bank, j).storeGroup(4 * k, out);
        }
    };
    const auto rows = [&]<bool Out>(int first, int last) QX_INLINE_LAMBDA {
        int j = first;
        for (; j > last; j -= 2) {
#pragma GCC unroll 5
            for (int k = 0; k < G; ++k) {
                const Lanes b2x2 = b2[k] * x2[k];
                Lanes xa, xb;
                load(j, k, xa);
                const Lanes a2y2 = a2[k] * y2[k];
                const Lanes ya = b0[k] * xa + b1[k] * x1[k] + b2x2 - a1[k] * y1[k] - a2y2;
                store.template operator()<Out>(j, k, ya, xa);
                const Lanes b2x1 = b2[k] * x1[k];
                load(j - 1, k, xb);
                const Lanes a2y1 = a2[k] * y1[k];
                const Lanes yb = b0[k] * xb + b1[k] * xa + b2x1 - a1[k] * ya - a2y1;
                store.template operator()<Out>(j - 1, k, yb, xb);
                x2[k] = xa;
                x1[k] = xb;
                y2[k] = ya;
                y1[k] = yb;
            }
            if constexpr (FG > 0) filterRows.twoRows<Out, FG>(j & kBlockOffsetMask);
        }
        if (j == last) {
            for (int k = 0; k < G; ++k) {
                Lanes x;
                load(j, k, x);
                const Lanes y = b0[k] * x + b1[k] * x1[k] + b2[k] * x2[k] - a1[k] * y1[k] - a2[k] * y2[k];
                store.template operator()<Out>(j, k, y, x);
                x2[k] = x1[k];
                x1[k] = x;
                y2[k] = y1[k];
                y1[k] = y;
            }
        }
    };
    const BlockIndices& ix = bank.indices;
    const int writeStart = ix.write & kBlockStartMask;
    for (int top = ix.write; top >= writeStart; top -= kTileRows)
        rows.template operator()<false>(top, std::max(top - kTileRows + 1, writeStart));
    const int pendingStart = ix.pending & kBlockStartMask;
    for (int top = ix.pending | kBlockOffsetMask; top >= pendingStart; top -= kTileRows)
        rows.template operator()<true>(top, std::max(top - kTileRows + 1, pendingStart));
}

// Block work at the end of a write block: warm-up over the filled block,
// backward pass over the pending block, rotation, for the first n entries.
// It runs on copies of the states, so the forward states come out as they
// went in; with `pass`, masked as in blockRows. With `extra`, a batch's
// waiting filters, in one group, take their rows alongside where the
// entries fill whole groups of four (a block's rows come in pairs
// throughout); the result tells whether they did.
[[gnu::noinline]] bool runBlockWork(ReverseCascadeBank& bank, int n, const uint64_t* __restrict pass,
                                    const WaitingRows* extra) {
    const auto rows = [&]<int N>() QX_INLINE_LAMBDA {
        if (pass)
            blockRows<N, true>(bank, n, pass);
        else
            blockRows<N, false>(bank, n, pass);
    };
    const auto groups = [&]<int G, int FG>() QX_INLINE_LAMBDA {
        if (pass)
            groupRows<G, true, FG>(bank, pass, extra);
        else
            groupRows<G, false, FG>(bank, pass, extra);
    };
    // N entries in groups of four. One group of filters (two, as the chain's
    // second half has) shares the loop, its states in registers beside the
    // bank's; more would crowd the registers and run slower than on their
    // own. Below five groups the bank's own chains would wait on their
    // latency, so without filters to share it with, the rows go row by row.
    const auto carry = [&]<int N>() QX_INLINE_LAMBDA {
        constexpr int G = N / 4;
        if (extra && extra->groups == 1) {
            groups.template operator()<G, 1>();
            return true;
        }
        if constexpr (G == 5)
            groups.template operator()<G, 0>();
        else
            rows.template operator()<N>();
        return false;
    };
    bool carried = false;
    // The layouts' counts and the masked frames' group ends as constants.
    switch (n) {
        case 20: carried = carry.template operator()<20>(); break;
        case 16: carried = carry.template operator()<16>(); break;
        case 12: carried = carry.template operator()<12>(); break;
        case 10: rows.template operator()<10>(); break;
        case 8: carried = carry.template operator()<8>(); break;
        case 6: rows.template operator()<6>(); break;
        case 4: carried = carry.template operator()<4>(); break;
        default: rows.template operator()<0>(); break;
    }
    bank.indices = rotated(bank.indices);
    return carried;
}

// A bank's block end: the block work, or where allowed a wait for the batch.
// Out of line: it runs once per block, and inlined its stack frame would
// weigh on every frame.
[[gnu::noinline]] void blockWork(ReverseCascadeBank& bank, int n, const uint64_t* pass) {
    if (!bank.wait.allowed) {
        runBlockWork(bank, n, pass, nullptr);
        return;
    }
    bank.wait.waiting = true;
    bank.wait.masked = pass != nullptr;
    bank.wait.entries = n;
}

// One bank's L entries side by side for the frames left for later: their
// design and, in registers all along, their states (the frame-by-frame pass
// loads and stores every state each frame). Two frames a turn, the second
// computed from the first's results directly, so no state value moves
// between registers; each is computed exactly as on its own. With Masked,
// an entry whose lane is off passes its input and keeps its state.
template <int L, bool Masked>
struct LaterLanes {
    using V = typename LanesOf<L>::Values;
    V b0, b1, b2, a1, a2, g, x1, x2, y1, y2;
    typename LanesOf<L>::Tests on;

    QX_INLINE void load(const ReverseCascadeBank& bank, int e) {
        std::memcpy(&b0, bank.cb0 + e, sizeof(V));
        std::memcpy(&b1, bank.cb1 + e, sizeof(V));
        std::memcpy(&b2, bank.cb2 + e, sizeof(V));
        std::memcpy(&a1, bank.ca1 + e, sizeof(V));
        std::memcpy(&a2, bank.ca2 + e, sizeof(V));
        std::memcpy(&g, bank.cgain + e, sizeof(V));
        std::memcpy(&x1, bank.x1 + e, sizeof(V));
        std::memcpy(&x2, bank.x2 + e, sizeof(V));
        std::memcpy(&y1, bank.y1 + e, sizeof(V));
        std::memcpy(&y2, bank.y2 + e, sizeof(V));
        if constexpr (Masked) {
            typename LanesOf<L>::Masks mask;
            std::memcpy(&mask, bank.pass + e, sizeof mask);
            laneTests(mask, on);
        }
    }
    QX_INLINE void store(ReverseCascadeBank& bank, int e) const {
        std::memcpy(bank.x1 + e, &x1, sizeof(V));
        std::memcpy(bank.x2 + e, &x2, sizeof(V));
        std::memcpy(bank.y1 + e, &y1, sizeof(V));
        std::memcpy(bank.y2 + e, &y2, sizeof(V));
    }
    QX_INLINE void twoFrames(const V& xa, const V& xb, V& outA, V& outB) {
        const V ya = b0 * xa + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        const V yb = b0 * xb + b1 * xa + b2 * x1 - a1 * ya - a2 * y1;
        outA = ya * g;
        outB = yb * g;
        if constexpr (Masked) {
            chooseLanes(on, outA, xa, outA);
            chooseLanes(on, outB, xb, outB);
            chooseLanes(on, xa, x2, x2);
            chooseLanes(on, xb, x1, x1);
            chooseLanes(on, ya, y2, y2);
            chooseLanes(on, yb, y1, y1);
        } else {
            x2 = xa;
            x1 = xb;
            y2 = ya;
            y1 = yb;
        }
    }
    QX_INLINE void oneFrame(const V& x, V& out) {
        const V y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        out = y * g;
        V nx2 = x1, nx1 = x, ny2 = y1, ny1 = y;
        if constexpr (Masked) {
            chooseLanes(on, out, x, out);
            chooseLanes(on, x1, x2, nx2);
            chooseLanes(on, x, x1, nx1);
            chooseLanes(on, y1, y2, ny2);
            chooseLanes(on, y, y1, ny1);
        }
        x2 = nx2;
        x1 = nx1;
        y2 = ny2;
        y1 = ny1;
    }
};

// The forward pass of the frames left for later on G groups of four entries
// and, with Pair, a last pair. InPlace: the inputs stand in the rows (the
// refilter's), else they come from laterInput, both channels alike for every
// band (the split's).
template <int G, bool Pair, bool Masked, bool InPlace>
QX_INLINE void laterRows(ReverseCascadeBank& bank, int frames) {
    using Four = LaterLanes<4, Masked>;
    using Two = LaterLanes<2, Masked>;
    Four groups[G > 0 ? G : 1];
    Two pair;
    for (int k = 0; k < G; ++k) groups[k].load(bank, 4 * k);
    if constexpr (Pair) pair.load(bank, 4 * G);
    const auto inputs = [&](int f, const LineFrame& row, int k, auto& x) QX_INLINE_LAMBDA {
        using V = std::remove_reference_t<decltype(x)>;
        if constexpr (InPlace) {
            if constexpr (sizeof(V) == 4 * sizeof(double))
                row.loadGroup(4 * k, x);
            else
                std::memcpy(&x, &row[4 * k], sizeof x);
        } else {
            const double l = bank.laterInput[f][0], r = bank.laterInput[f][1];
            if constexpr (sizeof(V) == 4 * sizeof(double))
                x = V{l, r, l, r};
            else
                x = V{l, r};
        }
    };
    const auto output = [&](const LineFrame& row, int k, const auto& out) QX_INLINE_LAMBDA {
        if constexpr (sizeof(out) == 4 * sizeof(double))
            row.storeGroup(4 * k, out);
        else
            std::memcpy(&row[4 * k], &out, sizeof out);
    };
    const auto both = [&](int f, const LineFrame& rowA, const LineFrame& rowB, int k, auto& lanes)
                          QX_INLINE_LAMBDA {
        typename std::remove_reference_t<decltype(lanes)>::V xa, xb, outA, outB;
        inputs(f, rowA, k, xa);
        inputs(f + 1, rowB, k, xb);
        lanes.twoFrames(xa, xb, outA, outB);
        output(rowA, k, outA);
        output(rowB, k, outB);
    };
    const auto single = [&](int f, const LineFrame& row, int k, auto& lanes) QX_INLINE_LAMBDA {
        typename std::remove_reference_t<decltype(lanes)>::V x, out;
        inputs(f, row, k, x);
        lanes.oneFrame(x, out);
        output(row, k, out);
    };
    const int write = bank.indices.write;
    int f = 0;
    for (; f + 2 <= frames; f += 2) {
        const LineFrame rowA = lineFrameAt(bank, write + f), rowB = lineFrameAt(bank, write + f + 1);
#pragma GCC unroll 5
        for (int k = 0; k < G; ++k) both(f, rowA, rowB, k, groups[k]);
        if constexpr (Pair) both(f, rowA, rowB, G, pair);
    }
    if (f < frames) {
        const LineFrame row = lineFrameAt(bank, write + f);
        for (int k = 0; k < G; ++k) single(f, row, k, groups[k]);
        if constexpr (Pair) single(f, row, G, pair);
    }
    for (int k = 0; k < G; ++k) groups[k].store(bank, 4 * k);
    if constexpr (Pair) pair.store(bank, 4 * G);
}

// All frames left for later on n entries (even, at most twenty), then the
// positions as their steps would have left them, the last frame's block end
// and its block work included.
template <bool Masked, bool InPlace>
QX_INLINE void runLaterFrames(ReverseCascadeBank& bank, int n, int frames) {
    const auto run = [&]<int G, bool Pair>() QX_INLINE_LAMBDA { laterRows<G, Pair, Masked, InPlace>(bank, frames); };
    switch (n / 2) {
        case 1: run.template operator()<0, true>(); break;
        case 2: run.template operator()<1, false>(); break;
        case 3: run.template operator()<1, true>(); break;
        case 4: run.template operator()<2, false>(); break;
        case 5: run.template operator()<2, true>(); break;
        case 6: run.template operator()<3, false>(); break;
        case 7: run.template operator()<3, true>(); break;
        case 8: run.template operator()<4, false>(); break;
        case 9: run.template operator()<4, true>(); break;
        case 10: run.template operator()<5, false>(); break;
        default: break;
    }
    BlockIndices& ix = bank.indices;
    ix.read = static_cast<uint16_t>(ix.read + frames - 1);
    ix.write = static_cast<uint16_t>(ix.write + frames - 1);
    if ((ix.read & kBlockOffsetMask) != kBlockOffsetMask) {
        ++ix.read;
        ++ix.write;
        return;
    }
    blockWork(bank, n, Masked ? bank.pass : nullptr);
}

// One frame: exchange(frame) takes the frame's old values out and may put
// new inputs in, then the forward pass runs into the frame, and at a block end
// the block work. The frame read out is the frame written (write and read
// stand together), so the old values leave before any new one goes in.
template <int N, bool Masked, int End = 0, bool InPlace = false, class Exchange>
QX_INLINE void bankFrame(ReverseCascadeBank& bank, int used, const double* in, const uint64_t* pass,
                         Exchange&& exchange) {
    const int n = N > 0 ? N : used;
    BlockIndices& ix = bank.indices;
    const LineFrame frame = lineFrameAt(bank, ix.write);
    exchange(frame);
    forwardPass<N, Masked, End, InPlace>(bank, n, in, pass, frame);
    if ((ix.read & kBlockOffsetMask) != kBlockOffsetMask) {
        ++ix.read;
        ++ix.write;
        return;
    }
    blockWork(bank, End > 0 ? End : n, Masked ? pass : nullptr);
}

// Bands 0..n/2-1 of a frame out to both sides (its entries alternate left
// and right). The outputs never lie in the bank, so no overlap test.
QX_INLINE void copyOut(int n, const LineFrame& frame, double* __restrict outLeft, double* __restrict outRight) {
    const auto part = [&](const double* __restrict entries, int first, int last) QX_INLINE_LAMBDA {
        for (int band = first; band < last; ++band) {
            outLeft[band] = entries[2 * band - 2 * first];
            outRight[band] = entries[2 * band + 1 - 2 * first];
        }
    };
    constexpr int kLowBands = kLowEntries / 2;
    part(frame.low, 0, n / 2 < kLowBands ? n / 2 : kLowBands);
    if (n / 2 > kLowBands) part(frame.high, kLowBands, n / 2);
}

// One split frame: both channels' samples into every used entry. N as above.
template <int N>
QX_INLINE void splitFrame(int count, double left, double right, ReverseCascadeBank& bank, double* outLeft,
                          double* outRight) {
    const int n = N > 0 ? N : 2 * count;
    alignas(64) double in[kBankEntries];
    for (int band = 0; band < n / 2; ++band) {
        in[2 * band] = left;
        in[2 * band + 1] = right;
    }
    bankFrame<N, false>(bank, n, in, nullptr,
                        [&](const LineFrame& frame) QX_INLINE_LAMBDA { copyOut(n, frame, outLeft, outRight); });
}

// Bands 0..n/2-1 of both sides through one frame, band pair by band pair:
// the pair's old entries out and its new samples in, each side's pair as one
// load within the vectors the stage before stored the bands as, each group
// stored as the vector the forward pass loads it as (a vector load of values
// stored one by one waits for the stores to retire). The outputs may be the
// inputs, so a pair's inputs are read before its outputs are written; the
// frame never lies in the band arrays.
QX_INLINE void exchangeBands(int n, const double* inLeft, const double* inRight, double* outLeft, double* outRight,
                             const LineFrame& frame) {
    const int bands = n / 2, paired = bands & ~1;
    for (int band = 0; band < paired; band += 2) {
        const LanePair l = loadLanes(inLeft + band), r = loadLanes(inRight + band);
        // Each band's old pair as one load: the group from entry 8 lies half
        // in each part of the line, and joined in a register it would pass
        // through the stack.
        const LanePair first = loadLanes(&frame[2 * band]), second = loadLanes(&frame[2 * band + 2]);
        storeLanes(outLeft + band, __builtin_shufflevector(first, second, 0, 2));
        storeLanes(outRight + band, __builtin_shufflevector(first, second, 1, 3));
        const Lanes group = __builtin_shufflevector(l, r, 0, 2, 1, 3);
        frame.storeGroup(2 * band, group);
    }
    if (paired < bands) {
        // As one pair, the forward pass's load of the entries (the pair never
        // spans the line's parts).
        const LanePair in = {inLeft[paired], inRight[paired]};
        const LanePair old = loadLanes(&frame[2 * paired]);
        outLeft[paired] = old[0];
        outRight[paired] = old[1];
        storeLanes(&frame[2 * paired], in);
    }
}

// One refilter frame; the inputs go into the frame as its old values leave,
// to be filtered there in place. With every used entry on, the masks would
// pick the filtered value everywhere, so the unmasked frame gives the same
// bits; otherwise the entries past the last one on (rounded up to a whole
// vector) stay as they came. No copy of the inputs on the stack: its
// alignment had every frame realign the stack.
template <int N>
QX_INLINE void refilterFrame(int count, const double* inLeft, const double* inRight, ReverseCascadeBank& bank,
                             double* outLeft, double* outRight, uint32_t mask) {
    const int n = N > 0 ? N : 2 * count;
    const uint32_t used = (1u << n) - 1u;
    const auto exchange = [&](const LineFrame& frame) QX_INLINE_LAMBDA {
        exchangeBands(n, inLeft, inRight, outLeft, outRight, frame);
    };
    if ((mask & used) == used) return bankFrame<N, false, 0, true>(bank, n, nullptr, nullptr, exchange);
    const auto masked = [&]<int End>() QX_INLINE_LAMBDA {
        bankFrame<N, true, End, true>(bank, n, nullptr, bank.pass, exchange);
    };
    if constexpr (N > 4) {
        const int end = std::bit_width(mask & used);
        if (end <= 4) return masked.template operator()<4>();
        if constexpr (N > 8)
            if (end <= 8) return masked.template operator()<8>();
        if constexpr (N > 12)
            if (end <= 12) return masked.template operator()<12>();
        if constexpr (N > 16)
            if (end <= 16) return masked.template operator()<16>();
    }
    masked.template operator()<0>();
}

int clampCount(int count) {
    if (count < 0) return 0;
    if (count > kBankBands) return kBankBands;
    return count;
}

// ---------------------------------------------------------------------------
// Layout tables.

struct BandDesign {
    double gainDb;
    double bandwidthOctaves;
};

struct LayoutBand {
    const char* label;
    FilterType type;
    double frequencyHz;
    BandDesign wideSplit, wideRefilter, narrowSplit, narrowRefilter;
};

constexpr FilterType LP = FilterType::Lowpass;
constexpr FilterType HP = FilterType::Highpass;
constexpr FilterType BP = FilterType::Bandpass;

constexpr LayoutBand kLayout1[] = {
    {"32", BP, 32, {-1.8, 1.7}, {1.4, 1.7}, {-0.9, 1.2}, {1.4, 1.2}},
    {"64", BP, 64, {-3.3, 1.8}, {1.8, 1.8}, {-2.0, 1.2}, {2.0, 1.2}},
    {"125", BP, 125, {-3.2, 1.7}, {2.0, 1.7}, {-2.0, 1.2}, {2.1, 1.2}},
    {"250", BP, 250, {-3.2, 1.7}, {2.0, 1.7}, {-2.0, 1.2}, {2.1, 1.2}},
    {"500", BP, 500, {-3.1, 1.7}, {2.0, 1.7}, {-2.0, 1.2}, {2.1, 1.2}},
    {"1K", BP, 1000, {-3.2, 1.7}, {2.0, 1.7}, {-2.0, 1.2}, {2.1, 1.2}},
    {"2K", BP, 2000, {-3.3, 1.8}, {2.0, 1.8}, {-2.0, 1.2}, {2.1, 1.2}},
    {"4K", BP, 4000, {-3.4, 1.8}, {2.0, 1.8}, {-2.4, 1.2}, {2.4, 1.2}},
    {"8K", BP, 8000, {-3.9, 1.8}, {1.7, 1.8}, {-3.5, 1.2}, {2.3, 1.2}},
    {"16K", BP, 16000, {-1.2, 1.2}, {1.1, 1.2}, {-0.8, 1.2}, {1.3, 1.2}},
};

constexpr LayoutBand kLayout2[] = {
    {"<2H", LP, 200, {-0.3, 1.9}, {0.3, 1.9}, {-0.3, 1.8}, {0.3, 1.8}},
    {"350", BP, 350, {-1.2, 2.0}, {1.7, 2.0}, {-1.1, 1.8}, {1.9, 1.8}},
    {"1K", BP, 1100, {-1.6, 2.0}, {1.8, 2.0}, {-1.1, 1.8}, {1.8, 1.8}},
    {"3K", BP, 3500, {-1.0, 2.0}, {1.5, 2.0}, {-0.9, 1.8}, {1.7, 1.8}},
    {">6K", HP, 6000, {-0.3, 1.7}, {0.3, 1.7}, {-0.3, 1.6}, {0.3, 1.6}},
};

constexpr LayoutBand kLayout3[] = {
    {"<1H", LP, 100, {0.0, 2.2}, {0.0, 1.5}, {-0.5, 1.7}, {0.4, 1.7}},
    {"260", BP, 230, {-0.4, 3.0}, {0.5, 4.0}, {-0.6, 2.8}, {1.5, 2.8}},
    {"1K", BP, 1000, {-2.3, 2.0}, {1.3, 3.0}, {-1.5, 2.0}, {1.8, 2.0}},
    {"3K", BP, 3500, {-1.1, 2.5}, {1.0, 3.5}, {-1.0, 2.0}, {1.6, 2.0}},
    {">6K", HP, 6000, {-0.3, 1.8}, {0.3, 1.6}, {-0.3, 1.7}, {0.5, 1.7}},
};

constexpr LayoutBand kLayout4[] = {
    {"<1H", LP, 100, {0.0, 2.2}, {0.0, 1.5}, {0.0, 2.2}, {0.0, 1.5}},
    {"260", BP, 230, {-0.4, 4.0}, {0.5, 5.0}, {-0.4, 3.0}, {0.5, 4.0}},
    {"1K", BP, 1000, {-2.3, 3.0}, {1.3, 4.0}, {-2.3, 2.0}, {1.3, 3.0}},
    {"3K", BP, 3500, {-1.1, 3.5}, {1.0, 4.5}, {-1.1, 2.5}, {1.0, 3.5}},
    {">6K", HP, 6000, {-0.3, 1.8}, {0.3, 1.6}, {-0.3, 1.8}, {0.3, 1.6}},
};

// The narrow variant equals the wide one.
constexpr LayoutBand kLayout5[] = {
    {"<2H", LP, 200, {0.0, 2.2}, {0.0, 1.8}, {0.0, 2.2}, {0.0, 1.8}},
    {"450", BP, 450, {0.0, 3.0}, {0.3, 6.0}, {0.0, 3.0}, {0.3, 6.0}},
    {">3K", HP, 1000, {0.0, 2.2}, {0.0, 1.8}, {0.0, 2.2}, {0.0, 1.8}},
};

// Bands beyond a layout's count.
constexpr LayoutBand kSpareBand = {"", BP, 100, {0.0, 2.0}, {0.0, 2.0}, {0.0, 2.0}, {0.0, 2.0}};

struct Layout {
    const LayoutBand* bands;
    int count;
};

constexpr Layout kLayouts[] = {
    {kLayout1, 10}, {kLayout2, 5}, {kLayout3, 5}, {kLayout4, 5}, {kLayout5, 3},
};

const Layout& layoutOf(int layout) {
    if (layout < 1 || layout > 5) layout = 1;
    return kLayouts[layout - 1];
}

constexpr double kLayoutSampleRate = 44100.0;

}  // namespace

ReverseCascadeBank& designBankBand(ReverseCascadeBank& bank, int band, bool reset, FilterType type,
                                   double gainDb, double frequencyHz, double sampleRateHz,
                                   double bandwidthOctaves) {
    if (band < 0 || band >= kBankBands) return bank;
    const BiquadCoefficients k =
        designCoefficients(type, gainDb, frequencyHz, sampleRateHz, bandwidthOctaves);
    for (int e = 2 * band; e < 2 * band + 2; ++e) {
        bank.b0[e] = k.b0;
        bank.b1[e] = k.b1;
        bank.b2[e] = k.b2;
        bank.a1[e] = k.a1;
        bank.a2[e] = k.a2;
        bank.gain[e] = k.gain;
    }
    bank.revision.bump();
    if (reset) resetBankBand(bank, band);
    return bank;
}

void resetBankBand(ReverseCascadeBank& bank, int band) {
    if (band < 0 || band >= kBankBands) return;
    // The other bands keep their states, so the frames left run first.
    filterLaterFrames(bank);
    for (int e = 2 * band; e < 2 * band + 2; ++e) {
        bank.x1[e] = 0.0;
        bank.x2[e] = 0.0;
        bank.y1[e] = 0.0;
        bank.y2[e] = 0.0;
    }
    bank.indices.pending = 0;
    bank.indices.write = kBlockLength;
    bank.indices.read = kBlockLength;
    std::memset(bank.lineLow, 0, sizeof bank.lineLow);
    std::memset(bank.lineHigh, 0, sizeof bank.lineHigh);
}

void resetBank(ReverseCascadeBank& bank) {
    // Same result as resetBankBand for every band, with one pass over the line.
    for (int e = 0; e < kBankEntries; ++e) {
        bank.x1[e] = 0.0;
        bank.x2[e] = 0.0;
        bank.y1[e] = 0.0;
        bank.y2[e] = 0.0;
    }
    bank.indices.pending = 0;
    bank.indices.write = kBlockLength;
    bank.indices.read = kBlockLength;
    bank.later = {};  // the frames left: all they would change is cleared
    std::memset(bank.lineLow, 0, sizeof bank.lineLow);
    std::memset(bank.lineHigh, 0, sizeof bank.lineHigh);
}

namespace {

// The counts of no layout, out of line: their loops and stack arrays would
// otherwise weigh on every layout frame's entry and exit.
[[gnu::noinline]] void splitAnyCount(int count, double left, double right, ReverseCascadeBank& bank,
                                     double* outLeft, double* outRight) {
    splitFrame<0>(count, left, right, bank, outLeft, outRight);
}

[[gnu::noinline]] void refilterAnyCount(int count, const double* inLeft, const double* inRight,
                                        ReverseCascadeBank& bank, double* outLeft, double* outRight,
                                        uint32_t mask) {
    refilterFrame<0>(count, inLeft, inRight, bank, outLeft, outRight, mask);
}

// A split frame after a new design: the copy, then the frame. Out of line, so
// the usual frame need not keep its inputs in stack slots (on a realigned
// stack) across the copy's call.
[[gnu::noinline]] void splitAfterDesign(int count, double left, double right, ReverseCascadeBank& bank,
                                        double* outLeft, double* outRight, uint32_t revision) {
    copyDesign(bank, revision);
    splitBands(count, left, right, bank, outLeft, outRight);
}

}  // namespace

void splitBands(int count, double left, double right, ReverseCascadeBank& bank, double* outLeft,
                double* outRight) {
    if (bank.later.frames > 0) filterLaterFrames(bank);
    const uint32_t revision = bank.revision.load();
    if (revision != bank.seenRevision)
        return splitAfterDesign(clampCount(count), left, right, bank, outLeft, outRight, revision);
    // The layouts' counts lie in range as they are; only the rest is clamped.
    switch (count) {
        case 10: splitFrame<20>(count, left, right, bank, outLeft, outRight); break;
        case 5: splitFrame<10>(count, left, right, bank, outLeft, outRight); break;
        case 3: splitFrame<6>(count, left, right, bank, outLeft, outRight); break;
        default: splitAnyCount(clampCount(count), left, right, bank, outLeft, outRight); break;
    }
}

namespace {

// The frame's rare turns, out of line: after a new design (the copy, then the
// frame again) and for a count of no layout. With four arguments they are
// jumps from the band signals' frame; a call there, or one with arguments on
// the stack, had every frame realign the stack.
template <class AfterDesign, class AnyCount>
QX_INLINE void refilterStep(int count, const double* inLeft, const double* inRight, ReverseCascadeBank& bank,
                            double* outLeft, double* outRight, uint32_t mask, AfterDesign afterDesign,
                            AnyCount anyCount) {
    if (bank.later.frames > 0) filterLaterFrames(bank);
    if (bank.revision.load() != bank.seenRevision) return afterDesign();
    count = clampCount(count);
    takePassMask(bank, mask);
    switch (count) {
        case 10: refilterFrame<20>(count, inLeft, inRight, bank, outLeft, outRight, mask); break;
        case 5: refilterFrame<10>(count, inLeft, inRight, bank, outLeft, outRight, mask); break;
        case 3: refilterFrame<6>(count, inLeft, inRight, bank, outLeft, outRight, mask); break;
        default: anyCount(count); break;
    }
}

[[gnu::noinline]] void refilterAfterDesign(int count, const double* inLeft, const double* inRight,
                                           ReverseCascadeBank& bank, double* outLeft, double* outRight,
                                           uint32_t mask) {
    copyDesign(bank, bank.revision.load());
    refilterBands(count, inLeft, inRight, bank, outLeft, outRight, mask);
}

[[gnu::noinline]] void refilterBandsAfterDesign(int count, ReverseCascadeBank& bank, BandSignals& bands,
                                                uint32_t mask) {
    copyDesign(bank, bank.revision.load());
    refilterBands(count, bank, bands, mask);
}

[[gnu::noinline]] void refilterBandsAnyCount(int count, ReverseCascadeBank& bank, BandSignals& bands,
                                             uint32_t mask) {
    refilterFrame<0>(count, bands.left, bands.right, bank, bands.left, bands.right, mask);
}

}  // namespace

void refilterBands(int count, const double* inLeft, const double* inRight,
                   ReverseCascadeBank& bank, double* outLeft, double* outRight, uint32_t mask) {
    refilterStep(
        count, inLeft, inRight, bank, outLeft, outRight, mask,
        [&] { refilterAfterDesign(count, inLeft, inRight, bank, outLeft, outRight, mask); },
        [&](int n) { refilterAnyCount(n, inLeft, inRight, bank, outLeft, outRight, mask); });
}

void refilterBands(int count, ReverseCascadeBank& bank, BandSignals& bands, uint32_t mask) {
    refilterStep(
        count, bands.left, bands.right, bank, bands.left, bands.right, mask,
        [&] { refilterBandsAfterDesign(count, bank, bands, mask); },
        [&](int n) { refilterBandsAnyCount(n, bank, bands, mask); });
}

namespace {

// The used entries of a refilter mask, rounded up to a whole vector as the
// masked frame rounds them, or all n where every used entry is on.
QX_INLINE int laterEnd(int n, uint32_t mask, bool& masked) {
    const uint32_t used = (1u << n) - 1u;
    masked = (mask & used) != used;
    if (!masked) return n;
    const int end = (std::bit_width(mask & used) + 3) & ~3;
    return end < n ? end : n;
}

// Whether a frame on `count` bands (and with `mask`) joins the frames left
// for later as it is: there is room (no block end among them, the store not
// full), and count, mask and design are theirs.
QX_INLINE bool joinsAsItIs(const ReverseCascadeBank& bank, int count, uint32_t mask) {
    const LaterFrames& later = bank.later;
    return later.room > 0 && later.count == count && mask == bank.passMask &&
           bank.revision.load() == bank.seenRevision;
}

// Otherwise, out of line: the frames left so far filtered as they were
// stepped, then a new design, mask and count taken, and room for the frames
// up to the next block end.
[[gnu::noinline]] void startLaterRun(ReverseCascadeBank& bank, int count, uint32_t mask, bool inPlace) {
    filterLaterFrames(bank);
    const uint32_t revision = bank.revision.load();
    if (revision != bank.seenRevision) copyDesign(bank, revision);
    takePassMask(bank, mask);
    LaterFrames& later = bank.later;
    later.count = count;
    later.inPlace = inPlace;
    later.room = std::min(kMaxLaterFrames, stepsToBlockEnd(bank.indices) + 1);
}

// The row of the next frame to join.
QX_INLINE LineFrame nextLaterRow(ReverseCascadeBank& bank) {
    return lineFrameAt(bank, bank.indices.write + bank.later.frames);
}

QX_INLINE void joinLater(LaterFrames& later) {
    ++later.frames;
    --later.room;
}

}  // namespace

void filterLaterFrames(ReverseCascadeBank& bank) {
    LaterFrames& later = bank.later;
    const int frames = later.frames;
    later.room = 0;
    if (frames == 0) return;
    later.frames = 0;
    const int n = 2 * later.count;
    if (!later.inPlace) return runLaterFrames<false, false>(bank, n, frames);
    bool masked;
    const int end = laterEnd(n, bank.passMask, masked);
    if (masked)
        runLaterFrames<true, true>(bank, end, frames);
    else
        runLaterFrames<false, true>(bank, n, frames);
}

namespace {

// One frame joining the frames left for later on N entries (0: 2 x count).
template <int N>
QX_INLINE void splitLaterFrame(int count, double left, double right, ReverseCascadeBank& bank,
                               BandSignals& out) {
    copyOut(N > 0 ? N : 2 * count, nextLaterRow(bank), out.left, out.right);
    LaterFrames& later = bank.later;
    bank.laterInput[later.frames][0] = left;
    bank.laterInput[later.frames][1] = right;
    joinLater(later);
}

template <int N>
QX_INLINE void refilterLaterFrame(int count, ReverseCascadeBank& bank, BandSignals& bands) {
    exchangeBands(N > 0 ? N : 2 * count, bands.left, bands.right, bands.left, bands.right, nextLaterRow(bank));
    joinLater(bank.later);
}

// A frame that starts a run, or on a count of no layout, out of line: a call
// from the usual frame would have it keep its arguments in saved registers.
[[gnu::noinline]] void splitStartingRun(int count, double left, double right, ReverseCascadeBank& bank,
                                        BandSignals& out) {
    count = clampCount(count);
    // The split has no mask: it keeps the one it has.
    if (!joinsAsItIs(bank, count, bank.passMask)) startLaterRun(bank, count, bank.passMask, false);
    splitLaterFrame<0>(count, left, right, bank, out);
}

[[gnu::noinline]] void refilterStartingRun(int count, ReverseCascadeBank& bank, BandSignals& bands,
                                           uint32_t mask) {
    count = clampCount(count);
    if (!joinsAsItIs(bank, count, mask)) startLaterRun(bank, count, mask, true);
    refilterLaterFrame<0>(count, bank, bands);
}

// frame<N>() on the layouts' counts (10, 5 and 3 bands: N = 20, 10 and 6
// entries) as constants; false for any other count or where it fails.
template <class Frame>
QX_INLINE bool onLayoutEntries(int count, Frame&& frame) {
    switch (count) {
        case 10: return frame.template operator()<20>();
        case 5: return frame.template operator()<10>();
        case 3: return frame.template operator()<6>();
        default: return false;
    }
}

}  // namespace

void splitBandsLater(int count, double left, double right, ReverseCascadeBank& bank, BandSignals& out) {
    if (onLayoutEntries(count, [&]<int N>() QX_INLINE_LAMBDA {
            if (!joinsAsItIs(bank, count, bank.passMask)) return false;
            splitLaterFrame<N>(count, left, right, bank, out);
            return true;
        }))
        return;
    splitStartingRun(count, left, right, bank, out);
}

void refilterBandsLater(int count, ReverseCascadeBank& bank, BandSignals& bands, uint32_t mask) {
    if (onLayoutEntries(count, [&]<int N>() QX_INLINE_LAMBDA {
            if (!joinsAsItIs(bank, count, mask)) return false;
            refilterLaterFrame<N>(count, bank, bands);
            return true;
        }))
        return;
    refilterStartingRun(count, bank, bands, mask);
}

int bandCountOfLayout(int layout) { return layoutOf(layout).count; }

void layoutFilterbank(ReverseCascadeBank& splitBank, ReverseCascadeBank& refilterBank,
                      BandLabels& bandLabels, int32_t& bandCount, uint8_t& storedNarrow,
                      bool reset, uint8_t narrow, int layout) {
    storedNarrow = narrow;
    const Layout& chosen = layoutOf(layout);
    bandCount = chosen.count;
    for (int band = 0; band < kBankBands; ++band) {
        const LayoutBand& entry = band < chosen.count ? chosen.bands[band] : kSpareBand;
        BandLabel label{};
        std::strncpy(label.data(), entry.label, label.size() - 1);
        bandLabels[band] = label;
        const BandDesign& split = narrow ? entry.narrowSplit : entry.wideSplit;
        const BandDesign& refilter = narrow ? entry.narrowRefilter : entry.wideRefilter;
        designBankBand(splitBank, band, reset, entry.type, split.gainDb, entry.frequencyHz,
                       kLayoutSampleRate, split.bandwidthOctaves);
        designBankBand(refilterBank, band, reset, entry.type, refilter.gainDb, entry.frequencyHz,
                       kLayoutSampleRate, refilter.bandwidthOctaves);
    }
}

int32_t allowBlockEndWaits(BlockEndBatch& batch, int32_t frames) {
    // visit(frames to the block end, allowance) for every filter and bank.
    const auto each = [&](auto visit) {
        for (int p = 0; p < batch.partCount; ++p) {
            BlockEndBatch::Part& part = batch.parts[p];
            for (int i = 0; i < part.filterCount; ++i)
                visit(framesToBlockEnd(*part.filters[i]), part.filters[i]->wait.allowed);
            if (ReverseCascadeBank* bank = part.bank) visit(stepsToBlockEnd(bank->indices), bank->wait.allowed);
        }
    };
    int32_t first = frames;
    each([&](int32_t toEnd, bool&) { first = std::min(first, toEnd); });
    if (first >= frames) return frames;
    each([&](int32_t toEnd, bool& allowed) { allowed = toEnd == first; });
    return first;
}

void finishWaitingBlocks(BlockEndBatch& batch) {
    for (int p = 0; p < batch.partCount; ++p) {
        BlockEndBatch::Part& part = batch.parts[p];
        WaitingRows rows;
        for (int i = 0; i < part.filterCount; ++i) takeWaitingFilter(*part.filters[i], rows);
        if (rows.count > 0) rows.start();
        const WaitingRows* extra = rows.count > 0 ? &rows : nullptr;
        bool carried = false;
        if (part.bank) {
            ReverseCascadeBank& bank = *part.bank;
            const BankBlockEndWait wait = bank.wait;
            bank.wait = {};
            if (wait.waiting) carried = runBlockWork(bank, wait.entries, wait.masked ? bank.pass : nullptr, extra);
        }
        if (extra && !carried) runWaitingRows(rows);
        if (extra) rows.finish();
    }
}

QX_FRAME_VARIANT_END
}  // namespace qx
