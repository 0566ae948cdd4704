#pragma once
// Where the loader cannot pick clones by the processor (the Windows builds
// have no ELF ifuncs), the frame path is compiled twice: as the baseline
// (SSE2) and, from the same sources, once more for AVX2 (never FMA, so both
// give the same bits). The second copy's functions live in an inline
// namespace of their own, so the two copies share the state types but no
// function, and the chain's entry points pass each block to the copy the
// processor can run. Function declarations and definitions of the frame
// path's sources sit between these marks; types stay outside them.
#if defined(QX_FRAME_VARIANT_AVX2)
#define QX_FRAME_VARIANT_BEGIN inline namespace frame_avx2 {
#define QX_FRAME_VARIANT_END }
#else
#define QX_FRAME_VARIANT_BEGIN
#define QX_FRAME_VARIANT_END
#endif
