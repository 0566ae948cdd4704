#pragma once
// The engine's single persistent state record. Everything the chain keeps
// between blocks lives here (filters, envelopes, meters, the random generator,
// the sine phase), so a copy can be run without disturbing the live record and
// two engines can coexist. The record is large: allocate it on the heap.
#include <array>
#include <cstdint>

#include "engine/agc.h"
#include "engine/coefficient_memo.h"
#include "engine/compressor.h"
#include "engine/dynamic_eq.h"
#include "engine/expander.h"
#include "engine/limiter.h"
#include "engine/saturator.h"
#include "engine/final_clipper.h"
#include "engine/random.h"
#include "base/relaxed.h"
#include "engine/stereo_image.h"
#include "engine/three_band_eq.h"
#include "filters/filterbank.h"
#include "filters/reverse_cascade.h"
#include "params/parameters.h"

namespace qx {

constexpr int kSampleRate = 44100;
constexpr int kScopeSize = 65536;

// The copies of the frame path, narrowest first (see base/frame_variant.h).
enum class FrameCopy : uint8_t { Baseline, Avx2, Avx512 };

// Millisecond tick counter; injectable so tests and offline hosts control time.
using TickFunction = uint32_t (*)(void* context);
// Called by processBlock every 2000 ms while the host has no console window.
using PollFunction = void (*)(void* context);

// The parameter values each filter group was last designed from.
struct DesignMemory {
    double highpassCutoffHz = 0.0;
    double agcCrossoverHz = 0.0;
    double parametricFreqHz[2] = {0.0, 0.0};
    double parametricBandwidth[2] = {0.0, 0.0};
    double parametricGainDb[2] = {0.0, 0.0};
    uint8_t parametricPeaking[2] = {0, 0};
    double lowpassCutoffHz = 0.0;
};

// What the band stages' coefficients depend on beside their parameters.
struct BandKey {
    BandDetectors detectors;
    int32_t bandCount = 0;
    int32_t unused = 0;  // no padding: keys compare byte by byte
};
static_assert(sizeof(BandKey) == sizeof(BandDetectors) + 2 * sizeof(int32_t));

struct CountKey {
    int32_t bandCount = 0;
};

// The drive and the post amp as factors.
struct BlockGains {
    double drive = 1.0;
    double post = 1.0;
};

// The stages' block coefficients as last computed. Each half of the chain
// owns its own, for a measurement runs the halves on two threads.
struct FrontMemos {
    CoefficientMemo<GeneralParams, NoKey, BlockGains> blockGains;
    CoefficientMemo<Number, NoKey, double> testGain;
    CoefficientMemo<ProcessorParams, NoKey, BandDetectors> detectors;
    CoefficientMemo<StereoImageParams, NoKey, StereoImageCoefficients> stereoImage;
    CoefficientMemo<AgcParams, NoKey, AgcCoefficients> agc;
    CoefficientMemo<DynamicEqParams, BandKey, DynamicEqCoefficients> dynamicEq;
    CoefficientMemo<CompressorParams, BandKey, CompressorCoefficients> compressor;
};

struct BackMemos {
    CoefficientMemo<ExpanderParams, BandKey, ExpanderCoefficients> expander;
    CoefficientMemo<LimiterParams, BandKey, BandLimiterCoefficients> bandLimiter;
    CoefficientMemo<SaturatorParams, CountKey, SaturatorCoefficients> saturator;
    CoefficientMemo<FinalLimiterParams, NoKey, FinalLimiterCoefficients> finalLimiter;
    CoefficientMemo<FinalClipperParams, NoKey, FinalClipperCoefficients> finalClipper;
};

struct ChainState {
    Parameters params;

    // Host hooks (set by the host; copied along with the record).
    TickFunction tickCount = nullptr;  // null: time stands still at 0
    void* tickContext = nullptr;
    PollFunction pollSelection = nullptr;
    void* pollContext = nullptr;
    Flag consoleClosed;  // host: the console group exists but has no window
    // The widest copy of the frame path a block may go to, where the build
    // carries it and the processor runs it (all give the same samples; tests
    // lower this to run each copy).
    FrameCopy widestCopy = FrameCopy::Avx512;

    // Block timers. The last block time is shared: a preset load on the UI
    // thread sets it to 0 to force a gap reset, the console reads it to see
    // whether playback is running.
    Relaxed<uint32_t> lastBlockTime;
    // Set by a preset load, taken by the next block, which then resets.
    Flag resetRequest;
    uint32_t lastPollTime = 0;
    uint32_t gapResets = 0;  // gap resets performed so far (playback thread only)

    // Meters and indicators published to the console.
    Flag clipIndicator;
    Number inputMeter;   // % of full scale
    Number outputMeter;  // %
    Number outputPeak;   // %

    // Test signals (written by the test tone window).
    Number testLevelDb;
    Number testFrequencyHz;
    Flag inputMute;
    Flag sineOn;
    Flag noiseOn;

    // Stage meters (dB unless noted), filled by the stages.
    Number stereoEnhanceMeter;
    Number stereoWidth;
    Number agcMeters[3];
    Number dynamicEqMeters[kMaxBands];
    Number compressorMeters[kMaxBands];
    Number expanderMeters[kMaxBands];
    Number limiterMeters[kMaxBands];
    Number saturatorMeters[kMaxBands];
    Number finalLimiterMeter;
    Number finalClipperMeter;

    // Filters. Each stage's set-up remembers the values it was designed from,
    // so the coefficient update redesigns only what changed.
    ReverseCascadeFilter highpass;
    ReverseCascadeFilter stereoHighpass;
    ReverseCascadeFilter agcLowpass;
    ReverseCascadeFilter agcHighpass;
    ThreeBandState threeBandLeft;  // also remembers both crossovers
    ThreeBandState threeBandRight;
    ReverseCascadeFilter parametric[2];
    ReverseCascadeFilter lowpass[2];
    DesignMemory designed;

    // Filterbank: band count and labels follow the layout last applied.
    Relaxed<int32_t> bandCount{10};
    uint8_t storedNarrow = 0;
    BandLabels bandLabels{};
    ReverseCascadeBank splitBank;
    ReverseCascadeBank refilterBank;
    // Ten-band EQ: preamp factor, then each band's gain including the preamp.
    Number tenBandEqGains[kMaxBands + 1];

    // Stage states: envelopes and gains carried from block to block.
    StereoImageState stereoImage;
    AgcState agc;
    DynamicEqState dynamicEq;
    CompressorState compressor;  // with its look-ahead delay lines
    ExpanderState expander;
    BandLimiterState bandLimiter;  // with its look-ahead delay lines
    SaturatorState saturator;
    FinalLimiterState finalLimiter;
    FinalClipperState finalClipper;
    FrontMemos frontMemos;
    alignas(64) BackMemos backMemos;

    // Oscilloscope ring: mono output history; the index wraps by overflow.
    std::array<Number, kScopeSize> scope{};
    Relaxed<uint16_t> scopeIndex;

    // Frame state. The test tone and the silence guard belong to the chain's
    // first half, the generator to its second (dither); a measurement runs the
    // halves on two processors, so they get cache lines of their own.
    alignas(64) double sinePhase = 0.0;
    int32_t zeroRun = 0;
    alignas(64) Random random;
};

}  // namespace qx
