#pragma once
// Band compressor: a look-ahead compressor per band with makeup gain, a ratio
// law from none through 2:1 to limiting, a gate that slows recovery in quiet
// passages, a window that picks inner times for small gain moves, RMS or peak
// detection and two smoothing laws (classic and Type II).
#include <cstdint>

#include "engine/band_detectors.h"
#include "base/relaxed.h"
#include "base/vector_clones.h"
#include "filters/filterbank.h"
#include "params/parameters.h"
#include "base/frame_variant.h"

namespace qx {

struct CompressorState {
    uint32_t counter = 0;              // C: write counter, never reset
    double envelope[kMaxBands] = {};   // E_i: mean square (RMS) or peak
    double gain[kMaxBands] = {};       // G_i
    double level[kMaxBands] = {};   // from the first part of a frame to the second
    double target[kMaxBands] = {};  // from the second part to the third
    double detected[kMaxBands] = {};  // the envelopes, from the second part to the third
    // Look-ahead lines, frame-major so one frame's bands are contiguous.
    double lineL[kLookaheadFrames][kMaxBands] = {};
    double lineR[kLookaheadFrames][kMaxBands] = {};
};

struct CompressorCoefficients {
    int bands = 1;
    bool peakDetect = false;
    bool typeII = false;
    double makeup[kMaxBands] = {};
    double k[kMaxBands] = {};          // ratio law weight
    double ratio[kMaxBands] = {};      // guarded; 2 or more: the steep law
    double threshold[kMaxBands] = {};
    double quietBelow[kMaxBands] = {}; // quietPower(threshold), for RMS detection
    int32_t lookahead[kMaxBands] = {}; // frames, 0..4095
    bool sameLookahead = true;         // all ten equal
    double attack[kMaxBands] = {};
    double release[kMaxBands] = {};
    double innerAttack[kMaxBands] = {};
    double innerRelease[kMaxBands] = {};
    double detector[kMaxBands] = {};
    // 1 - detector and 1 - k, once per block rather than per frame.
    double keep[kMaxBands] = {};
    double oneMinusK[kMaxBands] = {};
    double gateLevel = 0.0;
    double gateRelease = 1.0;
    double win1 = 1.0;
    double win2 = 1.0;
};

QX_FRAME_VARIANT_BEGIN
CompressorCoefficients compressorCoefficients(const CompressorParams& params,
                                              const BandDetectors& detectors,
                                              int32_t bandCount);

// One frame on bands 0..bands-1: every band leaves 4095 frames late.
void compressorStep(CompressorState& state, const CompressorCoefficients& c, BandSignals& bands);

// The same frame in three parts, for a pipeline that runs other work between
// them: the detectors and their levels; the targets, the frame's delayed
// samples taken into `bands`; then the gains applied to them. Each part of a
// frame runs before the next frame's part before it.
void compressorLevels(CompressorState& state, const CompressorCoefficients& c, const BandSignals& bands);
void compressorTargets(CompressorState& state, const CompressorCoefficients& c, BandSignals& bands);
void compressorGains(CompressorState& state, const CompressorCoefficients& c, BandSignals& bands);

// The gain reduction -dB(G_i) per band.
void publishCompressorMeters(const CompressorState& state, const CompressorCoefficients& c, Number* meters);

// After a pause: the delay lines restart from silence (counter, envelopes and
// gains carry on).
void compressorGapReset(CompressorState& state);
QX_FRAME_VARIANT_END

}  // namespace qx
