#pragma once
// Three-band tone control: two cascades of four one-pole lowpass sections.
// low = lower cascade, mid = upper cascade - lower cascade, high = input
// delayed by three frames - upper cascade, so with unity gains the bands sum
// back to the input delayed by exactly three frames. One state per channel.
#include "base/relaxed.h"
#include "params/parameters.h"
#include "base/frame_variant.h"

namespace qx {

// One channel. 19 doubles in this order. The coefficients and gains are
// written by the coefficient update on the UI thread while the audio thread
// runs the step, hence Number; the rest belongs to one thread.
struct ThreeBandState {
    Number c1;                                     // lower crossover, 2 sin(pi f1 / rate)
    double s1 = 0.0, s2 = 0.0, s3 = 0.0, s4 = 0.0;  // lower cascade
    Number c2;                                     // upper crossover, 2 sin(pi f2 / rate)
    double s5 = 0.0, s6 = 0.0, s7 = 0.0, s8 = 0.0;  // upper cascade
    double x0 = 0.0, x1 = 0.0, x2 = 0.0;           // last three inputs, newest first
    Number gLow, gMid, gHigh;                      // band gains
    double f1 = 0.0, f2 = 0.0, rate = 0.0;         // what c1, c2 were made from
};
static_assert(sizeof(ThreeBandState) == 19 * sizeof(double));

QX_FRAME_VARIANT_BEGIN
// Writes c1, c2 and the remembered f1, f2, rate; with reset it first zeroes the
// whole record, band gains included (the stage is silent until the gains are
// set again). Coefficients are kept inside [0, 1.9] so that no frequency or
// rate, however absurd, makes a cascade unstable; every frequency up to
// 0.39 x rate gets the plain formula.
void designThreeBandSplitter(ThreeBandState& state, double lowMidHz, double midHighHz, double sampleRate,
                             bool reset);

// Band gains from the parameters: g(dB) of each band, 0 when the band is
// muted. Band 1 is gLow, band 2 gMid, band 3 gHigh.
void setThreeBandGains(ThreeBandState& state, const ThreeBandEqParams& params);

// One sample through one channel; returns the recombined, weighted bands.
double threeBandStep(ThreeBandState& state, double x);
QX_FRAME_VARIANT_END

// The crossovers and band gains of both channels, left and right side by
// side, taken at a block start: an update reaches the audio at the next block.
struct ThreeBandCoefficients {
    alignas(32) double crossover[4] = {};  // c1 left, right, c2 left, right
    double gLow[2] = {}, gMid[2] = {}, gHigh[2] = {};
};

QX_FRAME_VARIANT_BEGIN
ThreeBandCoefficients threeBandCoefficients(const ThreeBandState& left, const ThreeBandState& right);

// Both channels at once, each exactly as by threeBandStep, in place.
void threeBandStereoStep(ThreeBandState& left, ThreeBandState& right, const ThreeBandCoefficients& k, double& l,
                         double& r);
QX_FRAME_VARIANT_END

}  // namespace qx
