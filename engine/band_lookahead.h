#pragma once
// One frame of the band look-ahead lines that the compressor and the band
// limiter share in form: the driven band samples go in, each band's sample
// `lookahead` frames ahead comes out for its detector, and once the gains are
// known the delayed samples leave times their gain.
#include <cmath>
#include <cstdint>

#include "base/relaxed.h"
#include "base/vector_clones.h"
#include "engine/band_detectors.h"
#include "filters/filterbank.h"
#include "base/frame_variant.h"

namespace qx {

using LookaheadLine = double[kLookaheadFrames][kMaxBands];  // frame-major

// With Same, each band's look-ahead samples are one row of the lines, read
// in place; otherwise they are gathered into the frame.
template <bool Same>
struct LookaheadFrame {
    uint32_t read = 0;  // the row leaving this frame
    const double* xL;   // each band's look-ahead samples
    const double* xR;
};

template <>
struct LookaheadFrame<false> {
    uint32_t read = 0;
    const double* xL;
    const double* xR;
    alignas(64) double gatheredL[kMaxBands];
    alignas(64) double gatheredR[kMaxBands];
};

QX_FRAME_VARIANT_BEGIN
// Whether every band looks the same distance ahead (the presets' usual case),
// so a frame's look-ahead samples are one row of the lines, read in place.
inline bool sameLookahead(const int32_t (&lookahead)[kMaxBands]) {
    for (int i = 1; i < kMaxBands; ++i)
        if (lookahead[i] != lookahead[0]) return false;
    return true;
}

// Advances the write counter, writes drive[i] times band i at the write row,
// then finds each band's look-ahead samples (after the write, which the
// longest look-ahead reads back).
template <bool Same, class Count>
QX_INLINE void enterLookahead(uint32_t& counter, LookaheadLine& lineL, LookaheadLine& lineR, Count nb,
                              const double* drive, const int32_t* lookahead, const BandSignals& bands,
                              LookaheadFrame<Same>& frame) {
    const uint32_t w = counter & kLookaheadMask;
    counter += 1;
    frame.read = counter & kLookaheadMask;
    double* __restrict writeL = lineL[w];
    double* __restrict writeR = lineR[w];
    const int n = nb;  // a constant where the count is one
#pragma GCC ivdep  // the lines, the drives and the bands never overlap
    for (int i = 0; i < n; ++i) {
        const double d = drive[i];  // loaded once for both sides
        writeL[i] = d * bands.left[i];
        writeR[i] = d * bands.right[i];
    }
    if constexpr (Same) {
        const uint32_t ahead = (frame.read + static_cast<uint32_t>(lookahead[0])) & kLookaheadMask;
        frame.xL = lineL[ahead];
        frame.xR = lineR[ahead];
    } else {
        for (int i = 0; i < n; ++i) {
            const uint32_t ahead = (frame.read + static_cast<uint32_t>(lookahead[i])) & kLookaheadMask;
            frame.gatheredL[i] = lineL[ahead][i];
            frame.gatheredR[i] = lineR[ahead][i];
        }
        frame.xL = frame.gatheredL;
        frame.xR = frame.gatheredR;
    }
}

// The RMS detector's smoothed power, whose root is its level.
QX_INLINE double rmsPower(double envelope, double d, double keep, double xL, double xR) {
    return keep * envelope + (xL * xL + xR * xR) * d;
}

// The RMS detectors of bands first..last-1 (at most one group): updates
// their powers and, unless every power lies below its `quietBelow` (see
// quietPower), so that no level can reach its threshold, writes each level,
// the root plus 0.00001, to level[i - first]. Returns whether it did.
QX_INLINE bool rmsLevelsUnlessQuiet(double* __restrict envelope, const double* d, const double* keep,
                                    const double* quietBelow, const double* xL, const double* xR, int first,
                                    int last, double* __restrict level) {
#pragma GCC ivdep  // the state, coefficient and band arrays never overlap
    for (int i = first; i < last; ++i) envelope[i] = rmsPower(envelope[i], d[i], keep[i], xL[i], xR[i]);
    if (!anyLane<LaneTest::NotLess>(last - first, envelope + first, quietBelow + first)) return false;
#pragma GCC ivdep
    for (int i = first; i < last; ++i) level[i - first] = std::sqrt(envelope[i]) + 0.00001;
    return true;
}

// The peak detector the stages run on their look-ahead samples (the RMS one
// is the root of rmsPower): the larger magnitude, decaying by keep = 1 - d
// while it lies below the envelope. Updates the envelope.
QX_INLINE double peakLevel(double& envelope, double keep, double xL, double xR) {
    const double aL = std::fabs(xL);
    const double aR = std::fabs(xR);
    const double peak = pick(aL > aR, aL, aR);
    const double decayed = keep * envelope;
    envelope = pick(peak <= envelope, decayed, peak);
    return envelope;
}

// The gain reductions the band steps' meters show.
inline void publishReductions(const double* gain, int n, Number* meters) {
    for (int i = 0; i < n; ++i) meters[i] = guard::reductionDb(gain[i]);
}

// Band i leaves as the read row's sample times gain[i].
template <bool Same, class Count>
QX_INLINE void leaveLookahead(const LookaheadLine& lineL, const LookaheadLine& lineR,
                              const LookaheadFrame<Same>& frame, Count nb, const double* __restrict gain,
                              BandSignals& bands) {
    const double* __restrict readL = lineL[frame.read];
    const double* __restrict readR = lineR[frame.read];
    const int n = nb;
#pragma GCC ivdep
    for (int i = 0; i < n; ++i) {
        bands.left[i] = gain[i] * readL[i];
        bands.right[i] = gain[i] * readR[i];
    }
}
QX_FRAME_VARIANT_END

}  // namespace qx
