#include "filters/reverse_cascade.h"

#include <cmath>
#include <cstring>

#include "base/vector_clones.h"
#include "filters/waiting_rows.h"

namespace qx {
QX_FRAME_VARIANT_BEGIN

namespace {

constexpr double kRadiansPerCycle = 6.283185307179586;
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

    const double w0 = kRadiansPerCycle * frequencyHz / sampleRateHz;
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
    if (reset) {
        resetFilter(filter);
        takeDesign(filter);
    }
    return filter;
}

void resetFilter(ReverseCascadeFilter& filter) {
    filter.state = SectionStates{};
    for (int c = 0; c < 2; ++c) {
        filter.indices[c].pending = 0;
        filter.indices[c].write = kBlockLength;
        filter.indices[c].read = kBlockLength;
    }
    std::memset(filter.line, 0, sizeof filter.line);
}

void finishReverseCascadeBlock(ReverseCascadeFilter& filter, Channel channel, bool withGain) {
    const int ch = static_cast<int>(channel);
    BlockIndices& ix = filter.indices[ch];
    const ActiveDesign& d = filter.active;
    const double b0 = d.b0[0], b1 = d.b1[0], b2 = d.b2[0], a1 = d.a1[0], a2 = d.a2[0];
    const double g = withGain ? d.gain[0] : 1.0;

    // A copy: the forward state comes out of the block work as it went in.
    SectionState s = channelState(filter.state, ch);

    // Warm-up over the block just filled, newest first: settles the state
    // on one block of the signal that follows the pending block.
    const int writeStart = ix.write & kBlockStartMask;
    for (int j = ix.write; j >= writeStart; --j) forwardEquation(b0, b1, b2, a1, a2, s, filter.line[j][ch]);

    // Backward pass over the pending block, in place.
    const int pendingStart = ix.pending & kBlockStartMask;
    const int pendingEnd = ix.pending | kBlockOffsetMask;
    if (withGain) {
        for (int j = pendingEnd; j >= pendingStart; --j)
            filter.line[j][ch] = forwardEquation(b0, b1, b2, a1, a2, s, filter.line[j][ch]) * g;
    } else {
        for (int j = pendingEnd; j >= pendingStart; --j)
            filter.line[j][ch] = forwardEquation(b0, b1, b2, a1, a2, s, filter.line[j][ch]);
    }

    ix = rotated(ix);
}

void finishReverseCascadeBlockPair(ReverseCascadeFilter& filter, bool withGain) {
    if (filter.wait.allowed) {
        filter.wait.waiting = true;
        filter.wait.withGain = withGain;
        return;
    }
    const BlockIndices ix = filter.indices[0];
    LanePass<2> pass;
    pass.addFilter(0, filter, withGain);
    pass.run(ix, withGain);
    filter.indices[0] = filter.indices[1] = rotated(ix);
}

void finishReverseCascadeBlockQuad(ReverseCascadeFilter& first, ReverseCascadeFilter& second, bool withGain) {
    if (first.wait.allowed && second.wait.allowed) {
        for (ReverseCascadeFilter* f : {&first, &second}) {
            f->wait.waiting = true;
            f->wait.withGain = withGain;
        }
        return;
    }
    const BlockIndices ix = first.indices[0];
    LanePass<4> pass;
    pass.addFilter(0, first, withGain);
    pass.addFilter(2, second, withGain);
    pass.run(ix, withGain);
    first.indices[0] = first.indices[1] = second.indices[0] = second.indices[1] = rotated(ix);
}

namespace {

template <int G>
QX_INLINE void runWaitingGroups(const WaitingRows& waiting) {
    // A copy whose states can live in registers.
    WaitingRows rows = waiting;
    for (int j = kBlockOffsetMask; j > 0; j -= 2) rows.twoRows<false, G>(j);
    for (int j = kBlockOffsetMask; j > 0; j -= 2) rows.twoRows<true, G>(j);
}

}  // namespace

void runWaitingRows(WaitingRows& rows) {
    switch (rows.groups) {
        case 1: runWaitingGroups<1>(rows); break;
        case 2: runWaitingGroups<2>(rows); break;
        case 3: runWaitingGroups<3>(rows); break;
        default: runWaitingGroups<4>(rows); break;
    }
}

int32_t framesToBlockEnd(const ReverseCascadeFilter& filter) {
    return inLockStep(filter) ? stepsToBlockEnd(filter.indices[0]) : INT32_MAX;
}

void takeWaitingFilter(ReverseCascadeFilter& filter, WaitingRows& rows) {
    filter.wait.allowed = false;
    if (!filter.wait.waiting || rows.add(filter)) return;
    // Past the most one batch takes: at once.
    const bool withGain = filter.wait.withGain;
    filter.wait = {};
    finishReverseCascadeBlockPair(filter, withGain);
}

QX_FRAME_VARIANT_END
}  // namespace qx
