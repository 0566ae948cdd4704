#pragma once
// The frame path is compiled more than once from the same sources: as the
// baseline (SSE2) and once more for each wider instruction set the build
// carries (AVX2; on 64-bit Linux also AVX-512's x86-64-v4 level; never FMA,
// so every copy gives the same bits). Each further copy's functions live in
// an inline namespace of their own, so the copies share the state types but
// no function, calls within a copy go straight to that copy, and the chain's
// entry points pass each block to the widest copy the processor runs.
// Function declarations and definitions of the frame path's sources sit
// between these marks; types stay outside them.
//
// Where the build lets it (Linux: QX_FRAME_ALIGNED_STACK), a wider
// copy is compiled to take its stack aligned for its vectors, so its
// functions need not realign it each call; what enters the copy from outside
// (the entry points, the function a second thread starts) realigns it once,
// marked QX_FRAME_ENTRY. Its aligned moves are assembled as unaligned ones,
// so an entry left unmarked would cost speed, never a fault.
#if defined(QX_FRAME_VARIANT_AVX512)
#define QX_FRAME_VARIANT_BEGIN inline namespace frame_avx512 {
#define QX_FRAME_VARIANT_END }
#elif defined(QX_FRAME_VARIANT_AVX2)
#define QX_FRAME_VARIANT_BEGIN inline namespace frame_avx2 {
#define QX_FRAME_VARIANT_END }
#else
#define QX_FRAME_VARIANT_BEGIN
#define QX_FRAME_VARIANT_END
#endif
#if defined(QX_FRAME_ALIGNED_STACK)
#define QX_FRAME_ENTRY [[gnu::force_align_arg_pointer]]
#else
#define QX_FRAME_ENTRY
#endif
