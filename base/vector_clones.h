#pragma once
// The per-frame loops over bands and channels are written for the vector unit:
// SSE2 everywhere (the i686 build's baseline), and where the loader can pick a
// clone by the processor (ELF ifuncs) a second copy for AVX2. Never FMA: with
// -ffp-contract=off every product and sum is rounded on its own, so scalar,
// SSE2 and AVX2 code give the same bits.
// Not under the sanitizers: their runtime is not yet up when the loader runs
// the clone resolvers.
#if defined(__GNUC__) && !defined(__clang__) && defined(__ELF__) && defined(__x86_64__) && \
    !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define QX_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QX_VECTOR_CLONES
#endif
// Helpers of a cloned loop are inlined into each clone, so they are compiled
// for its instruction set too.
#define QX_INLINE inline __attribute__((always_inline))

namespace qx {

// a where `condition` holds, else b. Both values are computed before the
// choice, so no load or division is left in a branch and a loop of these
// becomes compares and blends; the chosen value is bit for bit what the
// branch would give.
QX_INLINE double pick(bool condition, double a, double b) { return condition ? a : b; }

}  // namespace qx
