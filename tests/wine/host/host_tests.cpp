// Integration tests of dsp_Quorvex.dll driven the way the player drives it:
// export and module, init/config/modify-samples/quit, the settings file, the
// data directory, and the console's controls, timers and meters.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cmath>
#include <cstdlib>

#include "console/control_ids.h"
#include "plugin_test.h"

namespace qx::test {
namespace {

constexpr const char* kNotRunning =
    "Quorvex is not running.  Please select / run the plugin before attempting to configure.";

// ---------------------------------------------------------------------------
// Export, records and resources

TEST_F(PluginTest, ExportGivesOneStableModule) {
    load();
    PluginHeader* header = player->header();
    EXPECT_EQ(header->version, 0x20);
    EXPECT_STREQ(header->description, "Quorvex v1.81");
    PluginModule* module = header->getModule(0);
    EXPECT_EQ(module, header->getModule(0));
    EXPECT_EQ(module, player->module());
    EXPECT_EQ(header->getModule(1), nullptr);
    EXPECT_EQ(header->getModule(-1), nullptr);
    EXPECT_EQ(header->getModule(INT32_MIN), nullptr);
    EXPECT_STREQ(module->description, "Quorvex v1.81");
    EXPECT_NE(module->Config, nullptr);
    EXPECT_NE(module->Init, nullptr);
    EXPECT_NE(module->ModifySamples, nullptr);
    EXPECT_NE(module->Quit, nullptr);
    EXPECT_EQ(module->userData, nullptr);
    // The export has no side effects: the header is the same on every call.
    auto getHeader = reinterpret_cast<PluginHeader* (*)()>(
        reinterpret_cast<void*>(GetProcAddress(player->library(), "winampDSPGetHeader2")));
    ASSERT_NE(getHeader, nullptr);
    EXPECT_EQ(getHeader(), header);
}

TEST_F(PluginTest, ResourcesHoldTheFactoryPresetsAndTheConsole) {
    load();
    HMODULE module = player->library();
    const WORD english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    for (int n = 0; n < 10; ++n) {
        HRSRC info = FindResourceExA(module, "FACTORYPRESETS", MAKEINTRESOURCEA(106 + n), english);
        ASSERT_NE(info, nullptr) << "preset " << n;
        const char* bytes = static_cast<const char*>(LockResource(LoadResource(module, info)));
        const std::string resource(bytes, SizeofResource(module, info));
        char name[32];
        std::snprintf(name, sizeof name, "resources/presets/F%02d.ini", n + 1);
        const std::string file = readWholeFile(sourcePath(name));
        ASSERT_FALSE(file.empty()) << sourcePath(name);
        EXPECT_EQ(resource, file) << name;
    }
    EXPECT_EQ(FindResourceExA(module, "FACTORYPRESETS", MAKEINTRESOURCEA(116), english), nullptr);
    EXPECT_NE(FindResourceA(module, MAKEINTRESOURCEA(QX_DLG_CONSOLE), MAKEINTRESOURCEA(5)), nullptr);  // RT_DIALOG
}

// ---------------------------------------------------------------------------
// Lifecycle

TEST_F(PluginTest, FirstRunOpensTheConsoleAndQuitWritesEveryWindowKey) {
    load();
    ASSERT_FALSE(fileExists(path("dsp_Quorvex.ini")));
    EXPECT_EQ(player->init(), 0);
    HWND console = findConsole();
    ASSERT_NE(console, nullptr) << "init opens the console on first run";
    RECT rect;
    GetWindowRect(console, &rect);
    EXPECT_EQ(rect.left, 32);
    EXPECT_EQ(rect.top, 32);
    EXPECT_EQ(GetWindow(console, GW_OWNER), player->mainWindow());
    EXPECT_TRUE(IsWindowVisible(console));

    // Preset column: ten factory presets, then all 99 slots; F1 is the start-up preset.
    EXPECT_EQ(SendDlgItemMessageA(console, QX_IDC_PRESET_LIST, LB_GETCOUNT, 0, 0), 109);
    EXPECT_EQ(listText(console, QX_IDC_PRESET_LIST, 0), "F1:Enhancer");
    EXPECT_EQ(listText(console, QX_IDC_PRESET_LIST, 9), "F10:OFF");
    EXPECT_EQ(listText(console, QX_IDC_PRESET_LIST, 10), "01:");
    EXPECT_EQ(listText(console, QX_IDC_PRESET_LIST, 108), "99:");
    EXPECT_EQ(SendDlgItemMessageA(console, QX_IDC_PRESET_LIST, LB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(SendDlgItemMessageA(console, QX_IDC_PRESET_LIST, LB_GETITEMDATA, 9, 0), 9);
    EXPECT_EQ(SendDlgItemMessageA(console, QX_IDC_PRESET_LIST, LB_GETITEMDATA, 12, 0), 2);
    EXPECT_EQ(controlText(console, QX_IDC_DEFAULT_LABEL), "Default: F1");
    EXPECT_EQ(controlText(console, QX_IDC_PRESET_NAME), "Enhancer");
    // F1's values are bound to the controls.
    EXPECT_EQ(controlText(console, QX_IDC_DENSITY_LABEL), "2.0");
    EXPECT_EQ(trackbarPosition(console, QX_IDC_DENSITY_SLIDER), 140);
    EXPECT_TRUE(isChecked(console, QX_IDC_DITHER));
    EXPECT_TRUE(isChecked(console, QX_IDC_FINAL_LIMITER_ACTIVE));
    EXPECT_FALSE(isChecked(console, QX_IDC_HIGHPASS_ACTIVE));
    EXPECT_FALSE(isChecked(console, QX_IDC_BYPASS_ALL));

    player->quit();
    EXPECT_EQ(findConsole(), nullptr);
    const Lines lines = documentLines(readWholeFile(path("dsp_Quorvex.ini")));
    ASSERT_EQ(lines.size(), 3u * kGroupCount + 1);
    for (int k = 0; k < kGroupCount; ++k) {
        const std::string prefix = std::string("Window.") + kGroupNames[k] + ".";
        const std::string cascade = std::to_string(32 + 20 * k);
        EXPECT_EQ(lines[3 * k].first, prefix + "Show");
        EXPECT_EQ(lines[3 * k].second, k == 0 ? "1" : "0") << prefix;
        EXPECT_EQ(lines[3 * k + 1], std::make_pair(prefix + "X", cascade));
        EXPECT_EQ(lines[3 * k + 2], std::make_pair(prefix + "Y", cascade));
    }
    EXPECT_EQ(lines.back(), std::make_pair(std::string("General.StartupPreset"), std::string("0")));
    const std::string text = readWholeFile(path("dsp_Quorvex.ini"));
    EXPECT_NE(text.find("\r\nThis is a settings file for Quorvex v1.81\r\nFilename: dsp_Quorvex.ini\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("\r\nWindow.Main.Show               = 1\r\n"), std::string::npos);
}

TEST_F(PluginTest, ConsoleClosedAtShutdownStaysClosedUntilConfig) {
    writeSettings(false, 210, 140, 0);
    load();
    EXPECT_EQ(player->init(), 0);
    player->pump(100);
    EXPECT_EQ(findConsole(), nullptr);
    player->config();
    HWND console = findConsole();
    ASSERT_NE(console, nullptr);
    RECT rect;
    GetWindowRect(console, &rect);
    EXPECT_EQ(rect.left, 210);
    EXPECT_EQ(rect.top, 140);
    // Config again only raises it.
    player->config();
    EXPECT_EQ(dialogsWithCaption("Quorvex v1.81").size(), 1u);
    EXPECT_EQ(findConsole(), console);
}

TEST_F(PluginTest, ConsoleOpenAtShutdownOpensAtStart) {
    writeSettings(true, 120, 90, 0);
    load();
    player->init();
    HWND console = findConsole();
    ASSERT_NE(console, nullptr);
    RECT rect;
    GetWindowRect(console, &rect);
    EXPECT_EQ(rect.left, 120);
    EXPECT_EQ(rect.top, 90);
}

TEST_F(PluginTest, SecondInitChangesNothing) {
    load();
    player->init();
    HWND console = findConsole();
    ASSERT_NE(console, nullptr);
    clickButton(console, QX_IDC_HIGHPASS_ACTIVE);
    ASSERT_TRUE(isChecked(console, QX_IDC_HIGHPASS_ACTIVE));
    SetWindowPos(console, nullptr, 300, 200, 0, 0, SWP_NOSIZE | SWP_NOZORDER);

    EXPECT_EQ(player->init(), 0);
    player->pump(100);
    EXPECT_EQ(findConsole(), console);
    EXPECT_EQ(dialogsWithCaption("Quorvex v1.81").size(), 1u);
    EXPECT_TRUE(isChecked(console, QX_IDC_HIGHPASS_ACTIVE));
    // Reopening binds the stored values again: the switch is still on.
    SendMessageA(console, WM_CLOSE, 0, 0);
    player->config();
    console = findConsole();
    ASSERT_NE(console, nullptr);
    EXPECT_TRUE(isChecked(console, QX_IDC_HIGHPASS_ACTIVE));
    RECT rect;
    GetWindowRect(console, &rect);
    EXPECT_EQ(rect.left, 300);
    EXPECT_EQ(rect.top, 200);
}

TEST_F(PluginTest, NotRunningBeforeInitAndAfterQuit) {
    load();
    MessageBoxWatcher watcher;
    player->config();
    ASSERT_EQ(watcher.count(), 1u);
    EXPECT_EQ(watcher.seen()[0].caption, "Quorvex Configuration");
    EXPECT_EQ(watcher.seen()[0].text, kNotRunning);
    EXPECT_TRUE(watcher.seen()[0].warningIcon);
    EXPECT_EQ(findConsole(), nullptr);

    player->init();
    ASSERT_NE(findConsole(), nullptr);
    const Block input = sineBlock(0.5, 1000.0);
    player->process(input);
    player->quit();
    EXPECT_EQ(findConsole(), nullptr);

    // Stopped: blocks come back untouched, config only complains.
    Block block = sineBlock(0.99, 997.0);
    const Block copy = block;
    EXPECT_EQ(player->module()->ModifySamples(player->module(), block.data(), kBlockFrames, 16, 2, 44100),
              kBlockFrames);
    EXPECT_EQ(block, copy);
    EXPECT_EQ(player->process(copy), copy);
    EXPECT_EQ(player->lastResult(), kBlockFrames);

    watcher.clear();
    player->config();
    ASSERT_EQ(watcher.count(), 1u);
    EXPECT_EQ(watcher.seen()[0].caption, "Quorvex Configuration");
    EXPECT_EQ(watcher.seen()[0].text, kNotRunning);
    EXPECT_EQ(findConsole(), nullptr);
    // A second init after quit finds the once-flag set: still stopped.
    EXPECT_EQ(player->init(), 0);
    EXPECT_EQ(findConsole(), nullptr);
    EXPECT_EQ(player->process(copy), copy);
}

// A player's threads come with floating-point settings of their own: the x87
// unit at double precision (new Windows threads, Microsoft's runtime) and
// denormals flushed. Two copies of the plug-in with F1 get the same blocks,
// one under the program's default settings, one under the player's: the same
// samples come out, and the player's settings come back unchanged. (At double
// precision the C library's pow gives other last bits for most arguments; the
// 16-bit output hides that, the chain's state would not.) The dither is off:
// each copy seeds its generator from the clock at init, and the two inits may
// fall in different seconds.
TEST_F(PluginTest, PlayerFloatingPointSettingsChangeNoSampleAndComeBack) {
    ASSERT_TRUE(writeWholeFile(path("QX_Preset01.ini"),
                               documentText("QX_Preset01.ini", {{"General.Name", "F1 undithered"},
                                                                {"General.BaseFactoryPreset", "0"},
                                                                {"General.QuantizationDither.Active", "0"}})));
    writeSettings(false, 32, 32, 1);
    load();
    player->init();
    const std::string twinPath = dataDir + "twin.dll";
    ASSERT_TRUE(CopyFileA(pluginPath().c_str(), twinPath.c_str(), FALSE));
    Player twin;
    ASSERT_TRUE(twin.load(twinPath));
    twin.init();
    auto controlWord = [] {
        unsigned short word = 0;
        __asm__ volatile("fnstcw %0" : "=m"(word));
        return word;
    };
    auto setControlWord = [](unsigned short word) { __asm__ volatile("fldcw %0" : : "m"(word)); };
    const unsigned short defaultWord = controlWord();
    const unsigned defaultSse = _mm_getcsr();
    constexpr unsigned short kPlayerWord = 0x027f;  // double precision
    constexpr unsigned kPlayerSse = 0x9fc0;         // flush to zero, denormals are zero
    int differing = 0;
    for (int64_t b = 0; b < 400; ++b) {
        Block reference = twoToneBlock(0.4, 55.0 + b, 0.3, 3150.0, b * kBlockFrames);
        Block hosted = reference;
        player->module()->ModifySamples(player->module(), reference.data(), kBlockFrames, 16, 2, kRate);
        setControlWord(kPlayerWord);
        _mm_setcsr(kPlayerSse);
        twin.module()->ModifySamples(twin.module(), hosted.data(), kBlockFrames, 16, 2, kRate);
        const unsigned short wordAfter = controlWord();
        const unsigned sseAfter = _mm_getcsr() & ~0x3fu;  // without the exception flags
        setControlWord(defaultWord);
        _mm_setcsr(defaultSse);
        ASSERT_EQ(wordAfter, kPlayerWord);
        ASSERT_EQ(sseAfter, kPlayerSse);
        differing += reference != hosted;
    }
    EXPECT_EQ(differing, 0);
    twin.quit();
}

TEST_F(PluginTest, QuitWithoutInitWritesNothing) {
    load();
    player->quit();
    player->quit();
    EXPECT_FALSE(fileExists(path("dsp_Quorvex.ini")));
}

TEST_F(PluginTest, ClosingTheConsoleKeepsItsPlaceAndItsClosedState) {
    load();
    player->init();
    HWND console = findConsole();
    ASSERT_NE(console, nullptr);
    SetWindowPos(console, nullptr, 250, 170, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    SendMessageA(console, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(console));
    EXPECT_EQ(findConsole(), nullptr);
    player->quit();
    const auto saved = savedSettings();
    EXPECT_EQ(saved.at("Window.Main.Show"), "0");
    EXPECT_EQ(saved.at("Window.Main.X"), "250");
    EXPECT_EQ(saved.at("Window.Main.Y"), "170");
}

TEST_F(PluginTest, ReopenedConsoleRemembersTheListSelection) {
    load();
    player->init();
    HWND console = findConsole();
    ASSERT_NE(console, nullptr);
    SendDlgItemMessageA(console, QX_IDC_PRESET_LIST, LB_SETCURSEL, 14, 0);
    SendMessageA(console, WM_CLOSE, 0, 0);
    player->config();
    console = findConsole();
    ASSERT_NE(console, nullptr);
    EXPECT_EQ(SendDlgItemMessageA(console, QX_IDC_PRESET_LIST, LB_GETCURSEL, 0, 0), 14);
}

TEST_F(PluginTest, HostDestroyingItsWindowBeforeQuitKeepsTheMovedPosition) {
    load();
    player->init();
    HWND console = findConsole();
    ASSERT_NE(console, nullptr);
    SetWindowPos(console, nullptr, 260, 180, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    DestroyWindow(player->mainWindow());  // takes the console, its owned window, with it
    EXPECT_FALSE(IsWindow(console));
    player->quit();
    const auto saved = savedSettings();
    EXPECT_EQ(saved.at("Window.Main.X"), "260");
    EXPECT_EQ(saved.at("Window.Main.Y"), "180");
}

TEST_F(PluginTest, OffScreenPositionIsNotSaved) {
    writeSettings(true, 64, 48, 0);
    load();
    player->init();
    HWND console = findConsole();
    ASSERT_NE(console, nullptr);
    SetWindowPos(console, nullptr, -32000, -32000, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    player->quit();
    const auto saved = savedSettings();
    EXPECT_EQ(saved.at("Window.Main.Show"), "1");
    EXPECT_EQ(saved.at("Window.Main.X"), "64");
    EXPECT_EQ(saved.at("Window.Main.Y"), "48");
}

// ---------------------------------------------------------------------------
// Data directory, user presets and the selection file

TEST_F(PluginTest, UninstallEntryNamesTheDataDirectory) {
    // A user preset built on F10 with its own name and density drive.
    ASSERT_TRUE(writeWholeFile(path("QX_Preset05.ini"),
                               documentText("QX_Preset05.ini", {{"General.Name", "Remote Five"},
                                                                {"General.BaseFactoryPreset", "-9"},
                                                                {"General.DensityDrive.dB", "3.5"}})));
    load();
    player->init();
    HWND console = findConsole();
    ASSERT_NE(console, nullptr);
    EXPECT_EQ(listText(console, QX_IDC_PRESET_LIST, 14), "05:Remote Five");
    EXPECT_EQ(controlText(console, QX_IDC_DENSITY_LABEL), "2.0");

    // The console's slow timer consumes a selection file within a tick.
    ASSERT_TRUE(writeWholeFile(path("QX_Select.tmp"), "5 def"));
    EXPECT_TRUE(player->pumpUntil([&] { return !fileExists(path("QX_Select.tmp")); }, 3000));
    player->pump(50);
    EXPECT_EQ(controlText(console, QX_IDC_DEFAULT_LABEL), "Default: 5");
    EXPECT_EQ(controlText(console, QX_IDC_PRESET_NAME), "Remote Five");
    EXPECT_EQ(controlText(console, QX_IDC_DENSITY_LABEL), "3.5");
    EXPECT_FALSE(isChecked(console, QX_IDC_DITHER));  // from the base, F10

    player->quit();
    EXPECT_EQ(savedSettings().at("General.StartupPreset"), "5");
    EXPECT_FALSE(fileExists("C:\\dsp_Quorvex.ini"));
}

TEST_F(PluginTest, PlaybackPollsTheSelectionFileWhileTheConsoleIsClosed) {
    writeSettings(false, 32, 32, 0);
    load();
    player->init();
    ASSERT_EQ(findConsole(), nullptr);
    ASSERT_TRUE(writeWholeFile(path("QX_Select.tmp"), "-9 DEF"));
    // Nothing polls without playback.
    player->pump(800);
    EXPECT_TRUE(fileExists(path("QX_Select.tmp")));

    player->startPlayback([](int64_t frame) { return sineBlock(0.25, 440.0, frame); });
    EXPECT_TRUE(player->pumpUntil([&] { return !fileExists(path("QX_Select.tmp")); }, 5000));
    player->stopPlayback();

    // F10 is loaded and is the start-up preset now.
    player->config();
    HWND console = findConsole();
    ASSERT_NE(console, nullptr);
    EXPECT_EQ(controlText(console, QX_IDC_PRESET_NAME), "OFF");
    EXPECT_EQ(controlText(console, QX_IDC_DEFAULT_LABEL), "Default: F10");
    EXPECT_EQ(SendDlgItemMessageA(console, QX_IDC_PRESET_LIST, LB_GETCURSEL, 0, 0), 9);
    player->quit();
    EXPECT_EQ(savedSettings().at("General.StartupPreset"), "-9");
}

// Plays a tone through F1 (about 1 s of delay) while a selection file that
// cannot be deleted asks for F1; returns how many blocks were silent after the
// first 1.5 s, by when the delay after the load's reset has filled.
int silentBlocksWithUndeletableSelection(Player& player, const std::string& selection, HWND console) {
    std::atomic<int> silentLate{0};
    std::atomic<int64_t> played{0};
    player.startPlayback([](int64_t frame) { return sineBlock(0.25, 440.0, frame); },
                         [&](const Block& out) {
                             int peak = 0;
                             for (int16_t s : out) peak = std::max(peak, std::abs(static_cast<int>(s)));
                             if (played.fetch_add(kBlockFrames) > 66150 && peak < 1000) ++silentLate;
                         });
    player.pump(1800);
    if (console != nullptr) {
        // An edit made now must survive the polls that follow.
        pressKey(console, QX_IDC_DENSITY_SLIDER, VK_NEXT);
        const std::string edited = controlText(console, QX_IDC_DENSITY_LABEL);
        player.pump(2200);
        EXPECT_EQ(controlText(console, QX_IDC_DENSITY_LABEL), edited);
    } else {
        player.pump(4200);
    }
    player.stopPlayback();
    EXPECT_TRUE(fileExists(selection));  // it could not be deleted
    return silentLate.load();
}

TEST_F(PluginTest, ASelectionFileThatCannotBeDeletedIsAppliedOnce) {
    const std::string selection = path("QX_Select.tmp");
    for (const bool consoleOpen : {true, false}) {
        writeSettings(consoleOpen, 32, 32, -9);
        player = std::make_unique<Player>();
        load();
        player->init();
        HWND console = findConsole();
        ASSERT_EQ(console != nullptr, consoleOpen);
        SetFileAttributesA(selection.c_str(), FILE_ATTRIBUTE_NORMAL);
        ASSERT_TRUE(writeWholeFile(selection, "0"));
        ASSERT_TRUE(SetFileAttributesA(selection.c_str(), FILE_ATTRIBUTE_READONLY));
        // With the console open its timer applies the file; without it the
        // first block of playback does.
        if (consoleOpen) {
            ASSERT_TRUE(player->pumpUntil([&] { return controlText(console, QX_IDC_PRESET_NAME) == "Enhancer"; }, 3000));
        }
        EXPECT_EQ(silentBlocksWithUndeletableSelection(*player, selection, console), 0)
            << (consoleOpen ? "console open" : "console closed");
        if (consoleOpen) {
            EXPECT_EQ(controlText(console, QX_IDC_PRESET_NAME), "Enhancer");
            // New contents are a new request, applied once.
            SetFileAttributesA(selection.c_str(), FILE_ATTRIBUTE_NORMAL);
            ASSERT_TRUE(writeWholeFile(selection, "-9"));
            SetFileAttributesA(selection.c_str(), FILE_ATTRIBUTE_READONLY);
            EXPECT_TRUE(player->pumpUntil([&] { return controlText(console, QX_IDC_PRESET_NAME) == "OFF"; }, 3000));
            pressKey(console, QX_IDC_DENSITY_SLIDER, VK_NEXT);
            const std::string edited = controlText(console, QX_IDC_DENSITY_LABEL);
            player->pump(1600);
            EXPECT_EQ(controlText(console, QX_IDC_DENSITY_LABEL), edited);
        }
        player->quit();
        player.reset();
    }
    SetFileAttributesA(selection.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(selection.c_str());
    player = std::make_unique<Player>();
}

TEST_F(PluginTest, WithoutUninstallEntryTheFirstDriveIsUsed) {
    ASSERT_TRUE(removeUninstallString());
    DeleteFileA("C:\\dsp_Quorvex.ini");
    load();
    player->init();
    player->quit();
    EXPECT_TRUE(fileExists("C:\\dsp_Quorvex.ini"));
    EXPECT_FALSE(fileExists(path("dsp_Quorvex.ini")));
    DeleteFileA("C:\\dsp_Quorvex.ini");
}

// ---------------------------------------------------------------------------
// Console controls and timers

TEST_F(PluginTest, ActiveBoxesChangeTheNextBlock) {
    HWND console = startWithEverythingOff();
    ASSERT_NE(console, nullptr);
    EXPECT_EQ(controlText(console, QX_IDC_PRESET_NAME), "OFF");
    ASSERT_FALSE(isChecked(console, QX_IDC_FINAL_CLIPPER_ACTIVE));
    const Block loud = sineBlock(0.9, 1000.0);
    EXPECT_EQ(player->process(loud), loud) << "every stage off passes audio unchanged";

    clickButton(console, QX_IDC_FINAL_CLIPPER_ACTIVE);
    EXPECT_TRUE(isChecked(console, QX_IDC_FINAL_CLIPPER_ACTIVE));
    const Block clipped = player->process(loud);
    EXPECT_NE(clipped, loud);
    int16_t peak = 0;
    for (int16_t s : clipped) peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(s)));
    EXPECT_LT(peak, 29491);  // the soft clipper pulls the 0.9 peaks down

    clickButton(console, QX_IDC_BYPASS_ALL);
    EXPECT_TRUE(isChecked(console, QX_IDC_BYPASS_ALL));
    EXPECT_EQ(player->process(loud), loud);
    clickButton(console, QX_IDC_BYPASS_ALL);
    EXPECT_NE(player->process(loud), loud);

    clickButton(console, QX_IDC_FINAL_CLIPPER_ACTIVE);
    EXPECT_FALSE(isChecked(console, QX_IDC_FINAL_CLIPPER_ACTIVE));
    EXPECT_EQ(player->process(loud), loud);

    // The dither box: its noise changes the quiet block at once.
    const Block quiet = sineBlock(0.01, 300.0);
    EXPECT_EQ(player->process(quiet), quiet);
    clickButton(console, QX_IDC_DITHER);
    EXPECT_NE(player->process(quiet), quiet);
}

TEST_F(PluginTest, DensityDriveStoresTheValueItsLabelShows) {
    HWND console = startWithEverythingOff();
    ASSERT_NE(console, nullptr);
    ASSERT_EQ(controlText(console, QX_IDC_DENSITY_LABEL), "0.0");
    ASSERT_EQ(trackbarPosition(console, QX_IDC_DENSITY_SLIDER), 120);  // -12..36 dB in 0.1 dB steps

    pressKey(console, QX_IDC_DENSITY_SLIDER, VK_RIGHT);  // one line: 0.1 dB
    EXPECT_EQ(trackbarPosition(console, QX_IDC_DENSITY_SLIDER), 121);
    EXPECT_EQ(controlText(console, QX_IDC_DENSITY_LABEL), "0.1");
    for (int i = 0; i < 6; ++i) pressKey(console, QX_IDC_DENSITY_SLIDER, VK_NEXT);  // pages of 1 dB
    pressKey(console, QX_IDC_DENSITY_SLIDER, VK_LEFT);
    EXPECT_EQ(trackbarPosition(console, QX_IDC_DENSITY_SLIDER), 180);
    ASSERT_EQ(controlText(console, QX_IDC_DENSITY_LABEL), "6.0");

    // The next block is amplified by exactly 6.0 dB (all stages off).
    const Block input = sineBlock(0.25, 1000.0);
    const Block output = player->process(input);
    const double gain = std::pow(10.0, 6.0 * 0.05);
    const double nearGain = std::pow(10.0, 5.9 * 0.05);
    int nearMisses = 0;
    for (size_t i = 0; i < input.size(); ++i) {
        const int expected = static_cast<int>(input[i] / 32768.0 * gain * 32768.0);
        EXPECT_NEAR(output[i], expected, 1) << i;
        if (std::abs(output[i] - static_cast<int>(input[i] / 32768.0 * nearGain * 32768.0)) > 1) ++nearMisses;
    }
    EXPECT_GT(nearMisses, 100);

    // Moving the thumb by a message works the same way.
    SendDlgItemMessageA(console, QX_IDC_DENSITY_SLIDER, TBM_SETPOS, TRUE, 0);
    SendMessageA(console, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, 0),
                 reinterpret_cast<LPARAM>(GetDlgItem(console, QX_IDC_DENSITY_SLIDER)));
    EXPECT_EQ(controlText(console, QX_IDC_DENSITY_LABEL), "-12.0");
    SendDlgItemMessageA(console, QX_IDC_DENSITY_SLIDER, TBM_SETPOS, TRUE, 180);
    SendMessageA(console, WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0),
                 reinterpret_cast<LPARAM>(GetDlgItem(console, QX_IDC_DENSITY_SLIDER)));
    EXPECT_EQ(controlText(console, QX_IDC_DENSITY_LABEL), "6.0");

    // Reopened, the console shows the stored value again.
    SendMessageA(console, WM_CLOSE, 0, 0);
    player->config();
    console = findConsole();
    ASSERT_NE(console, nullptr);
    EXPECT_EQ(controlText(console, QX_IDC_DENSITY_LABEL), "6.0");
    EXPECT_EQ(trackbarPosition(console, QX_IDC_DENSITY_SLIDER), 180);
    EXPECT_EQ(controlText(console, QX_IDC_POSTAMP_LABEL), "0.0");
    EXPECT_EQ(trackbarPosition(console, QX_IDC_POSTAMP_SLIDER), 240);
}

TEST_F(PluginTest, ValueLabelClickFocusesItsSlider) {
    HWND console = startWithEverythingOff();
    ASSERT_NE(console, nullptr);
    SendMessageA(console, WM_COMMAND, MAKEWPARAM(QX_IDC_POSTAMP_LABEL, STN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(console, QX_IDC_POSTAMP_LABEL)));
    EXPECT_EQ(GetFocus(), GetDlgItem(console, QX_IDC_POSTAMP_SLIDER));
    pressKey(console, QX_IDC_POSTAMP_SLIDER, VK_LEFT);
    EXPECT_EQ(controlText(console, QX_IDC_POSTAMP_LABEL), "-0.1");
}

TEST_F(PluginTest, SettingsChangedBlinksAfterAnEditUntilALoad) {
    HWND console = startWithEverythingOff();
    ASSERT_NE(console, nullptr);
    auto shown = [&] { return controlText(console, QX_IDC_STATUS) == "Settings Changed"; };
    EXPECT_FALSE(player->pumpUntil(shown, 1600)) << "nothing edited yet";

    clickButton(console, QX_IDC_LOWPASS_ACTIVE);
    EXPECT_TRUE(player->pumpUntil(shown, 3000));
    EXPECT_TRUE(player->pumpUntil([&] { return !shown(); }, 2000)) << "blank in the other half of the blink";
    EXPECT_TRUE(player->pumpUntil(shown, 2000)) << "and back";

    // A preset load (here through the selection file) ends it.
    ASSERT_TRUE(writeWholeFile(path("QX_Select.tmp"), "-9"));
    ASSERT_TRUE(player->pumpUntil([&] { return !fileExists(path("QX_Select.tmp")); }, 3000));
    // The tick that loaded may have shown the text just before; the next one clears it.
    EXPECT_TRUE(player->pumpUntil([&] { return !shown(); }, 2000));
    EXPECT_FALSE(player->pumpUntil(shown, 1600));
    EXPECT_FALSE(isChecked(console, QX_IDC_LOWPASS_ACTIVE));
}

TEST_F(PluginTest, MetersFollowPlayback) {
    HWND console = startWithEverythingOff();
    ASSERT_NE(console, nullptr);
    EXPECT_EQ(progressPosition(console, QX_IDC_IN_METER), 0);
    EXPECT_EQ(progressPosition(console, QX_IDC_OUT_METER), 0);
    player->startPlayback([](int64_t frame) { return sineBlock(0.5, 440.0, frame); });
    EXPECT_TRUE(player->pumpUntil([&] {
        return progressPosition(console, QX_IDC_IN_METER) > 400 && progressPosition(console, QX_IDC_OUT_METER) > 400;
    }, 3000));
    player->stopPlayback();
    // A -6 dBFS sine reads about 50 %.
    const int in = std::atoi(controlText(console, QX_IDC_IN_LABEL).c_str());
    const int out = std::atoi(controlText(console, QX_IDC_OUT_LABEL).c_str());
    EXPECT_GE(in, 40);
    EXPECT_LE(in, 50);
    EXPECT_GE(out, 40);
    EXPECT_LE(out, 50);
}

TEST_F(PluginTest, HardClipShowsAfterClippingAndClearsAfterwards) {
    HWND console = startWithEverythingOff();
    ASSERT_NE(console, nullptr);
    player->pump(800);
    EXPECT_EQ(controlText(console, QX_IDC_CLIP_TEXT), "");
    player->process(sineBlock(1.0, 1000.0));  // reaches the output clamp
    EXPECT_TRUE(player->pumpUntil([&] { return controlText(console, QX_IDC_CLIP_TEXT) == "Hard Clip"; }, 3000));
    EXPECT_TRUE(player->pumpUntil([&] { return controlText(console, QX_IDC_CLIP_TEXT).empty(); }, 3000));
    player->process(sineBlock(0.5, 1000.0));
    EXPECT_FALSE(player->pumpUntil([&] { return !controlText(console, QX_IDC_CLIP_TEXT).empty(); }, 1600));
}

TEST_F(PluginTest, FrequencyResponseRefusesDuringPlayback) {
    HWND console = startWithEverythingOff();
    ASSERT_NE(console, nullptr);
    MessageBoxWatcher watcher;
    player->startPlayback([](int64_t frame) { return sineBlock(0.25, 440.0, frame); });
    player->pump(200);
    clickButton(console, QX_IDC_FREQ_RESPONSE);
    player->stopPlayback();
    ASSERT_EQ(watcher.count(), 1u);
    EXPECT_EQ(watcher.seen()[0].caption, "Quorvex");
    EXPECT_EQ(watcher.seen()[0].text, "You must stop playback before using this function");
    EXPECT_TRUE(watcher.seen()[0].warningIcon);

    // A second after the last block the check passes.
    player->pump(1100);
    clickButton(console, QX_IDC_FREQ_RESPONSE);
    player->pump(100);
    EXPECT_EQ(watcher.count(), 1u);
    EXPECT_EQ(findConsole(), console);
}

TEST_F(PluginTest, OpenButtonsAndToolsKeepTheConsoleRunning) {
    HWND console = startWithEverythingOff();
    ASSERT_NE(console, nullptr);
    MessageBoxWatcher watcher;
    for (int id : {QX_IDC_HIGHPASS_OPEN, QX_IDC_COMPRESSOR_OPEN, QX_IDC_ADVANCED, QX_IDC_TEST_TONES, QX_IDC_SPECTRUM,
                   QX_IDC_OSCILLOSCOPE, QX_IDC_HELP})
        clickButton(console, id);
    player->pump(100);
    EXPECT_EQ(findConsole(), console);
    EXPECT_EQ(watcher.count(), 0u);
    player->quit();
    EXPECT_EQ(savedSettings().size(), 3u * kGroupCount + 1);
}

TEST_F(PluginTest, Screenshot) {
    const std::string directory = screenshotDirectory();
    if (directory.empty()) GTEST_SKIP() << "QX_SCREENSHOT_DIR not set";
    load();
    player->init();
    HWND console = findConsole();
    ASSERT_NE(console, nullptr);
    player->startPlayback([](int64_t frame) { return twoToneBlock(0.3, 220.0, 0.3, 3150.0, frame); });
    // An edit, so the status line has something to show.
    clickButton(console, QX_IDC_BYPASS_ALL);
    clickButton(console, QX_IDC_BYPASS_ALL);
    player->pump(3000);
    ASSERT_TRUE(player->pumpUntil([&] { return controlText(console, QX_IDC_STATUS) == "Settings Changed"; }, 2000));
    player->stopPlayback();
    SetFocus(GetDlgItem(console, QX_IDC_PRESET_LIST));
    RedrawWindow(console, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    player->pump(50);
    EXPECT_TRUE(saveWindowBitmap(console, directory + "console.bmp"));
}

}  // namespace
}  // namespace qx::test

int main(int argc, char** argv) {
    // The player registers the common controls before it loads plug-ins.
    qx::test::registerCommonControls();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
