#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <memory>

#include "base/vector_clones.h"
#include "engine/band_mix.h"
#include "engine/chain.h"
#include "engine/coefficient_guards.h"
#include "engine/frame_pipeline.h"
#include "engine/sine.h"
#include "filters/reverse_cascade.h"

#if !defined(QX_FRAME_VARIANT_AVX2) && !defined(QX_FRAME_VARIANT_AVX512) && defined(QX_FRAME_COPY_AVX2)
#define QX_PASSES_TO_WIDER_COPIES 1
// The wider copies' entry points (see base/frame_variant.h).
#define QX_FRAME_ENTRY_POINTS                                                                                 \
    int32_t processBlock(int16_t* samples, int32_t frames, int32_t bits, int32_t channels, int32_t rate,     \
                         ChainState& state);                                                                \
    int32_t processFloatBlock(float* left, float* right, int32_t frames, int32_t channels, ChainState& state); \
    bool runBlockStream(ChainState& state, int32_t channels, SecondThread* thread, const BlockStreamHooks& hooks);
namespace qx::frame_avx2 {
QX_FRAME_ENTRY_POINTS
}  // namespace qx::frame_avx2
#if defined(QX_FRAME_COPY_AVX512)
namespace qx::frame_avx512 {
QX_FRAME_ENTRY_POINTS
}  // namespace qx::frame_avx512
#define QX_ON_AVX512(call) \
    case FrameCopy::Avx512: return frame_avx512::call;
#else
#define QX_ON_AVX512(call)
#endif
// Hands an entry point's call to the copy chosen for the block, unless that
// is the baseline (this copy).
#define QX_PASS_TO_WIDER_COPY(state, call)             \
    switch (widestCopyRun(state)) {                    \
        QX_ON_AVX512(call)                             \
        case FrameCopy::Avx2: return frame_avx2::call; \
        default: break;                                \
    }
#else
#define QX_PASS_TO_WIDER_COPY(state, call)
#endif

namespace qx {
QX_FRAME_VARIANT_BEGIN
namespace {

constexpr double kInputScale = 1.0 / 32768.0;
constexpr double kOutputScale = 32768.0;
constexpr double kClampLimit = 0.9999;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kSineStepPerHz = 0.00014247585730565955;  // 2 pi / 44100
constexpr double kRandomScale = 3.051850947599719e-05;     // 1 / 32767
constexpr double kTinyStep = 1.0 / 8388608.0;              // 2^-23: half a 16-bit step spans 128 of these
constexpr double kMeterDecayPerFrame = 0.01;
constexpr double kClipMeterDecayPerFrame = 0.00005;
constexpr int32_t kZeroRunLimit = 100;
constexpr uint32_t kPollIntervalMs = 2000;
constexpr uint32_t kGapMs = 6000;

struct Frame {
    double left;
    double right;
};

// Everything derived from parameters once per block; the stages add their own
// coefficient records here so a frame never reads a numeric parameter.
struct BlockCoefficients {
    double driveGain = 1.0;
    double postGain = 1.0;
    double testGain = 0.0;
    double sineStep = 0.0;
    int32_t bandCount = 0;
    double clipMeterDecay = 0.0;
    StereoImageCoefficients stereoImage;
    AgcCoefficients agc;
    ThreeBandCoefficients threeBand;
    DynamicEqCoefficients dynamicEq;
    CompressorCoefficients compressor;
    ExpanderCoefficients expander;
    BandLimiterCoefficients bandLimiter;
    SaturatorCoefficients saturator;
    BandEqCoefficients bandEq;
    FinalLimiterCoefficients finalLimiter;
    FinalClipperCoefficients finalClipper;
    // Whether the frame path's stereo filters run in lock-step, taken after
    // any reset: only the frame steps move them, both channels alike. The
    // parametric sections each on their own, as the second may rest.
    bool highpassLocked = false;
    bool parametricLocked[2] = {};
    bool lowpassLocked = false;  // both sections, always stepped together
    // The parametric sections also at the same positions as each other: so
    // from the block start until a frame runs the first one alone, when the
    // frame clears it (the one value a frame changes here).
    bool parametricSeriesLocked = false;
};

// Published values are accumulated here and stored once at the end of the
// block, so the console never sees a half-updated meter sequence.
struct BlockMeters {
    double input;
    double output;
    double outputPeak;
    bool clipped;
    uint16_t scopeIndex;
};

uint32_t readTicks(const ChainState& state) {
    return state.tickCount ? state.tickCount(state.tickContext) : 0;
}

// A gain that is not a finite number (a corrupt parameter) must not poison the
// audio with inf or NaN; it leaves the signal unchanged instead.
double finiteOr(double value, double fallback) { return std::isfinite(value) ? value : fallback; }

// Drive and post amp: held within +-200 dB like every other level, so a huge
// stored value cannot overflow the detectors; a non-finite one counts as unity.
double blockGain(double db) { return std::isfinite(db) ? guard::gain(db) : 1.0; }

BlockGains blockGains(const GeneralParams& general) {
    return {blockGain(general.densityDriveDb), blockGain(general.postAmpDb)};
}

double testSignalGain(const Number& levelDb) { return finiteOr(dbToGain(levelDb), 0.0); }

void restoreIfNonFinite(double& value, double loadValue) {
    if (!std::isfinite(value)) value = loadValue;
}

// Envelopes and gains survive gap resets and preset loads, so one that has
// become infinite or NaN would keep the chain silent for good: such a value
// starts over from its load value instead. One function per half of the chain.
void restoreNonFiniteFront(ChainState& s) {
    for (double* v : {&s.stereoImage.power, &s.stereoImage.average, &s.stereoImage.width, &s.agc.powerLow,
                      &s.agc.powerHigh, &s.agc.powerOut, &s.agc.gainLow, &s.agc.gainHigh, &s.agc.protection})
        restoreIfNonFinite(*v, 0.0);
    for (int i = 0; i < kMaxBands; ++i)
        for (double* v : {&s.dynamicEq.power[i], &s.dynamicEq.gain[i], &s.compressor.envelope[i],
                          &s.compressor.gain[i]})
            restoreIfNonFinite(*v, 0.0);
}

void restoreNonFiniteBack(ChainState& s) {
    restoreIfNonFinite(s.finalClipper.depth, 0.0);
    for (int i = 0; i < kMaxBands; ++i) {
        for (double* v : {&s.expander.envelope[i], &s.expander.gain[i], &s.saturator.depth[i],
                          &s.bandLimiter.envelope[i], &s.bandLimiter.gain[i]})
            restoreIfNonFinite(*v, 0.0);
        restoreIfNonFinite(s.bandLimiter.held[i], 1.0);
        restoreIfNonFinite(s.bandLimiter.minimum[i], 1.0);
    }
    LimiterInstance& limiter = s.finalLimiter.instance;
    restoreIfNonFinite(limiter.envelope, 0.0);
    restoreIfNonFinite(limiter.gain, 0.0);
    restoreIfNonFinite(limiter.hold.held, 1.0);
    restoreIfNonFinite(limiter.hold.minimum, 1.0);
}

double tinyRandomOffset(Random& random) { return ((random.next() & 255) - 128) * kTinyStep; }

void addToBoth(Frame& f, double v) {
    f.left += v;
    f.right += v;
}

void applyGain(Frame& f, double gain) {
    f.left *= gain;
    f.right *= gain;
}

double monoOf(const Frame& f) { return (f.left + f.right) / 2.0; }

void updateLevelMeter(double& meter, double level) {
    const double held = meter;
    double v = std::fabs(level) * 100.0;
    v = pickWhereLess(v, held, held - kMeterDecayPerFrame, v);
    meter = std::max(v, 0.0);
}

double advancePhase(double phase, double step) {
    phase += step;
    if (phase > kTwoPi) {
        phase -= kTwoPi;
        // Only test frequencies beyond the sample rate step more than a turn.
        if (phase > kTwoPi) phase = std::fmod(phase, kTwoPi);
    } else if (phase < -kTwoPi) {
        phase = std::fmod(phase, kTwoPi);
    }
    return phase;
}

// A record whose address is formed afresh in each frame: left to itself the
// compiler keeps one address per switch of the record on the stack, a load
// more per test.
template <class T>
QX_INLINE T& freshly(T& record) {
    T* p = &record;
    asm("" : "+r"(p));
    return *p;
}

QX_INLINE void mixTestSignals(Frame& f, const BlockCoefficients& c, ChainState& chain) {
    ChainState& state = freshly(chain);
    if (state.inputMute) f = {0.0, 0.0};
    if (state.sineOn) {
        addToBoth(f, portableSine(state.sinePhase) * c.testGain);
        state.sinePhase = advancePhase(state.sinePhase, c.sineStep);
    }
    if (state.noiseOn) addToBoth(f, (state.random.next() * kRandomScale - 0.5) * c.testGain * 2.0);
}

// Filters and envelopes must never settle on exact silence (denormals, stuck
// detectors), so a long run of exact zeros gets a sub-LSB random offset.
void guardZeroRun(Frame& f, ChainState& state) {
    // Both tests in one vector compare.
    if (eitherLane(LanePair{f.left, f.right} == LanePair{0.0, 0.0})) {
        if (state.zeroRun < std::numeric_limits<int32_t>::max()) ++state.zeroRun;
        if (state.zeroRun > kZeroRunLimit) addToBoth(f, tinyRandomOffset(state.random));
    } else {
        state.zeroRun = 0;
    }
}

// Both channels side by side: the clip test and the clamp become compares and
// blends. Each sample gets the limit it reaches, NaN becomes 0, anything else
// passes unchanged.
QX_INLINE void clampFrame(Frame& f, bool& clipped) {
    const LanePair v = {f.left, f.right};
    const LanePair limit = {kClampLimit, kClampLimit};
    const LanePair zero = {0.0, 0.0};
    // |v| >= limit is v >= limit or v <= -limit.
    clipped |= eitherLane(LanePair{std::fabs(v[0]), std::fabs(v[1])} >= limit);
    // v < -limit ? -limit : v, then v > limit ? limit : v; a value at a
    // limit is that limit either way.
    const LanePair out = minLanes(limit, maxLanes(-limit, v == v ? v : zero));
    f.left = out[0];
    f.right = out[1];
}

int16_t toSample(double v) { return static_cast<int16_t>(v * kOutputScale); }

// What a block's start decides, with the values read before anything else.
struct BlockStart {
    bool run = false;    // false: the block passes untouched
    bool reset = false;  // the stages restart after a gap or a preset load
    double driveGain = 1.0;
    double postGain = 1.0;
    int32_t bandCount = 0;
    BandDetectors detectors;  // shared by the band stages of both halves
};

// A stage's coefficients, kept in its memo from block to block: computed by
// f(parameters) ...
template <class P, class C>
const C& kept(CoefficientMemo<P, NoKey, C>& memo, const P& params, C (&f)(const P&)) {
    return memo.take(params, NoKey{}, [&](const P& snapshot, NoKey) { return f(snapshot); });
}

// ... by f(parameters, band count) ...
template <class P, class C>
const C& kept(CoefficientMemo<P, CountKey, C>& memo, const P& params, int32_t bandCount, C (&f)(const P&, int32_t)) {
    return memo.take(params, CountKey{bandCount},
                     [&](const P& snapshot, const CountKey& key) { return f(snapshot, key.bandCount); });
}

// ... or by f(parameters, detectors, band count).
template <class P, class C>
const C& kept(CoefficientMemo<P, BandKey, C>& memo, const P& params, const BandKey& key,
              C (&f)(const P&, const BandDetectors&, int32_t)) {
    return memo.take(params, key,
                     [&](const P& snapshot, const BandKey& k) { return f(snapshot, k.detectors, k.bandCount); });
}

// The block's coefficients of the stages in the chain's first half ...
void prepareFront(BlockCoefficients& c, ChainState& state, const BlockStart& b) {
    const int32_t bandCount = b.bandCount;
    c.driveGain = b.driveGain;
    c.bandCount = bandCount;
    c.testGain = kept(state.frontMemos.testGain, state.testLevelDb, testSignalGain);
    c.sineStep = finiteOr(state.testFrequencyHz * kSineStepPerHz, 0.0);
    const Parameters& p = state.params;
    FrontMemos& memos = state.frontMemos;
    c.stereoImage = kept(memos.stereoImage, p.stereoImage, stereoImageCoefficients);
    c.agc = kept(memos.agc, p.agc, agcParameterCoefficients);
    takeCrossover(c.agc, state.agcLowpass, state.agcHighpass);
    c.threeBand = threeBandCoefficients(state.threeBandLeft, state.threeBandRight);
    c.highpassLocked = inLockStep(state.highpass);
    for (int i = 0; i < 2; ++i) c.parametricLocked[i] = inLockStep(state.parametric[i]);
    c.parametricSeriesLocked = c.parametricLocked[0] && c.parametricLocked[1] &&
                               samePositions(state.parametric[0], state.parametric[1]);
    const BandKey bands{b.detectors, bandCount};
    c.dynamicEq = kept(memos.dynamicEq, p.dynamicEq, bands, dynamicEqCoefficients);
    c.compressor = kept(memos.compressor, p.compressor, bands, compressorCoefficients);
}

// ... and of those in its second half (the saturator's also restart its
// block peaks).
void prepareBack(BlockCoefficients& c, ChainState& state, const BlockStart& b, int32_t frames, int32_t channels) {
    const int32_t bandCount = b.bandCount;
    c.postGain = b.postGain;
    c.bandCount = bandCount;
    c.clipMeterDecay = (frames / channels) * kClipMeterDecayPerFrame;
    const Parameters& p = state.params;
    BackMemos& memos = state.backMemos;
    const BandKey bands{b.detectors, bandCount};
    c.expander = kept(memos.expander, p.expander, bands, expanderCoefficients);
    c.bandLimiter = kept(memos.bandLimiter, p.limiter, bands, bandLimiterCoefficients);
    startBandLimiterBlock(state.bandLimiter);
    c.saturator = kept(memos.saturator, p.saturator, bandCount, saturatorCoefficients);
    startSaturatorBlock(state.saturator);
    c.bandEq = bandEqCoefficients(state.tenBandEqGains, bandCount);
    c.finalLimiter = kept(memos.finalLimiter, p.finalLimiter, finalLimiterCoefficients);
    c.finalClipper = kept(memos.finalClipper, p.finalClipper, finalClipperCoefficients);
    c.lowpassLocked = pairInLockStep(state.lowpass[0], state.lowpass[1]);
}

QX_INLINE void reverseCascade(ReverseCascadeFilter& filter, bool locked, Frame& f, bool withGain) {
    if (locked)
        lockedStereoStep(filter, f.left, f.right, withGain);
    else
        reverseCascadeStereoStep(filter, f.left, f.right, withGain);
}

// What the first half of the chain hands to the second for one frame: the
// wideband frame, or the band signals while the multiband processor runs, and
// the frame's dither, drawn by the first half so that only one thread draws
// random numbers, in the order one thread drew them. Within a half, the
// frame's record in the pipeline also carries what the first steps of the
// stages taking several leave for their later ones.
struct HalfFrame {
    Frame f;
    bool inBands;
    bool dithered;
    // Whether a stage's later steps have parts to run, as its first step found.
    bool agcSplit;
    bool compressorSplit;
    bool dynamicEqSplit;
    bool expanderSplit;
    bool finalLimiterSplit;
    bool stereoImageSplit;
    bool stereoMono;  // the mono switch as the stereo image's first step read it
    double dither;
    AgcHalfway agc;
    BandSignals bands;
};

// A band stage's frame and, on the meter frame, its meters, as bandStep does,
// with the records named by member: for the meters their addresses are formed
// afresh, so none is kept on the stack across the step's call.
template <class State, class Coefficients>
QX_INLINE void chainBandStep(void (&step)(State&, const Coefficients&, BandSignals&),
                             void (&publish)(const State&, const Coefficients&, Number*),
                             State ChainState::*stage, Coefficients BlockCoefficients::*coefficients,
                             Number (ChainState::*meters)[kMaxBands], ChainState& state, const BlockCoefficients& c,
                             BandSignals& bands, bool meterFrame) {
    step(state.*stage, c.*coefficients, bands);
    if (meterFrame) {
        ChainState& s = freshly(state);
        publish(s.*stage, freshly(c).*coefficients, s.*meters);
    }
}

// Block-end meters of the stages, in their fixed order, for the active ones.
void publishFrontMeters(ChainState& state, const BlockCoefficients& c) {
    const Parameters& p = state.params;
    const GeneralParams& general = p.general;
    state.stereoWidth = state.stereoImage.width;
    if (general.stereoImageActive) stereoImageBlockEnd(state.stereoImage, p.stereoImage, state.stereoEnhanceMeter);
    if (general.agcActive) agcBlockEnd(state.agc, c.agc, p.agc, state.agcMeters);
}

void publishBackMeters(ChainState& state, const BlockCoefficients& c) {
    const GeneralParams& general = state.params.general;
    if (general.finalClipperActive)
        finalClipperBlockEnd(state.finalClipper, c.finalClipper, c.clipMeterDecay, state.finalClipperMeter);
    // Keyed to the saturator's own switch: with the processor off the stage
    // clipped nothing, so its meters fall back to 0 dB at once.
    if (general.saturatorActive) saturatorBlockEnd(state.saturator, c.saturator, state.saturatorMeters);
}

// The fixed stage order, one step of the frame pipeline (pipelineFrames) per
// stage or part of one, so that every few instructions there is work that
// waits on nothing before it. The first half of the chain is the steps before
// kFrontStages; the halves share no state but the frame they hand on (the
// dither's switch too is read by the first half). Stage Active flags and the
// per-frame switches are read on every frame, so the console can toggle them
// mid-block. The stages whose roots and quotients wait longest take several
// steps, each part handing the next what it needs: the stereo image (its
// detector, its width target, its output), the AGC (its detectors, its
// targets, its gains, its protection's target, its protection), the dynamic
// EQ (its weights, then their mean and application), the compressor (its
// levels, its targets, then its gains), the expander (its levels, its
// targets, its gains) and the final limiter (its target, then its gain and
// output).
// The multiband processor splits in kSplit and sums its bands in kRecombine;
// the density drive acts per band in kDynamicEqApply, after the dynamic EQ.
enum ChainStep : int {
    kInput,
    kStereoDetect,
    kStereoTarget,
    kStereoApply,
    kAgcDetect,
    kAgcTarget,
    kAgcGains,
    kAgcProtectTarget,
    kAgcProtect,
    kThreeBandEq,
    kParametricEq,
    kSplit,
    kDynamicEqWeigh,
    kDynamicEqApply,
    kCompressorLevels,
    kCompressorTargets,
    kCompressorGains,
    kExpanderLevels,
    kExpanderTargets,
    kExpanderGains,
    kBandLimiter,
    kSaturator,
    kRecombine,
    kFinalLimiterTarget,
    kFinalLimiterApply,
    kFinalClipper,
    kOutput,
    kChainStages,
    kFrontStages = kExpanderLevels,
};

template <int Stage>
QX_INLINE void chainStage(HalfFrame& h, BlockCoefficients& c, bool meterFrame, BlockMeters& meters,
                         ChainState& state) {
    const Parameters& p = state.params;
    const GeneralParams& general = freshly(state.params.general);
    Frame& f = h.f;
    BandSignals& bands = h.bands;
    // A band stage runs while the frame is in bands and the stage is on.
    const auto bandStage = [&](bool active, auto step, auto publish, auto stage, auto coefficients,
                               auto stageMeters) QX_INLINE_LAMBDA {
        if (h.inBands && active)
            chainBandStep(*step, *publish, stage, coefficients, stageMeters, state, c, bands, meterFrame);
    };
    if constexpr (Stage == kInput) {
        // A copy that no call sees, so the switch reads between the steps
        // need not pass it through memory.
        Frame in = f;
        mixTestSignals(in, c, state);
        guardZeroRun(in, state);
        h.dithered = general.ditherActive != 0;
        if (h.dithered) h.dither = tinyRandomOffset(state.random);
        updateLevelMeter(meters.input, monoOf(in));
        if (general.highpassActive) reverseCascade(state.highpass, c.highpassLocked, in, true);
        f = in;
    } else if constexpr (Stage == kStereoDetect) {
        h.stereoImageSplit = general.stereoImageActive != 0;
        h.stereoMono = p.stereoImage.mono.load() != 0;
        if (h.stereoImageSplit)
            stereoImageDetect(state.stereoImage, c.stereoImage, state.stereoHighpass, h.stereoMono, f.left, f.right);
    } else if constexpr (Stage == kStereoTarget) {
        if (h.stereoImageSplit) stereoImageTarget(state.stereoImage, c.stereoImage, h.stereoMono);
    } else if constexpr (Stage == kStereoApply) {
        if (h.stereoImageSplit) stereoImageApply(state.stereoImage, c.stereoImage, h.stereoMono, f.left, f.right);
    } else if constexpr (Stage == kAgcDetect) {
        h.agcSplit = general.agcActive && agcDetect(state.agc, c.agc, p.agc, state.agcLowpass, state.agcHighpass,
                                                    f.left, f.right, h.agc);
    } else if constexpr (Stage == kAgcTarget) {
        if (h.agcSplit) agcTarget(c.agc, h.agc);
    } else if constexpr (Stage == kAgcGains) {
        if (h.agcSplit) agcApply(state.agc, c.agc, h.agc);
    } else if constexpr (Stage == kAgcProtectTarget) {
        if (h.agcSplit) agcProtectTarget(state.agc, c.agc, h.agc);
    } else if constexpr (Stage == kAgcProtect) {
        if (h.agcSplit) agcProtect(state.agc, c.agc, h.agc, f.left, f.right);
    } else if constexpr (Stage == kThreeBandEq) {
        if (general.threeBandEqActive)
            threeBandStereoStep(state.threeBandLeft, state.threeBandRight, c.threeBand, f.left, f.right);
    } else if constexpr (Stage == kParametricEq) {
        if (general.parametricEqActive) {
            if (p.parametricEq.enable2) {
                reverseCascadeSeriesStep(state.parametric[0], state.parametric[1], f.left, f.right, false,
                                         c.parametricSeriesLocked);
            } else {
                reverseCascade(state.parametric[0], c.parametricLocked[0], f, false);
                c.parametricSeriesLocked = false;
            }
        }
    } else if constexpr (Stage == kSplit) {
        h.inBands = general.processorActive;
        if (h.inBands)
            splitBandsLater(c.bandCount, f.left, f.right, state.splitBank, bands);
        else
            applyGain(f, c.driveGain);
    } else if constexpr (Stage == kDynamicEqWeigh) {
        h.dynamicEqSplit = h.inBands && general.dynamicEqActive;
        if (h.dynamicEqSplit) dynamicEqWeigh(state.dynamicEq, c.dynamicEq, bands);
    } else if constexpr (Stage == kDynamicEqApply) {
        if (!h.inBands) return;
        bandStage(h.dynamicEqSplit, &dynamicEqApply, &publishDynamicEqMeters, &ChainState::dynamicEq,
                  &BlockCoefficients::dynamicEq, &ChainState::dynamicEqMeters);
        withBandCount(c.bandCount, [&](auto n) QX_INLINE_LAMBDA {
            scaleGroups(bands.left, n, c.driveGain);
            scaleGroups(bands.right, n, c.driveGain);
        });
    } else if constexpr (Stage == kCompressorLevels) {
        h.compressorSplit = h.inBands && general.compressorActive;
        if (h.compressorSplit) compressorLevels(state.compressor, c.compressor, bands);
    } else if constexpr (Stage == kCompressorTargets) {
        if (h.compressorSplit) compressorTargets(state.compressor, c.compressor, bands);
    } else if constexpr (Stage == kCompressorGains) {
        bandStage(h.compressorSplit, &compressorGains, &publishCompressorMeters, &ChainState::compressor,
                  &BlockCoefficients::compressor, &ChainState::compressorMeters);
    } else if constexpr (Stage == kExpanderLevels) {
        h.expanderSplit = h.inBands && general.expanderActive;
        if (h.expanderSplit) expanderLevels(state.expander, c.expander, bands);
    } else if constexpr (Stage == kExpanderTargets) {
        if (h.expanderSplit) expanderTargets(state.expander, c.expander);
    } else if constexpr (Stage == kExpanderGains) {
        bandStage(h.expanderSplit, &expanderGains, &publishExpanderMeters, &ChainState::expander,
                  &BlockCoefficients::expander, &ChainState::expanderMeters);
    } else if constexpr (Stage == kBandLimiter) {
        bandStage(general.limiterActive, &bandLimiterStep, &publishBandLimiterMeters, &ChainState::bandLimiter,
                  &BlockCoefficients::bandLimiter, &ChainState::limiterMeters);
    } else if constexpr (Stage == kSaturator) {
        if (h.inBands && general.saturatorActive)
            saturatorStep(state.saturator, c.saturator, p.saturator, state.refilterBank, bands);
    } else if constexpr (Stage == kRecombine) {
        if (!h.inBands) return;
        if (general.tenBandEqActive) bandEqStep(c.bandEq, bands);
        recombineBands(p.processor, c.bandCount, bands, f.left, f.right);
    } else if constexpr (Stage == kFinalLimiterTarget) {
        h.finalLimiterSplit = general.finalLimiterActive != 0;
        if (h.finalLimiterSplit) finalLimiterTarget(state.finalLimiter, c.finalLimiter, f.left, f.right);
    } else if constexpr (Stage == kFinalLimiterApply) {
        if (h.finalLimiterSplit)
            finalLimiterApply(state.finalLimiter, c.finalLimiter, f.left, f.right, meterFrame, state.finalLimiterMeter);
    } else if constexpr (Stage == kFinalClipper) {
        if (general.finalClipperActive)
            finalClipperStep(state.finalClipper, c.finalClipper, state.params.finalClipper, f.left, f.right);
    } else {
        static_assert(Stage == kOutput);
        // A copy the stages never see, so the switch reads and the scope
        // store between the steps need not pass it through memory.
        Frame out = f;
        if (general.lowpassActive)
            reverseCascadeSeriesStep(state.lowpass[0], state.lowpass[1], out.left, out.right, true, c.lowpassLocked);
        applyGain(out, c.postGain);
        if (h.dithered) addToBoth(out, h.dither);

        clampFrame(out, meters.clipped);

        const double mono = monoOf(out);
        state.scope[meters.scopeIndex] = mono;
        ++meters.scopeIndex;
        updateLevelMeter(meters.output, mono);
        if (meters.output > meters.outputPeak) meters.outputPeak = meters.output;
        f = out;
    }
}

// The filters and banks of stages First to Last - 1 whose block ends may
// wait for a batch: the filters the stages step in lock-step, both channels
// as one, and the banks.
template <int First, int Last>
BlockEndBatch stageBatch(ChainState& state) {
    BlockEndBatch batch;
    const auto add = [&](std::initializer_list<ReverseCascadeFilter*> filters, ReverseCascadeBank& bank) {
        BlockEndBatch::Part& part = batch.parts[batch.partCount++];
        part.bank = &bank;
        for (ReverseCascadeFilter* f : filters) part.filters[part.filterCount++] = f;
    };
    if constexpr (First == 0)
        add({&state.highpass, &state.agcLowpass, &state.agcHighpass, &state.parametric[0], &state.parametric[1]},
            state.splitBank);
    if constexpr (Last == kChainStages) add({&state.lowpass[0], &state.lowpass[1]}, state.refilterBank);
    return batch;
}

// Stages First to Last - 1 over `frames` frames as a pipeline: enter(i, h)
// fills frame i's record before the first, leave(i, h) takes it after the last.
// Where the filters' and banks' blocks end within the block, the pipeline
// drains at that frame and their block work runs as one batch. The banks'
// outputs are old rows, so a bank takes its frames' outputs as the pipeline
// reaches them and runs their forward passes after the stretch, all at once
// with its states in registers.
template <int First, int Last, class Enter, class Leave>
QX_INLINE void runStages(int32_t frames, BlockCoefficients& c, BlockMeters& meters, ChainState& state, Enter&& enter,
                         Leave&& leave) {
    constexpr int kStages = Last - First;
    BlockEndBatch batch = stageBatch<First, Last>(state);
    const int32_t lastBeforeBatch = allowBlockEndWaits(batch, frames);
    for (int32_t begin = 0; begin < frames;) {
        const bool batched = begin == 0 && lastBeforeBatch < frames;
        const int32_t end = batched ? lastBeforeBatch + 1 : frames;
        pipelineFrames<kStages, HalfFrame>(
            begin, end, [&](auto step, int32_t i, bool first, HalfFrame& h) QX_INLINE_LAMBDA {
                if constexpr (step == 0) enter(i, h);
                chainStage<First + step>(h, c, first, meters, state);
                if constexpr (step == kStages - 1) leave(i, h);
            });
        if constexpr (First == 0) filterLaterFrames(state.splitBank);
        if constexpr (Last == kChainStages) filterLaterFrames(state.refilterBank);
        if (batched) finishWaitingBlocks(batch);
        begin = end;
    }
}

void resetFrontAfterGap(ChainState& state) {
    for (ReverseCascadeFilter* filter : {&state.highpass, &state.stereoHighpass, &state.agcLowpass, &state.agcHighpass,
                                         &state.parametric[0], &state.parametric[1]})
        resetFilter(*filter);
    resetBank(state.splitBank);
    compressorGapReset(state.compressor);
    dynamicEqGapReset(state.dynamicEq);
    agcGapReset(state.agc, state.params.agc);
}

void resetBackAfterGap(ChainState& state) {
    resetFilter(state.lowpass[0]);
    resetFilter(state.lowpass[1]);
    resetBank(state.refilterBank);
    bandLimiterGapReset(state.bandLimiter);
    finalLimiterGapReset(state.finalLimiter);
    finalClipperGapReset(state.finalClipper);
}


// The block frame before the frames: timers, selection poll, format gate and
// the gap decision.
BlockStart startBlock(bool valid, int32_t bits, int32_t channels, int32_t rate, ChainState& state) {
    const GeneralParams& general = state.params.general;
    BlockStart b;
    const BlockGains gains = kept(state.frontMemos.blockGains, general, blockGains);
    b.driveGain = gains.drive;
    b.postGain = gains.post;
    const uint32_t now = readTicks(state);
    b.bandCount = state.bandCount;

    // The playback thread stands in for the console's timer while no console
    // window exists; this runs before the format gate so it works while bypassed.
    if (state.pollSelection && state.consoleClosed && now - state.lastPollTime > kPollIntervalMs) {
        state.pollSelection(state.pollContext);
        state.lastPollTime = now;
    }

    if (bits != 16 || (channels != 1 && channels != 2) || rate != kSampleRate || general.mainBypass || !valid)
        return b;
    b.run = true;
    b.detectors = kept(state.frontMemos.detectors, state.params.processor, bandDetectors);

    // Elapsed time by unsigned difference, so the tick counter's wrap every
    // 49.7 days is not taken for a pause; with a clock, a last block time of 0
    // (start-up, preset load) always resets.
    // A load's reset request is taken by exchange: a load between this read and
    // the store of the fresh block time below would otherwise be lost.
    const bool resetRequested = state.resetRequest.exchange(0) != 0;
    const uint32_t lastBlock = state.lastBlockTime;
    b.reset = resetRequested || (lastBlock == 0 && state.tickCount) || now - lastBlock > kGapMs;
    if (b.reset) ++state.gapResets;
    state.lastBlockTime = readTicks(state);
    return b;
}

// Each half's part of the block start and end.
// A console redesign reaches each filter here, at a block start.
void startFrontHalf(const BlockStart& b, BlockCoefficients& c, ChainState& state) {
    for (ReverseCascadeFilter* filter : {&state.highpass, &state.stereoHighpass, &state.agcLowpass, &state.agcHighpass,
                                         &state.parametric[0], &state.parametric[1]})
        takeDesign(*filter);
    if (b.reset) resetFrontAfterGap(state);
    restoreNonFiniteFront(state);
    prepareFront(c, state, b);
}

void startBackHalf(const BlockStart& b, int32_t frames, int32_t channels, BlockCoefficients& c, ChainState& state) {
    takeDesign(state.lowpass[0]);
    takeDesign(state.lowpass[1]);
    if (b.reset) resetBackAfterGap(state);
    restoreNonFiniteBack(state);
    prepareBack(c, state, b, frames, channels);
}

BlockMeters metersAtStart(const ChainState& state) {
    return {state.inputMeter, state.outputMeter, state.outputPeak, false, state.scopeIndex};
}

void endFrontHalf(const BlockCoefficients& c, const BlockMeters& meters, ChainState& state) {
    publishFrontMeters(state, c);
    state.inputMeter = meters.input;
}

void endBackHalf(const BlockCoefficients& c, const BlockMeters& meters, ChainState& state) {
    publishBackMeters(state, c);
    state.outputMeter = meters.output;
    state.outputPeak = meters.outputPeak;
    state.scopeIndex = meters.scopeIndex;
    if (meters.clipped) state.clipIndicator = 1;
}

// A whole block on one thread. `Samples` reads frame i into a Frame and writes
// it back, for 16-bit or floating-point hosts.
template <class Samples>
QX_INLINE int32_t runBlock(Samples samples, int32_t frames, int32_t bits, int32_t channels, int32_t rate, ChainState& state) {
    const BlockStart b = startBlock(samples.valid(), bits, channels, rate, state);
    if (!b.run) return frames;
    BlockCoefficients c;
    startFrontHalf(b, c, state);
    startBackHalf(b, frames, channels, c, state);

    BlockMeters meters = metersAtStart(state);
    runStages<0, kChainStages>(
        frames, c, meters, state, [&](int32_t i, HalfFrame& h) QX_INLINE_LAMBDA { h.f = samples.read(i, channels); },
        [&](int32_t i, HalfFrame& h) QX_INLINE_LAMBDA { samples.write(i, channels, h.f); });

    endFrontHalf(c, meters, state);
    endBackHalf(c, meters, state);
    return frames;
}

// Interleaved 16-bit: v / 32768 in, truncated toward zero out.
struct Int16Samples {
    int16_t* data;
    bool valid() const { return data != nullptr; }
    // Mono (one channel) reads its sample into both sides and writes the
    // left side last; no test of the channel count per frame.
    Frame read(int32_t i, int32_t channels) const {
        const int16_t* s = data + static_cast<int64_t>(i) * channels;
        return {s[0] * kInputScale, s[channels - 1] * kInputScale};
    }
    void write(int32_t i, int32_t channels, const Frame& f) const {
        int16_t* s = data + static_cast<int64_t>(i) * channels;
        s[channels - 1] = toSample(f.right);
        s[0] = toSample(f.left);
    }
};

// Separate channel arrays at full scale 1.0, taken and given back unquantised.
struct FloatSamples {
    float* left;
    float* right;
    bool valid() const { return left != nullptr && right != nullptr; }
    Frame read(int32_t i, int32_t) const { return {left[i], right[i]}; }
    void write(int32_t i, int32_t channels, const Frame& f) const {
        left[i] = static_cast<float>(f.left);
        if (channels == 2) right[i] = static_cast<float>(f.right);
    }
};

#if QX_PASSES_TO_WIDER_COPIES
// The widest copy the build carries, the state allows and the processor
// runs, asked once per block: the compiler's runtime found the processor's
// features when the module loaded.
FrameCopy widestCopyRun(const ChainState& state) {
#if defined(QX_FRAME_COPY_AVX512)
    if (state.widestCopy >= FrameCopy::Avx512 && __builtin_cpu_supports("x86-64-v4")) return FrameCopy::Avx512;
#endif
    if (state.widestCopy >= FrameCopy::Avx2 && __builtin_cpu_supports("avx2")) return FrameCopy::Avx2;
    return FrameCopy::Baseline;
}
#endif

}  // namespace

QX_FRAME_ENTRY
int32_t processBlock(int16_t* samples, int32_t frames, int32_t bits, int32_t channels, int32_t rate,
                     ChainState& state) {
    QX_PASS_TO_WIDER_COPY(state, processBlock(samples, frames, bits, channels, rate, state))
    return runBlock(Int16Samples{samples}, frames, bits, channels, rate, state);
}

QX_FRAME_ENTRY
int32_t processFloatBlock(float* left, float* right, int32_t frames, int32_t channels, ChainState& state) {
    QX_PASS_TO_WIDER_COPY(state, processFloatBlock(left, right, frames, channels, state))
    if (channels == 1) right = left;
    return runBlock(FloatSamples{left, right}, frames, 16, channels, kSampleRate, state);
}

namespace {

// The second half, asleep, wakes when the first is this many blocks ahead
// (at most the blocks in flight, or the first half would wait for ever).
constexpr int kWakeBatch = 4;
constexpr uint8_t kInBands = 1;
constexpr uint8_t kDithered = 2;

// A block as the host gives it and takes it back, and its frames as the first
// half leaves them, packed so the second half reads as few cache lines from
// the other processor as possible: per frame the used bands of both sides, or
// the wideband frame.
struct HandOverSlot {
    BlockStart start;
    int32_t frames = 0;  // 0: the stream has ended
    int32_t stride = 0;  // values per frame
    int16_t samples[kBlockStreamMaxFrames * 2];
    uint8_t flags[kBlockStreamMaxFrames];
    double dither[kBlockStreamMaxFrames];
    double values[kBlockStreamMaxFrames * 2 * kMaxBands];

    // Copies of a fixed length: a library call per frame for a few values
    // took longer than the copy.
    QX_INLINE void pack(int32_t i, const HalfFrame& h) {
        double* v = values + static_cast<ptrdiff_t>(i) * stride;
        flags[i] = static_cast<uint8_t>((h.inBands ? kInBands : 0) | (h.dithered ? kDithered : 0));
        dither[i] = h.dithered ? h.dither : 0.0;
        if (h.inBands) {
            withBandCount(stride / 2, [&](auto nb) QX_INLINE_LAMBDA {
                for (int k = 0; k < nb; ++k) v[k] = h.bands.left[k];
                for (int k = 0; k < nb; ++k) v[nb + k] = h.bands.right[k];
            });
        } else {
            v[0] = h.f.left;
            v[1] = h.f.right;
        }
    }
    QX_INLINE void unpack(int32_t i, HalfFrame& h) const {
        const double* v = values + static_cast<ptrdiff_t>(i) * stride;
        h.inBands = (flags[i] & kInBands) != 0;
        h.dithered = (flags[i] & kDithered) != 0;
        h.dither = dither[i];
        if (h.inBands) {
            withBandCount(stride / 2, [&](auto nb) QX_INLINE_LAMBDA {
                for (int k = 0; k < nb; ++k) h.bands.left[k] = v[k];
                for (int k = 0; k < nb; ++k) h.bands.right[k] = v[nb + k];
            });
        } else {
            h.f = {v[0], v[1]};
        }
    }
};

struct HandOver {
    ChainState& state;
    int32_t channels;
    SecondThread& thread;
    const BlockStreamHooks& hooks;
    std::atomic<int64_t> produced{0};  // blocks the first half has finished
    std::atomic<int64_t> consumed{0};  // blocks the second half has finished
    std::atomic<bool> stopped{false};  // the host ended the stream in done
    // Blocks in flight: with the host's own threads sharing the processors, four
    // had the halves waking each other for nearly every block. Left
    // uninitialised, so only the room the blocks use is ever touched.
    const int32_t ahead = std::clamp(hooks.aheadBlocks, kWakeBatch, kBlockStreamMaxAhead);
    const std::unique_ptr<HandOverSlot[]> slots{new HandOverSlot[static_cast<size_t>(ahead)]};
};

// The halves take turns in well under a millisecond, so a waiter first looks
// again a few times before it sleeps on the thread's signal.
template <class Ready>
void awaitBlock(HandOver& h, SecondThread::Side side, Ready ready) {
    for (int spin = 0; spin < 256; ++spin)
        if (ready()) return;
    while (!ready()) h.thread.wait(side);
}

int32_t fillBlock(const BlockStreamHooks& hooks, int64_t block, int16_t* samples, ChainState& state) {
    return std::clamp(hooks.fill(block, samples, state, hooks.context), 0, kBlockStreamMaxFrames);
}

void runFrontHalf(HandOverSlot& slot, int32_t channels, ChainState& state) {
    slot.start = startBlock(true, 16, channels, kSampleRate, state);
    if (!slot.start.run) return;
    BlockCoefficients c;
    startFrontHalf(slot.start, c, state);
    // The second half's meters are not this thread's to read.
    BlockMeters meters{state.inputMeter, 0.0, 0.0, false, 0};
    slot.stride = 2 * guard::bands(c.bandCount);
    const Int16Samples samples{slot.samples};
    runStages<0, kFrontStages>(
        slot.frames, c, meters, state,
        [&](int32_t i, HalfFrame& h) QX_INLINE_LAMBDA { h.f = samples.read(i, channels); },
        [&](int32_t i, HalfFrame& h) QX_INLINE_LAMBDA { slot.pack(i, h); });
    endFrontHalf(c, meters, state);
}

void runBackHalf(HandOverSlot& slot, int32_t channels, ChainState& state) {
    if (!slot.start.run) return;
    BlockCoefficients c;
    startBackHalf(slot.start, slot.frames, channels, c, state);
    BlockMeters meters = metersAtStart(state);
    const Int16Samples samples{slot.samples};
    runStages<kFrontStages, kChainStages>(
        slot.frames, c, meters, state, [&](int32_t i, HalfFrame& h) QX_INLINE_LAMBDA { slot.unpack(i, h); },
        [&](int32_t i, HalfFrame& h) QX_INLINE_LAMBDA { samples.write(i, channels, h.f); });
    endBackHalf(c, meters, state);
}

QX_FRAME_ENTRY
void runFrontHalves(void* argument) {
    HandOver& h = *static_cast<HandOver*>(argument);
    const BlockStreamHooks& hooks = h.hooks;
    for (int64_t b = 0;; ++b) {
        awaitBlock(h, SecondThread::Side::Worker, [&] {
            return h.stopped.load(std::memory_order_acquire) ||
                   b - h.consumed.load(std::memory_order_acquire) < h.ahead;
        });
        if (h.stopped.load(std::memory_order_acquire)) return;
        HandOverSlot& slot = h.slots[b % h.ahead];
        slot.frames = fillBlock(hooks, b, slot.samples, h.state);
        if (slot.frames > 0) {
            runFrontHalf(slot, h.channels, h.state);
            if (hooks.afterFront) hooks.afterFront(b, slot.frames, h.state, hooks.context);
        }
        h.produced.store(b + 1, std::memory_order_release);
        // The second half, when it has caught up and sleeps, is woken with a
        // few blocks to take: one switch of threads per block cost more than
        // the blocks' waiting.
        if (slot.frames == 0 || b + 1 - h.consumed.load(std::memory_order_acquire) >= kWakeBatch)
            h.thread.wake(SecondThread::Side::Caller);
        if (slot.frames == 0) return;
    }
}

void runBackHalves(HandOver& h) {
    const BlockStreamHooks& hooks = h.hooks;
    for (int64_t b = 0;; ++b) {
        awaitBlock(h, SecondThread::Side::Caller, [&] { return h.produced.load(std::memory_order_acquire) > b; });
        HandOverSlot& slot = h.slots[b % h.ahead];
        if (slot.frames == 0) return;
        if (hooks.beforeBack) hooks.beforeBack(b, h.state, hooks.context);
        runBackHalf(slot, h.channels, h.state);
        const bool more = hooks.done(b, slot.samples, slot.frames, h.state, hooks.context);
        if (!more) h.stopped.store(true, std::memory_order_release);
        h.consumed.store(b + 1, std::memory_order_release);
        h.thread.wake(SecondThread::Side::Worker);
        if (!more) return;
    }
}

// The silent run's blocks as a stream.
struct SilentRun {
    int64_t blocks;
    int32_t frames;
    const SilentRunHooks& hooks;

    static int32_t fill(int64_t block, int16_t* samples, ChainState& state, void* context) {
        const SilentRun& run = *static_cast<SilentRun*>(context);
        if (block >= run.blocks) return 0;
        std::fill_n(samples, run.frames * 2, int16_t{0});
        if (run.hooks.beforeFront) run.hooks.beforeFront(block, state, run.hooks.context);
        return run.frames;
    }
    static void beforeBack(int64_t block, ChainState& state, void* context) {
        const SilentRun& run = *static_cast<SilentRun*>(context);
        if (run.hooks.beforeBack) run.hooks.beforeBack(block, state, run.hooks.context);
    }
    static bool done(int64_t block, const int16_t*, int32_t, ChainState& state, void* context) {
        const SilentRun& run = *static_cast<SilentRun*>(context);
        if (run.hooks.afterBack) run.hooks.afterBack(block, state, run.hooks.context);
        return true;
    }
};

}  // namespace

QX_FRAME_ENTRY
bool runBlockStream(ChainState& state, int32_t channels, SecondThread* thread, const BlockStreamHooks& hooks) {
    QX_PASS_TO_WIDER_COPY(state, runBlockStream(state, channels, thread, hooks))
    if ((channels != 1 && channels != 2) || hooks.fill == nullptr || hooks.done == nullptr) return false;
    if (thread != nullptr) {
        auto handOver = std::make_unique<HandOver>(state, channels, *thread, hooks);
        if (thread->start(&runFrontHalves, handOver.get())) {
            runBackHalves(*handOver);
            thread->join();
            return true;
        }
    }
    auto samples = std::make_unique<int16_t[]>(kBlockStreamMaxFrames * 2);
    for (int64_t b = 0;; ++b) {
        const int32_t frames = fillBlock(hooks, b, samples.get(), state);
        if (frames == 0) return false;
        if (hooks.beforeBack) hooks.beforeBack(b, state, hooks.context);
        processBlock(samples.get(), frames, 16, channels, kSampleRate, state);
        if (hooks.afterFront) hooks.afterFront(b, frames, state, hooks.context);
        if (!hooks.done(b, samples.get(), frames, state, hooks.context)) return false;
    }
}

void runSilentBlocks(ChainState& state, int64_t blocks, int32_t frames, SecondThread* thread,
                     const SilentRunHooks& hooks) {
    if (frames < 1 || frames > kSilentRunMaxFrames) return;
    SilentRun run{blocks, frames, hooks};
    BlockStreamHooks stream;
    stream.context = &run;
    stream.fill = &SilentRun::fill;
    stream.beforeBack = &SilentRun::beforeBack;
    stream.done = &SilentRun::done;
    runBlockStream(state, 2, thread, stream);
}

void resetStagesAfterGap(ChainState& state) {
    ++state.gapResets;
    resetFrontAfterGap(state);
    resetBackAfterGap(state);
}

QX_FRAME_VARIANT_END
}  // namespace qx
