#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "params/parameter_table.h"

namespace qx {
namespace {

class ParameterTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        state = std::make_unique<ChainState>();
        table = buildParameterTable(*state);
    }

    const ParameterRecord& at(const char* key) const {
        const ParameterRecord* r = table.find(key);
        EXPECT_NE(r, nullptr) << key;
        static const ParameterRecord missing;
        return r != nullptr ? *r : missing;
    }

    const ParameterGroup& group(const std::string& name) const {
        for (const auto& g : table.groups)
            if (g.name == name) return g;
        ADD_FAILURE() << "no group " << name;
        return table.groups.front();
    }

    std::vector<std::string> keysInFileOrder() const {
        std::vector<std::string> keys;
        table.forEachKeyed([&](const ParameterRecord& r) { keys.push_back(r.key); });
        return keys;
    }

    std::unique_ptr<ChainState> state;
    ParameterTable table;
};

struct Expected {
    ControlKind kind;
    int32_t decimals;
    uint32_t control, label;
    double minimum, maximum, tick, line, page, defaultValue;
    int32_t band;
};

void expectRecord(const ParameterRecord& r, const Expected& e) {
    SCOPED_TRACE(r.key);
    EXPECT_EQ(r.kind, e.kind);
    EXPECT_EQ(r.decimals, e.decimals);
    EXPECT_EQ(r.controlId, e.control);
    EXPECT_EQ(r.labelId, e.label);
    EXPECT_EQ(r.minimum, e.minimum);
    EXPECT_EQ(r.maximum, e.maximum);
    EXPECT_EQ(r.tickSpacing, e.tick);
    EXPECT_EQ(r.lineStep, e.line);
    EXPECT_EQ(r.pageStep, e.page);
    EXPECT_EQ(r.defaultValue, e.defaultValue);
    EXPECT_EQ(r.band, e.band);
}

constexpr auto V = ControlKind::VerticalSlider;
constexpr auto H = ControlKind::HorizontalSlider;
constexpr auto S = ControlKind::Switch;
constexpr auto M = ControlKind::Meter;

TEST_F(ParameterTableTest, GroupsInFixedOrderWithCounts) {
    struct GroupExpectation {
        const char* name;
        int32_t templateId;
        bool marksChanges;
        int keyed;
        int meters, sliders, switches;  // display-only bindings
    };
    const GroupExpectation expected[] = {
        {"Main", 101, true, 19, 2, 0, 0},
        {"Highpass_Filter", 117, true, 1, 0, 0, 0},
        {"Stereo_Processor", 118, true, 6, 1, 0, 0},
        {"2_Band_AGC", 109, true, 12, 3, 0, 0},
        {"3_Band_EQ", 108, true, 8, 0, 0, 0},
        {"Parametric_EQ", 123, true, 9, 0, 0, 0},
        {"10_Band_Processor", 111, true, 11, 40, 0, 0},
        {"10_Band_Dynamic_EQ", 122, true, 3, 10, 0, 0},
        {"10_Band_Compressor", 110, true, 84, 0, 0, 0},
        {"10_Band_Expander", 112, true, 40, 0, 0, 0},
        {"10_Band_Limiter", 113, true, 51, 0, 0, 0},
        {"10_Band_Saturator", 120, true, 50, 0, 0, 0},
        {"10_Band_EQ", 103, true, 21, 0, 0, 0},
        {"Final_Limiter", 115, true, 6, 1, 0, 0},
        {"Final_Clipper", 116, true, 3, 1, 0, 0},
        {"Lowpass_Filter", 114, true, 1, 0, 0, 0},
        {"Advanced", 121, true, 15, 0, 0, 0},
        {"Test_Tones", 104, false, 0, 0, 2, 3},
        {"SpectrumAnalyzer", 106, false, 0, 0, 0, 0},
        {"Oscilloscope", 105, false, 0, 0, 0, 0},
        {"Freq_Response", 107, false, 0, 0, 0, 0},
        {"Documentation", 119, false, 0, 0, 0, 0},
    };
    ASSERT_EQ(table.groups.size(), std::size(expected));
    int total = 0;
    for (size_t i = 0; i < std::size(expected); ++i) {
        const auto& g = table.groups[i];
        const auto& e = expected[i];
        SCOPED_TRACE(e.name);
        EXPECT_EQ(g.name, e.name);
        EXPECT_EQ(g.templateId, e.templateId);
        EXPECT_EQ(g.marksChanges, e.marksChanges);
        int keyed = 0, meters = 0, sliders = 0, switches = 0;
        for (const auto& r : g.records) {
            if (!r.key.empty()) {
                ++keyed;
                EXPECT_NE(r.kind, M) << "meters are never saved";
            } else if (r.kind == M) {
                ++meters;
            } else if (r.kind == S) {
                ++switches;
            } else {
                ++sliders;
            }
        }
        EXPECT_EQ(keyed, e.keyed);
        EXPECT_EQ(meters, e.meters);
        EXPECT_EQ(sliders, e.sliders);
        EXPECT_EQ(switches, e.switches);
        total += keyed;
    }
    EXPECT_EQ(total, 340);
}

TEST_F(ParameterTableTest, KeysAreUniqueShortAndWithoutSpaces) {
    const auto keys = keysInFileOrder();
    ASSERT_EQ(keys.size(), 340u);
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size());
    size_t longest = 0;
    for (const auto& k : keys) {
        EXPECT_LE(k.size(), 40u) << k;
        EXPECT_EQ(k.find(' '), std::string::npos) << k;
        EXPECT_EQ(k.find('#'), std::string::npos) << k;
        longest = std::max(longest, k.size());
    }
    EXPECT_EQ(longest, 33u);  // General.QuantizationDither.Active
    EXPECT_EQ(table.find(""), nullptr);
    EXPECT_EQ(table.find("General.Name"), nullptr);
    EXPECT_EQ(table.find("compressor.threshold1.dB"), nullptr) << "keys are case-sensitive";
}

TEST_F(ParameterTableTest, FileOrderOfKeys) {
    const auto keys = keysInFileOrder();
    const std::vector<std::string> head = {
        "General.MainBypass",           "General.HighpassFilter.Active", "General.StereoImageProc.Active",
        "General.AGC.Active",           "General.3BandEQ.Active",        "General.ParametricEQ.Active",
        "General.Processor.Active",     "General.DynamicEQ.Active",      "General.Compressor.Active",
        "General.Expander.Active",      "General.Limiter.Active",        "General.Saturator.Active",
        "General.10BandEQ.Active",      "General.FinalLimiter.Active",   "General.FinalClipper.Active",
        "General.LowpassFilter.Active", "General.QuantizationDither.Active", "General.DensityDrive.dB",
        "General.PostAmp.dB",           "HighpassFilter.Cutoff.Hz",      "StereoImageProc.Mono",
    };
    ASSERT_GE(keys.size(), head.size());
    EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.begin() + head.size()), head);
    EXPECT_EQ(keys.back(), "Compressor.TypeII");

    auto pos = [&](const std::string& k) { return std::find(keys.begin(), keys.end(), k) - keys.begin(); };
    // A family is declared whole before the next one starts.
    for (int n = 1; n <= 10; ++n)
        EXPECT_EQ(pos("Compressor.Gain" + std::to_string(n) + ".dB"), pos("Compressor.Gain1.dB") + n - 1);
    EXPECT_EQ(pos("Compressor.Gain10.dB") + 1, pos("Compressor.Ratio1"));
    EXPECT_EQ(pos("Compressor.Release10.msec") + 1, pos("Compressor.Gate.dB"));
    EXPECT_EQ(pos("Saturator.Clip10.Enable") + 1, pos("Saturator.Refilter1"));
    EXPECT_EQ(pos("Processor.Detect10.msec") + 1, pos("AGC.Detect.LowBand.msec"));
}

TEST_F(ParameterTableTest, SpotChecksAcrossGroups) {
    expectRecord(at("General.MainBypass"), {S, 0, 1001, 0, 0, 0, 0, 0, 0, 0, 0});
    expectRecord(at("General.10BandEQ.Active"), {S, 0, 1000, 0, 0, 0, 0, 0, 0, 0, 0});
    expectRecord(at("General.QuantizationDither.Active"), {S, 0, 1014, 0, 0, 0, 0, 0, 0, 1, 0});
    expectRecord(at("General.DensityDrive.dB"), {H, 1, 1050, 1049, -12, 36, 6, 0.1, 1, 0, 0});
    expectRecord(at("General.PostAmp.dB"), {H, 1, 1043, 1044, -24, 24, 6, 0.1, 1, 0, 0});
    expectRecord(at("HighpassFilter.Cutoff.Hz"), {V, -1, 1055, 1056, 0, 400, 100, 1, 100, 30, 0});
    expectRecord(at("StereoImageProc.Detect2.msec"), {V, 0, 1063, 1064, 1, 2000, 500, 1, 10, 500, 0});
    expectRecord(at("StereoImageProc.MaxEnhance.dB"), {V, 0, 1116, 1117, 1, 18, 6, 1, 3, 6, 0});
    expectRecord(at("AGC.Gate.dB"), {V, 0, 1044, 1045, -80, 0, 10, 1, 3, -50, 0});
    expectRecord(at("AGC.Crossover"), {V, -1, 1040, 1041, 0, 700, 100, 1, 100, 400, 0});
    expectRecord(at("AGC.Attack.HighBand.msec"), {V, 0, 1116, 1065, 0, 5000, 1000, 1, 100, 1000, 0});
    expectRecord(at("AGC.Release.HighBand.msec"), {V, 0, 1117, 1067, 0, 5000, 1000, 1, 100, 1000, 0});
    expectRecord(at("3BandEQ.Band3.dB"), {V, 1, 1006, 1007, -24, 24, 6, 0.1, 1, 0, 0});
    expectRecord(at("3BandEQ.Band1.Mute"), {S, 0, 1022, 0, 0, 0, 0, 0, 0, 0, 0});
    expectRecord(at("3BandEQ.Crossover.L-M"), {V, -1, 1031, 1032, 0, 850, 100, 1, 100, 880, 0});
    expectRecord(at("3BandEQ.Crossover.M-H"), {V, -1, 1033, 1034, 0, 850, 100, 1, 100, 5000, 0});
    expectRecord(at("ParametricEQ.Bandwidth2.Octaves"), {V, 2, 1169, 1170, 0.1, 10, 2, 0.01, 1, 2, 0});
    expectRecord(at("ParametricEQ.Peaking2"), {S, 0, 1173, 0, 0, 0, 0, 0, 0, 0, 0});
    expectRecord(at("Processor.NarrowBandwidth"), {S, 0, 1038, 0, 0, 0, 0, 0, 0, 0, 0});
    expectRecord(at("Processor.Mono1"), {S, 0, 1147, 0, 0, 0, 0, 0, 0, 0, 1});
    expectRecord(at("Processor.Mono10"), {S, 0, 1156, 0, 0, 0, 0, 0, 0, 0, 10});
    expectRecord(at("DynamicEQ.Speed.msec"), {V, 0, 1135, 1136, 200, 8000, 2000, 1, 100, 2000, 0});
    expectRecord(at("Compressor.Gain1.dB"), {V, 1, 1085, 1086, -24, 24, 12, 0.1, 1, 0, 1});
    expectRecord(at("Compressor.Gain10.dB"), {V, 1, 1103, 1104, -24, 24, 12, 0.1, 1, 0, 10});
    expectRecord(at("Compressor.Ratio1"), {V, 1, 1106, 1107, 1, 10, 3, 0.1, 1, 5, 1});
    expectRecord(at("Compressor.Ratio10"), {V, 1, 1124, 1125, 1, 10, 3, 0.1, 1, 5, 10});
    expectRecord(at("Compressor.Threshold1.dB"), {V, 1, 1001, 1004, -24, 24, 12, 0.1, 1, -6, 1});
    expectRecord(at("Compressor.Threshold2.dB"), {V, 1, 1002, 1005, -24, 24, 12, 0.1, 1, -6, 2});
    expectRecord(at("Compressor.Threshold3.dB"), {V, 1, 1006, 1007, -24, 24, 12, 0.1, 1, -6, 3});
    expectRecord(at("Compressor.Threshold10.dB"), {V, 1, 1020, 1021, -24, 24, 12, 0.1, 1, -6, 10});
    expectRecord(at("Compressor.IRelease4.msec"), {V, 0, 1051, 1052, 0, 5000, 1000, 1, 10, 500, 4});
    expectRecord(at("Compressor.Release10.msec"), {V, 0, 1288, 1289, 0, 5000, 1000, 1, 10, 500, 10});
    expectRecord(at("Compressor.Gate.dB"), {H, 0, 1126, 1127, -80, 24, 12, 1, 3, -80, 0});
    expectRecord(at("Compressor.GateRelease.msec"), {H, 0, 1128, 1129, 0, 20000, 5000, 1, 100, 10000, 0});
    expectRecord(at("Compressor.WindowSize.dB"), {H, 1, 1292, 1293, 0, 18, 3, 0.1, 1, 0, 0});
    expectRecord(at("Expander.Threshold1.dB"), {V, 1, 1001, 1004, -48, 24, 12, 0.1, 1, -6, 1});
    expectRecord(at("Expander.Release10.msec"), {V, 0, 1063, 1064, 0, 1000, 200, 1, 10, 500, 10});
    expectRecord(at("Limiter.Lookahead5.msec"), {V, 1, 1073, 1074, 0, 90, 45, 0.1, 10, 5, 5});
    expectRecord(at("Limiter.Attack1.msec"), {V, 1, 1025, 1026, 0, 1000, 200, 0.1, 10, 10, 1});
    expectRecord(at("Limiter.PeakDetect"), {S, 0, 1105, 0, 0, 0, 0, 0, 0, 0, 0});
    expectRecord(at("Saturator.Level7.%"), {V, 0, 1014, 1015, 0, 100, 25, 1, 10, 15, 7});
    expectRecord(at("Saturator.Clip10.dB"), {V, 1, 1123, 1124, -24, 24, 12, 0.1, 1, 0, 10});
    expectRecord(at("Saturator.Clip10.Enable"), {S, 0, 1134, 0, 0, 0, 0, 0, 0, 0, 10});
    expectRecord(at("Saturator.Refilter1"), {S, 0, 1076, 0, 0, 0, 0, 0, 0, 0, 1});
    expectRecord(at("Saturator.Refilter7"), {S, 0, 1084, 0, 0, 0, 0, 0, 0, 0, 7});
    expectRecord(at("Saturator.Refilter8"), {S, 0, 1135, 0, 0, 0, 0, 0, 0, 0, 8});
    expectRecord(at("10BandEQ.Preamp.dB"), {V, 1, 1000, 1003, -24, 24, 6, 0.1, 1, 0, 0});
    expectRecord(at("10BandEQ.Band10.Mute"), {S, 0, 1031, 0, 0, 0, 0, 0, 0, 0, 10});
    expectRecord(at("FinalLimiter.Drive.dB"), {V, 1, 1003, 1022, -24, 24, 12, 0.1, 1, 0, 0});
    expectRecord(at("FinalClipper.Threshold.dB"), {V, 1, 1057, 1058, -12, 12, 6, 0.1, 1, -0.1, 0});
    expectRecord(at("LowpassFilter.Cutoff.Hz"), {V, -1, 1055, 1056, 0, 1000, 100, 1, 100, 18000, 0});
    expectRecord(at("AGC.Detect.HighBand.msec"), {V, 0, 1048, 1049, 1, 500, 100, 1, 10, 150, 0});
    expectRecord(at("FinalLimiter.Detect.msec"), {V, 0, 1059, 1060, 1, 500, 125, 1, 10, 20, 0});
    expectRecord(at("Processor.Filterbank"), {V, 0, 1061, 1062, 1, 5, 1, 1, 1, 0, 0});
    expectRecord(at("Compressor.TypeII"), {S, 0, 1166, 0, 0, 0, 0, 0, 0, 0, 0});
}

TEST_F(ParameterTableTest, RecordsAreBoundToTheirOwnVariables) {
    const Parameters& p = state->params;
    EXPECT_EQ(at("General.MainBypass").flag, &p.general.mainBypass);
    EXPECT_EQ(at("AGC.Crossover").number, &p.agc.crossoverHz);
    EXPECT_EQ(at("ParametricEQ.Gain2.dB").number, &p.parametricEq.section[1].gainDb);
    EXPECT_EQ(at("Compressor.Threshold3.dB").number, &p.compressor.thresholdDb[2]);
    EXPECT_EQ(at("Compressor.IAttack10.msec").number, &p.compressor.initialAttackMs[9]);
    EXPECT_EQ(at("Saturator.Refilter8").flag, &p.saturator.refilter[7]);
    EXPECT_EQ(at("Processor.Detect1.msec").number, &p.processor.detectMs[0]);
    EXPECT_EQ(at("AGC.Detect.LowBand.msec").number, &p.agc.detectLowMs);

    // Every record has exactly one variable of its kind, no two share one, and
    // keyed ones point into the parameter block.
    std::set<const void*> seen;
    const auto* lo = reinterpret_cast<const char*>(&state->params);
    const auto* hi = lo + sizeof(Parameters);
    for (const auto& g : table.groups) {
        for (const auto& r : g.records) {
            SCOPED_TRACE(g.name + " " + r.key + " " + std::to_string(r.controlId));
            const bool isSwitch = r.kind == S;
            ASSERT_EQ(r.flag != nullptr, isSwitch);
            ASSERT_EQ(r.number != nullptr, !isSwitch);
            const void* var = isSwitch ? static_cast<const void*>(r.flag) : static_cast<const void*>(r.number);
            EXPECT_TRUE(seen.insert(var).second);
            const auto* c = static_cast<const char*>(var);
            EXPECT_EQ(!r.key.empty(), c >= lo && c < hi);
        }
    }
}

TEST_F(ParameterTableTest, DefaultsAreStored) {
    // Only the dither switch starts on; every slider holds its default.
    int on = 0;
    table.forEachKeyed([&](const ParameterRecord& r) {
        if (r.kind == S) {
            if (r.flag->load() != 0) {
                ++on;
                EXPECT_EQ(r.key, "General.QuantizationDither.Active");
            }
        } else {
            EXPECT_EQ(r.number->load(), r.defaultValue) << r.key;
        }
    });
    EXPECT_EQ(on, 1);

    const double detect[10] = {20, 10, 8, 7, 6, 5, 4, 3, 2, 1};
    for (int n = 1; n <= 10; ++n) {
        const auto& r = at(("Processor.Detect" + std::to_string(n) + ".msec").c_str());
        expectRecord(r, {V, 0, static_cast<uint32_t>(1085 + 2 * (n - 1)), static_cast<uint32_t>(1086 + 2 * (n - 1)),
                         1, 500, 125, 1, 10, detect[n - 1], n});
        EXPECT_EQ(state->params.processor.detectMs[n - 1].load(), detect[n - 1]);
    }

    // Below its range on purpose.
    EXPECT_EQ(state->params.processor.filterbank.load(), 0.0);
    EXPECT_EQ(state->params.finalClipper.thresholdDb.load(), -0.1);
    EXPECT_EQ(state->params.lowpass.cutoffHz.load(), 18000.0);
}

TEST_F(ParameterTableTest, SwitchesAndMetersCarryNoSliderFields) {
    for (const auto& g : table.groups) {
        for (const auto& r : g.records) {
            if (r.kind == S) {
                EXPECT_EQ(r.labelId, 0u) << r.key;
                EXPECT_EQ(r.decimals, 0) << r.key;
                EXPECT_EQ(r.minimum, 0.0) << r.key;
                EXPECT_EQ(r.maximum, 0.0) << r.key;
                EXPECT_EQ(r.tickSpacing + r.lineStep + r.pageStep, 0.0) << r.key;
            }
            if (r.kind == M) {
                EXPECT_EQ(r.decimals, 0);
                EXPECT_EQ(r.tickSpacing + r.lineStep + r.pageStep, 0.0);
                EXPECT_EQ(r.lastShown, 0.0);
            }
            if (r.isFrequencySlider()) {
                EXPECT_EQ(r.kind, V);
                EXPECT_EQ(r.minimum, 0.0);
            }
        }
    }
    // The only horizontal sliders.
    std::set<std::string> horizontal;
    table.forEachKeyed([&](const ParameterRecord& r) {
        if (r.kind == H) horizontal.insert(r.key);
    });
    EXPECT_EQ(horizontal, (std::set<std::string>{"Compressor.Gate.dB", "Compressor.GateRelease.msec",
                                                  "Compressor.WindowSize.dB", "General.DensityDrive.dB",
                                                  "General.PostAmp.dB"}));
}

TEST_F(ParameterTableTest, ControlIdsAreUniqueWithinAGroup) {
    for (const auto& g : table.groups) {
        std::set<uint32_t> ids;
        for (const auto& r : g.records) {
            EXPECT_TRUE(ids.insert(r.controlId).second) << g.name << " control " << r.controlId;
            if (r.labelId != 0) {
                EXPECT_TRUE(ids.insert(r.labelId).second) << g.name << " label " << r.labelId;
            }
        }
    }
}

TEST_F(ParameterTableTest, DisplayBindings) {
    const auto& tones = group("Test_Tones");
    ASSERT_EQ(tones.records.size(), 5u);
    const ParameterRecord& level = tones.records[0];
    const ParameterRecord& frequency = tones.records[1];
    expectRecord(level, {V, 1, 1027, 1028, -60, 12, 12, 0.1, 1, -12, 0});
    expectRecord(frequency, {V, -1, 1001, 1029, 0, 1000, 100, 1, 100, 640, 0});
    EXPECT_EQ(level.number, &state->testLevelDb);
    EXPECT_EQ(frequency.number, &state->testFrequencyHz);
    EXPECT_EQ(state->testLevelDb.load(), -12.0);
    EXPECT_EQ(state->testFrequencyHz.load(), 640.0);
    const Flag* switches[3] = {&state->inputMute, &state->sineOn, &state->noiseOn};
    for (int i = 0; i < 3; ++i) {
        expectRecord(tones.records[2 + i], {S, 0, static_cast<uint32_t>(1024 + i), 0, 0, 0, 0, 0, 0, 0, 0});
        EXPECT_EQ(tones.records[2 + i].flag, switches[i]);
        EXPECT_EQ(switches[i]->load(), 0);
    }

    auto meterAt = [&](const char* groupName, uint32_t control) -> const ParameterRecord* {
        for (const auto& r : group(groupName).records)
            if (r.kind == M && r.controlId == control) return &r;
        return nullptr;
    };
    struct MeterExpectation {
        const char* group;
        uint32_t control, label;
        double minimum, maximum;
        const Number* variable;
        int32_t band;
    };
    const MeterExpectation meters[] = {
        {"Main", 1006, 1030, 0, 100, &state->inputMeter, 0},
        {"Main", 1007, 1031, 0, 100, &state->outputPeak, 0},
        {"Stereo_Processor", 1112, 1113, 0, 18, &state->stereoEnhanceMeter, 0},
        {"2_Band_AGC", 1053, 1052, 0, 40, &state->agcMeters[0], 0},
        {"2_Band_AGC", 1056, 1057, 0, 40, &state->agcMeters[1], 0},
        {"2_Band_AGC", 1062, 1063, 0, 9, &state->agcMeters[2], 0},
        {"10_Band_Processor", 1054, 0, 0, 24, &state->compressorMeters[0], 1},
        {"10_Band_Processor", 1063, 0, 0, 24, &state->compressorMeters[9], 10},
        {"10_Band_Processor", 1064, 0, 0, 24, &state->expanderMeters[0], 1},
        {"10_Band_Processor", 1078, 0, 0, 24, &state->limiterMeters[4], 5},
        {"10_Band_Processor", 1084, 0, 0, 12, &state->saturatorMeters[0], 1},
        {"10_Band_Processor", 1093, 0, 0, 12, &state->saturatorMeters[9], 10},
        {"10_Band_Dynamic_EQ", 1137, 0, -12, 12, &state->dynamicEqMeters[0], 1},
        {"10_Band_Dynamic_EQ", 1146, 0, -12, 12, &state->dynamicEqMeters[9], 10},
        {"Final_Limiter", 1067, 1068, 0, 12, &state->finalLimiterMeter, 0},
        {"Final_Clipper", 1069, 1070, 0, 12, &state->finalClipperMeter, 0},
    };
    for (const auto& m : meters) {
        SCOPED_TRACE(std::string(m.group) + " " + std::to_string(m.control));
        const ParameterRecord* r = meterAt(m.group, m.control);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->labelId, m.label);
        EXPECT_EQ(r->minimum, m.minimum);
        EXPECT_EQ(r->maximum, m.maximum);
        EXPECT_EQ(r->number, m.variable);
        EXPECT_EQ(r->band, m.band);
        EXPECT_TRUE(r->key.empty());
    }
}

TEST(ParameterTableBuild, MeterValuesAreLeftAlone) {
    auto state = std::make_unique<ChainState>();
    state->inputMeter = 42.0;
    state->compressorMeters[3] = 7.5;
    state->params.compressor.thresholdDb[0] = 3.0;
    const ParameterTable table = buildParameterTable(*state);
    EXPECT_EQ(state->inputMeter.load(), 42.0);
    EXPECT_EQ(state->compressorMeters[3].load(), 7.5);
    EXPECT_EQ(state->params.compressor.thresholdDb[0].load(), -6.0);  // sliders take their default
}

TEST_F(ParameterTableTest, BandTiedRecordsOnlyInTenBandGroups) {
    for (const auto& g : table.groups) {
        const bool tenBand = g.name.rfind("10_Band_", 0) == 0 || g.name == "Advanced";
        int tied = 0;
        for (const auto& r : g.records) {
            EXPECT_GE(r.band, 0);
            EXPECT_LE(r.band, 10);
            if (r.band == 0) continue;
            ++tied;
            EXPECT_TRUE(tenBand) << g.name << " " << r.key;
            // The band number is the one written into the key.
            if (!r.key.empty()) {
                const std::string n = std::to_string(r.band);
                const auto at = r.key.rfind(n);
                ASSERT_NE(at, std::string::npos) << r.key;
                EXPECT_FALSE(std::isdigit(static_cast<unsigned char>(r.key[at + n.size()]))) << r.key;
            }
        }
        if (tenBand) {
            EXPECT_EQ(tied % 10, 0) << g.name;
        }
    }
    EXPECT_EQ(group("10_Band_Compressor").records.size(), 84u);

    // A band-10 compressor control hides with five bands; band 0 always shows.
    const auto& gain10 = at("Compressor.Gain10.dB");
    EXPECT_FALSE(gain10.shownWithBandCount(5));
    EXPECT_FALSE(gain10.shownWithBandCount(3));
    EXPECT_TRUE(gain10.shownWithBandCount(10));
    const auto& gain5 = at("Compressor.Gain5.dB");
    EXPECT_TRUE(gain5.shownWithBandCount(5));
    EXPECT_FALSE(gain5.shownWithBandCount(3));
    EXPECT_TRUE(at("Compressor.Gate.dB").shownWithBandCount(3));
}

TEST(DeclareParameter, StoresDefaultsBySwitchSliderAndMeterRules) {
    Number slider{1.0}, meterValue{33.0};
    Flag on{1}, half{0}, off{1};
    ParameterGroup g;
    {
        const std::string key = "Test.Slider.dB";
        ParameterRecord& r = declareParameter(g, V, 1, 1001, 1002, -24, 24, 6, 0.1, 1, &slider, nullptr, key, 99.5, 3);
        EXPECT_EQ(r.key, key);
        EXPECT_EQ(r.band, 3);
        EXPECT_EQ(r.lastShown, 0.0);
    }
    EXPECT_EQ(slider.load(), 99.5) << "no range check";
    declareParameter(g, S, 0, 1003, 0, 0, 0, 0, 0, 0, nullptr, &off, "Test.Negative", -1, 0);
    declareParameter(g, S, 0, 1004, 0, 0, 0, 0, 0, 0, nullptr, &half, "Test.Half", 0.5, 0);
    declareParameter(g, S, 0, 1005, 0, 0, 0, 0, 0, 0, nullptr, &on, "Test.Zero", 0, 0);
    declareParameter(g, M, 0, 1006, 1007, 0, 24, 0, 0, 0, &meterValue, nullptr, "", 5, 0);
    EXPECT_EQ(off.load(), 0) << "a default of -1 is off";
    EXPECT_EQ(half.load(), 1) << "any default above 0 is on";
    EXPECT_EQ(on.load(), 0);
    EXPECT_EQ(meterValue.load(), 33.0) << "meters are never written by declaration";

    ASSERT_EQ(g.records.size(), 5u);
    EXPECT_EQ(g.records[0].key, "Test.Slider.dB");  // the key was copied
    EXPECT_EQ(g.records[4].controlId, 1006u);

    // Assigning file values: switches turn on for any non-zero value, sliders keep it as read.
    ParameterTable table;
    table.groups.push_back(g);
    const ParameterRecord* sw = table.find("Test.Negative");
    ASSERT_NE(sw, nullptr);
    sw->assign(-1);
    EXPECT_EQ(off.load(), 1);
    EXPECT_EQ(sw->value(), 1.0);
    sw->assign(0.0);
    EXPECT_EQ(sw->value(), 0.0);
    const ParameterRecord* sl = table.find("Test.Slider.dB");
    ASSERT_NE(sl, nullptr);
    sl->assign(150.0);
    EXPECT_EQ(slider.load(), 150.0);
    EXPECT_EQ(sl->value(), 150.0);
    EXPECT_EQ(table.find("Test.Missing"), nullptr);
}

}  // namespace
}  // namespace qx
