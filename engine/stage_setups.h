#pragma once
// The set-up of each filtering stage: which shapes, which fixed constants, how
// the bandwidth follows the frequency, and what is remembered for the
// coefficient update. `reset` is passed to every design (set only at start-up).
#include "engine/chain_state.h"

namespace qx {

void designHighpass(ChainState& state, bool reset, double cutoffHz);
void designStereoImageHighpass(ChainState& state, bool reset);
void designAgcCrossover(ChainState& state, bool reset, double crossoverHz);
void designParametricEq(ChainState& state, bool reset);
void designLowpass(ChainState& state, bool reset, double cutoffHz);

// Lowpass cutoffs above the slider's top make the bandwidth rule run out
// (zero at 22400 Hz) and the sections ring; such values are held at the top.
constexpr double kLowpassMaxCutoffHz = 20480.0;
double lowpassBandwidth(double cutoffHz);

// Lays out both filterbanks for a layout number (truncated toward zero; values
// outside an int mean layout 1) and the narrow flag, publishing the band count.
void applyFilterbankLayout(ChainState& state, bool reset, uint8_t narrow, double layout);
double agcCrossoverBandwidth(double crossoverHz);

// Designs every filter once with reset, using the start-up placeholders, then
// lays out the filterbank; the start-up preset's full coefficient update
// replaces the placeholders.
void designAtStartup(ChainState& state);

}  // namespace qx
