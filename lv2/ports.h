#pragma once
// The LV2 plug-in's ports, one table for the plug-in and for the Turtle
// description generated from it at build time: control ports first (the same
// indices in both variants), then the audio ports.
#include <cstdint>

#include "engine/chain_state.h"

namespace qx::lv2 {

inline constexpr const char* kStereoUri = "https://quorvex.example.org/lv2";
inline constexpr const char* kMonoUri = "https://quorvex.example.org/lv2#mono";
// The state property holding all parameter values as our preset text.
inline constexpr const char* kSettingsUri = "https://quorvex.example.org/lv2#settings";

enum class PortKind { Preset, Parameter, Meter, Latency };
enum class Unit { None, Decibel, Percent, Frame };

struct ControlPort {
    const char* symbol;
    const char* name;
    PortKind kind;
    const char* key;                         // Parameter: the parameter it drives
    double (*meter)(const ChainState& state);  // Meter: the value it shows
    Unit unit;
    double minimum;  // Meter and Latency only; parameters take their catalogued range
    double maximum;
};

inline constexpr ControlPort kControlPorts[] = {
    {"preset", "Preset", PortKind::Preset, nullptr, nullptr, Unit::None, -9, 99},
    {"bypass", "Bypass All", PortKind::Parameter, "General.MainBypass", nullptr, Unit::None, 0, 1},
    {"drive", "Density Drive", PortKind::Parameter, "General.DensityDrive.dB", nullptr, Unit::Decibel, 0, 0},
    {"post_amp", "Post Amp", PortKind::Parameter, "General.PostAmp.dB", nullptr, Unit::Decibel, 0, 0},
    {"highpass", "Highpass Filter", PortKind::Parameter, "General.HighpassFilter.Active", nullptr, Unit::None, 0, 1},
    {"stereo_image", "Stereo Image", PortKind::Parameter, "General.StereoImageProc.Active", nullptr, Unit::None, 0, 1},
    {"agc", "2 Band AGC", PortKind::Parameter, "General.AGC.Active", nullptr, Unit::None, 0, 1},
    {"three_band_eq", "3 Band EQ", PortKind::Parameter, "General.3BandEQ.Active", nullptr, Unit::None, 0, 1},
    {"parametric_eq", "Parametric EQ", PortKind::Parameter, "General.ParametricEQ.Active", nullptr, Unit::None, 0, 1},
    {"processor", "10 Band Processor", PortKind::Parameter, "General.Processor.Active", nullptr, Unit::None, 0, 1},
    {"dynamic_eq", "Dynamic EQ", PortKind::Parameter, "General.DynamicEQ.Active", nullptr, Unit::None, 0, 1},
    {"compressor", "Compressor", PortKind::Parameter, "General.Compressor.Active", nullptr, Unit::None, 0, 1},
    {"expander", "Expander", PortKind::Parameter, "General.Expander.Active", nullptr, Unit::None, 0, 1},
    {"limiter", "Band Limiter", PortKind::Parameter, "General.Limiter.Active", nullptr, Unit::None, 0, 1},
    {"saturator", "Saturator", PortKind::Parameter, "General.Saturator.Active", nullptr, Unit::None, 0, 1},
    {"ten_band_eq", "10 Band EQ", PortKind::Parameter, "General.10BandEQ.Active", nullptr, Unit::None, 0, 1},
    {"final_limiter", "Final Limiter", PortKind::Parameter, "General.FinalLimiter.Active", nullptr, Unit::None, 0, 1},
    {"final_clipper", "Final Clipper", PortKind::Parameter, "General.FinalClipper.Active", nullptr, Unit::None, 0, 1},
    {"lowpass", "Lowpass Filter", PortKind::Parameter, "General.LowpassFilter.Active", nullptr, Unit::None, 0, 1},
    {"dither", "Quantization Dither", PortKind::Parameter, "General.QuantizationDither.Active", nullptr, Unit::None,
     0, 1},
    {"input_level", "Input Level", PortKind::Meter, nullptr, [](const ChainState& s) { return s.inputMeter.load(); },
     Unit::Percent, 0, 100},
    {"output_level", "Output Level", PortKind::Meter, nullptr,
     [](const ChainState& s) { return s.outputPeak.load(); }, Unit::Percent, 0, 100},
    {"agc_gain_low", "AGC Gain Low Band", PortKind::Meter, nullptr,
     [](const ChainState& s) { return s.agcMeters[0].load(); }, Unit::Decibel, 0, 40},
    {"agc_gain_high", "AGC Gain High Band", PortKind::Meter, nullptr,
     [](const ChainState& s) { return s.agcMeters[1].load(); }, Unit::Decibel, 0, 40},
    {"limiter_reduction", "Final Limiter Reduction", PortKind::Meter, nullptr,
     [](const ChainState& s) { return s.finalLimiterMeter.load(); }, Unit::Decibel, 0, 12},
    {"clip_level", "Clip Level", PortKind::Meter, nullptr,
     [](const ChainState& s) { return s.finalClipperMeter.load(); }, Unit::Decibel, 0, 12},
    {"latency", "Latency", PortKind::Latency, nullptr, nullptr, Unit::Frame, 0, 1000000},
};

inline constexpr uint32_t kControlPortCount = sizeof kControlPorts / sizeof kControlPorts[0];
// Audio ports follow the controls: stereo in L, in R, out L, out R; mono in, out.
inline constexpr uint32_t kFirstAudioPort = kControlPortCount;

}  // namespace qx::lv2
