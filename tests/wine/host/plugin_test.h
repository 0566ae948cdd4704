#pragma once
// The fixture of the plug-in tests: each test loads its own copy of the
// plug-in into a fresh test player, with a data directory of its own.
#include <windows.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host_support.h"
#include "player.h"

namespace qx::test {

// The 22 window groups in their fixed order.
const char* const kGroupNames[] = {
    "Main",           "Highpass_Filter",    "Stereo_Processor",   "2_Band_AGC",        "3_Band_EQ",
    "Parametric_EQ",  "10_Band_Processor",  "10_Band_Dynamic_EQ", "10_Band_Compressor", "10_Band_Expander",
    "10_Band_Limiter", "10_Band_Saturator", "10_Band_EQ",         "Final_Limiter",     "Final_Clipper",
    "Lowpass_Filter", "Advanced",           "Test_Tones",         "SpectrumAnalyzer",  "Oscilloscope",
    "Freq_Response",  "Documentation",
};
constexpr int kGroupCount = 22;

using Lines = std::vector<std::pair<std::string, std::string>>;

// Each test loads its own copy of the plug-in (a fresh module: the once-flag
// and the data directory start over) from a data directory of its own, which
// the player's uninstall entry names.
class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dataDir = std::string("C:\\qxtest\\") + info->test_suite_name() + "_" + info->name() + "\\";
        ASSERT_TRUE(makeEmptyDirectory(dataDir));
        ASSERT_TRUE(setUninstallString("\"" + dataDir + "uninst.exe\""));
        dllPath = dataDir + "dsp_Quorvex.dll";
        ASSERT_TRUE(CopyFileA(pluginPath().c_str(), dllPath.c_str(), FALSE)) << pluginPath();
        player = std::make_unique<Player>();
    }

    void TearDown() override {
        if (player->module() != nullptr) player->quit();
        player.reset();
    }

    void load() { ASSERT_TRUE(player->load(dllPath)); }

    std::string path(const char* name) const { return dataDir + name; }

    // A settings file with the console's window state and a start-up preset.
    void writeSettings(bool consoleOpen, int x, int y, int startupPreset) {
        Lines lines = {{"Window.Main.Show", consoleOpen ? "1" : "0"},
                       {"Window.Main.X", std::to_string(x)},
                       {"Window.Main.Y", std::to_string(y)},
                       {"General.StartupPreset", std::to_string(startupPreset)}};
        ASSERT_TRUE(writeWholeFile(path("dsp_Quorvex.ini"), documentText("dsp_Quorvex.ini", lines)));
    }

    // Starts with "OFF" (every stage inactive, no dither): audio passes unchanged.
    HWND startWithEverythingOff() {
        writeSettings(true, 32, 32, -9);
        player->load(dllPath);
        player->init();
        return findConsole();
    }

    std::map<std::string, std::string> savedSettings() const {
        return documentMap(readWholeFile(path("dsp_Quorvex.ini")));
    }

    std::string dataDir;
    std::string dllPath;
    std::unique_ptr<Player> player;
};

}  // namespace qx::test
