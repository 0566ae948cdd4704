#include "engine/limiter.h"

#include <cmath>
#include <cstring>

namespace qx {

namespace {

// A lower target takes effect at once and restarts the hold; a higher one is
// ignored until the hold runs out, when the lowest target seen meanwhile
// becomes the held value. Returns the target to follow this frame.
inline double holdStep(HoldTracker& h, double t, int32_t lookahead) {
    if (h.countdown < 1 || t <= h.held) {
        h.held = t;
        h.minimum = 1.0;
        h.countdown = lookahead + 3;
        return t;
    }
    if (t <= h.minimum) h.minimum = t;
    const double u = h.held;
    h.countdown -= 1;
    if (h.countdown == 0) {
        h.held = h.minimum;
        h.minimum = 1.0;
        h.countdown = lookahead + 3;
    }
    return u;
}

inline double gainStep(LimiterInstance& s, const LimiterInstanceCoefficients& c, bool peakDetect,
                       double xL, double xR) {
    const double d = c.detector;
    double lvl;
    if (!peakDetect) {
        s.envelope = (1.0 - d) * s.envelope + (xL * xL + xR * xR) * d;
        lvl = std::sqrt(s.envelope);
    } else {
        lvl = std::fabs(xL) > std::fabs(xR) ? std::fabs(xL) : std::fabs(xR);
        if (lvl <= s.envelope) lvl = (1.0 - d) * s.envelope;
        s.envelope = lvl;
    }
    double t = c.threshold / (lvl + 0.00001);
    if (t > 1.0) t = 1.0;
    const double u = holdStep(s.hold, t, c.lookahead);
    if (s.gain <= u) {
        s.gain = u * c.release + (1.0 - c.release) * s.gain;
    } else {
        s.gain = u * c.attack + (1.0 - c.attack) * s.gain;
    }
    return s.gain;
}

LimiterInstanceCoefficients instanceCoefficients(double driveDb, double threshold, double detector,
                                                 double lookaheadMs, double attackMs,
                                                 double releaseMs) {
    LimiterInstanceCoefficients c;
    c.drive = guard::gain(driveDb);
    c.threshold = threshold;
    c.detector = detector;
    c.lookahead = guard::lookahead(lookaheadMs);
    c.attack = guard::coefficient(attackMs);
    c.release = guard::coefficient(releaseMs);
    return c;
}

}  // namespace

double limiterGainStep(LimiterInstance& instance, const LimiterInstanceCoefficients& c,
                       bool peakDetect, double xL, double xR) {
    return gainStep(instance, c, peakDetect, xL, xR);
}

BandLimiterCoefficients bandLimiterCoefficients(const LimiterParams& params,
                                                const BandDetectors& detectors,
                                                int32_t bandCount) {
    BandLimiterCoefficients c;
    c.bands = guard::bands(bandCount);
    c.peakDetect = params.peakDetect.load() != 0;
    const double thresholdScale = c.peakDetect ? 0.2 : 0.1;
    for (int i = 0; i < kMaxBands; ++i) {
        c.band[i] = instanceCoefficients(
            params.gainDb[i].load(), guard::gain(params.thresholdDb[i].load()) * thresholdScale,
            detectors.coefficient[i], params.lookaheadMs[i].load(), params.attackMs[i].load(),
            params.releaseMs[i].load());
    }
    return c;
}

void bandLimiterStep(BandLimiterState& state, const BandLimiterCoefficients& c, BandSignals& bands,
                     bool meterFrame, Number* meters) {
    const uint32_t w = state.counter & kLookaheadMask;
    state.counter += 1;
    const uint32_t rd = state.counter & kLookaheadMask;
    const int nb = c.bands;
    for (int i = 0; i < nb; ++i) {
        const LimiterInstanceCoefficients& k = c.band[i];
        state.lineL[w][i] = k.drive * bands.left[i];
        state.lineR[w][i] = k.drive * bands.right[i];
        const uint32_t ahead = (rd + static_cast<uint32_t>(k.lookahead)) & kLookaheadMask;
        const double f = gainStep(state.band[i], k, c.peakDetect, state.lineL[ahead][i],
                                  state.lineR[ahead][i]);
        bands.left[i] = f * state.lineL[rd][i];
        bands.right[i] = f * state.lineR[rd][i];
        if (meterFrame) meters[i] = guard::reductionDb(f);
    }
}

void bandLimiterGapReset(BandLimiterState& state) {
    std::memset(state.lineL, 0, sizeof state.lineL);
    std::memset(state.lineR, 0, sizeof state.lineR);
}

FinalLimiterCoefficients finalLimiterCoefficients(const FinalLimiterParams& params) {
    FinalLimiterCoefficients c;
    c.peakDetect = params.peakDetect.load() != 0;
    const double thresholdScale = c.peakDetect ? 1.0 : 0.5;
    c.instance = instanceCoefficients(params.driveDb.load(),
                                      guard::gain(params.thresholdDb.load()) * thresholdScale,
                                      guard::coefficient(params.detectMs.load()),
                                      params.lookaheadMs.load(), params.attackMs.load(),
                                      params.releaseMs.load());
    return c;
}

void finalLimiterStep(FinalLimiterState& state, const FinalLimiterCoefficients& c, double& left,
                      double& right, bool meterFrame, Number& meter) {
    const LimiterInstanceCoefficients& k = c.instance;
    const uint32_t w = state.counter & kLookaheadMask;
    state.counter += 1;
    const uint32_t rd = state.counter & kLookaheadMask;
    state.lineL[w] = k.drive * left;
    state.lineR[w] = k.drive * right;
    const uint32_t ahead = (rd + static_cast<uint32_t>(k.lookahead)) & kLookaheadMask;
    const double f = gainStep(state.instance, k, c.peakDetect, state.lineL[ahead], state.lineR[ahead]);
    left = f * state.lineL[rd];
    right = f * state.lineR[rd];
    if (meterFrame) meter = guard::reductionDb(f);
}

void finalLimiterGapReset(FinalLimiterState& state) {
    std::memset(state.lineL, 0, sizeof state.lineL);
    std::memset(state.lineR, 0, sizeof state.lineR);
}

}  // namespace qx
