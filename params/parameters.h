#pragma once
// The value variables of every keyed parameter. The UI thread writes them, the
// audio thread reads them (numbers once per block, switches per frame). The
// parameter table binds each to its key, range and controls; the engine never
// consults the table and reads these fields directly.
#include "base/relaxed.h"

namespace qx {

constexpr int kMaxBands = 10;

struct GeneralParams {
    Flag mainBypass;
    Flag highpassActive;
    Flag stereoImageActive;
    Flag agcActive;
    Flag threeBandEqActive;
    Flag parametricEqActive;
    Flag processorActive;
    Flag dynamicEqActive;
    Flag compressorActive;
    Flag expanderActive;
    Flag limiterActive;
    Flag saturatorActive;
    Flag tenBandEqActive;
    Flag finalLimiterActive;
    Flag finalClipperActive;
    Flag lowpassActive;
    Flag ditherActive;
    Number densityDriveDb;
    Number postAmpDb;
};

struct HighpassParams {
    Number cutoffHz;
};

struct StereoImageParams {
    Flag mono;
    Number amountPct;
    Number detect1Ms;
    Number detect2Ms;
    Number releaseMs;
    Number maxEnhanceDb;
};

struct AgcParams {
    Number levelPct;
    Number maxGainDb;
    Number gateDb;
    Number crossoverHz;
    Number bandLinkPct;
    Number attackLowMs;
    Number releaseLowMs;
    Number gainLowDb;
    Number attackHighMs;
    Number releaseHighMs;
    Number gainHighDb;
    Flag singleBand;
    Number detectLowMs;   // declared in "Advanced"
    Number detectHighMs;  // declared in "Advanced"
};

struct ThreeBandEqParams {
    Number bandDb[3];
    Flag bandMute[3];
    Number crossoverLowMidHz;
    Number crossoverMidHighHz;
};

struct ParametricSectionParams {
    Number freqHz;
    Number bandwidthOctaves;
    Number gainDb;
    Flag peaking;
};

struct ParametricEqParams {
    ParametricSectionParams section[2];
    Flag enable2;
};

struct ProcessorParams {
    Flag narrowBandwidth;
    Flag mono[kMaxBands];
    Number detectMs[kMaxBands];  // declared in "Advanced"
    Number filterbank;           // declared in "Advanced"
};

struct DynamicEqParams {
    Number speedMs;
    Number amountPct;
    Number maxEnhanceDb;
};

struct CompressorParams {
    Number gainDb[kMaxBands];
    Number ratio[kMaxBands];
    Number thresholdDb[kMaxBands];
    Number lookaheadMs[kMaxBands];
    Number initialAttackMs[kMaxBands];
    Number initialReleaseMs[kMaxBands];
    Number attackMs[kMaxBands];
    Number releaseMs[kMaxBands];
    Number gateDb;
    Number gateReleaseMs;
    Flag peakDetect;
    Number windowSizeDb;
    Flag typeII;  // declared in "Advanced"
};

struct ExpanderParams {
    Number ratio[kMaxBands];
    Number thresholdDb[kMaxBands];
    Number attackMs[kMaxBands];
    Number releaseMs[kMaxBands];
};

struct LimiterParams {
    Number gainDb[kMaxBands];
    Number thresholdDb[kMaxBands];
    Number lookaheadMs[kMaxBands];
    Number attackMs[kMaxBands];
    Number releaseMs[kMaxBands];
    Flag peakDetect;
};

struct SaturatorParams {
    Number levelPct[kMaxBands];
    Number gainDb[kMaxBands];
    Number clipDb[kMaxBands];
    Flag clipEnable[kMaxBands];
    Flag refilter[kMaxBands];
};

struct TenBandEqParams {
    Number preampDb;
    Number bandDb[kMaxBands];
    Flag bandMute[kMaxBands];
};

struct FinalLimiterParams {
    Number driveDb;
    Number thresholdDb;
    Number lookaheadMs;
    Number attackMs;
    Number releaseMs;
    Flag peakDetect;
    Number detectMs;  // declared in "Advanced"
};

struct FinalClipperParams {
    Flag complex;
    Number driveDb;
    Number thresholdDb;
};

struct LowpassParams {
    Number cutoffHz;
};

struct Parameters {
    GeneralParams general;
    HighpassParams highpass;
    StereoImageParams stereoImage;
    AgcParams agc;
    ThreeBandEqParams threeBandEq;
    ParametricEqParams parametricEq;
    ProcessorParams processor;
    DynamicEqParams dynamicEq;
    CompressorParams compressor;
    ExpanderParams expander;
    LimiterParams limiter;
    SaturatorParams saturator;
    TenBandEqParams tenBandEq;
    FinalLimiterParams finalLimiter;
    FinalClipperParams finalClipper;
    LowpassParams lowpass;
};

}  // namespace qx
