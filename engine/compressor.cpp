#include "engine/compressor.h"

#include <cmath>
#include <cstring>

namespace qx {

CompressorCoefficients compressorCoefficients(const CompressorParams& params,
                                              const BandDetectors& detectors,
                                              int32_t bandCount) {
    CompressorCoefficients c;
    c.bands = guard::bands(bandCount);
    c.peakDetect = params.peakDetect.load() != 0;
    c.typeII = params.typeII.load() != 0;
    const double thresholdScale = c.peakDetect ? 0.2 : 0.1;
    for (int i = 0; i < kMaxBands; ++i) {
        c.makeup[i] = guard::gain(params.gainDb[i].load());
        const double ratio = guard::ratio(params.ratio[i].load());
        c.steep[i] = ratio >= 2.0;
        c.k[i] = c.steep[i] ? 1.0 / (ratio - 1.0) : ratio - 1.0;
        c.threshold[i] = guard::gain(params.thresholdDb[i].load()) * thresholdScale;
        c.lookahead[i] = guard::lookahead(params.lookaheadMs[i].load());
        c.attack[i] = guard::coefficient(params.attackMs[i].load());
        c.release[i] = guard::coefficient(params.releaseMs[i].load());
        c.innerAttack[i] = guard::coefficient(params.initialAttackMs[i].load());
        c.innerRelease[i] = guard::coefficient(params.initialReleaseMs[i].load());
        c.detector[i] = detectors.coefficient[i];
    }
    c.gateLevel = guard::gain(params.gateDb.load()) * 0.1;
    c.gateRelease = guard::coefficient(params.gateReleaseMs.load());
    const double window = params.windowSizeDb.load();
    // Scale inside the guard's dB range so both factors stay finite and positive.
    c.win1 = guard::gain(window * 0.6666666666666666);
    c.win2 = guard::gain(window * 0.4);
    return c;
}

namespace {

// Static curve: 1 below the threshold, else between 1/sqrt(q) (2:1) and 1/q
// (limiting) as the ratio grows.
inline double staticGain(const CompressorCoefficients& c, int i, double lvl) {
    const double thr = c.threshold[i];
    const double q = lvl / thr;
    if (!(q >= 1.0)) return 1.0;
    const double k = c.k[i];
    const double u = std::sqrt(q) * thr * (1.0 / lvl);
    if (c.steep[i]) return u * k + (1.0 / lvl) * thr * (1.0 - k);
    return u * k + (1.0 - k);
}

inline double classicGain(const CompressorCoefficients& c, int i, double g, double e, double t) {
    if (g <= t) {
        if (g * e <= c.gateLevel) return (1.0 - c.gateRelease) * g + c.gateRelease * t;
        if (t <= c.win2 * g) return (1.0 - c.innerRelease[i]) * g + c.innerRelease[i] * t;
        return (1.0 - c.release[i]) * g + c.release[i] * t;
    }
    if (g / c.win1 <= t) return (1.0 - c.innerAttack[i]) * g + c.innerAttack[i] * t;
    return (1.0 - c.attack[i]) * g + c.attack[i] * t;
}

// Type II: the times shorten in proportion to the reduction already applied;
// the gate coefficient is not divided.
inline double typeIIGain(const CompressorCoefficients& c, int i, double g, double e, double t) {
    double k = c.gateRelease;
    if (g <= t) {
        if (g * e > c.gateLevel) k = (t <= c.win2 * g ? c.innerRelease[i] : c.release[i]) / g;
    } else {
        k = (g / c.win1 <= t ? c.innerAttack[i] : c.attack[i]) / g;
    }
    k = k * 0.25;
    if (!(k <= 1.0)) k = 1.0;
    return k * t + (1.0 - k) * g;
}

}  // namespace

void compressorStep(CompressorState& state, const CompressorCoefficients& c, BandSignals& bands,
                    bool meterFrame, Number* meters) {
    const uint32_t w = state.counter & kLookaheadMask;
    state.counter += 1;
    const uint32_t r = state.counter & kLookaheadMask;
    double* writeL = state.lineL[w];
    double* writeR = state.lineR[w];
    const double* readL = state.lineL[r];
    const double* readR = state.lineR[r];
    const int nb = c.bands;
    for (int i = 0; i < nb; ++i) {
        writeL[i] = c.makeup[i] * bands.left[i];
        writeR[i] = c.makeup[i] * bands.right[i];
        const uint32_t ahead = (r + static_cast<uint32_t>(c.lookahead[i])) & kLookaheadMask;
        const double xL = state.lineL[ahead][i];
        const double xR = state.lineR[ahead][i];
        const double d = c.detector[i];
        double lvl;
        if (!c.peakDetect) {
            state.envelope[i] = (1.0 - d) * state.envelope[i] + (xL * xL + xR * xR) * d;
            lvl = std::sqrt(state.envelope[i]) + 0.00001;
        } else {
            lvl = std::fabs(xL) > std::fabs(xR) ? std::fabs(xL) : std::fabs(xR);
            if (lvl <= state.envelope[i]) lvl = (1.0 - d) * state.envelope[i];
            state.envelope[i] = lvl;
        }
        const double t = staticGain(c, i, lvl);
        const double g = state.gain[i];
        const double e = state.envelope[i];
        state.gain[i] = c.typeII ? typeIIGain(c, i, g, e, t) : classicGain(c, i, g, e, t);
        bands.left[i] = state.gain[i] * readL[i];
        bands.right[i] = state.gain[i] * readR[i];
        if (meterFrame) meters[i] = guard::reductionDb(state.gain[i]);
    }
}

void compressorGapReset(CompressorState& state) {
    std::memset(state.lineL, 0, sizeof state.lineL);
    std::memset(state.lineR, 0, sizeof state.lineR);
}

}  // namespace qx
