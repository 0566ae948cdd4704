#pragma once
// Look-ahead limiters. One algorithm, two stages: the band limiter (one
// instance per band, inside the multiband processor) and the final limiter
// (one instance on the recombined L/R). Each writes its driven input into a
// 4096-frame line, detects the level `lookahead` frames ahead of the output,
// holds the lowest target until the delayed peak has passed and smooths the
// gain with separate attack and release times.
#include <cstdint>

#include "engine/band_detectors.h"
#include "base/relaxed.h"
#include "base/vector_clones.h"
#include "filters/filterbank.h"
#include "params/parameters.h"
#include "base/frame_variant.h"

namespace qx {

// Keeps the lowest target for lookahead + 3 frames.
struct HoldTracker {
    double held = 1.0;     // Hv
    double minimum = 1.0;  // M: lowest target seen during the hold
    int32_t countdown = 0; // N
};

// The per-instance state apart from the delay line.
struct LimiterInstance {
    double envelope = 0.0;  // E: mean square (RMS) or peak
    double gain = 0.0;      // F
    HoldTracker hold;
};

struct LimiterInstanceCoefficients {
    double drive = 1.0;      // m: gain written into the line
    double threshold = 1.0;  // thr
    double detector = 1.0;   // d
    double attack = 1.0;     // a
    double release = 1.0;    // r
    int32_t lookahead = 0;   // la, frames 0..4095
};

QX_FRAME_VARIANT_BEGIN
// Detector, target, hold and gain of one instance for one frame, given the
// look-ahead samples xL, xR read from the instance's line. Returns F.
double limiterGainStep(LimiterInstance& instance, const LimiterInstanceCoefficients& c,
                       bool peakDetect, double xL, double xR);
QX_FRAME_VARIANT_END

// ---- Band limiter ----

// The band instances as arrays over the bands, so one frame of all bands runs
// as vector code; the hold countdown counts whole frames in a double for the
// same reason (exact: it never exceeds 4098).
struct BandLimiterState {
    uint32_t counter = 0;  // shared by the band instances, never reset
    double envelope[kMaxBands] = {};
    double gain[kMaxBands] = {};
    double held[kMaxBands] = {1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
    double minimum[kMaxBands] = {1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
    double countdown[kMaxBands] = {};
    // Per group of bands (see forEachGroup): the last frame's hold and gain
    // update, with every target 1, left the group's state as it found it.
    // Cleared at each block start, as the coefficients may change there.
    bool steady[(kMaxBands + kGroupBands - 1) / kGroupBands] = {};
    double lineL[kLookaheadFrames][kMaxBands] = {};  // frame-major
    double lineR[kLookaheadFrames][kMaxBands] = {};
};
static_assert(kMaxBands == 10, "the start values here and below list ten bands");

constexpr double kQuietBelowOne = quietPower(1.0);

// The band instances' values as arrays over the bands, for the vector loop;
// the hold length lookahead + 3 kept in frames as a double. Every band starts
// as a default instance.
struct BandLimiterCoefficients {
    int bands = 1;
    bool peakDetect = false;
    double drive[kMaxBands] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    double threshold[kMaxBands] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    // quietPower(threshold), for RMS detection.
    double quietBelow[kMaxBands] = {kQuietBelowOne, kQuietBelowOne, kQuietBelowOne, kQuietBelowOne, kQuietBelowOne,
                                    kQuietBelowOne, kQuietBelowOne, kQuietBelowOne, kQuietBelowOne, kQuietBelowOne};
    double detector[kMaxBands] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    double keep[kMaxBands] = {};  // 1 - detector, once per block
    double attack[kMaxBands] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    double release[kMaxBands] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    int32_t lookahead[kMaxBands] = {};
    double holdFrames[kMaxBands] = {3, 3, 3, 3, 3, 3, 3, 3, 3, 3};
    bool sameLookahead = true;  // kept by setBandInstance
};
// The start values above are a default instance's, as setBandInstance would
// write them (kept as initialisers, so no constructor is compiled into both
// copies of the frame path).
static_assert(LimiterInstanceCoefficients{}.drive == 1.0 && LimiterInstanceCoefficients{}.threshold == 1.0 &&
              LimiterInstanceCoefficients{}.detector == 1.0 && LimiterInstanceCoefficients{}.attack == 1.0 &&
              LimiterInstanceCoefficients{}.release == 1.0 && LimiterInstanceCoefficients{}.lookahead == 0);

QX_FRAME_VARIANT_BEGIN
// Band `band`'s values, written from or read back as one instance's.
void setBandInstance(BandLimiterCoefficients& c, int band, const LimiterInstanceCoefficients& instance);
LimiterInstanceCoefficients bandInstance(const BandLimiterCoefficients& c, int band);

BandLimiterCoefficients bandLimiterCoefficients(const LimiterParams& params,
                                                const BandDetectors& detectors,
                                                int32_t bandCount);

// A block's start: its coefficients may differ from the last block's.
void startBandLimiterBlock(BandLimiterState& state);

// One frame on bands 0..bands-1 (4095 frames of delay).
void bandLimiterStep(BandLimiterState& state, const BandLimiterCoefficients& c, BandSignals& bands);

// -dB(F) per band.
void publishBandLimiterMeters(const BandLimiterState& state, const BandLimiterCoefficients& c, Number* meters);

void bandLimiterGapReset(BandLimiterState& state);
QX_FRAME_VARIANT_END

// ---- Final limiter ----

struct FinalLimiterState {
    uint32_t counter = 0;  // never reset
    LimiterInstance instance;
    double lineL[kLookaheadFrames] = {};
    double lineR[kLookaheadFrames] = {};
    double target = 1.0;  // the frame's target, left by its first part for its second
};

struct FinalLimiterCoefficients {
    bool peakDetect = false;
    LimiterInstanceCoefficients instance;
    // quietPower(threshold) for RMS detection, else 0 (no power lies below).
    double quietBelow = 0.0;
};

QX_FRAME_VARIANT_BEGIN
FinalLimiterCoefficients finalLimiterCoefficients(const FinalLimiterParams& params);

// One frame on L and R in place (4095 frames of delay); on the meter frame
// publishes -dB(F).
void finalLimiterStep(FinalLimiterState& state, const FinalLimiterCoefficients& c, double& left,
                      double& right, bool meterFrame, Number& meter);

// The same frame in two parts, for a pipeline that runs other work between
// them so the quotient waits beside it: the line, the detector and the
// target, then the hold, the gain and the output. A frame's second part runs
// before the next frame's first.
void finalLimiterTarget(FinalLimiterState& state, const FinalLimiterCoefficients& c, double left, double right);
void finalLimiterApply(FinalLimiterState& state, const FinalLimiterCoefficients& c, double& left, double& right,
                       bool meterFrame, Number& meter);

void finalLimiterGapReset(FinalLimiterState& state);
QX_FRAME_VARIANT_END

}  // namespace qx
