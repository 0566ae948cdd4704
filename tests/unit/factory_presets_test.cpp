// The ten factory presets as they ship: names, stored bases and the values that
// set each one apart, the text layout of the files, and a short run of every
// preset through the chain on program-like input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "chain_test_support.h"
#include "engine/random.h"
#include "engine/coefficient_update.h"
#include "engine/stage_setups.h"
#include "params/preset_library.h"
#include "params/settings_document.h"
#include "persistence_test_support.h"
#include "preset_rig.h"

namespace qx {
namespace {

using test::TempDir;

const std::vector<std::string> kStages = {"HighpassFilter", "StereoImageProc", "AGC",          "3BandEQ",
                                          "ParametricEQ",   "Processor",       "DynamicEQ",    "Compressor",
                                          "Expander",       "Limiter",         "Saturator",    "10BandEQ",
                                          "FinalLimiter",   "FinalClipper",    "LowpassFilter", "QuantizationDither"};

struct KeyValue {
    std::string key;
    double value;
};

struct Character {
    const char* name;
    int storedBase;
    std::vector<std::string> on;   // stages whose Active switch is set
    std::vector<std::string> off;  // stages whose Active switch is clear
    std::vector<KeyValue> values;  // further values fixed by the preset's character
};

std::vector<std::string> allStagesExcept(const std::vector<std::string>& on) {
    std::vector<std::string> off;
    for (const auto& s : kStages)
        if (std::find(on.begin(), on.end(), s) == on.end()) off.push_back(s);
    return off;
}

std::vector<KeyValue> perBand(const std::string& prefix, const std::string& suffix, double v, int bands = 10) {
    std::vector<KeyValue> out;
    for (int b = 1; b <= bands; ++b) out.push_back({prefix + std::to_string(b) + suffix, v});
    return out;
}

template <class T>
std::vector<T> join(std::vector<T> a, const std::vector<T>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<Character>& characters() {
    static const std::vector<Character> table = [] {
        const std::vector<std::string> full = {"StereoImageProc", "AGC",       "ParametricEQ", "Processor",
                                               "Compressor",      "Expander",  "Limiter",      "Saturator",
                                               "10BandEQ",        "FinalLimiter", "QuantizationDither"};
        const std::vector<std::string> fm = join(full, {"HighpassFilter", "LowpassFilter"});
        const std::vector<KeyValue> enhancer = {{"ParametricEQ.Freq1.Hz", 100}, {"ParametricEQ.Gain1.dB", 4},
                                                {"ParametricEQ.Peaking1", 1},   {"Processor.Filterbank", 4},
                                                {"FinalLimiter.Drive.dB", -9},  {"General.DensityDrive.dB", 2}};
        const std::vector<KeyValue> fmStereo =
            join(enhancer, {{"HighpassFilter.Cutoff.Hz", 22}, {"LowpassFilter.Cutoff.Hz", 16984}});
        const std::vector<std::string> level = {"AGC",      "Processor", "Compressor",   "Limiter",
                                                "Saturator", "10BandEQ", "FinalLimiter", "QuantizationDither"};
        const std::vector<std::string> levelOff = {"StereoImageProc", "ParametricEQ", "Expander"};
        const std::vector<KeyValue> tenBand =
            join(join(perBand("Compressor.Gain", ".dB", 6), perBand("Compressor.Ratio", "", 2)),
                 {{"FinalLimiter.Drive.dB", -3}});
        const std::vector<std::string> agcOnly = {"AGC", "FinalLimiter", "QuantizationDither"};

        std::vector<Character> t;
        t.push_back({"Enhancer", -3, full, {"HighpassFilter", "LowpassFilter"}, enhancer});
        t.push_back({"FM Stereo", -3, fm, {}, fmStereo});
        t.push_back({"AM Radio", -3, fm, {},
                     join(enhancer, {{"HighpassFilter.Cutoff.Hz", 30},
                                     {"LowpassFilter.Cutoff.Hz", 5526},
                                     {"StereoImageProc.Mono", 1},
                                     {"10BandEQ.Band5.Mute", 1}})});
        std::vector<KeyValue> web = fmStereo;
        web.erase(std::remove_if(web.begin(), web.end(),
                                 [](const KeyValue& kv) { return kv.key == "FinalLimiter.Drive.dB"; }),
                  web.end());
        t.push_back({"Web Radio", -3, fm, {},
                     join(web, {{"FinalLimiter.Drive.dB", -12},
                                {"FinalLimiter.Threshold.dB", -0.3},
                                {"FinalLimiter.Lookahead.msec", 0.3},
                                {"FinalLimiter.Attack.msec", 0.1}})});
        t.push_back({"10 Band Level", 0, level, levelOff, join(tenBand, {{"Processor.Filterbank", 0}})});
        t.push_back({"5 Band Level", 0, level, levelOff, join(tenBand, {{"Processor.Filterbank", 4}})});
        t.push_back({"3 Band Level", -5, level, levelOff,
                     join(perBand("Compressor.Ratio", "", 2, 3),
                          {{"Processor.Filterbank", 5}, {"FinalLimiter.Drive.dB", 2}})});
        t.push_back({"2 Band AGC", -4, agcOnly, allStagesExcept(agcOnly),
                     {{"AGC.SingleBand", 0}, {"AGC.Level.%", 40}, {"AGC.Crossover", 301}}});
        t.push_back({"Normalizer", -4, agcOnly, allStagesExcept(agcOnly),
                     {{"AGC.SingleBand", 1},
                      {"AGC.Attack.LowBand.msec", 1000},
                      {"AGC.Release.LowBand.msec", 3000},
                      {"FinalLimiter.Drive.dB", -6}}});
        t.push_back({"OFF", -4, {}, kStages,
                     {{"General.MainBypass", 0}, {"General.DensityDrive.dB", 0}, {"General.PostAmp.dB", 0}}});
        return t;
    }();
    return table;
}

// A number as a preset file gives it back: parsed in single precision.
double stored(double v) { return static_cast<double>(static_cast<float>(v)); }

SettingsDocument factoryText(int n) {
    SettingsDocument doc;
    EXPECT_TRUE(doc.readFactoryDocument(systemPlatform(), n)) << "F" << n + 1;
    return doc;
}

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> out;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t end = text.find("\r\n", pos);
        if (end == std::string_view::npos) {
            out.push_back(text.substr(pos));
            break;
        }
        out.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return out;
}

class FactoryPresets : public test::PresetRig {};

TEST_F(FactoryPresets, NamesAndStoredBases) {
    ASSERT_EQ(characters().size(), 10u);
    for (int n = 0; n < 10; ++n) {
        const Character& c = characters()[n];
        EXPECT_EQ(library.factoryName(n), c.name) << "F" << n + 1;
        EXPECT_EQ(factoryText(n).readNumber("General.BaseFactoryPreset", 99), c.storedBase) << "F" << n + 1;
        library.loadPreset(-n);
        EXPECT_EQ(library.presetName(), c.name);
        EXPECT_EQ(library.baseFactoryPreset.load(), -n);  // the id loaded, not the stored base
    }
}

TEST_F(FactoryPresets, EachCarriesTheValuesOfItsCharacter) {
    for (int n = 0; n < 10; ++n) {
        const Character& c = characters()[n];
        const SettingsDocument doc = factoryText(n);
        for (const auto& s : c.on)
            EXPECT_EQ(doc.readNumber("General." + s + ".Active", -1), 1) << "F" << n + 1 << " " << s;
        for (const auto& s : c.off)
            EXPECT_EQ(doc.readNumber("General." + s + ".Active", -1), 0) << "F" << n + 1 << " " << s;
        for (const auto& kv : c.values) {
            EXPECT_TRUE(doc.hasKey(kv.key)) << "F" << n + 1 << " " << kv.key;
            EXPECT_EQ(doc.readNumber(kv.key, -12345), stored(kv.value)) << "F" << n + 1 << " " << kv.key;
        }
        // Loading assigns exactly what the text holds.
        library.loadPreset(-n);
        for (const auto& kv : c.values) EXPECT_EQ(table.find(kv.key)->value(), stored(kv.value)) << kv.key;
    }
}

TEST_F(FactoryPresets, ThreeBandLevelHasItsOwnGainsAndAGentleTilt) {
    const SettingsDocument f5 = factoryText(4);
    const SettingsDocument f7 = factoryText(6);
    bool ownGains = false;
    for (int b = 1; b <= 3; ++b) {
        const std::string key = "Compressor.Gain" + std::to_string(b) + ".dB";
        ownGains = ownGains || f7.readNumber(key, 0) != f5.readNumber(key, 0);
    }
    EXPECT_TRUE(ownGains);
    // The three bands of layout 5: a slope of a couple of dB at most, falling or rising throughout.
    double eq[3];
    for (int b = 0; b < 3; ++b) {
        eq[b] = f7.readNumber("10BandEQ.Band" + std::to_string(b + 1) + ".dB", 99);
        EXPECT_LE(std::fabs(eq[b]), 2.0);
    }
    EXPECT_NE(eq[0], eq[2]);
    EXPECT_TRUE((eq[0] >= eq[1] && eq[1] >= eq[2]) || (eq[0] <= eq[1] && eq[1] <= eq[2]));
    EXPECT_EQ(f7.readNumber("General.10BandEQ.Active", 0), 1);
}

TEST_F(FactoryPresets, TwoBandAgcRunsOnFastTimes) {
    const SettingsDocument f8 = factoryText(7);
    for (const char* key : {"AGC.Attack.LowBand.msec", "AGC.Release.LowBand.msec", "AGC.Attack.HighBand.msec",
                            "AGC.Release.HighBand.msec"}) {
        EXPECT_GT(f8.readNumber(key, -1), 0) << key;
        EXPECT_LE(f8.readNumber(key, 1e9), 1000) << key;
    }
    // Slower than F8 on purpose: the normalizer's own attack and release.
    EXPECT_LT(f8.readNumber("AGC.Release.LowBand.msec", 0), factoryText(8).readNumber("AGC.Release.LowBand.msec", 0));
}

TEST_F(FactoryPresets, TextLayoutIsWhatASaveWouldWrite) {
    for (int n = 0; n < 10; ++n) {
        const SettingsDocument doc = factoryText(n);
        const std::string_view text = doc.text();
        // About 12.9 KB: 342 key lines (341 for the four oldest) and the header.
        EXPECT_GE(text.size(), 12800u) << "F" << n + 1;
        EXPECT_LE(text.size(), 13100u) << "F" << n + 1;
        // CR LF throughout: no lone CR or LF, and a line end at the very end.
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\r') {
                ASSERT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << "F" << n + 1 << " at " << i;
            }
            if (text[i] == '\n') {
                ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "F" << n + 1 << " at " << i;
            }
        }
        ASSERT_TRUE(text.ends_with("\r\n")) << "F" << n + 1;
        EXPECT_EQ(doc.hasKey("Compressor.TypeII"), n < 6) << "F" << n + 1;

        // Loading and saving again reproduces every line after the header, so
        // the keys, their order, the column of "=" and each key's decimals are
        // exactly the saved layout, and every value survives the single-precision read.
        library.loadPreset(-n);
        library.baseFactoryPreset = doc.readNumber("General.BaseFactoryPreset", 0);
        SettingsDocument saved;
        library.composePreset(saved, 1);
        std::vector<std::string_view> expected = lines(saved.text());
        if (n >= 6) {
            expected.erase(std::remove_if(expected.begin(), expected.end(),
                                          [](std::string_view l) { return l.starts_with("Compressor.TypeII "); }),
                           expected.end());
        }
        const std::vector<std::string_view> actual = lines(text);
        ASSERT_EQ(actual.size(), expected.size()) << "F" << n + 1;
        EXPECT_EQ(actual[1], "This is a preset file for Quorvex v1.81");
        EXPECT_EQ(actual[3], std::string(41, '-'));
        for (std::size_t i = 4; i < actual.size(); ++i) EXPECT_EQ(actual[i], expected[i]) << "F" << n + 1;
    }
}

TEST_F(FactoryPresets, EachRunsCleanlyOnProgram) {
    const std::vector<int16_t> input = test::programInput();
    for (int n = 0; n < 10; ++n) {
        auto run = test::makeState(clock);
        ParameterTable runTable = buildParameterTable(*run);
        designAtStartup(*run);
        library.bind(&runTable, run.get(), updateCoefficients);
        library.loadPreset(-n);

        std::vector<int16_t> buffer = input;
        constexpr int kBlock = 576;
        const int frames = static_cast<int>(buffer.size() / 2);
        for (int f = 0; f < frames; f += kBlock) {
            const int count = std::min(kBlock, frames - f);
            ASSERT_EQ(processBlock(buffer.data() + 2 * f, count, 16, 2, 44100, *run), count);
        }
        int peak = 0;
        double tailEnergy = 0.0;
        for (std::size_t i = 0; i < buffer.size(); ++i) {
            peak = std::max(peak, std::abs(static_cast<int>(buffer[i])));
            if (i >= buffer.size() - 2 * 44100) tailEnergy += static_cast<double>(buffer[i]) * buffer[i];
        }
        EXPECT_LE(peak, 32764) << "F" << n + 1;      // within the clamp at 0.9999
        EXPECT_GT(tailEnergy, 0.0) << "F" << n + 1;  // the program comes through
        // Where the final limiter is the last stage to shape the signal, its
        // threshold is the output ceiling, within 0.1 dB: the gain closes in on
        // its target with the attack time during the look-ahead, and a small
        // residue of a large reduction is left when the peak arrives.
        auto value = [&runTable](const char* key) {
            const ParameterRecord* r = runTable.find(key);
            EXPECT_NE(r, nullptr) << key;
            return r != nullptr ? r->value() : -1.0;
        };
        if (value("General.FinalLimiter.Active") != 0 && value("FinalLimiter.PeakDetect") != 0 &&
            value("General.FinalClipper.Active") == 0 && value("General.LowpassFilter.Active") == 0 &&
            value("General.PostAmp.dB") == 0) {
            const double ceiling = 32768.0 * std::pow(10.0, value("FinalLimiter.Threshold.dB") / 20.0);
            EXPECT_LE(peak, ceiling * std::pow(10.0, 0.1 / 20.0)) << "F" << n + 1;
            EXPECT_GE(peak, ceiling - 400.0) << "F" << n + 1;  // and the loud passage reaches it
        }
        // No stage went non-finite on the way.
        for (int b = 0; b < 10; ++b) {
            for (double m : {run->compressorMeters[b].load(), run->expanderMeters[b].load(),
                             run->limiterMeters[b].load(), run->saturatorMeters[b].load(),
                             run->dynamicEqMeters[b].load()})
                EXPECT_TRUE(std::isfinite(m)) << "F" << n + 1 << " band " << b + 1;
        }
        for (double m : {run->finalLimiterMeter.load(), run->finalClipperMeter.load(), run->agcMeters[0].load(),
                         run->agcMeters[1].load(), run->agcMeters[2].load(), run->stereoEnhanceMeter.load()})
            EXPECT_TRUE(std::isfinite(m)) << "F" << n + 1;

        if (n == 9) {
            // OFF: every sample leaves as it came in, apart from the clamp.
            for (std::size_t i = 0; i < buffer.size(); ++i)
                ASSERT_EQ(buffer[i], test::expectedSample(input[i] / 32768.0)) << "sample " << i;
        }
    }
}

}  // namespace
}  // namespace qx

namespace qx {
namespace {

// RMS (fraction of full scale) of the last two seconds of a run of `input`
// through `run` in host-sized blocks; false when any sample left the clamp.
double tailRms(ChainState& run, std::vector<int16_t> buffer) {
    const int frames = static_cast<int>(buffer.size() / 2);
    for (int f = 0; f < frames; f += 576)
        processBlock(buffer.data() + 2 * f, std::min(576, frames - f), 16, 2, 44100, run);
    double sum = 0.0;
    const std::size_t from = buffer.size() - 2 * 44100;
    for (std::size_t i = from; i < buffer.size(); ++i) sum += static_cast<double>(buffer[i]) * buffer[i];
    return std::sqrt(sum / static_cast<double>(buffer.size() - from)) / 32768.0;
}

TEST_F(FactoryPresets, AHugeStoredDriveOrPostAmpNeverSilencesTheChainForGood) {
    const std::vector<int16_t> input = test::programInput();
    library.loadPreset(0);
    const double freshF1 = tailRms(*state, input);
    ASSERT_GT(freshF1, 0.05);

    for (const char* key : {"General.DensityDrive.dB", "General.PostAmp.dB"}) {
        auto run = test::makeState(clock);
        ParameterTable runTable = buildParameterTable(*run);
        designAtStartup(*run);
        library.bind(&runTable, run.get(), updateCoefficients);
        library.loadPreset(0);
        runTable.find(key)->assign(4000.0);
        library.setPresetName("Huge");
        ASSERT_TRUE(library.savePreset(5));
        library.loadPreset(5);  // through the file, as a user would
        ASSERT_EQ(runTable.find(key)->value(), 4000.0);
        EXPECT_GT(tailRms(*run, input), 0.05) << key;

        library.loadPreset(0);
        const double after = tailRms(*run, input);
        EXPECT_NEAR(20.0 * std::log10(after / freshF1), 0.0, 1.0) << key;
    }

    // Whatever else made an envelope or gain non-finite, the next block
    // starts it over instead of staying silent.
    const double nan = std::nan("");
    const double inf = HUGE_VAL;
    state->compressor.envelope[2] = inf;
    state->compressor.gain[3] = nan;
    state->expander.gain[0] = nan;
    state->bandLimiter.gain[1] = nan;
    state->finalLimiter.instance.envelope = inf;
    state->finalLimiter.instance.hold.held = nan;
    state->agc.gainLow = inf;
    state->agc.protection = nan;
    state->stereoImage.width = nan;
    state->dynamicEq.gain[4] = inf;
    const double healed = tailRms(*state, input);
    EXPECT_NEAR(20.0 * std::log10(healed / freshF1), 0.0, 1.0);
    EXPECT_TRUE(std::isfinite(state->compressor.gain[3]) && std::isfinite(state->finalLimiter.instance.gain) &&
                std::isfinite(state->agc.gainLow) && std::isfinite(state->stereoImage.width));
}

}  // namespace
}  // namespace qx
