#include "filters/reverse_cascade.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/vector_clones.h"

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
        filter.indices[c].read = 2 * kBlockLength;
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

    // Rotate: read-out block → write, filled block → pending, finished block → read.
    const uint16_t oldRead = ix.read, oldWrite = ix.write, oldPending = ix.pending;
    ix.read = oldPending & kBlockStartMask;
    ix.write = oldRead & kBlockStartMask;
    ix.pending = oldWrite & kBlockStartMask;
}

namespace {

// One lane per channel of a block pass over channels whose positions agree.
// The lanes run the forward equation side by side in vector registers, each
// with its own coefficients and state, so every sample is computed exactly as
// by the channel's own block work.
template <int L>
struct LaneVector;
template <>
struct LaneVector<2> {
    using Type = LanePair;
};
template <>
struct LaneVector<4> {
    typedef double Type __attribute__((vector_size(32)));
};

template <int L>
struct LanePass {
    using V = typename LaneVector<L>::Type;
    using Pair = LanePair;
    double (*lines[L / 2])[2];  // per filter: both channels side by side
    SectionState states[L];  // copies: the forward states come out as they went in
    V b0, b1, b2, a1, a2, g;

    void addFilter(int lane, ReverseCascadeFilter& filter, bool withGain) {
        const ActiveDesign& d = filter.active;
        const double fb0 = d.b0[0], fb1 = d.b1[0], fb2 = d.b2[0], fa1 = d.a1[0], fa2 = d.a2[0];
        const double fg = withGain ? d.gain[0] : 1.0;
        lines[lane / 2] = filter.line;
        for (int c = 0; c < 2; ++c) {
            states[lane + c] = channelState(filter.state, c);
            b0[lane + c] = fb0;
            b1[lane + c] = fb1;
            b2[lane + c] = fb2;
            a1[lane + c] = fa1;
            a2[lane + c] = fa2;
            g[lane + c] = fg;
        }
    }

    // Sample j of every lane, and back.
    QX_INLINE void load(int j, V& x) const {
        if constexpr (L == 2) {
            std::memcpy(&x, lines[0][j], sizeof x);
        } else {
            Pair a, b;
            std::memcpy(&a, lines[0][j], sizeof a);
            std::memcpy(&b, lines[1][j], sizeof b);
            x = __builtin_shufflevector(a, b, 0, 1, 2, 3);
        }
    }
    QX_INLINE void store(int j, const V& x) const {
        if constexpr (L == 2) {
            std::memcpy(lines[0][j], &x, sizeof x);
        } else {
            // The upper half stored by the extracting instruction itself.
            std::memcpy(lines[0][j], &x, sizeof(Pair));
            std::memcpy(lines[1][j], reinterpret_cast<const unsigned char*>(&x) + sizeof(Pair), sizeof(Pair));
        }
    }

    // The forward equation of every lane on sample j; the result becomes y1.
    // With WithGain, Out writes it back times the gain, else as it is.
    template <bool Out, bool WithGain>
    QX_INLINE void advance(int j, V& x1, V& x2, V& y1, V& y2) const {
        V x;
        load(j, x);
        const V y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        if (Out) store(j, WithGain ? y * g : y);
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
    }

    // The same on samples j and j - 1. Each old state value's last product
    // comes before the load or result that replaces it, so every value can
    // stay in its register across the loop: no moves between the samples.
    template <bool Out, bool WithGain>
    QX_INLINE void advanceTwo(int j, V& x1, V& x2, V& y1, V& y2) const {
        const V b2x2 = b2 * x2;
        V xa;
        load(j, xa);
        const V a2y2 = a2 * y2;
        const V ya = b0 * xa + b1 * x1 + b2x2 - a1 * y1 - a2y2;
        if (Out) store(j, WithGain ? ya * g : ya);
        const V b2x1 = b2 * x1;
        V xb;
        load(j - 1, xb);
        const V a2y1 = a2 * y1;
        const V yb = b0 * xb + b1 * xa + b2x1 - a1 * ya - a2y1;
        if (Out) store(j - 1, WithGain ? yb * g : yb);
        x2 = xa;
        x1 = xb;
        y2 = ya;
        y1 = yb;
    }

    // Samples from `first` down to `last`.
    template <bool Out, bool WithGain>
    QX_INLINE void pass(int first, int last, V& x1, V& x2, V& y1, V& y2) const {
        int j = first;
        for (; j > last; j -= 2) advanceTwo<Out, WithGain>(j, x1, x2, y1, y2);
        if (j == last) advance<Out, WithGain>(j, x1, x2, y1, y2);
    }

    // The copied forward states, lane by lane.
    QX_INLINE void startStates(V& x1, V& x2, V& y1, V& y2) const {
        for (int e = 0; e < L; ++e) {
            x1[e] = states[e].x1;
            x2[e] = states[e].x2;
            y1[e] = states[e].y1;
            y2[e] = states[e].y2;
        }
    }

    template <bool WithGain>
    QX_INLINE void run(const BlockIndices& ix) {
        V x1, x2, y1, y2;
        startStates(x1, x2, y1, y2);
        // Warm-up over the block just filled, newest first; then the backward
        // pass over the pending block, in place.
        pass<false, WithGain>(ix.write, ix.write & kBlockStartMask, x1, x2, y1, y2);
        pass<true, WithGain>(ix.pending | kBlockOffsetMask, ix.pending & kBlockStartMask, x1, x2, y1, y2);
    }

    QX_INLINE void run(const BlockIndices& ix, bool withGain) {
        if (withGain)
            run<true>(ix);
        else
            run<false>(ix);
    }
};

// Rotate: read-out block -> write, filled block -> pending, finished block -> read.
BlockIndices rotated(const BlockIndices& ix) {
    return {static_cast<uint16_t>(ix.write & kBlockStartMask), static_cast<uint16_t>(ix.read & kBlockStartMask),
            static_cast<uint16_t>(ix.pending & kBlockStartMask)};
}

}  // namespace

QX_VECTOR_CLONES
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

QX_VECTOR_CLONES
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

constexpr int kMostWaiting = 8;

// G groups of two waiting filters, four lanes each, stepped row by row side
// by side; an odd filter fills both halves of the last group (its lanes
// compute and store the same values twice). Every filter waits at its block's
// last frame, so each pass covers all 4096 rows of a block: the rows stand at
// the same offsets from each filter's own block starts.
template <int G>
QX_INLINE void runWaitingGroups(ReverseCascadeFilter* const* waiting, int count) {
    using V = LaneVector<4>::Type;
    LanePass<4> groups[G];
    V x1[G], x2[G], y1[G], y2[G];
    ReverseCascadeFilter* pairs[G][2];
    for (int k = 0; k < G; ++k) {
        pairs[k][0] = waiting[2 * k];
        pairs[k][1] = waiting[2 * k + 1 < count ? 2 * k + 1 : 2 * k];
        // Without gain a lane multiplies by 1, which changes no value.
        for (int h = 0; h < 2; ++h) groups[k].addFilter(2 * h, *pairs[k][h], pairs[k][h]->wait.withGain);
        groups[k].startStates(x1[k], x2[k], y1[k], y2[k]);
    }
    const auto aim = [&](uint16_t BlockIndices::*block) {
        for (int k = 0; k < G; ++k)
            for (int h = 0; h < 2; ++h)
                groups[k].lines[h] = pairs[k][h]->line + ((pairs[k][h]->indices[0].*block) & kBlockStartMask);
    };
    const auto rows = [&]<bool Out>() QX_INLINE_LAMBDA {
        for (int j = kBlockOffsetMask; j > 0; j -= 2)
            for (int k = 0; k < G; ++k) groups[k].template advanceTwo<Out, true>(j, x1[k], x2[k], y1[k], y2[k]);
    };
    // Warm-up over the blocks just filled, then the backward pass over the
    // pending blocks, in place.
    aim(&BlockIndices::write);
    rows.template operator()<false>();
    aim(&BlockIndices::pending);
    rows.template operator()<true>();
}

QX_VECTOR_CLONES void runWaitingBlocks(ReverseCascadeFilter* const* waiting, int count) {
    switch ((count + 1) / 2) {
        case 1: runWaitingGroups<1>(waiting, count); break;
        case 2: runWaitingGroups<2>(waiting, count); break;
        case 3: runWaitingGroups<3>(waiting, count); break;
        default: runWaitingGroups<4>(waiting, count); break;
    }
}

}  // namespace

int32_t allowBlockEndWaits(ReverseCascadeFilter* const* filters, int count, int32_t frames) {
    int32_t first = frames;
    const auto framesToEnd = [](const ReverseCascadeFilter& f) {
        return static_cast<int32_t>(kBlockOffsetMask - (f.indices[0].write & kBlockOffsetMask));
    };
    for (int i = 0; i < count; ++i)
        if (inLockStep(*filters[i])) first = std::min(first, framesToEnd(*filters[i]));
    if (first >= frames) return frames;
    for (int i = 0; i < count; ++i)
        filters[i]->wait.allowed = inLockStep(*filters[i]) && framesToEnd(*filters[i]) == first;
    return first;
}

void finishWaitingBlocks(ReverseCascadeFilter* const* filters, int count) {
    ReverseCascadeFilter* waiting[kMostWaiting];
    int n = 0;
    const auto run = [&] {
        runWaitingBlocks(waiting, n);
        for (int i = 0; i < n; ++i) {
            ReverseCascadeFilter& f = *waiting[i];
            f.indices[0] = f.indices[1] = rotated(f.indices[0]);
            f.wait = {};
        }
        n = 0;
    };
    for (int i = 0; i < count; ++i) {
        ReverseCascadeFilter& f = *filters[i];
        f.wait.allowed = false;
        if (!f.wait.waiting) continue;
        waiting[n++] = &f;
        if (n == kMostWaiting) run();
    }
    if (n > 0) run();
}

}  // namespace qx
