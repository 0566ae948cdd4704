// The catalogue of every parameter and display binding, as data. Each row is
// one parameter, or one ten-band family that expands to ten records (band n,
// the band number in place of '#' in the key, the n-th control and label id).
// One loop declares all rows into the 22 groups in their fixed order; the
// order of the rows is the order of the keys in preset files.
#include <span>
#include <string>
#include <string_view>

#include "params/parameter_table.h"

namespace qx {
namespace {

// Where a row's value lives; `index` is the band index 0..9 (0 for single rows).
using NumberAt = Number* (*)(ChainState&, int index);
using FlagAt = Flag* (*)(ChainState&, int index);

struct Storage {
    NumberAt number = nullptr;
    FlagAt flag = nullptr;
    constexpr Storage(NumberAt f) : number(f) {}
    constexpr Storage(FlagAt f) : flag(f) {}
};

// A field of ChainState; `i` is the band index for the ten-band families.
#define QX_AT(field) +[](ChainState& s, [[maybe_unused]] int i) { return &s.field; }

// Control or label ids of a row: one id, a run base + step·(n−1), or a list of ten.
struct Ids {
    uint32_t base = 0;
    uint32_t step = 0;
    const uint32_t* list = nullptr;

    constexpr Ids() = default;
    constexpr Ids(uint32_t id) : base(id) {}
    constexpr Ids(uint32_t first, uint32_t stride) : base(first), step(stride) {}
    constexpr Ids(const uint32_t (&ids)[kMaxBands]) : list(ids) {}

    constexpr uint32_t at(int band) const {  // band 1..10; single rows use 1
        return list != nullptr ? list[band - 1] : base + step * static_cast<uint32_t>(band - 1);
    }
};

constexpr Ids pairsFrom(uint32_t first) { return Ids(first, 2); }
constexpr Ids runFrom(uint32_t first) { return Ids(first, 1); }

// The control columns shared by the ten-band windows (threshold, level, band gain).
constexpr uint32_t kColumns[kMaxBands] = {1001, 1002, 1006, 1008, 1010, 1012, 1014, 1016, 1018, 1020};
constexpr uint32_t kColumnLabels[kMaxBands] = {1004, 1005, 1007, 1009, 1011, 1013, 1015, 1017, 1019, 1021};
constexpr uint32_t kRefilterBoxes[kMaxBands] = {1076, 1078, 1079, 1080, 1081, 1082, 1084, 1135, 1136, 1137};
// Faster detectors for the higher bands.
constexpr double kBandDetectDefaults[kMaxBands] = {20, 10, 8, 7, 6, 5, 4, 3, 2, 1};

struct Row {
    ControlKind kind;
    int32_t decimals;
    double minimum, maximum;
    double defaultValue;
    double tickSpacing, lineStep, pageStep;
    Ids control, label;
    Storage storage;
    const char* key;  // '#' stands for the band number; null for display-only bindings
    bool perBand = false;
    const double* bandDefaults = nullptr;
};

constexpr Row sw(const char* key, Ids control, Storage storage, double defaultValue = 0) {
    return Row{ControlKind::Switch, 0, 0, 0, defaultValue, 0, 0, 0, control, Ids(), storage, key};
}
constexpr Row vert(const char* key, int32_t decimals, double lo, double hi, double defaultValue, double tick,
                   double line, double page, Ids control, Ids label, Storage storage) {
    return Row{ControlKind::VerticalSlider, decimals, lo, hi, defaultValue, tick, line, page,
               control, label, storage, key};
}
constexpr Row horz(const char* key, int32_t decimals, double lo, double hi, double defaultValue, double tick,
                   double line, double page, Ids control, Ids label, Storage storage) {
    return Row{ControlKind::HorizontalSlider, decimals, lo, hi, defaultValue, tick, line, page,
               control, label, storage, key};
}
// Frequency slider: positions 0..top, each a hundredth of an octave above 20 Hz.
constexpr Row freq(const char* key, double top, double defaultHz, Ids control, Ids label, Storage storage) {
    return Row{ControlKind::VerticalSlider, -1, 0, top, defaultHz, 100, 1, 100, control, label, storage, key};
}
constexpr Row meter(double lo, double hi, Ids control, Ids label, Storage storage) {
    return Row{ControlKind::Meter, 0, lo, hi, 0, 0, 0, 0, control, label, storage, nullptr};
}
constexpr Row tenBands(Row row, const double* defaults = nullptr) {
    row.perBand = true;
    row.bandDefaults = defaults;
    return row;
}

const Row kMain[] = {
    sw("General.MainBypass", 1001, QX_AT(params.general.mainBypass)),
    sw("General.HighpassFilter.Active", 1038, QX_AT(params.general.highpassActive)),
    sw("General.StereoImageProc.Active", 1040, QX_AT(params.general.stereoImageActive)),
    sw("General.AGC.Active", 1020, QX_AT(params.general.agcActive)),
    sw("General.3BandEQ.Active", 1018, QX_AT(params.general.threeBandEqActive)),
    sw("General.ParametricEQ.Active", 1055, QX_AT(params.general.parametricEqActive)),
    sw("General.Processor.Active", 1022, QX_AT(params.general.processorActive)),
    sw("General.DynamicEQ.Active", 1052, QX_AT(params.general.dynamicEqActive)),
    sw("General.Compressor.Active", 1016, QX_AT(params.general.compressorActive)),
    sw("General.Expander.Active", 1025, QX_AT(params.general.expanderActive)),
    sw("General.Limiter.Active", 1027, QX_AT(params.general.limiterActive)),
    sw("General.Saturator.Active", 1045, QX_AT(params.general.saturatorActive)),
    sw("General.10BandEQ.Active", 1000, QX_AT(params.general.tenBandEqActive)),
    sw("General.FinalLimiter.Active", 1033, QX_AT(params.general.finalLimiterActive)),
    sw("General.FinalClipper.Active", 1035, QX_AT(params.general.finalClipperActive)),
    sw("General.LowpassFilter.Active", 1029, QX_AT(params.general.lowpassActive)),
    sw("General.QuantizationDither.Active", 1014, QX_AT(params.general.ditherActive), 1),
    horz("General.DensityDrive.dB", 1, -12, 36, 0, 6, 0.1, 1, 1050, 1049, QX_AT(params.general.densityDriveDb)),
    horz("General.PostAmp.dB", 1, -24, 24, 0, 6, 0.1, 1, 1043, 1044, QX_AT(params.general.postAmpDb)),
    meter(0, 100, 1006, 1030, QX_AT(inputMeter)),
    meter(0, 100, 1007, 1031, QX_AT(outputPeak)),
};

const Row kHighpass[] = {
    freq("HighpassFilter.Cutoff.Hz", 400, 30, 1055, 1056, QX_AT(params.highpass.cutoffHz)),
};

const Row kStereo[] = {
    sw("StereoImageProc.Mono", 1107, QX_AT(params.stereoImage.mono)),
    vert("StereoImageProc.Amount.%", 0, 1, 100, 50, 25, 1, 10, 1108, 1109, QX_AT(params.stereoImage.amountPct)),
    vert("StereoImageProc.Detect1.msec", 0, 1, 500, 50, 100, 1, 10, 1110, 1111,
         QX_AT(params.stereoImage.detect1Ms)),
    vert("StereoImageProc.Detect2.msec", 0, 1, 2000, 500, 500, 1, 10, 1063, 1064,
         QX_AT(params.stereoImage.detect2Ms)),
    vert("StereoImageProc.Release.msec", 0, 1, 2000, 500, 500, 1, 10, 1065, 1066,
         QX_AT(params.stereoImage.releaseMs)),
    vert("StereoImageProc.MaxEnhance.dB", 0, 1, 18, 6, 6, 1, 3, 1116, 1117, QX_AT(params.stereoImage.maxEnhanceDb)),
    meter(0, 18, 1112, 1113, QX_AT(stereoEnhanceMeter)),
};

const Row kAgc[] = {
    vert("AGC.Level.%", 0, 0, 100, 90, 10, 1, 10, 1046, 1047, QX_AT(params.agc.levelPct)),
    vert("AGC.MaxGain.dB", 0, 0, 40, 25, 10, 1, 3, 1042, 1043, QX_AT(params.agc.maxGainDb)),
    vert("AGC.Gate.dB", 0, -80, 0, -50, 10, 1, 3, 1044, 1045, QX_AT(params.agc.gateDb)),
    freq("AGC.Crossover", 700, 400, 1040, 1041, QX_AT(params.agc.crossoverHz)),
    vert("AGC.BandLink.%", 0, 0, 100, 50, 10, 1, 10, 1048, 1049, QX_AT(params.agc.bandLinkPct)),
    vert("AGC.Attack.LowBand.msec", 0, 0, 5000, 1000, 1000, 1, 100, 1114, 1118, QX_AT(params.agc.attackLowMs)),
    vert("AGC.Release.LowBand.msec", 0, 0, 5000, 1000, 1000, 1, 100, 1115, 1119, QX_AT(params.agc.releaseLowMs)),
    vert("AGC.Gain.LowBand.dB", 1, -24, 24, 0, 6, 0.1, 1, 1058, 1059, QX_AT(params.agc.gainLowDb)),
    vert("AGC.Attack.HighBand.msec", 0, 0, 5000, 1000, 1000, 1, 100, 1116, 1065, QX_AT(params.agc.attackHighMs)),
    vert("AGC.Release.HighBand.msec", 0, 0, 5000, 1000, 1000, 1, 100, 1117, 1067,
         QX_AT(params.agc.releaseHighMs)),
    vert("AGC.Gain.HighBand.dB", 1, -24, 24, 0, 6, 0.1, 1, 1060, 1061, QX_AT(params.agc.gainHighDb)),
    sw("AGC.SingleBand", 1120, QX_AT(params.agc.singleBand)),
    meter(0, 40, 1053, 1052, QX_AT(agcMeters[0])),
    meter(0, 40, 1056, 1057, QX_AT(agcMeters[1])),
    meter(0, 9, 1062, 1063, QX_AT(agcMeters[2])),
};

const Row kThreeBandEq[] = {
    vert("3BandEQ.Band1.dB", 1, -24, 24, 0, 6, 0.1, 1, 1001, 1004, QX_AT(params.threeBandEq.bandDb[0])),
    vert("3BandEQ.Band2.dB", 1, -24, 24, 0, 6, 0.1, 1, 1002, 1005, QX_AT(params.threeBandEq.bandDb[1])),
    vert("3BandEQ.Band3.dB", 1, -24, 24, 0, 6, 0.1, 1, 1006, 1007, QX_AT(params.threeBandEq.bandDb[2])),
    sw("3BandEQ.Band1.Mute", 1022, QX_AT(params.threeBandEq.bandMute[0])),
    sw("3BandEQ.Band2.Mute", 1023, QX_AT(params.threeBandEq.bandMute[1])),
    sw("3BandEQ.Band3.Mute", 1024, QX_AT(params.threeBandEq.bandMute[2])),
    freq("3BandEQ.Crossover.L-M", 850, 880, 1031, 1032, QX_AT(params.threeBandEq.crossoverLowMidHz)),
    freq("3BandEQ.Crossover.M-H", 850, 5000, 1033, 1034, QX_AT(params.threeBandEq.crossoverMidHighHz)),
};

const Row kParametricEq[] = {
    freq("ParametricEQ.Freq1.Hz", 1000, 200, 1159, 1160, QX_AT(params.parametricEq.section[0].freqHz)),
    vert("ParametricEQ.Bandwidth1.Octaves", 2, 0.1, 10, 2, 2, 0.01, 1, 1161, 1162,
         QX_AT(params.parametricEq.section[0].bandwidthOctaves)),
    vert("ParametricEQ.Gain1.dB", 1, -24, 24, 0, 6, 0.1, 1, 1163, 1164, QX_AT(params.parametricEq.section[0].gainDb)),
    sw("ParametricEQ.Peaking1", 1165, QX_AT(params.parametricEq.section[0].peaking)),
    sw("ParametricEQ.Enable2", 1166, QX_AT(params.parametricEq.enable2)),
    freq("ParametricEQ.Freq2.Hz", 1000, 200, 1167, 1168, QX_AT(params.parametricEq.section[1].freqHz)),
    vert("ParametricEQ.Bandwidth2.Octaves", 2, 0.1, 10, 2, 2, 0.01, 1, 1169, 1170,
         QX_AT(params.parametricEq.section[1].bandwidthOctaves)),
    vert("ParametricEQ.Gain2.dB", 1, -24, 24, 0, 6, 0.1, 1, 1171, 1172, QX_AT(params.parametricEq.section[1].gainDb)),
    sw("ParametricEQ.Peaking2", 1173, QX_AT(params.parametricEq.section[1].peaking)),
};

const Row kProcessor[] = {
    sw("Processor.NarrowBandwidth", 1038, QX_AT(params.processor.narrowBandwidth)),
    tenBands(sw("Processor.Mono#", runFrom(1147), QX_AT(params.processor.mono[i]))),
    // Gain reduction of compressor, expander and limiter, and the clip depth, per band.
    tenBands(meter(0, 24, runFrom(1054), Ids(), QX_AT(compressorMeters[i]))),
    tenBands(meter(0, 24, runFrom(1064), Ids(), QX_AT(expanderMeters[i]))),
    tenBands(meter(0, 24, runFrom(1074), Ids(), QX_AT(limiterMeters[i]))),
    tenBands(meter(0, 12, runFrom(1084), Ids(), QX_AT(saturatorMeters[i]))),
};

const Row kDynamicEq[] = {
    vert("DynamicEQ.Speed.msec", 0, 200, 8000, 2000, 2000, 1, 100, 1135, 1136, QX_AT(params.dynamicEq.speedMs)),
    vert("DynamicEQ.Amount.%", 0, 0, 100, 50, 10, 1, 10, 1108, 1109, QX_AT(params.dynamicEq.amountPct)),
    vert("DynamicEQ.MaxEnhance.dB", 0, 0, 24, 9, 3, 1, 3, 1116, 1117, QX_AT(params.dynamicEq.maxEnhanceDb)),
    tenBands(meter(-12, 12, runFrom(1137), Ids(), QX_AT(dynamicEqMeters[i]))),
};

const Row kCompressor[] = {
    tenBands(vert("Compressor.Gain#.dB", 1, -24, 24, 0, 12, 0.1, 1, pairsFrom(1085), pairsFrom(1086),
                  QX_AT(params.compressor.gainDb[i]))),
    tenBands(vert("Compressor.Ratio#", 1, 1, 10, 5, 3, 0.1, 1, pairsFrom(1106), pairsFrom(1107),
                  QX_AT(params.compressor.ratio[i]))),
    tenBands(vert("Compressor.Threshold#.dB", 1, -24, 24, -6, 12, 0.1, 1, kColumns, kColumnLabels,
                  QX_AT(params.compressor.thresholdDb[i]))),
    tenBands(vert("Compressor.Lookahead#.msec", 0, 0, 90, 5, 45, 1, 10, pairsFrom(1065), pairsFrom(1066),
                  QX_AT(params.compressor.lookaheadMs[i]))),
    tenBands(vert("Compressor.IAttack#.msec", 0, 0, 1000, 10, 200, 1, 10, pairsFrom(1025), pairsFrom(1026),
                  QX_AT(params.compressor.initialAttackMs[i]))),
    tenBands(vert("Compressor.IRelease#.msec", 0, 0, 5000, 500, 1000, 1, 10, pairsFrom(1045), pairsFrom(1046),
                  QX_AT(params.compressor.initialReleaseMs[i]))),
    tenBands(vert("Compressor.Attack#.msec", 0, 0, 1000, 10, 200, 1, 10, pairsFrom(1250), pairsFrom(1251),
                  QX_AT(params.compressor.attackMs[i]))),
    tenBands(vert("Compressor.Release#.msec", 0, 0, 5000, 500, 1000, 1, 10, pairsFrom(1270), pairsFrom(1271),
                  QX_AT(params.compressor.releaseMs[i]))),
    horz("Compressor.Gate.dB", 0, -80, 24, -80, 12, 1, 3, 1126, 1127, QX_AT(params.compressor.gateDb)),
    horz("Compressor.GateRelease.msec", 0, 0, 20000, 10000, 5000, 1, 100, 1128, 1129,
         QX_AT(params.compressor.gateReleaseMs)),
    sw("Compressor.PeakDetect", 1105, QX_AT(params.compressor.peakDetect)),
    horz("Compressor.WindowSize.dB", 1, 0, 18, 0, 3, 0.1, 1, 1292, 1293, QX_AT(params.compressor.windowSizeDb)),
};

const Row kExpander[] = {
    tenBands(vert("Expander.Ratio#", 1, 1, 10, 5, 3, 0.1, 1, pairsFrom(1085), pairsFrom(1086),
                  QX_AT(params.expander.ratio[i]))),
    tenBands(vert("Expander.Threshold#.dB", 1, -48, 24, -6, 12, 0.1, 1, kColumns, kColumnLabels,
                  QX_AT(params.expander.thresholdDb[i]))),
    tenBands(vert("Expander.Attack#.msec", 0, 0, 1000, 10, 200, 1, 10, pairsFrom(1025), pairsFrom(1026),
                  QX_AT(params.expander.attackMs[i]))),
    tenBands(vert("Expander.Release#.msec", 0, 0, 1000, 500, 200, 1, 10, pairsFrom(1045), pairsFrom(1046),
                  QX_AT(params.expander.releaseMs[i]))),
};

const Row kLimiter[] = {
    tenBands(vert("Limiter.Gain#.dB", 1, -24, 24, 0, 12, 0.1, 1, pairsFrom(1085), pairsFrom(1086),
                  QX_AT(params.limiter.gainDb[i]))),
    tenBands(vert("Limiter.Threshold#.dB", 1, -24, 24, 0, 12, 0.1, 1, kColumns, kColumnLabels,
                  QX_AT(params.limiter.thresholdDb[i]))),
    tenBands(vert("Limiter.Lookahead#.msec", 1, 0, 90, 5, 45, 0.1, 10, pairsFrom(1065), pairsFrom(1066),
                  QX_AT(params.limiter.lookaheadMs[i]))),
    tenBands(vert("Limiter.Attack#.msec", 1, 0, 1000, 10, 200, 0.1, 10, pairsFrom(1025), pairsFrom(1026),
                  QX_AT(params.limiter.attackMs[i]))),
    tenBands(vert("Limiter.Release#.msec", 0, 0, 5000, 500, 1000, 1, 10, pairsFrom(1045), pairsFrom(1046),
                  QX_AT(params.limiter.releaseMs[i]))),
    sw("Limiter.PeakDetect", 1105, QX_AT(params.limiter.peakDetect)),
};

const Row kSaturator[] = {
    tenBands(vert("Saturator.Level#.%", 0, 0, 100, 15, 25, 1, 10, kColumns, kColumnLabels,
                  QX_AT(params.saturator.levelPct[i]))),
    tenBands(vert("Saturator.Gain#.dB", 1, -24, 24, 0, 12, 0.1, 1, pairsFrom(1085), pairsFrom(1086),
                  QX_AT(params.saturator.gainDb[i]))),
    tenBands(vert("Saturator.Clip#.dB", 1, -24, 24, 0, 12, 0.1, 1, pairsFrom(1105), pairsFrom(1106),
                  QX_AT(params.saturator.clipDb[i]))),
    tenBands(sw("Saturator.Clip#.Enable", runFrom(1125), QX_AT(params.saturator.clipEnable[i]))),
    tenBands(sw("Saturator.Refilter#", kRefilterBoxes, QX_AT(params.saturator.refilter[i]))),
};

const Row kTenBandEq[] = {
    vert("10BandEQ.Preamp.dB", 1, -24, 24, 0, 6, 0.1, 1, 1000, 1003, QX_AT(params.tenBandEq.preampDb)),
    tenBands(vert("10BandEQ.Band#.dB", 1, -24, 24, 0, 6, 0.1, 1, kColumns, kColumnLabels,
                  QX_AT(params.tenBandEq.bandDb[i]))),
    tenBands(sw("10BandEQ.Band#.Mute", runFrom(1022), QX_AT(params.tenBandEq.bandMute[i]))),
};

const Row kFinalLimiter[] = {
    vert("FinalLimiter.Drive.dB", 1, -24, 24, 0, 12, 0.1, 1, 1003, 1022, QX_AT(params.finalLimiter.driveDb)),
    vert("FinalLimiter.Threshold.dB", 1, -24, 24, 0, 12, 0.1, 1, 1057, 1058, QX_AT(params.finalLimiter.thresholdDb)),
    vert("FinalLimiter.Lookahead.msec", 1, 0, 90, 5, 45, 0.1, 10, 1061, 1062, QX_AT(params.finalLimiter.lookaheadMs)),
    vert("FinalLimiter.Attack.msec", 1, 0, 1000, 10, 200, 0.1, 10, 1063, 1064, QX_AT(params.finalLimiter.attackMs)),
    vert("FinalLimiter.Release.msec", 0, 0, 5000, 500, 1000, 1, 10, 1065, 1066, QX_AT(params.finalLimiter.releaseMs)),
    sw("FinalLimiter.PeakDetect", 1105, QX_AT(params.finalLimiter.peakDetect)),
    meter(0, 12, 1067, 1068, QX_AT(finalLimiterMeter)),
};

const Row kFinalClipper[] = {
    sw("FinalClipper.Complex", 1106, QX_AT(params.finalClipper.complex)),
    vert("FinalClipper.Drive.dB", 1, -24, 24, 0, 12, 0.1, 1, 1003, 1022, QX_AT(params.finalClipper.driveDb)),
    vert("FinalClipper.Threshold.dB", 1, -12, 12, -0.1, 6, 0.1, 1, 1057, 1058,
         QX_AT(params.finalClipper.thresholdDb)),
    meter(0, 12, 1069, 1070, QX_AT(finalClipperMeter)),
};

const Row kLowpass[] = {
    freq("LowpassFilter.Cutoff.Hz", 1000, 18000, 1055, 1056, QX_AT(params.lowpass.cutoffHz)),
};

const Row kAdvanced[] = {
    tenBands(vert("Processor.Detect#.msec", 0, 1, 500, 0, 125, 1, 10, pairsFrom(1085), pairsFrom(1086),
                  QX_AT(params.processor.detectMs[i])),
             kBandDetectDefaults),
    vert("AGC.Detect.LowBand.msec", 0, 1, 500, 250, 100, 1, 10, 1044, 1045, QX_AT(params.agc.detectLowMs)),
    vert("AGC.Detect.HighBand.msec", 0, 1, 500, 150, 100, 1, 10, 1048, 1049, QX_AT(params.agc.detectHighMs)),
    vert("FinalLimiter.Detect.msec", 0, 1, 500, 20, 125, 1, 10, 1059, 1060, QX_AT(params.finalLimiter.detectMs)),
    // Default 0 lies below the range on purpose: the filterbank treats 0 like layout 1.
    vert("Processor.Filterbank", 0, 1, 5, 0, 1, 1, 1, 1061, 1062, QX_AT(params.processor.filterbank)),
    sw("Compressor.TypeII", 1166, QX_AT(params.compressor.typeII)),
};

// Test signals: bound to ChainState, never saved.
const Row kTestTones[] = {
    vert(nullptr, 1, -60, 12, -12, 12, 0.1, 1, 1027, 1028, QX_AT(testLevelDb)),
    freq(nullptr, 1000, 640, 1001, 1029, QX_AT(testFrequencyHz)),
    sw(nullptr, 1024, QX_AT(inputMute)),
    sw(nullptr, 1025, QX_AT(sineOn)),
    sw(nullptr, 1026, QX_AT(noiseOn)),
};

#undef QX_AT

struct GroupSpec {
    const char* name;
    int32_t templateId;
    bool marksChanges;
    std::span<const Row> rows;
};

const GroupSpec kGroups[] = {
    {"Main", 101, true, kMain},
    {"Highpass_Filter", 117, true, kHighpass},
    {"Stereo_Processor", 118, true, kStereo},
    {"2_Band_AGC", 109, true, kAgc},
    {"3_Band_EQ", 108, true, kThreeBandEq},
    {"Parametric_EQ", 123, true, kParametricEq},
    {"10_Band_Processor", 111, true, kProcessor},
    {"10_Band_Dynamic_EQ", 122, true, kDynamicEq},
    {"10_Band_Compressor", 110, true, kCompressor},
    {"10_Band_Expander", 112, true, kExpander},
    {"10_Band_Limiter", 113, true, kLimiter},
    {"10_Band_Saturator", 120, true, kSaturator},
    {"10_Band_EQ", 103, true, kTenBandEq},
    {"Final_Limiter", 115, true, kFinalLimiter},
    {"Final_Clipper", 116, true, kFinalClipper},
    {"Lowpass_Filter", 114, true, kLowpass},
    {"Advanced", 121, true, kAdvanced},
    {"Test_Tones", 104, false, kTestTones},
    {"SpectrumAnalyzer", 106, false, {}},
    {"Oscilloscope", 105, false, {}},
    {"Freq_Response", 107, false, {}},
    {"Documentation", 119, false, {}},
};

std::string bandKey(std::string_view pattern, int band) {
    const auto mark = pattern.find('#');
    if (mark == std::string_view::npos) return std::string(pattern);
    std::string key(pattern.substr(0, mark));
    key += std::to_string(band);
    key += pattern.substr(mark + 1);
    return key;
}

void declareRow(ParameterGroup& group, const Row& row, ChainState& state) {
    const int bands = row.perBand ? kMaxBands : 1;
    for (int n = 1; n <= bands; ++n) {
        const int index = n - 1;
        Number* number = row.storage.number != nullptr ? row.storage.number(state, index) : nullptr;
        Flag* flag = row.storage.flag != nullptr ? row.storage.flag(state, index) : nullptr;
        const std::string key = row.key == nullptr ? std::string() : row.perBand ? bandKey(row.key, n) : row.key;
        const double defaultValue = row.bandDefaults != nullptr ? row.bandDefaults[index] : row.defaultValue;
        declareParameter(group, row.kind, row.decimals, row.control.at(n), row.label.at(n), row.minimum,
                         row.maximum, row.tickSpacing, row.lineStep, row.pageStep, number, flag, key, defaultValue,
                         row.perBand ? n : 0);
    }
}

}  // namespace

ParameterTable buildParameterTable(ChainState& state) {
    ParameterTable table;
    table.groups.reserve(std::size(kGroups));
    for (const GroupSpec& entry : kGroups) {
        ParameterGroup& group = table.groups.emplace_back();
        group.name = entry.name;
        group.templateId = entry.templateId;
        group.marksChanges = entry.marksChanges;
        for (const Row& row : entry.rows) declareRow(group, row, state);
    }
    return table;
}

}  // namespace qx
