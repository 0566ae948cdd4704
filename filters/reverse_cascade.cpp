#include "filters/reverse_cascade.h"

#include <cmath>
#include <cstring>

namespace qx {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kHalfLn2 = 0.34657359027997264;

// Guards against values from hand-edited files. The frequency, bandwidth and
// gain bounds lie outside what the controls produce, so normal designs use the
// values exactly as given.
constexpr double kDefaultSampleRate = 44100.0;
constexpr double kMinFrequencyRatio = 2e-5;  // of the sample rate: 0.882 Hz at 44100
constexpr double kMaxFrequencyRatio = 0.49;
constexpr double kMinBandwidthOctaves = 0.01;
constexpr double kMaxBandwidthOctaves = 100.0;
constexpr double kMaxGainDb = 120.0;
// When a design comes out unstable or not finite (alpha so large that
// 1 − alpha/A rounds to −(1 + alpha/A), or sinh overflows), it is made again
// with the bandwidth term bounded by this; the response then differs by less
// than 0.01 dB. Designs that are fine keep the plain formula.
constexpr double kMaxSinhArgument = 16.0;

// Values that are not numbers at all take a neutral design value.
constexpr double kNeutralFrequencyHz = 1000.0;
constexpr double kNeutralBandwidthOctaves = 1.0;

double clampTo(double v, double lo, double hi, double ifNaN) {
    if (std::isnan(v)) v = ifNaN;
    if (v < lo) return lo;
    if (v > hi) return hi;
    return v;
}

bool allFinite(const BiquadCoefficients& c) {
    return std::isfinite(c.b0) && std::isfinite(c.b1) && std::isfinite(c.b2) &&
           std::isfinite(c.a1) && std::isfinite(c.a2) && std::isfinite(c.gain);
}

// The table of shapes, from the sine and cosine of w0 and the argument of
// the bandwidth term; the result may be unstable or not finite.
BiquadCoefficients shapeCoefficients(FilterType type, double gainDb, double s, double c, double arg) {
    const double A = std::pow(10.0, gainDb * 0.025);
    const double alpha = s * std::sinh(arg);
    const double beta = s * std::sqrt(2.0 * A);

    double b0, b1, b2, a0, a1, a2;
    switch (type) {
        case FilterType::Lowpass:
            b0 = (1.0 - c) / 2.0;
            b1 = 1.0 - c;
            b2 = (1.0 - c) / 2.0;
            a0 = 1.0 + alpha;
            a1 = -2.0 * c;
            a2 = 1.0 - alpha;
            break;
        case FilterType::Highpass:
            b0 = (1.0 + c) / 2.0;
            b1 = -(1.0 + c);
            b2 = (1.0 + c) / 2.0;
            a0 = 1.0 + alpha;
            a1 = -2.0 * c;
            a2 = 1.0 - alpha;
            break;
        case FilterType::Bandpass:
            b0 = alpha;
            b1 = 0.0;
            b2 = -alpha;
            a0 = 1.0 + alpha;
            a1 = -2.0 * c;
            a2 = 1.0 - alpha;
            break;
        case FilterType::Notch:
            b0 = 1.0;
            b1 = -2.0 * c;
            b2 = 1.0;
            a0 = 1.0 + alpha;
            a1 = -2.0 * c;
            a2 = 1.0 - alpha;
            break;
        case FilterType::Peaking:
            b0 = 1.0 + alpha * A;
            b1 = -2.0 * c;
            b2 = 1.0 - alpha * A;
            a0 = 1.0 + alpha / A;
            a1 = -2.0 * c;
            a2 = 1.0 - alpha / A;
            break;
        case FilterType::LowShelf:
            b0 = A * ((A + 1.0) - (A - 1.0) * c + beta);
            b1 = 2.0 * A * ((A - 1.0) - (A + 1.0) * c);
            b2 = A * ((A + 1.0) - (A - 1.0) * c - beta);
            a0 = (A + 1.0) + (A - 1.0) * c + beta;
            a1 = -2.0 * ((A - 1.0) + (A + 1.0) * c);
            a2 = (A + 1.0) + (A - 1.0) * c - beta;
            break;
        case FilterType::HighShelf:
            b0 = A * ((A + 1.0) + (A - 1.0) * c + beta);
            b1 = -2.0 * A * ((A - 1.0) + (A + 1.0) * c);
            b2 = A * ((A + 1.0) + (A - 1.0) * c - beta);
            a0 = (A + 1.0) - (A - 1.0) * c + beta;
            a1 = 2.0 * ((A - 1.0) - (A + 1.0) * c);
            a2 = (A + 1.0) - (A - 1.0) * c - beta;
            break;
        default:
            // Unknown shape: pass the signal unchanged.
            return BiquadCoefficients{};
    }

    BiquadCoefficients out;
    out.b0 = b0 / a0;
    out.b1 = b1 / a0;
    out.b2 = b2 / a0;
    out.a1 = a1 / a0;
    out.a2 = a2 / a0;
    out.gain = std::pow(10.0, gainDb * 0.05);
    return out;
}


// Both poles strictly inside the unit circle (and every value finite).
bool stable(const BiquadCoefficients& k) {
    return allFinite(k) && std::fabs(k.a2) < 1.0 && std::fabs(k.a1) < 1.0 + k.a2;
}

}  // namespace

BiquadCoefficients designCoefficients(FilterType type, double gainDb, double frequencyHz,
                                      double sampleRateHz, double bandwidthOctaves) {
    if (!(sampleRateHz > 0.0) || !std::isfinite(sampleRateHz)) sampleRateHz = kDefaultSampleRate;
    frequencyHz = clampTo(frequencyHz, sampleRateHz * kMinFrequencyRatio,
                          sampleRateHz * kMaxFrequencyRatio, kNeutralFrequencyHz);
    bandwidthOctaves = clampTo(bandwidthOctaves, kMinBandwidthOctaves, kMaxBandwidthOctaves,
                               kNeutralBandwidthOctaves);
    gainDb = clampTo(gainDb, -kMaxGainDb, kMaxGainDb, 0.0);

    const double w0 = kTwoPi * frequencyHz / sampleRateHz;
    const double s = std::sin(w0);
    const double c = std::cos(w0);
    const double arg = kHalfLn2 * bandwidthOctaves * w0 / s;
    BiquadCoefficients out = shapeCoefficients(type, gainDb, s, c, arg);
    if (!stable(out) && arg > kMaxSinhArgument) out = shapeCoefficients(type, gainDb, s, c, kMaxSinhArgument);
    if (!allFinite(out)) return BiquadCoefficients{};
    return out;
}

ReverseCascadeFilter& designFilter(ReverseCascadeFilter& filter, bool reset, FilterType type,
                                   double gainDb, double frequencyHz, double sampleRateHz,
                                   double bandwidthOctaves) {
    const BiquadCoefficients k =
        designCoefficients(type, gainDb, frequencyHz, sampleRateHz, bandwidthOctaves);
    filter.b0 = k.b0;
    filter.b1 = k.b1;
    filter.b2 = k.b2;
    filter.a1 = k.a1;
    filter.a2 = k.a2;
    filter.gain = k.gain;
    if (reset) resetFilter(filter);
    return filter;
}

void resetFilter(ReverseCascadeFilter& filter) {
    for (int c = 0; c < 2; ++c) {
        filter.state[c] = SectionState{};
        filter.indices[c].pending = 0;
        filter.indices[c].write = kBlockLength;
        filter.indices[c].read = 2 * kBlockLength;
        std::memset(filter.line[c], 0, sizeof filter.line[c]);
    }
}

void finishReverseCascadeBlock(ReverseCascadeFilter& filter, Channel channel, bool withGain) {
    const int ch = static_cast<int>(channel);
    BlockIndices& ix = filter.indices[ch];
    double* const line = filter.line[ch];
    // One snapshot of the coefficients for the whole block work.
    const double b0 = filter.b0, b1 = filter.b1, b2 = filter.b2, a1 = filter.a1, a2 = filter.a2;
    const double g = withGain ? filter.gain.load() : 1.0;

    const SectionState saved = filter.state[ch];
    SectionState s = saved;

    // Warm-up over the block just filled, newest first: settles the state
    // on one block of the signal that follows the pending block.
    const int writeStart = ix.write & kBlockStartMask;
    for (int j = ix.write; j >= writeStart; --j) forwardEquation(b0, b1, b2, a1, a2, s, line[j]);

    // Backward pass over the pending block, in place.
    const int pendingStart = ix.pending & kBlockStartMask;
    const int pendingEnd = ix.pending | kBlockOffsetMask;
    if (withGain) {
        for (int j = pendingEnd; j >= pendingStart; --j)
            line[j] = forwardEquation(b0, b1, b2, a1, a2, s, line[j]) * g;
    } else {
        for (int j = pendingEnd; j >= pendingStart; --j)
            line[j] = forwardEquation(b0, b1, b2, a1, a2, s, line[j]);
    }

    filter.state[ch] = saved;

    // Rotate: read-out block → write, filled block → pending, finished block → read.
    const uint16_t oldRead = ix.read, oldWrite = ix.write, oldPending = ix.pending;
    ix.read = oldPending & kBlockStartMask;
    ix.write = oldRead & kBlockStartMask;
    ix.pending = oldWrite & kBlockStartMask;
}

}  // namespace qx

namespace qx {

void finishReverseCascadeBlockPair(ReverseCascadeFilter& filter, bool withGain) {
    const BlockIndices ix = filter.indices[0];
    double* const lineL = filter.line[0];
    double* const lineR = filter.line[1];
    const double b0 = filter.b0, b1 = filter.b1, b2 = filter.b2, a1 = filter.a1, a2 = filter.a2;
    const double g = withGain ? filter.gain.load() : 1.0;
    // Copies: the forward states come out as they went in.
    SectionState sL = filter.state[0];
    SectionState sR = filter.state[1];

    const int writeStart = ix.write & kBlockStartMask;
    for (int j = ix.write; j >= writeStart; --j) {
        forwardEquation(b0, b1, b2, a1, a2, sL, lineL[j]);
        forwardEquation(b0, b1, b2, a1, a2, sR, lineR[j]);
    }
    const int pendingStart = ix.pending & kBlockStartMask;
    const int pendingEnd = ix.pending | kBlockOffsetMask;
    if (withGain) {
        for (int j = pendingEnd; j >= pendingStart; --j) {
            lineL[j] = forwardEquation(b0, b1, b2, a1, a2, sL, lineL[j]) * g;
            lineR[j] = forwardEquation(b0, b1, b2, a1, a2, sR, lineR[j]) * g;
        }
    } else {
        for (int j = pendingEnd; j >= pendingStart; --j) {
            lineL[j] = forwardEquation(b0, b1, b2, a1, a2, sL, lineL[j]);
            lineR[j] = forwardEquation(b0, b1, b2, a1, a2, sR, lineR[j]);
        }
    }

    for (BlockIndices& channel : filter.indices) {
        channel.read = ix.pending & kBlockStartMask;
        channel.write = ix.read & kBlockStartMask;
        channel.pending = ix.write & kBlockStartMask;
    }
}

}  // namespace qx
