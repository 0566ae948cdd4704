// The stage windows and the test tone window, opened from the console's
// buttons and checked against the parameter catalogue: captions, control ids,
// kinds, ranges, the values their labels show, band visibility, layout, and a
// screenshot of each.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "console/control_ids.h"
#include "params/parameter_table.h"
#include "params/slider.h"
#include "plugin_test.h"

namespace qx::test {
namespace {

struct StageWindow {
    int button;
    const char* group;
    const char* caption;
};

// Every window the console opens from a button, with its exact caption.
const StageWindow kStageWindows[] = {
    {QX_IDC_HIGHPASS_OPEN, "Highpass_Filter", "Highpass Filter"},
    {QX_IDC_STEREO_OPEN, "Stereo_Processor", "Quorvex - Stereo Image Processor"},
    {QX_IDC_AGC_OPEN, "2_Band_AGC", "Quorvex - 2 Band AGC / Equalizer"},
    {QX_IDC_3BAND_OPEN, "3_Band_EQ", "Quorvex - 3 Band Equalizer"},
    {QX_IDC_PEQ_OPEN, "Parametric_EQ", "Quorvex - Dual Parametric EQ"},
    {QX_IDC_PROCESSOR_OPEN, "10_Band_Processor", "Quorvex - Multiband Processor"},
    {QX_IDC_DYNEQ_OPEN, "10_Band_Dynamic_EQ", "Quorvex - Multiband Dynamic Equalizer"},
    {QX_IDC_COMPRESSOR_OPEN, "10_Band_Compressor", "Quorvex - Multiband Compressor"},
    {QX_IDC_EXPANDER_OPEN, "10_Band_Expander", "Quorvex - Multiband Expander"},
    {QX_IDC_LIMITER_OPEN, "10_Band_Limiter", "Quorvex - Multiband Limiter"},
    {QX_IDC_SATURATOR_OPEN, "10_Band_Saturator", "Quorvex - Multiband Saturator / Clipper"},
    {QX_IDC_10BAND_OPEN, "10_Band_EQ", "Quorvex - Multiband Graphic Equalizer"},
    {QX_IDC_FINAL_LIMITER_OPEN, "Final_Limiter", "Quorvex - Final Wideband Limiter"},
    {QX_IDC_FINAL_CLIPPER_OPEN, "Final_Clipper", "Quorvex - Final Clipper"},
    {QX_IDC_LOWPASS_OPEN, "Lowpass_Filter", "Lowpass Filter"},
    {QX_IDC_ADVANCED, "Advanced", "Quorvex - Advanced Settings"},
    {QX_IDC_TEST_TONES, "Test_Tones", "Test Tone Gen"},
};

// The catalogue the plug-in binds, built here independently of the plug-in.
const ParameterTable& catalogue() {
    static std::unique_ptr<ChainState> state = std::make_unique<ChainState>();
    static const ParameterTable table = buildParameterTable(*state);
    return table;
}

const ParameterGroup& groupNamed(const std::string& name) {
    for (const ParameterGroup& group : catalogue().groups)
        if (group.name == name) return group;
    throw std::runtime_error("no group " + name);
}

bool isSlider(const ParameterRecord& r) {
    return r.kind == ControlKind::VerticalSlider || r.kind == ControlKind::HorizontalSlider;
}

std::string className(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    for (char* c = name; *c != '\0'; ++c) *c = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    return name;
}

// The record's control is there with its kind and range; a slider sits where
// its label's value puts it.
void expectBound(HWND window, const ParameterRecord& r, const std::string& where) {
    SCOPED_TRACE(where + " control " + std::to_string(r.controlId) + " " + r.key);
    HWND control = GetDlgItem(window, static_cast<int>(r.controlId));
    ASSERT_NE(control, nullptr);
    const LONG style = GetWindowLongA(control, GWL_STYLE);
    if (r.labelId != 0) {
        HWND label = GetDlgItem(window, static_cast<int>(r.labelId));
        ASSERT_NE(label, nullptr) << "label " << r.labelId;
        EXPECT_EQ(className(label), "static");
        EXPECT_NE(GetWindowLongA(label, GWL_STYLE) & SS_NOTIFY, 0);
    }
    switch (r.kind) {
    case ControlKind::VerticalSlider:
    case ControlKind::HorizontalSlider: {
        EXPECT_EQ(className(control), "msctls_trackbar32");
        EXPECT_EQ((style & TBS_VERT) != 0, r.kind == ControlKind::VerticalSlider);
        const SliderRange range = sliderRange(r);
        EXPECT_EQ(SendMessageA(control, TBM_GETRANGEMIN, 0, 0), 0);
        EXPECT_EQ(SendMessageA(control, TBM_GETRANGEMAX, 0, 0), range.range);
        EXPECT_EQ(SendMessageA(control, TBM_GETLINESIZE, 0, 0), range.lineSize);
        EXPECT_EQ(SendMessageA(control, TBM_GETPAGESIZE, 0, 0), range.pageSize);
        const double shown = std::atof(controlText(window, static_cast<int>(r.labelId)).c_str());
        EXPECT_EQ(SendMessageA(control, TBM_GETPOS, 0, 0), sliderPosition(r, shown));
        break;
    }
    case ControlKind::Switch:
        EXPECT_EQ(className(control), "button");
        EXPECT_EQ(style & BS_TYPEMASK, BS_AUTOCHECKBOX);
        break;
    case ControlKind::Meter:
        EXPECT_EQ(className(control), "msctls_progress32");
        EXPECT_NE(style & PBS_VERTICAL, 0);
        EXPECT_EQ(SendMessageA(control, PBM_GETRANGE, FALSE, 0), 1000);
        break;
    }
}

class WindowTest : public PluginTest {
protected:
    HWND open(HWND console, const StageWindow& w) {
        clickButton(console, w.button);
        const std::vector<HWND> found = dialogsWithCaption(w.caption);
        return found.size() == 1 ? found.front() : nullptr;
    }
    static void closeBox(HWND window) { SendMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0); }
};

TEST_F(WindowTest, EveryButtonOpensItsWindowBoundToItsRecords) {
    HWND console = startWithEverythingOff();
    ASSERT_NE(console, nullptr);
    // The console's outer group boxes keep 4 dialog units from its edges.
    for (const std::string& problem : layoutProblems(console, 6)) ADD_FAILURE() << "console: " << problem;
    int k = 0;
    for (const StageWindow& w : kStageWindows) {
        SCOPED_TRACE(w.caption);
        HWND window = open(console, w);
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(GetWindow(window, GW_OWNER), player->mainWindow());
        EXPECT_NE(GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW, 0);
        EXPECT_NE(GetWindowLongA(window, GWL_STYLE) & WS_SYSMENU, 0);
        for (const ParameterRecord& r : groupNamed(w.group).records) expectBound(window, r, w.group);
        for (const std::string& problem : layoutProblems(window)) ADD_FAILURE() << problem;

        // A second click raises the same window; the close box closes it and
        // it reopens where it was.
        EXPECT_EQ(open(console, w), window);
        const int x = 40 + 13 * k, y = 30 + 7 * k;
        SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        closeBox(window);
        EXPECT_FALSE(IsWindow(window));
        window = open(console, w);
        ASSERT_NE(window, nullptr);
        RECT rect;
        GetWindowRect(window, &rect);
        EXPECT_EQ(rect.left, x);
        EXPECT_EQ(rect.top, y);
        if (k % 2 == 1) closeBox(window);  // the others stay open until quit
        ++k;
    }
    player->quit();
    const auto saved = savedSettings();
    k = 0;
    for (const StageWindow& w : kStageWindows) {
        const std::string prefix = std::string("Window.") + w.group + ".";
        EXPECT_EQ(saved.at(prefix + "Show"), k % 2 == 1 ? "0" : "1") << w.group;
        EXPECT_EQ(saved.at(prefix + "X"), std::to_string(40 + 13 * k)) << w.group;
        EXPECT_EQ(saved.at(prefix + "Y"), std::to_string(30 + 7 * k)) << w.group;
        ++k;
    }
}

TEST_F(WindowTest, EverySliderAndBoxStoresWhatItShows) {
    HWND console = startWithEverythingOff();
    ASSERT_NE(console, nullptr);
    // Labels after the moves, by key; switches by key.
    std::map<std::string, std::string> shown;
    int turn = 0;
    for (const StageWindow& w : kStageWindows) {
        HWND window = open(console, w);
        ASSERT_NE(window, nullptr) << w.caption;
        for (const ParameterRecord& r : groupNamed(w.group).records) {
            const int id = static_cast<int>(r.controlId);
            if (isSlider(r)) {
                // Spread over the range, ends included.
                const int range = sliderRange(r).range;
                const int position = (turn % 5 == 0) ? 0 : (turn % 5 == 4) ? range : (range * (turn * 37 % 100)) / 100;
                dragSlider(window, id, position);
                EXPECT_EQ(trackbarPosition(window, id), position);
                const std::string label = controlText(window, static_cast<int>(r.labelId));
                EXPECT_EQ(label, valueText(r, sliderValue(r, position))) << r.key << " at " << position;
                if (!r.key.empty()) shown[r.key] = label;
            } else if (r.kind == ControlKind::Switch) {
                if (turn % 2 == 0) clickButton(window, id);
                if (!r.key.empty()) shown[r.key] = isChecked(window, id) ? "1" : "0";
            }
            ++turn;
        }
    }
    // Saved, the preset holds exactly what the labels and boxes show.
    SetDlgItemTextA(console, QX_IDC_PRESET_NAME, "Moved");
    selectEntry(console, QX_IDC_PRESET_LIST, 10);
    clickButton(console, QX_IDC_SAVE);
    const Lines lines = documentLines(readWholeFile(path("QX_Preset01.ini")));
    ASSERT_EQ(lines.size(), 342u) << "name, base and the 340 parameters; no test tone values";
    EXPECT_EQ(lines[0], std::make_pair(std::string("General.Name"), std::string("Moved")));
    size_t compared = 0;
    for (const auto& [key, value] : lines) {
        const auto found = shown.find(key);
        if (found == shown.end()) continue;
        EXPECT_EQ(value, found->second) << key;
        ++compared;
    }
    EXPECT_EQ(compared, shown.size());
    EXPECT_GT(compared, 300u);
}

TEST_F(WindowTest, SliderEdgeCases) {
    HWND console = startWithEverythingOff();  // F10: threshold -6.0, lowpass 18000 Hz, highpass 30 Hz
    ASSERT_NE(console, nullptr);
    // Density drive: -12..36 dB in tenths, ticks every 6 dB, 0 dB at 120.
    EXPECT_EQ(SendDlgItemMessageA(console, QX_IDC_DENSITY_SLIDER, TBM_GETRANGEMAX, 0, 0), 480);
    EXPECT_EQ(SendDlgItemMessageA(console, QX_IDC_DENSITY_SLIDER, TBM_GETNUMTICS, 0, 0), 9);
    EXPECT_EQ(trackbarPosition(console, QX_IDC_DENSITY_SLIDER), 120);

    HWND compressor = open(console, kStageWindows[7]);
    ASSERT_NE(compressor, nullptr);
    EXPECT_EQ(trackbarPosition(compressor, 1001), 300);
    EXPECT_EQ(controlText(compressor, 1004), "-6.0");
    // A click on a value label gives its slider the keys.
    SendMessageA(compressor, WM_COMMAND, MAKEWPARAM(1004, STN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(compressor, 1004)));
    EXPECT_EQ(GetFocus(), GetDlgItem(compressor, 1001));
    pressKey(compressor, 1001, VK_UP);
    EXPECT_EQ(controlText(compressor, 1004), "-5.9");

    HWND lowpass = open(console, kStageWindows[14]);
    ASSERT_NE(lowpass, nullptr);
    EXPECT_EQ(trackbarPosition(lowpass, 1055), 18);
    EXPECT_EQ(controlText(lowpass, 1056), "18000");
    pressKey(lowpass, 1055, VK_DOWN);
    EXPECT_EQ(trackbarPosition(lowpass, 1055), 19);
    EXPECT_EQ(controlText(lowpass, 1056), "17953");
    pressKey(lowpass, 1055, VK_UP);
    pressKey(lowpass, 1055, VK_UP);
    EXPECT_EQ(trackbarPosition(lowpass, 1055), 17);
    EXPECT_EQ(controlText(lowpass, 1056), "18203");  // 18203.5 Hz

    HWND highpass = open(console, kStageWindows[0]);
    ASSERT_NE(highpass, nullptr);
    EXPECT_EQ(trackbarPosition(highpass, 1055), 341);
    EXPECT_EQ(controlText(highpass, 1056), "30");
}

TEST_F(WindowTest, FilterbankLayoutHidesAndShowsBandControls) {
    HWND console = startWithEverythingOff();
    ASSERT_NE(console, nullptr);
    std::vector<std::pair<HWND, const ParameterGroup*>> perBand;
    for (const StageWindow& w : kStageWindows) {
        HWND window = open(console, w);
        ASSERT_NE(window, nullptr);
        if (GetDlgItem(window, QX_IDC_BAND_LABEL_FIRST) != nullptr) perBand.emplace_back(window, &groupNamed(w.group));
    }
    ASSERT_EQ(perBand.size(), 8u);
    HWND advanced = dialogsWithCaption("Quorvex - Advanced Settings").front();

    auto expectBands = [&](int count) {
        for (const auto& [window, group] : perBand) {
            SCOPED_TRACE(group->name + " with " + std::to_string(count) + " bands");
            for (const ParameterRecord& r : group->records) {
                const bool shown = r.band <= count;
                EXPECT_EQ(IsWindowVisible(GetDlgItem(window, static_cast<int>(r.controlId))) != 0, shown) << r.controlId;
                if (r.labelId != 0) {
                    EXPECT_EQ(IsWindowVisible(GetDlgItem(window, static_cast<int>(r.labelId))) != 0, shown) << r.labelId;
                }
            }
            for (int band = 1; band <= 10; ++band)
                EXPECT_EQ(controlText(window, QX_IDC_BAND_LABEL_FIRST + band - 1).empty(), band > count) << band;
            for (const std::string& problem : layoutProblems(window)) ADD_FAILURE() << problem;
        }
    };
    expectBands(10);
    dragSlider(advanced, QX_IDC_FILTERBANK_SLIDER, 0);  // the top: layout 5, three bands
    EXPECT_EQ(controlText(advanced, 1062), "5");
    expectBands(3);
    EXPECT_EQ(controlText(perBand.front().first, QX_IDC_BAND_LABEL_FIRST), "<2H");
    dragSlider(advanced, QX_IDC_FILTERBANK_SLIDER, 2);  // layout 3, five bands
    expectBands(5);
    dragSlider(advanced, QX_IDC_FILTERBANK_SLIDER, 4);  // layout 1
    EXPECT_EQ(controlText(advanced, 1062), "1");
    expectBands(10);
    EXPECT_EQ(controlText(perBand.front().first, QX_IDC_BAND_LABEL_FIRST + 9), "16K");
}

TEST_F(WindowTest, TestTonesReachTheAudioAndOutliveTheirWindow) {
    HWND console = startWithEverythingOff();
    ASSERT_NE(console, nullptr);
    HWND tones = open(console, kStageWindows[16]);
    ASSERT_NE(tones, nullptr);
    EXPECT_EQ(controlText(tones, 1028), "-12.0");
    EXPECT_EQ(trackbarPosition(tones, 1027), 240);
    EXPECT_EQ(controlText(tones, 1029), "640");
    EXPECT_EQ(trackbarPosition(tones, 1001), 500);
    for (int box : {1024, 1025, 1026}) EXPECT_FALSE(isChecked(tones, box));

    auto peakOf = [](const Block& block) {
        int peak = 0;
        for (int16_t s : block) peak = std::max(peak, std::abs(static_cast<int>(s)));
        return peak;
    };
    const Block silence(static_cast<size_t>(kBlockFrames) * 2, 0);
    const Block music = sineBlock(0.1, 100.0);
    EXPECT_EQ(peakOf(player->process(silence)), 0);

    // The sine at -6 dB (16423 peak) on silence; with the input muted the music goes.
    clickButton(tones, 1025);
    dragSlider(tones, 1027, 180);
    EXPECT_EQ(controlText(tones, 1028), "-6.0");
    EXPECT_NEAR(peakOf(player->process(silence)), 16423, 30);
    EXPECT_GT(peakOf(player->process(music)), 16423 + 1000);
    clickButton(tones, 1024);
    EXPECT_NEAR(peakOf(player->process(music)), 16423, 30);

    // The console's In meter shows the tone: -6 dBFS is about 50 %.
    player->startPlayback([](int64_t) { return Block(static_cast<size_t>(kBlockFrames) * 2, 0); });
    EXPECT_TRUE(player->pumpUntil([&] { return std::atoi(controlText(console, QX_IDC_IN_LABEL).c_str()) >= 45; }, 3000));

    // Closing the window keeps the tone; reopened, the box is still ticked.
    SendMessageA(tones, WM_SYSCOMMAND, SC_CLOSE, 0);
    player->pump(200);
    player->stopPlayback();
    EXPECT_NEAR(peakOf(player->process(silence)), 16423, 30);
    tones = open(console, kStageWindows[16]);
    ASSERT_NE(tones, nullptr);
    EXPECT_TRUE(isChecked(tones, 1025));
    EXPECT_EQ(controlText(tones, 1028), "-6.0");

    // Noise instead of the sine: an uneven signal of the same peak bound.
    clickButton(tones, 1025);
    clickButton(tones, 1026);
    const Block noise = player->process(silence);
    EXPECT_GT(peakOf(noise), 8000);
    EXPECT_LE(peakOf(noise), 16423 + 30);
    EXPECT_NE(Block(noise.begin(), noise.begin() + 200), Block(noise.begin() + 200, noise.begin() + 400));

    // None of it is a settings change.
    EXPECT_FALSE(player->pumpUntil([&] { return controlText(console, QX_IDC_STATUS) == "Settings Changed"; }, 1600));
}

// One picture of every window into the screenshot directory, while audio plays.
TEST_F(WindowTest, Screenshots) {
    const std::string directory = screenshotDirectory();
    if (directory.empty()) GTEST_SKIP() << "QX_SCREENSHOT_DIR not set";
    writeSettings(true, 700, 300, -4);  // F5: ten bands at work, so every column shows and meters move
    load();
    player->init();
    HWND console = findConsole();
    ASSERT_NE(console, nullptr);
    player->startPlayback([](int64_t frame) { return twoToneBlock(0.4, 110.0, 0.2, 2500.0, frame); });
    for (const StageWindow& w : kStageWindows) {
        HWND window = open(console, w);
        ASSERT_NE(window, nullptr) << w.caption;
        SetWindowPos(window, HWND_TOP, 8, 8, 0, 0, SWP_NOSIZE);
        player->pump(600);
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        player->pump(50);
        EXPECT_TRUE(saveWindowBitmap(window, directory + w.group + ".bmp")) << w.group;
        SendMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    }
    player->stopPlayback();
}

}  // namespace
}  // namespace qx::test
