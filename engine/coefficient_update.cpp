#include "engine/coefficient_update.h"

#include "engine/chain.h"
#include "engine/stage_setups.h"

namespace qx {

namespace {

bool parametricChanged(const ChainState& state) {
    const DesignMemory& m = state.designed;
    for (int i = 0; i < 2; ++i) {
        const ParametricSectionParams& p = state.params.parametricEq.section[i];
        if (p.freqHz != m.parametricFreqHz[i] || p.bandwidthOctaves != m.parametricBandwidth[i] ||
            p.gainDb != m.parametricGainDb[i] || p.peaking != m.parametricPeaking[i])
            return true;
    }
    return false;
}

void setTenBandEqGains(ChainState& state) {
    const TenBandEqParams& eq = state.params.tenBandEq;
    const double preamp = dbToGain(eq.preampDb);
    state.tenBandEqGains[0] = preamp;
    for (int i = 0; i < kMaxBands; ++i)
        state.tenBandEqGains[i + 1] = (eq.bandMute[i] ? 0.0 : dbToGain(eq.bandDb[i])) * preamp;
}

void clear(Number* meters, int count) {
    for (int i = 0; i < count; ++i) meters[i] = 0.0;
}

void clearMetersOfInactiveStages(ChainState& state) {
    const Parameters& p = state.params;
    const GeneralParams& g = p.general;
    if (!g.stereoImageActive || p.stereoImage.mono) state.stereoEnhanceMeter = 0.0;
    if (!g.agcActive)
        clear(state.agcMeters, 3);
    else if (p.agc.singleBand)
        clear(state.agcMeters + 1, 2);
    const bool processor = g.processorActive != 0;
    if (!processor || !g.dynamicEqActive) clear(state.dynamicEqMeters, kMaxBands);
    if (!processor || !g.compressorActive) clear(state.compressorMeters, kMaxBands);
    if (!processor || !g.expanderActive) clear(state.expanderMeters, kMaxBands);
    if (!processor || !g.limiterActive) clear(state.limiterMeters, kMaxBands);
    for (int i = 0; i < kMaxBands; ++i)
        if (!processor || !g.saturatorActive || !p.saturator.clipEnable[i]) state.saturatorMeters[i] = 0.0;
    if (!g.finalLimiterActive) state.finalLimiterMeter = 0.0;
    if (!g.finalClipperActive) state.finalClipperMeter = 0.0;
}

}  // namespace

void updateCoefficients(ChainState& state, bool full) {
    const Parameters& p = state.params;
    const DesignMemory& memory = state.designed;

    if (full || p.highpass.cutoffHz != memory.highpassCutoffHz) designHighpass(state, false, p.highpass.cutoffHz);
    if (full || p.agc.crossoverHz != memory.agcCrossoverHz) designAgcCrossover(state, false, p.agc.crossoverHz);

    setThreeBandGains(state.threeBandLeft, p.threeBandEq);
    setThreeBandGains(state.threeBandRight, p.threeBandEq);
    const double lowMid = p.threeBandEq.crossoverLowMidHz;
    const double midHigh = p.threeBandEq.crossoverMidHighHz;
    if (full || lowMid != state.threeBandLeft.f1 || midHigh != state.threeBandLeft.f2) {
        designThreeBandSplitter(state.threeBandLeft, lowMid, midHigh, kSampleRate, false);
        designThreeBandSplitter(state.threeBandRight, lowMid, midHigh, kSampleRate, false);
    }

    if (full || parametricChanged(state)) designParametricEq(state, false);

    const uint8_t narrow = p.processor.narrowBandwidth;
    if (full || narrow != state.storedNarrow) applyFilterbankLayout(state, false, narrow, p.processor.filterbank);

    setTenBandEqGains(state);
    if (full || p.lowpass.cutoffHz != memory.lowpassCutoffHz) designLowpass(state, false, p.lowpass.cutoffHz);
    clearMetersOfInactiveStages(state);
}

}  // namespace qx
