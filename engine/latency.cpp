#include "engine/latency.h"

#include "engine/coefficient_guards.h"

namespace qx {
namespace {

constexpr int32_t kSectionDelay = 8192;
constexpr int32_t kLookaheadDelay = 4095;
constexpr int32_t kThreeBandDelay = 3;
constexpr int32_t kComplexClipperDelay = 32;

bool anyRefilter(const SaturatorParams& saturator, int bands) {
    for (int i = 0; i < bands; ++i)
        if (saturator.refilter[i] != 0) return true;
    return false;
}

int32_t processorLatency(const Parameters& p, int32_t bandCount) {
    const GeneralParams& g = p.general;
    int32_t frames = kSectionDelay;  // the split
    if (g.compressorActive) frames += kLookaheadDelay;
    if (g.limiterActive) frames += kLookaheadDelay;
    if (g.saturatorActive && anyRefilter(p.saturator, guard::bands(bandCount))) frames += kSectionDelay;
    return frames;
}

}  // namespace

int32_t chainLatencyFrames(const Parameters& p, int32_t bandCount) {
    const GeneralParams& g = p.general;
    int32_t frames = 0;
    if (g.highpassActive) frames += kSectionDelay;
    if (g.agcActive && p.agc.singleBand == 0) frames += kSectionDelay;
    if (g.threeBandEqActive) frames += kThreeBandDelay;
    if (g.parametricEqActive) frames += kSectionDelay * (p.parametricEq.enable2 != 0 ? 2 : 1);
    if (g.processorActive) frames += processorLatency(p, bandCount);
    if (g.finalLimiterActive) frames += kLookaheadDelay;
    if (g.finalClipperActive && p.finalClipper.complex != 0) frames += kComplexClipperDelay;
    if (g.lowpassActive) frames += 2 * kSectionDelay;
    return frames;
}

}  // namespace qx
