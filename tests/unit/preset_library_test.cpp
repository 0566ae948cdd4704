// The preset library: factory and user loads (a user preset over its base),
// saves and deletes with their failure paths, the name tables and list, the
// panel's refusal messages, the selection file, and the settings file.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/chain.h"
#include "params/preset_library.h"
#include "params/settings_file.h"
#include "persistence_test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace qx {
namespace {

using test::TempDir;

int updates = 0;
bool lastUpdateFull = false;
void countUpdate(ChainState&, bool full) {
    ++updates;
    lastUpdateFull = full;
}

std::string keyLine(const std::string& key, const std::string& value) {
    const int pad = 30 - static_cast<int>(key.size());
    return key + std::string(pad >= 1 ? pad : 1, ' ') + " = " + value + "\r\n";
}

// Value of a key in factory preset n, read independently of the library.
double factoryValue(int n, const char* key) {
    SettingsDocument doc;
    EXPECT_TRUE(doc.readFactoryDocument(systemPlatform(), n));
    EXPECT_TRUE(doc.hasKey(key)) << key;
    return doc.readNumber(key, -12345.0);
}

class PresetLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        updates = 0;
        ASSERT_TRUE(data.setDirectory(dir.directory()));
        library.bind(&table, state.get(), countUpdate);
        library.scanLibrary();
    }

    double value(const char* key) const {
        const ParameterRecord* r = table.find(key);
        EXPECT_NE(r, nullptr) << key;
        return r != nullptr ? r->value() : -12345.0;
    }
    void set(const char* key, double v) const { table.find(key)->assign(v); }

    // Every keyed value equals the one factory preset n stores.
    void expectFactoryValues(int n) const {
        SettingsDocument doc;
        ASSERT_TRUE(doc.readFactoryDocument(systemPlatform(), n));
        table.forEachKeyed([&](const ParameterRecord& r) {
            EXPECT_EQ(r.value(), doc.readNumber(r.key, r.defaultValue)) << "F" << n + 1 << " " << r.key;
        });
    }

    void writeUserFile(int slot, const std::string& body) const {
        test::writeBytes(dir.file(presetFileName(slot)), "header\r\n" + body);
    }

    TempDir dir;
    test::ScriptedPlatform platform;
    DataDirectory data{platform};
    std::unique_ptr<ChainState> state = std::make_unique<ChainState>();
    ParameterTable table = buildParameterTable(*state);
    PresetLibrary library{data};
};

TEST_F(PresetLibraryTest, FactoryPresetsCarryAllKeysInTableOrder) {
    for (int n = 0; n < 10; ++n) {
        SettingsDocument doc;
        ASSERT_TRUE(doc.readFactoryDocument(systemPlatform(), n));
        std::vector<std::string> keys;
        std::string_view text = doc.text();
        for (std::size_t pos = 0, line = 0; pos < text.size(); ++line) {
            const std::size_t end = text.find("\r\n", pos);
            ASSERT_NE(end, std::string_view::npos) << "F" << n + 1 << " ends without CR LF";
            if (line >= 4) keys.emplace_back(text.substr(pos, text.find(' ', pos) - pos));
            pos = end + 2;
        }
        std::vector<std::string> expected = {"General.Name", "General.BaseFactoryPreset"};
        table.forEachKeyed([&](const ParameterRecord& r) {
            if (r.key != "Compressor.TypeII" || n < 6) expected.push_back(r.key);
        });
        EXPECT_EQ(keys, expected) << "F" << n + 1;
    }
}

TEST_F(PresetLibraryTest, FactoryPresetsHaveTheirCharacter) {
    // F1: full chain on layout 4, 100 Hz +4 dB peak, limiter drive -9, density 2, no filters.
    EXPECT_EQ(factoryValue(0, "Processor.Filterbank"), 4);
    EXPECT_EQ(factoryValue(0, "ParametricEQ.Freq1.Hz"), 100);
    EXPECT_EQ(factoryValue(0, "ParametricEQ.Gain1.dB"), 4);
    EXPECT_EQ(factoryValue(0, "ParametricEQ.Peaking1"), 1);
    EXPECT_EQ(factoryValue(0, "FinalLimiter.Drive.dB"), -9);
    EXPECT_EQ(factoryValue(0, "General.DensityDrive.dB"), 2);
    EXPECT_EQ(factoryValue(0, "General.HighpassFilter.Active"), 0);
    EXPECT_EQ(factoryValue(0, "General.LowpassFilter.Active"), 0);
    for (const char* stage : {"General.StereoImageProc.Active", "General.AGC.Active", "General.ParametricEQ.Active",
                              "General.Compressor.Active", "General.Expander.Active", "General.Limiter.Active",
                              "General.Saturator.Active", "General.10BandEQ.Active", "General.FinalLimiter.Active",
                              "General.QuantizationDither.Active", "General.Processor.Active"})
        EXPECT_EQ(factoryValue(0, stage), 1) << stage;
    // F2: filters at 22 Hz and 16984 Hz; F3: 30 Hz, 5526 Hz, mono image, band 5 muted.
    EXPECT_EQ(factoryValue(1, "HighpassFilter.Cutoff.Hz"), 22);
    EXPECT_EQ(factoryValue(1, "LowpassFilter.Cutoff.Hz"), 16984);
    EXPECT_EQ(factoryValue(1, "General.LowpassFilter.Active"), 1);
    EXPECT_EQ(factoryValue(2, "HighpassFilter.Cutoff.Hz"), 30);
    EXPECT_EQ(factoryValue(2, "LowpassFilter.Cutoff.Hz"), 5526);
    EXPECT_EQ(factoryValue(2, "StereoImageProc.Mono"), 1);
    EXPECT_EQ(factoryValue(2, "10BandEQ.Band5.Mute"), 1);
    // F4: the harder final limiter.
    EXPECT_EQ(factoryValue(3, "FinalLimiter.Drive.dB"), -12);
    EXPECT_EQ(factoryValue(3, "FinalLimiter.Threshold.dB"), static_cast<double>(-0.3f));
    EXPECT_EQ(factoryValue(3, "FinalLimiter.Lookahead.msec"), static_cast<double>(0.3f));
    EXPECT_EQ(factoryValue(3, "FinalLimiter.Attack.msec"), static_cast<double>(0.1f));
    // F5..F7: levelling on layouts 1 (stored 0), 4 and 5.
    EXPECT_EQ(factoryValue(4, "Processor.Filterbank"), 0);
    EXPECT_EQ(factoryValue(4, "Compressor.Gain1.dB"), 6);
    EXPECT_EQ(factoryValue(4, "Compressor.Ratio10"), 2);
    EXPECT_EQ(factoryValue(4, "FinalLimiter.Drive.dB"), -3);
    for (const char* off : {"General.StereoImageProc.Active", "General.ParametricEQ.Active", "General.Expander.Active"})
        EXPECT_EQ(factoryValue(4, off), 0) << off;
    EXPECT_EQ(factoryValue(5, "Processor.Filterbank"), 4);
    EXPECT_EQ(factoryValue(6, "Processor.Filterbank"), 5);
    EXPECT_EQ(factoryValue(6, "FinalLimiter.Drive.dB"), 2);
    // F8: two-band AGC only; F9: slow single-band AGC; F10: everything off.
    EXPECT_EQ(factoryValue(7, "AGC.Level.%"), 40);
    EXPECT_EQ(factoryValue(7, "AGC.Crossover"), 301);
    EXPECT_EQ(factoryValue(7, "AGC.SingleBand"), 0);
    EXPECT_EQ(factoryValue(7, "General.Processor.Active"), 0);
    EXPECT_EQ(factoryValue(8, "AGC.SingleBand"), 1);
    EXPECT_EQ(factoryValue(8, "AGC.Attack.LowBand.msec"), 1000);
    EXPECT_EQ(factoryValue(8, "AGC.Release.LowBand.msec"), 3000);
    EXPECT_EQ(factoryValue(8, "FinalLimiter.Drive.dB"), -6);
    SettingsDocument off;
    ASSERT_TRUE(off.readFactoryDocument(systemPlatform(), 9));
    table.forEachKeyed([&](const ParameterRecord& r) {
        if (r.key.starts_with("General.") && r.key.ends_with(".Active")) {
            EXPECT_EQ(off.readNumber(r.key, -1), 0) << r.key;
        }
    });
    EXPECT_EQ(off.readNumber("General.MainBypass", -1), 0);
}

TEST_F(PresetLibraryTest, LoadingAFactoryPresetAssignsEveryValue) {
    set("Compressor.TypeII", 1);
    state->lastBlockTime = 12345;
    library.settingsChanged = 1;
    library.loadPreset(-6);  // F7, without Compressor.TypeII
    expectFactoryValues(6);
    EXPECT_EQ(value("Compressor.TypeII"), 0);  // absent from the text: its default
    EXPECT_EQ(library.presetName(), "3 Band Level");
    EXPECT_EQ(library.baseFactoryPreset.load(), -6);  // the id, not the stored base
    EXPECT_EQ(library.settingsChanged.load(), 0);
    EXPECT_EQ(state->lastBlockTime.load(), 0u);
    EXPECT_EQ(updates, 1);
    EXPECT_TRUE(lastUpdateFull);

    for (int id = 0; id >= -9; --id) {
        library.loadPreset(id);
        expectFactoryValues(-id);
    }
}

TEST_F(PresetLibraryTest, OutOfRangeIdsChangeNoParameter) {
    library.loadPreset(-3);
    set("General.PostAmp.dB", 7.5);
    library.settingsChanged = 1;
    for (int id : {-10, 100, 1000}) {
        updates = 0;
        library.loadPreset(id);
        EXPECT_EQ(value("General.PostAmp.dB"), 7.5);
        EXPECT_EQ(library.settingsChanged.load(), 0);
        EXPECT_EQ(updates, 1);  // the coefficient update runs in every case
    }
}

TEST_F(PresetLibraryTest, SavedPresetIsTheComposedTextAndLoadsBack) {
    library.loadPreset(-3);  // F4
    set("General.PostAmp.dB", -2.5);
    set("AGC.Level.%", 55);
    set("ParametricEQ.Bandwidth2.Octaves", 3.25);
    library.setPresetName("My Web");
    library.settingsChanged = 1;
    ASSERT_TRUE(library.savePreset(12));
    EXPECT_EQ(library.userName(12), "My Web");
    EXPECT_EQ(library.settingsChanged.load(), 0);

    SettingsDocument expected;
    library.composePreset(expected, 12);
    const std::string bytes = test::readBytes(dir.file("QX_Preset12.ini"));
    EXPECT_EQ(bytes, expected.text());
    EXPECT_NE(bytes.find("\r\nFilename: QX_Preset12.ini\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("\r\nGeneral.Name                   = My Web\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("\r\nGeneral.BaseFactoryPreset      = -3\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("\r\nParametricEQ.Bandwidth2.Octaves  = 3.25\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("\r\nGeneral.PostAmp.dB             = -2.5\r\n"), std::string::npos);

    std::vector<double> saved;
    table.forEachKeyed([&](const ParameterRecord& r) { saved.push_back(r.value()); });
    library.loadPreset(-9);
    library.setPresetName("other");
    library.loadPreset(12);
    EXPECT_EQ(library.presetName(), "My Web");
    EXPECT_EQ(library.baseFactoryPreset.load(), -3);
    std::size_t i = 0;
    table.forEachKeyed([&](const ParameterRecord& r) {
        // Every saved value reads back as its text in single precision.
        SettingsDocument one;
        one.setText("\r\n");
        one.appendNumber(r.key, r.kind == ControlKind::Switch ? 0 : std::max(r.decimals, 0), saved[i++]);
        EXPECT_EQ(r.value(), one.readNumber(r.key, -12345.0)) << r.key;
    });
    EXPECT_EQ(value("General.PostAmp.dB"), static_cast<double>(-2.5f));
    EXPECT_EQ(value("ParametricEQ.Bandwidth2.Octaves"), static_cast<double>(3.25f));
}

TEST_F(PresetLibraryTest, UserPresetLoadsOverItsBaseFactoryPreset) {
    // Base -4 (F5) and no Processor.Filterbank: F5's stored 0 wins over the current 3.
    writeUserFile(4, keyLine("General.Name", "Old File") + keyLine("General.BaseFactoryPreset", "-4") +
                         keyLine("AGC.Level.%", "12") + keyLine("General.PostAmp.dB", "junk"));
    set("Processor.Filterbank", 3);
    set("Compressor.TypeII", 1);
    library.loadPreset(4);
    EXPECT_EQ(value("Processor.Filterbank"), 0);
    EXPECT_EQ(value("Processor.Filterbank"), factoryValue(4, "Processor.Filterbank"));
    EXPECT_EQ(value("AGC.Level.%"), 12);
    EXPECT_EQ(value("General.PostAmp.dB"), 0);  // present but unparsable: the default
    EXPECT_EQ(value("Compressor.TypeII"), factoryValue(4, "Compressor.TypeII"));
    EXPECT_EQ(value("Compressor.Gain3.dB"), factoryValue(4, "Compressor.Gain3.dB"));
    EXPECT_EQ(library.presetName(), "Old File");
    EXPECT_EQ(library.baseFactoryPreset.load(), -4);

    // With base -5 the missing keys come from F6 instead.
    writeUserFile(5, keyLine("General.Name", "Other") + keyLine("General.BaseFactoryPreset", "-5"));
    library.loadPreset(5);
    EXPECT_EQ(value("Processor.Filterbank"), 4);

    // A base outside F1..F10: missing keys take their defaults.
    writeUserFile(6, keyLine("General.Name", "Odd") + keyLine("General.BaseFactoryPreset", "-12") +
                         keyLine("AGC.Level.%", "12"));
    library.loadPreset(6);
    EXPECT_EQ(value("AGC.Gate.dB"), -50);
    EXPECT_EQ(value("General.QuantizationDither.Active"), 1);
    EXPECT_EQ(value("AGC.Level.%"), 12);
    EXPECT_EQ(library.baseFactoryPreset.load(), -12);
}

TEST_F(PresetLibraryTest, AMissingUserFileLoadsAsEmptyText) {
    library.setPresetName("before");
    library.loadPreset(33);
    expectFactoryValues(0);  // the missing base reads as 0: F1
    EXPECT_EQ(library.presetName(), "");
    EXPECT_EQ(library.baseFactoryPreset.load(), 0);
}

TEST_F(PresetLibraryTest, ScanReadsNamesAndSlotNumbers) {
    writeUserFile(3, keyLine("General.Name", "Three"));
    test::writeBytes(dir.file("QX_Preset7.ini"), "h\r\n" + keyLine("General.Name", "Seven"));
    test::writeBytes(dir.file("QX_Preset123.ini"), "h\r\n" + keyLine("General.Name", "Twelve"));
    test::writeBytes(dir.file("QX_Presetxy.ini"), "h\r\n" + keyLine("General.Name", "None"));
    test::writeBytes(dir.file("QX_Preset.ini"), "h\r\n" + keyLine("General.Name", "Bare"));
    test::writeBytes(dir.file("QX_Preset00.ini"), "h\r\n" + keyLine("General.Name", "Zero"));
    writeUserFile(20, keyLine("General.Name", "A name of twenty-five"));
    writeUserFile(21, keyLine("General.BaseFactoryPreset", "-1"));  // no name: listed as empty
    std::filesystem::create_directory(dir.path() / "QX_Preset09.ini");
    library.scanLibrary();

    const char* factory[] = {"Enhancer",      "FM Stereo",    "AM Radio",   "Web Radio",  "10 Band Level",
                             "5 Band Level", "3 Band Level", "2 Band AGC", "Normalizer", "OFF"};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(library.factoryName(i), factory[i]);
    EXPECT_EQ(library.userName(3), "Three");
    EXPECT_EQ(library.userName(7), "Seven");
    EXPECT_EQ(library.userName(12), "Twelve");
    EXPECT_EQ(library.userName(9), "");
    EXPECT_EQ(library.userName(20), "A name of twenty-fi");  // cut to 19 in the table
    EXPECT_EQ(library.userName(21), "");
    for (int n = 1; n <= 99; ++n) {
        const bool named = n == 3 || n == 7 || n == 12 || n == 20;
        EXPECT_EQ(library.slotEmpty(n), !named) << n;
    }

    // Loading slot 12 reads the file with the digits 12 (absent here), not 123.
    library.loadPreset(12);
    EXPECT_EQ(library.presetName(), "");
    // The long name itself stays whole in the loaded preset.
    library.loadPreset(20);
    EXPECT_EQ(library.presetName(), "A name of twenty-five");
}

TEST_F(PresetLibraryTest, LongNamesAreCutInTheTableButKeptInTheFile) {
    const std::string name31(31, 'x');
    writeUserFile(2, keyLine("General.Name", name31) + keyLine("General.BaseFactoryPreset", "0"));
    library.loadPreset(2);
    EXPECT_EQ(library.presetName(), name31);
    ASSERT_TRUE(library.savePreset(8));
    EXPECT_EQ(library.userName(8), std::string(19, 'x'));
    EXPECT_NE(test::readBytes(dir.file("QX_Preset08.ini")).find("= " + name31 + "\r\n"), std::string::npos);

    // Saving the same long name into its own slot again is neither a duplicate nor a rename.
    EXPECT_EQ(saveRefusal(library, 8), nullptr);
    EXPECT_EQ(saveQuestion(library, 8), nullptr);

    writeUserFile(9, keyLine("General.Name", std::string(32, 'y')));
    library.loadPreset(9);
    EXPECT_EQ(library.presetName(), "");  // 32 characters read as absent
}

TEST_F(PresetLibraryTest, FailedSaveKeepsTheOldFileAndTheState) {
    library.setPresetName("First");
    ASSERT_TRUE(library.savePreset(5));
    const std::string old = test::readBytes(dir.file("QX_Preset05.ini"));

    platform.failWrites = true;
    library.setPresetName("Second");
    set("General.PostAmp.dB", 9);
    library.settingsChanged = 1;
    EXPECT_FALSE(library.savePreset(5));
    EXPECT_EQ(library.userName(5), "First");
    EXPECT_EQ(library.settingsChanged.load(), 1);
    EXPECT_EQ(test::readBytes(dir.file("QX_Preset05.ini")), old);

    platform.failWrites = false;
    EXPECT_FALSE(library.savePreset(0));
    EXPECT_FALSE(library.savePreset(100));
    EXPECT_FALSE(library.savePreset(-1));
}

TEST_F(PresetLibraryTest, DeleteEmptiesTheSlotOnlyWhenTheFileWent) {
    library.setPresetName("Doomed");
    ASSERT_TRUE(library.savePreset(40));
    platform.failDeletes = true;
    EXPECT_FALSE(library.deletePreset(40));
    EXPECT_EQ(library.userName(40), "Doomed");
    platform.failDeletes = false;
    EXPECT_TRUE(library.deletePreset(40));
    EXPECT_TRUE(library.slotEmpty(40));
    EXPECT_FALSE(test::exists(dir.file("QX_Preset40.ini")));
    EXPECT_FALSE(library.deletePreset(40));  // nothing left to delete
    EXPECT_FALSE(library.deletePreset(0));
    EXPECT_FALSE(library.deletePreset(100));
}

TEST_F(PresetLibraryTest, PathsLongerThan511CharactersAreRefused) {
    // The directory (with the separator added) plus "QX_Preset01.ini" comes to 512 characters.
    std::string longDir = dir.directory();
    longDir += std::string(511 - 15 - longDir.size(), 'd');
    DataDirectory deep(platform);
    ASSERT_TRUE(deep.setDirectory(longDir));  // with its separator: 497 characters
    PresetLibrary lib(deep);
    lib.bind(&table, state.get(), countUpdate);
    lib.setPresetName("x");
    EXPECT_FALSE(lib.savePreset(1));
    EXPECT_FALSE(lib.deletePreset(1));
    EXPECT_TRUE(lib.slotEmpty(1));
}

TEST_F(PresetLibraryTest, TheDataDirectoryIsCreatedWhenFirstWritten) {
    const char sep = systemPlatform().separator();
    const std::string fresh = dir.directory() + "config" + sep + "quorvex";
    DataDirectory later(platform);
    ASSERT_TRUE(later.setDirectory(fresh));
    PresetLibrary lib(later);
    lib.bind(&table, state.get(), countUpdate);
    lib.scanLibrary();  // nothing there yet: every slot empty, nothing created
    EXPECT_TRUE(lib.slotEmpty(1));
    EXPECT_FALSE(test::exists(fresh));
    lib.setPresetName("First");
    ASSERT_TRUE(lib.savePreset(1));
    EXPECT_TRUE(test::exists(fresh + sep + "QX_Preset01.ini"));
}

TEST_F(PresetLibraryTest, PresetListLabelsAndIds) {
    library.setPresetName("Mine");
    ASSERT_TRUE(library.savePreset(7));
    const auto list = library.presetList();
    ASSERT_EQ(list.size(), 109u);
    EXPECT_EQ(list[0].label, "F1:Enhancer");
    EXPECT_EQ(list[9].label, "F10:OFF");
    EXPECT_EQ(list[10].label, "01:");
    EXPECT_EQ(list[16].label, "07:Mine");
    EXPECT_EQ(list[108].label, "99:");
    EXPECT_EQ(PresetLibrary::presetIdOfEntry(list[0]), 0);
    EXPECT_EQ(PresetLibrary::presetIdOfEntry(list[9]), -9);
    EXPECT_EQ(PresetLibrary::presetIdOfEntry(list[16]), 7);
    EXPECT_EQ(PresetLibrary::presetIdOfEntry(list[108]), 99);
    for (int id = -9; id <= 99; ++id) EXPECT_EQ(PresetLibrary::presetIdOfEntry(list[library.listIndexOf(id)]), id);
    EXPECT_EQ(library.listIndexOf(100), -1);
    EXPECT_EQ(library.listIndexOf(-10), -1);

    EXPECT_EQ(library.defaultLabel(), "Default: F1");
    library.startupPreset = -9;
    EXPECT_EQ(library.defaultLabel(), "Default: F10");
    library.startupPreset = 7;
    EXPECT_EQ(library.defaultLabel(), "Default: 7");
    EXPECT_EQ(PresetLibrary::presetLabel(-4), "F5");
    EXPECT_EQ(PresetLibrary::presetLabel(42), "42");
}

TEST_F(PresetLibraryTest, PanelRefusalsInTheirOrder) {
    library.setPresetName("Alpha");
    ASSERT_TRUE(library.savePreset(3));
    library.setPresetName("Beta");
    ASSERT_TRUE(library.savePreset(4));

    // Save.
    EXPECT_STREQ(saveRefusal(library, 0), "Overwriting of factory presets is not allowed");
    EXPECT_STREQ(saveRefusal(library, -9), kMessageFactoryOverwrite);
    library.setPresetName("");
    EXPECT_STREQ(saveRefusal(library, 5), "Please specify a preset name before saving");
    library.setPresetName("ALPHA");  // only the letter case differs from slot 3
    EXPECT_STREQ(saveRefusal(library, 3), "The specified name already exists in another slot.");
    EXPECT_STREQ(saveRefusal(library, 5), kMessageDuplicateName);
    library.setPresetName("Alpha");
    EXPECT_EQ(saveRefusal(library, 3), nullptr);  // its own slot, exactly the same name
    EXPECT_STREQ(saveRefusal(library, 5), kMessageDuplicateName);
    library.setPresetName(" Gamma");
    EXPECT_STREQ(saveRefusal(library, 5), "Preset names cannot contain spaces before and after the name");
    library.setPresetName("Gamma ");
    EXPECT_STREQ(saveRefusal(library, 5), kMessageBlankEnds);
    library.setPresetName("Gamma");
    EXPECT_EQ(saveRefusal(library, 5), nullptr);
    EXPECT_EQ(saveQuestion(library, 5), nullptr);  // empty slot
    EXPECT_STREQ(saveQuestion(library, 4),
                 "You are attempting to save over top of an existing preset with a different name.  Are you sure?");
    library.setPresetName("Beta");
    EXPECT_EQ(saveQuestion(library, 4), nullptr);

    // Delete.
    EXPECT_STREQ(deleteRefusal(library, 0), "Deleting of factory presets is not allowed");
    EXPECT_STREQ(deleteRefusal(library, 50), "The selected preset slot does not contain a preset");
    library.startupPreset = 4;
    EXPECT_STREQ(deleteRefusal(library, 4),
                 "The selected preset slot is currently selected as the default startup preset.  Please change the "
                 "default to another preset (by using the \"Default\" button), then delete this preset.");
    library.startupPreset = -2;
    EXPECT_EQ(deleteRefusal(library, 4), nullptr);
    EXPECT_STREQ(kQuestionDelete, "Are you sure you wish to delete the selected preset?");

    // Load.
    EXPECT_STREQ(loadRefusal(library, 50), kMessageSlotEmpty);
    EXPECT_EQ(loadRefusal(library, 3), nullptr);
    EXPECT_EQ(loadRefusal(library, -9), nullptr);
    library.settingsChanged = 0;
    EXPECT_EQ(loadQuestion(library), nullptr);
    library.settingsChanged = 1;
    EXPECT_STREQ(loadQuestion(library),
                 "The current settings have changed.  Are you sure you wish to load the selected preset?");

    // Default.
    EXPECT_STREQ(defaultRefusal(library, 50),
                 "Please select a preset slot that contains a preset, then click \"Default\".");
    EXPECT_EQ(defaultRefusal(library, 3), nullptr);
    EXPECT_EQ(defaultRefusal(library, -7), nullptr);

    EXPECT_STREQ(kMessageNoSelection, "Please select a preset from the list before attempting this function");
    EXPECT_STREQ(kMessageSaveFailed, "Failed to save preset");
    EXPECT_STREQ(kMessageDeleteFailed, "Failed to delete preset");
}

TEST_F(PresetLibraryTest, NameBoxTextStopsAtALineBreak) {
    library.setPresetName("Top\r\nGeneral.MainBypass = 1");
    EXPECT_EQ(library.presetName(), "Top");
    library.setPresetName(std::string(400, 'n'));
    EXPECT_EQ(library.presetName().size(), 255u);
}

// The selection file.
class SelectionFileTest : public PresetLibraryTest {
protected:
    void SetUp() override {
        PresetLibraryTest::SetUp();
        library.setPresetName("Seven");
        set("AGC.Level.%", 77);
        ASSERT_TRUE(library.savePreset(7));
        library.loadPreset(-9);  // F10: something else is loaded
        hooks.context = this;
        hooks.defaultLabelChanged = [](void* self) { ++static_cast<SelectionFileTest*>(self)->labelRewrites; };
        hooks.refillWindows = [](void* self) { ++static_cast<SelectionFileTest*>(self)->refills; };
        updates = 0;
    }
    void select(const std::string& bytes) const { test::writeBytes(selectionPath(), bytes); }
    std::string selectionPath() const { return dir.file("QX_Select.tmp"); }

    ConsoleHooks hooks;
    int labelRewrites = 0;
    int refills = 0;
};

TEST_F(SelectionFileTest, NumberWithDefLoadsTheSlotAndMakesItTheStartupPreset) {
    select("7 def");
    library.settingsChanged = 1;
    library.pollSelectionFile(&hooks);
    EXPECT_EQ(value("AGC.Level.%"), 77);
    EXPECT_EQ(library.presetName(), "Seven");
    EXPECT_EQ(library.startupPreset.load(), 7);
    EXPECT_EQ(library.settingsChanged.load(), 0);
    EXPECT_EQ(labelRewrites, 1);
    EXPECT_EQ(refills, 1);
    EXPECT_EQ(updates, 1);
    EXPECT_FALSE(test::exists(selectionPath()));
}

TEST_F(SelectionFileTest, LettersAloneSelectF1AsTheStartupPreset) {
    library.startupPreset = 7;
    select("DEF");
    library.pollSelectionFile(nullptr);
    expectFactoryValues(0);
    EXPECT_EQ(library.startupPreset.load(), 0);
    EXPECT_FALSE(test::exists(selectionPath()));
}

TEST_F(SelectionFileTest, OutOfRangeNumbersAreDeletedWithoutLoading) {
    for (const char* text : {"-12", "100", "99999999999999999999", "-99999999999999999999 def"}) {
        select(text);
        library.startupPreset = 3;
        library.pollSelectionFile(&hooks);
        EXPECT_EQ(updates, 0) << text;
        EXPECT_EQ(library.startupPreset.load(), 3);
        EXPECT_EQ(refills, 0);
        EXPECT_FALSE(test::exists(selectionPath())) << text;
    }
    library.pollSelectionFile(&hooks);  // no file: nothing happens
    EXPECT_EQ(updates, 0);
}

TEST_F(SelectionFileTest, AnyContentIsConsumedSafely) {
    // Empty or blank: its writer may not be done, so it waits for the next poll.
    for (const char* blank : {"", " \r\n"}) {
        select(blank);
        library.pollSelectionFile(nullptr);
        EXPECT_EQ(updates, 0);
        EXPECT_TRUE(test::exists(selectionPath()));
    }
    // Letters only: nothing parses, so the number is 0 and F1 loads.
    select("x");
    library.pollSelectionFile(nullptr);
    EXPECT_EQ(library.presetName(), "Enhancer");
    EXPECT_FALSE(test::exists(selectionPath()));

    // Binary bytes with a NUL: the text ends there.
    std::string binary = "-3";
    binary += '\0';
    binary += "def\xff\xfe\x01";
    select(binary);
    library.startupPreset = 5;
    library.pollSelectionFile(nullptr);
    EXPECT_EQ(library.presetName(), "Web Radio");
    EXPECT_EQ(library.startupPreset.load(), 5);
    EXPECT_FALSE(test::exists(selectionPath()));

    // A huge file: only the first 511 bytes count, so a late "def" is not seen.
    std::string huge(511 + 3 + (1 << 20), 'z');
    huge.replace(0, 514, std::string(511, ' ') + "def");
    huge[0] = '7';
    select(huge);
    library.pollSelectionFile(nullptr);
    EXPECT_EQ(library.presetName(), "Seven");
    EXPECT_EQ(library.startupPreset.load(), 5);
    EXPECT_FALSE(test::exists(selectionPath()));
    std::string edge(511, ' ');
    edge[0] = '7';
    edge.replace(508, 3, "DeF");  // ends at byte 511: seen
    select(edge);
    library.pollSelectionFile(nullptr);
    EXPECT_EQ(library.startupPreset.load(), 7);

    // A directory of that name cannot be opened as a file: left alone.
    std::filesystem::create_directory(selectionPath());
    updates = 0;
    library.pollSelectionFile(nullptr);
    EXPECT_EQ(updates, 0);
    EXPECT_TRUE(std::filesystem::is_directory(selectionPath()));
}

TEST_F(PresetLibraryTest, ALoadDuringABlockStillResetsTheNextBlock) {
    // The block reads the clock twice: before its gap check and when it stores
    // the fresh block time. A load from the console thread in between must not
    // be lost under that store.
    struct Clock {
        PresetLibrary* library;
        uint32_t now = 100000;
        int readings = 0;
        static uint32_t tick(void* self) {
            auto* c = static_cast<Clock*>(self);
            if (++c->readings == 4) c->library->loadPreset(-9);  // the second block's second reading
            return c->now += 10;
        }
    } clock{&library};
    state->tickCount = Clock::tick;
    state->tickContext = &clock;
    std::vector<int16_t> block(2 * 64, 1000);
    for (int i = 0; i < 3; ++i) processBlock(block.data(), 64, 16, 2, 44100, *state);
    EXPECT_EQ(clock.readings, 6);
    EXPECT_EQ(state->gapResets, 2u);  // the first block and the one after the load
}

TEST_F(SelectionFileTest, AFileThatCannotBeDeletedIsAppliedOnlyUntilItChanges) {
    platform.failDeletes = true;
    select("7");
    library.pollSelectionFile(nullptr);
    EXPECT_EQ(updates, 1);
    // Loading again on every poll would reset the chain each time and undo edits.
    set("AGC.Level.%", 20);
    library.pollSelectionFile(nullptr);
    EXPECT_EQ(updates, 1);
    EXPECT_EQ(value("AGC.Level.%"), 20);

    select("-3");  // new contents
    library.pollSelectionFile(nullptr);
    EXPECT_EQ(updates, 2);
    EXPECT_EQ(library.presetName(), "Web Radio");
    // The same contents written again: a new request.
    const auto written = std::filesystem::last_write_time(selectionPath());
    std::filesystem::last_write_time(selectionPath(), written + std::chrono::seconds(2));
    library.pollSelectionFile(nullptr);
    EXPECT_EQ(updates, 3);
    library.pollSelectionFile(nullptr);
    EXPECT_EQ(updates, 3);

    // Once it can be deleted it goes without being applied again; a later
    // file with the same contents is a new request.
    platform.failDeletes = false;
    library.pollSelectionFile(nullptr);
    EXPECT_EQ(updates, 3);
    EXPECT_FALSE(test::exists(selectionPath()));
    select("-3");
    library.pollSelectionFile(nullptr);
    EXPECT_EQ(updates, 4);
}

#ifndef _WIN32
TEST_F(SelectionFileTest, APipeNamedLikeTheSelectionFileDoesNotBlock) {
    ASSERT_EQ(::mkfifo(selectionPath().c_str(), 0600), 0);
    library.pollSelectionFile(nullptr);  // would wait forever for a writer if opened blocking
    EXPECT_EQ(updates, 0);
}
#endif

TEST_F(SelectionFileTest, PlaybackPollsEveryTwoSecondsWhileTheConsoleIsClosed) {
    struct Clock {
        uint32_t now = 0;
        static uint32_t tick(void* self) { return static_cast<Clock*>(self)->now; }
    } clock;
    state->tickCount = Clock::tick;
    state->tickContext = &clock;
    state->pollSelection = PresetLibrary::pollHook;
    state->pollContext = &library;
    state->consoleClosed = 1;
    set("General.MainBypass", 0);
    std::vector<int16_t> block(2 * 64, 1000);
    auto run = [&](uint32_t t) {
        clock.now = t;
        processBlock(block.data(), 64, 16, 2, 44100, *state);
    };

    run(100000);  // first poll: no file yet
    const uint32_t resetsAfterFirst = state->gapResets;
    select("7 def");
    run(101000);  // within 2 s of the last poll
    EXPECT_TRUE(test::exists(selectionPath()));
    EXPECT_EQ(updates, 0);
    run(102000);  // exactly 2000 ms later: not yet (strictly more is needed)
    EXPECT_TRUE(test::exists(selectionPath()));
    run(102001);
    EXPECT_FALSE(test::exists(selectionPath()));
    EXPECT_EQ(value("AGC.Level.%"), 77);
    EXPECT_EQ(library.startupPreset.load(), 7);
    EXPECT_EQ(updates, 1);
    // The load zeroed the last block time, so this very block reset the stages.
    EXPECT_EQ(state->gapResets, resetsAfterFirst + 1);

    // With the console open the playback thread leaves the file to the console.
    state->consoleClosed = 0;
    select("DEF");
    run(200000);
    EXPECT_TRUE(test::exists(selectionPath()));
    // A bypassed or unsupported block still polls while the console is closed.
    state->consoleClosed = 1;
    set("General.MainBypass", 1);
    run(300000);
    EXPECT_FALSE(test::exists(selectionPath()));
    EXPECT_EQ(library.startupPreset.load(), 0);
}

// The settings file.
TEST_F(PresetLibraryTest, SettingsFileRoundTripAndFallbacks) {
    std::vector<std::string> groups;
    for (const auto& g : table.groups) groups.push_back(g.name);
    ASSERT_EQ(groups.size(), 22u);

    Settings missing = readSettings(data, groups);
    EXPECT_FALSE(missing.fileFound);
    EXPECT_EQ(missing.startupPreset, 0);
    ASSERT_EQ(missing.windows.size(), 22u);
    for (int i = 0; i < 22; ++i) {
        EXPECT_FALSE(missing.windows[i].show);
        EXPECT_EQ(missing.windows[i].x, 32 + 20 * i);
        EXPECT_EQ(missing.windows[i].y, 32 + 20 * i);
    }

    std::vector<WindowPlacement> windows(22);
    windows[0] = {true, 100, 200};
    windows[8] = {true, -50, 7999};
    takeWindowPosition(windows[3], -1000, 8000);  // both outside: kept
    takeWindowPosition(windows[4], -999, 8000);
    ASSERT_TRUE(writeSettings(data, groups, windows, -4));
    const std::string bytes = test::readBytes(dir.file("dsp_Quorvex.ini"));
    EXPECT_NE(bytes.find("\r\nThis is a settings file for Quorvex v1.81\r\nFilename: dsp_Quorvex.ini\r\n"),
              std::string::npos);
    EXPECT_NE(bytes.find("\r\nWindow.Main.Show               = 1\r\nWindow.Main.X                  = 100\r\n"
                         "Window.Main.Y                  = 200\r\nWindow.Highpass_Filter.Show    = 0\r\n"),
              std::string::npos);
    EXPECT_NE(bytes.find("\r\nWindow.10_Band_Compressor.Show  = 1\r\n"), std::string::npos);
    EXPECT_TRUE(bytes.ends_with("\r\nGeneral.StartupPreset          = -4\r\n"));

    Settings back = readSettings(data, groups);
    EXPECT_TRUE(back.fileFound);
    EXPECT_EQ(back.startupPreset, -4);
    EXPECT_TRUE(back.windows[0].show);
    EXPECT_EQ(back.windows[0].x, 100);
    EXPECT_EQ(back.windows[8].x, -50);
    EXPECT_EQ(back.windows[8].y, 7999);
    EXPECT_EQ(back.windows[3].x, 0);
    EXPECT_EQ(back.windows[4].x, -999);
    EXPECT_FALSE(back.windows[1].show);

    // Odd values: Show is on above 0.5, numbers truncate toward zero and stay in range.
    test::writeBytes(dir.file("dsp_Quorvex.ini"),
                     "x\r\n" + keyLine("General.StartupPreset", "7.9") + keyLine("Window.Main.Show", "0.5") +
                         keyLine("Window.Main.X", "-3.7") + keyLine("Window.Main.Y", "1e30") +
                         keyLine("Window.Highpass_Filter.Show", "0.6"));
    Settings odd = readSettings(data, groups);
    EXPECT_EQ(odd.startupPreset, 7);
    EXPECT_FALSE(odd.windows[0].show);
    EXPECT_TRUE(odd.windows[1].show);
    EXPECT_EQ(odd.windows[0].x, -3);
    EXPECT_EQ(odd.windows[0].y, INT32_MAX);
    EXPECT_EQ(odd.windows[1].x, 52);
}

}  // namespace
}  // namespace qx
