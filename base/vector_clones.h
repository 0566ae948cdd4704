#pragma once
// The per-frame loops over bands and channels are written for the vector unit:
// SSE2 everywhere (the i686 build's baseline), and in copies of the frame
// path compiled for AVX2 and, on 64-bit Linux, for AVX-512's x86-64-v4 level
// (see base/frame_variant.h). The latter runs the same 256-bit vectors (the
// build prefers that width: ten bands fill 512-bit vectors poorly) with twice
// the registers and mask registers for the selects, so fewer values wait in
// memory. Never FMA: with -ffp-contract=off every product and sum is rounded
// on its own, so scalar, SSE2, AVX2 and AVX-512 code give the same bits.
//
// Code outside the frame path (the tool's meters) takes clones the loader
// picks by the processor (ELF ifuncs) instead. Not under the sanitizers:
// their runtime is not yet up when the loader runs the clone resolvers.
#if defined(__GNUC__) && !defined(__clang__) && defined(__ELF__) && defined(__x86_64__) && \
    !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define QX_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
// For plain streams of products and sums, which gain from AVX-512's own
// wide vectors as well.
#define QX_WIDE_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define QX_VECTOR_CLONES
#define QX_WIDE_VECTOR_CLONES
#endif
// Helpers of a cloned loop are inlined into each clone, so they are compiled
// for its instruction set too; in the frame path, inlined for speed.
#define QX_INLINE inline __attribute__((always_inline))
// The same for a lambda: [&](auto n) QX_INLINE_LAMBDA { ... }.
#define QX_INLINE_LAMBDA __attribute__((always_inline))

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qx {

// a where `condition` holds, else b. Both values are computed before the
// choice, so no load or division is left in a branch and a loop of these
// becomes compares and blends; the chosen value is bit for bit what the
// branch would give.
QX_INLINE double pick(bool condition, double a, double b) { return condition ? a : b; }

// Two doubles side by side, for code that works on both channels at once.
typedef double LanePair __attribute__((vector_size(16)));

// Two neighbouring doubles in memory, at any alignment, as a pair and back.
QX_INLINE LanePair loadLanes(const double* p) {
    LanePair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
QX_INLINE void storeLanes(double* p, LanePair v) { std::memcpy(p, &v, sizeof v); }

// a where x < y, else b (b where either is NaN), as a compare and a blend
// even where the compiler would branch: for choices that follow the audio
// from frame to frame, which no branch predictor learns.
QX_INLINE double pickWhereLess(double x, double y, double a, double b) {
    const LanePair chosen = LanePair{x, x} < LanePair{y, y} ? LanePair{a, a} : LanePair{b, b};
    return chosen[0];
}

// Lane by lane a > b ? a : b and a < b ? a : b (b where either is NaN), as
// one max or min instruction: the compiler leaves such selects on vectors as
// a compare and a blend.
QX_INLINE LanePair maxLanes(LanePair a, LanePair b) {
#if defined(__SSE2__)
    return _mm_max_pd(a, b);
#else
    return a > b ? a : b;
#endif
}
QX_INLINE LanePair minLanes(LanePair a, LanePair b) {
#if defined(__SSE2__)
    return _mm_min_pd(a, b);
#else
    return a < b ? a : b;
#endif
}

// Whether either lane of a two-lane compare holds, from its sign bits.
template <class Mask>
QX_INLINE bool eitherLane(Mask mask) {
    static_assert(sizeof(Mask) == 16);
#if defined(__SSE2__)
    __m128d m;
    std::memcpy(&m, &mask, sizeof m);
    return _mm_movemask_pd(m) != 0;
#else
    return (mask[0] | mask[1]) != 0;
#endif
}

// Runs body(nb) with the band counts of the layouts (10, 5, 3) as
// compile-time constants, so the loops over the bands in it have fixed trip
// counts: no remainder loops, no run-time alias checks. Any other count runs
// with the plain int, out of line (baseline code, the same bits): its loops
// would otherwise make every frame of a layout count save and restore
// registers.
template <class Body>
QX_INLINE void withBandCount(int nb, Body&& body) {
    switch (nb) {
        case 10: body(std::integral_constant<int, 10>{}); break;
        case 5: body(std::integral_constant<int, 5>{}); break;
        case 3: body(std::integral_constant<int, 3>{}); break;
        default: [body, nb]() __attribute__((noinline)) { body(nb); }(); break;
    }
}

// Bands per group below: one AVX2 vector of doubles.
constexpr int kGroupBands = 4;

// Runs body(first, last) on the bands 0..nb-1 in groups of kGroupBands (the
// last one may be shorter), so a step can branch around work that no band of
// a group needs. With a compile-time count the bounds are constants.
template <class Count, class Body>
QX_INLINE void forEachGroup(Count nb, Body&& body) {
    constexpr int Size = kGroupBands;
    if constexpr (std::is_same_v<Count, int>) {
        for (int first = 0; first < nb; first += Size) body(first, std::min(first + Size, nb));
    } else {
        [&]<int... G>(std::integer_sequence<int, G...>) QX_INLINE_LAMBDA {
            (body(G * Size, std::min((G + 1) * Size, Count::value)), ...);
        }(std::make_integer_sequence<int, (Count::value + Size - 1) / Size>{});
    }
}

// x[i] *= g for i < nb, in the vectors of the groups above (fours, a pair,
// else one by one): the band stages' loops store in those shapes, and a load
// spanning two stores not yet retired waits for them (left's last pair and
// right's first are neighbours, which the compiler would join into one).
template <class Count>
QX_INLINE void scaleGroups(double* x, Count nb, double g) {
    typedef double Four __attribute__((vector_size(32), aligned(8)));
    forEachGroup(nb, [&](int first, int last) QX_INLINE_LAMBDA {
        if (last - first == 4) {
            Four v;
            std::memcpy(&v, x + first, sizeof v);
            v *= g;
            std::memcpy(x + first, &v, sizeof v);
        } else if (last - first == 2) {
            storeLanes(x + first, loadLanes(x + first) * g);
        } else {
            for (int i = first; i < last; ++i) x[i] *= g;
        }
    });
}

// All ones where the condition holds, else zero: or-ed over a group's bands
// it tells whether any band needs something, as vector compares rather than
// a branch per band.
QX_INLINE uint64_t laneMask(bool condition) { return 0 - static_cast<uint64_t>(condition); }

// The comparisons a group's skip tests make, lane by lane: a <= b, a < b,
// and their negations (which differ from the swapped comparisons on NaN).
enum class LaneTest { LessEqual, Less, NotLessEqual, NotLess };

template <LaneTest Test, class X>
QX_INLINE void testLanes(const X& a, const X& b, X& mask) {
    using Bits = decltype(a <= b);
    Bits m;
    if constexpr (Test == LaneTest::LessEqual || Test == LaneTest::NotLessEqual)
        m = a <= b;
    else
        m = a < b;
    if constexpr (Test == LaneTest::NotLessEqual || Test == LaneTest::NotLess) m = ~m;
    std::memcpy(&mask, &m, sizeof mask);
}

// Whether the test holds for a[j], b[j] in any of the lanes j < count (at
// most one group). Whole groups and pairs read their sign bits at once: the
// compiler would otherwise fold the lane masks one by one.
template <LaneTest Test>
QX_INLINE bool anyLane(int count, const double* a, const double* b) {
#if defined(__SSE2__)
    typedef double Four __attribute__((vector_size(32), aligned(8)));
    if (count == 4 || count == 2) {
        __m128d mask;
        if (count == 4) {
            Four x, y, m;
            std::memcpy(&x, a, sizeof x);
            std::memcpy(&y, b, sizeof y);
            testLanes<Test>(x, y, m);
            __m128d lo, hi;
            std::memcpy(&lo, &m, sizeof lo);
            std::memcpy(&hi, reinterpret_cast<const char*>(&m) + sizeof lo, sizeof hi);
            mask = _mm_or_pd(lo, hi);
        } else {
            testLanes<Test>(_mm_loadu_pd(a), _mm_loadu_pd(b), mask);
        }
        return eitherLane(mask);
    }
#endif
    uint64_t any = 0;
    for (int j = 0; j < count; ++j) {
        bool hit;
        if constexpr (Test == LaneTest::LessEqual) hit = a[j] <= b[j];
        if constexpr (Test == LaneTest::Less) hit = a[j] < b[j];
        if constexpr (Test == LaneTest::NotLessEqual) hit = !(a[j] <= b[j]);
        if constexpr (Test == LaneTest::NotLess) hit = !(a[j] < b[j]);
        any |= laneMask(hit);
    }
    return any != 0;
}

}  // namespace qx
