#include "engine/stage_setups.h"

#include <cmath>

namespace qx {

namespace {

constexpr double kRate = kSampleRate;
constexpr double kHighpassBandwidth = 2.0;
constexpr double kStereoHighpassHz = 1000.0;

// Start-up placeholders; the start-up preset replaces them.
constexpr double kStartupHighpassHz = 25.0;
constexpr double kStartupAgcCrossoverHz = 300.0;
constexpr double kStartupLowMidHz = 880.0;
constexpr double kStartupMidHighHz = 5000.0;
constexpr double kStartupLowpassHz = 1000.0;

}  // namespace

double agcCrossoverBandwidth(double crossoverHz) { return 1.9 - crossoverHz * 1.923076923076923e-05; }

double lowpassBandwidth(double cutoffHz) { return 2.0 - cutoffHz * 8.928571428571429e-05; }

void designHighpass(ChainState& state, bool reset, double cutoffHz) {
    state.designed.highpassCutoffHz = cutoffHz;
    designFilter(state.highpass, reset, FilterType::Highpass, 0.0, cutoffHz, kRate, kHighpassBandwidth);
}

void designStereoImageHighpass(ChainState& state, bool reset) {
    designFilter(state.stereoHighpass, reset, FilterType::Highpass, 0.0, kStereoHighpassHz, kRate,
                 kHighpassBandwidth);
}

void designAgcCrossover(ChainState& state, bool reset, double crossoverHz) {
    state.designed.agcCrossoverHz = crossoverHz;
    const double bandwidth = agcCrossoverBandwidth(crossoverHz);
    designFilter(state.agcLowpass, reset, FilterType::Lowpass, 0.0, crossoverHz, kRate, bandwidth);
    designFilter(state.agcHighpass, reset, FilterType::Highpass, 0.0, crossoverHz, kRate, bandwidth);
}

void designParametricEq(ChainState& state, bool reset) {
    DesignMemory& memory = state.designed;
    for (int i = 0; i < 2; ++i) {
        const ParametricSectionParams& p = state.params.parametricEq.section[i];
        memory.parametricFreqHz[i] = p.freqHz;
        memory.parametricBandwidth[i] = p.bandwidthOctaves;
        memory.parametricGainDb[i] = p.gainDb;
        memory.parametricPeaking[i] = p.peaking;
    }
    for (int i = 0; i < 2; ++i) {
        // Each of the two passes of the reverse cascade contributes half the gain.
        designFilter(state.parametric[i], reset,
                     memory.parametricPeaking[i] ? FilterType::Peaking : FilterType::LowShelf,
                     memory.parametricGainDb[i] * 0.5, memory.parametricFreqHz[i], kRate,
                     memory.parametricBandwidth[i]);
    }
}

void designLowpass(ChainState& state, bool reset, double cutoffHz) {
    state.designed.lowpassCutoffHz = cutoffHz;
    const double f = cutoffHz > kLowpassMaxCutoffHz ? kLowpassMaxCutoffHz : cutoffHz;
    const double bandwidth = lowpassBandwidth(f);
    for (ReverseCascadeFilter& section : state.lowpass)
        designFilter(section, reset, FilterType::Lowpass, 0.0, f, kRate, bandwidth);
}

void applyFilterbankLayout(ChainState& state, bool reset, uint8_t narrow, double layout) {
    const int layoutNumber = layout > -1e9 && layout < 1e9 ? static_cast<int>(layout) : 1;
    int32_t bands = state.bandCount;
    layoutFilterbank(state.splitBank, state.refilterBank, state.bandLabels, bands, state.storedNarrow, reset, narrow,
                     layoutNumber);
    state.bandCount = bands;
}

void designAtStartup(ChainState& state) {
    designHighpass(state, true, kStartupHighpassHz);
    designStereoImageHighpass(state, true);
    designAgcCrossover(state, true, kStartupAgcCrossoverHz);
    designThreeBandSplitter(state.threeBandLeft, kStartupLowMidHz, kStartupMidHighHz, kRate, true);
    designThreeBandSplitter(state.threeBandRight, kStartupLowMidHz, kStartupMidHighHz, kRate, true);
    designParametricEq(state, true);
    applyFilterbankLayout(state, true, 0, 1.0);
    designLowpass(state, true, kStartupLowpassHz);
}

}  // namespace qx
