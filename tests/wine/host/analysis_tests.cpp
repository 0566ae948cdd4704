// The analysis windows and the documentation viewer of dsp_Quorvex.dll in the
// test player: pictures checked by reading back the windows' pixels, the
// response measurement against the settings, the manual and its search.
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

#include "console/control_ids.h"
#include "host_support.h"
#include "player.h"

namespace qx::test {
namespace {

constexpr COLORREF kScopeGrid = RGB(0, 102, 0);
constexpr COLORREF kScopeTrace = RGB(0, 255, 0);
constexpr COLORREF kSpectrumMark = RGB(0, 0, 136);
constexpr COLORREF kSpectrumBar = RGB(0, 0, 255);
constexpr COLORREF kResponseGrid = RGB(102, 0, 0);
constexpr COLORREF kResponseCurve = RGB(255, 0, 0);
// Octave marks of the analyzer and the plot, 32 Hz .. 16 kHz.
constexpr int kMarkColumns[] = {39, 72, 105, 138, 171, 205, 238, 271, 305, 338};
constexpr int kAxisLeft = 16;
// Point 332 of the response, 20,120 Hz: the polyline ends at 349 without its last pixel.
constexpr int kLastColumn = 348;
constexpr int kTimeTextBottom = 60;

const char* const kHeadings[] = {
    "REQUIREMENTS", "ABOUT PROCESSING QUALITY", "ABOUT DIGITAL FILTER QUALITY", "ABOUT DIGITAL FILTER TYPES",
    "ABOUT PROCESSING DELAY", "ABOUT CLIPPING, SATURATION AND HARMONICS", "SETTINGS AND PRESET FILES",
    "REMOTE CONTROL OF PRESET SELECTION", "DESCRIPTION, PURPOSE AND TARGET AUDIENCE",
    "DYNAMICS PROCESSING FOR LISTENING OR BROADCAST", "GETTING STARTED", "MAIN WINDOW", "CONTROLS",
    "HIGHPASS FILTER", "STEREO IMAGE PROCESSOR", "2-BAND AGC / EQUALIZER", "3-BAND EQUALIZER", "DUAL PARAMETRIC EQ",
    "DENSITY DRIVE", "MULTIBAND PROCESSOR", "MULTIBAND DYNAMIC EQUALIZER", "MULTIBAND COMPRESSOR",
    "MULTIBAND EXPANDER", "MULTIBAND LIMITER", "MULTIBAND SATURATOR / CLIPPER", "MULTIBAND EQUALIZER",
    "FINAL WIDEBAND LIMITER", "FINAL CLIPPER", "LOWPASS FILTER", "POST AMP", "QUANTIZATION DITHER",
    "ADVANCED SETTINGS", "TEST TONE GENERATOR", "OSCILLOSCOPE", "SPECTRUM ANALYZER", "FREQUENCY RESPONSE ANALYZER",
    "KNOWN PROBLEMS", "TROUBLESHOOTING",
};

using Lines = std::vector<std::pair<std::string, std::string>>;

// Pixels of one column that have the colour, top to bottom.
std::vector<int> rowsWithColour(const ClientPixels& pixels, int x, COLORREF colour) {
    std::vector<int> rows;
    for (int y = 0; y < pixels.height; ++y)
        if (pixels.at(x, y) == colour) rows.push_back(y);
    return rows;
}

// Curve pixels of a response plot column: between the time text and the
// baseline, where no label lies.
std::vector<int> curveRows(const ClientPixels& pixels, int x, int baseline) {
    std::vector<int> rows;
    for (int y = kTimeTextBottom; y <= baseline; ++y)
        if (pixels.at(x, y) == kResponseCurve) rows.push_back(y);
    return rows;
}

// Text pixels of an area: anything but the black background and the given
// line colour. Antialiased text has shades that depend on the font
// rasteriser, so text is told by any ink rather than by its exact colour.
int countInk(const ClientPixels& pixels, RECT area, COLORREF lines = RGB(0, 0, 0)) {
    int count = 0;
    for (int y = area.top; y < area.bottom; ++y) {
        for (int x = area.left; x < area.right; ++x) {
            const COLORREF c = pixels.at(x, y);
            count += c != RGB(0, 0, 0) && c != lines && c != CLR_INVALID;
        }
    }
    return count;
}

// Height of a bar: bar-coloured pixels going up from the baseline.
int barHeight(const ClientPixels& pixels, int x, int baseline) {
    int height = 0;
    while (baseline - height >= 0 && pixels.at(x, baseline - height) == kSpectrumBar) ++height;
    return height;
}

// A block held at one level on both channels, alternating sign every `half` frames.
Block squareBlock(int16_t level, int half) {
    Block block(kBlockFrames * 2);
    for (int f = 0; f < kBlockFrames; ++f) {
        const int16_t v = (f / half) % 2 == 0 ? level : static_cast<int16_t>(-level - 1);
        block[2 * f] = block[2 * f + 1] = v;
    }
    return block;
}

std::string windowText(HWND window) {
    std::string text(static_cast<size_t>(GetWindowTextLengthA(window)) + 1, '\0');
    text.resize(static_cast<size_t>(GetWindowTextA(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

class AnalysisTest : public ::testing::Test {
protected:
    void SetUp() override {
        dllPath = preparePluginCopy(dataDir);
        ASSERT_FALSE(dllPath.empty()) << pluginPath();
        player = std::make_unique<Player>();
    }

    void TearDown() override {
        if (player->module() != nullptr) player->quit();
        player.reset();
    }

    // Starts with the console open and the given start-up preset ("OFF" by
    // default: every stage inactive); `extra` window keys are added.
    HWND start(int startupPreset = -9, const Lines& extra = {}) {
        Lines lines = {{"Window.Main.Show", "1"}, {"Window.Main.X", "0"}, {"Window.Main.Y", "0"},
                       {"General.StartupPreset", std::to_string(startupPreset)}};
        lines.insert(lines.end(), extra.begin(), extra.end());
        EXPECT_TRUE(writeWholeFile(dataDir + "dsp_Quorvex.ini", documentText("dsp_Quorvex.ini", lines)));
        EXPECT_TRUE(player->load(dllPath));
        player->init();
        return findConsole();
    }

    // Opens a tool from its console button and moves it where nothing covers it.
    HWND openTool(HWND console, int buttonId, const char* caption, int x, int y) {
        clickButton(console, buttonId);
        const std::vector<HWND> found = dialogsWithCaption(caption);
        if (found.empty()) return nullptr;
        SetWindowPos(found.front(), HWND_TOP, x, y, 0, 0, SWP_NOSIZE);
        return found.front();
    }

    // Two fast-timer ticks at least, so the picture is the newest one.
    ClientPixels afterTicks(HWND window) {
        player->pump(200);
        return readClientPixels(window);
    }

    std::string dataDir;
    std::string dllPath;
    std::unique_ptr<Player> player;
};

// ---------------------------------------------------------------------------
// Oscilloscope and spectrum analyzer

TEST_F(AnalysisTest, SilentRingDrawsTheFlatTraceBaselineBarsAndMarks) {
    HWND console = start(-9, {{"Window.Freq_Response.Show", "1"}, {"Window.Freq_Response.X", "620"},
                              {"Window.Freq_Response.Y", "520"}});
    ASSERT_NE(console, nullptr);
    HWND scope = openTool(console, QX_IDC_OSCILLOSCOPE, "Quorvex - Oscilloscope", 620, 0);
    HWND spectrum = openTool(console, QX_IDC_SPECTRUM, "Quorvex - Spectrum Analyzer", 620, 260);
    ASSERT_NE(scope, nullptr);
    ASSERT_NE(spectrum, nullptr);

    ClientPixels p = afterTicks(scope);
    ASSERT_GT(p.width, 300);
    // Zero in the middle, full scale 10 pixels inside the top and bottom.
    // (The last column holds the end point of the polyline, which GDI leaves out.)
    const int centre = p.height / 2;
    for (int x = 0; x < p.width; ++x) {
        if (x + 1 < p.width) {
            EXPECT_EQ(rowsWithColour(p, x, kScopeTrace), std::vector<int>{centre}) << "column " << x;
        }
        ASSERT_EQ(p.at(x, 10), kScopeGrid) << x;
        ASSERT_EQ(p.at(x, p.height - 11), kScopeGrid) << x;
    }

    p = afterTicks(spectrum);
    const int baseline = p.height - 20;
    const int middle = (10 + baseline) / 2;
    for (int x = kAxisLeft; x < kAxisLeft + 3 * 112; x += 3) {
        EXPECT_EQ(barHeight(p, x, baseline), 1) << "bar at column " << x;
        const bool line = x == kAxisLeft || std::count(std::begin(kMarkColumns), std::end(kMarkColumns), x) > 0;
        EXPECT_EQ(p.at(x, baseline - 1) == kSpectrumMark, line) << x;
    }
    int marks = 0;
    for (int x = kAxisLeft + 1; x < p.width; ++x) {
        if (p.at(x, middle) != kSpectrumMark) continue;
        ASSERT_LT(marks, 10);
        EXPECT_EQ(x, kMarkColumns[marks++]);
        // A label under each mark: 60 to 110 pixels of ink under Wine's fonts.
        EXPECT_GT(countInk(p, RECT{x - 14, baseline + 3, x + 15, p.height}), 25) << x;
        EXPECT_EQ(rowsWithColour(p, x, kSpectrumMark).front(), 10);
    }
    EXPECT_EQ(marks, 10);
    EXPECT_EQ(p.at(kAxisLeft, middle), kSpectrumMark);
    EXPECT_EQ(p.at(p.width - 1, 10), kSpectrumMark);
    EXPECT_EQ(p.at(p.width - 1, baseline), kSpectrumMark);

    // The response plot before any measurement: marks, the curve on the
    // baseline and the time text.
    const std::vector<HWND> plots = dialogsWithCaption("Quorvex - Frequency Response Plot");
    ASSERT_EQ(plots.size(), 1u);
    player->pump(800);  // a slow tick redraws it
    p = readClientPixels(plots.front());
    const int plotBaseline = p.height - 20;
    for (int x = kAxisLeft; x <= kLastColumn; ++x)
        ASSERT_EQ(curveRows(p, x, plotBaseline), std::vector<int>{plotBaseline}) << x;
    const int quarter = plotBaseline - (plotBaseline - 10) / 4;
    std::vector<int> plotMarks;
    for (int x = kAxisLeft + 1; x < p.width; ++x)
        if (p.at(x, quarter) == kResponseGrid) plotMarks.push_back(x);
    EXPECT_EQ(plotMarks, std::vector<int>(std::begin(kMarkColumns), std::end(kMarkColumns)));
    // About 730 pixels of ink under Wine's fonts; the grid lines cross the area.
    EXPECT_GT(countInk(p, RECT{0, 30, p.width, kTimeTextBottom}, kResponseGrid), 300) << "the time text";
}

TEST_F(AnalysisTest, FullScaleReachesBothGridLinesAndAKilohertzSinePeaksAtItsTwoBars) {
    HWND console = start();
    ASSERT_NE(console, nullptr);
    HWND scope = openTool(console, QX_IDC_OSCILLOSCOPE, "Quorvex - Oscilloscope", 620, 0);
    HWND spectrum = openTool(console, QX_IDC_SPECTRUM, "Quorvex - Spectrum Analyzer", 620, 260);
    ASSERT_NE(scope, nullptr);
    ASSERT_NE(spectrum, nullptr);

    // The output clamp holds a full-scale square at +-0.9999.
    player->process(squareBlock(32767, 50));
    ClientPixels p = afterTicks(scope);
    const int top = 10;
    const int bottom = p.height - 11;
    int topHits = 0, bottomHits = 0;
    for (int x = 0; x + 1 < p.width; ++x) {
        const std::vector<int> rows = rowsWithColour(p, x, kScopeTrace);
        ASSERT_FALSE(rows.empty()) << x;
        EXPECT_GE(rows.front(), top) << x;
        EXPECT_LE(rows.back(), bottom) << x;
        topHits += rows.front() == top;
        bottomHits += rows.back() == bottom;
    }
    EXPECT_GT(topHits, 100);
    EXPECT_GT(bottomHits, 100);

    // A full-scale 1 kHz sine over the newest 1920 samples and more.
    for (int b = 0; b < 5; ++b) player->process(sineBlock(0.9999, 1000.0, b * kBlockFrames));
    p = afterTicks(spectrum);
    const int baseline = p.height - 20;
    int tallestElsewhere = 0;
    for (int x = kAxisLeft; x < kAxisLeft + 3 * 112; x += 3)
        if (x != 202 && x != 205) tallestElsewhere = std::max(tallestElsewhere, barHeight(p, x, baseline));
    EXPECT_GT(barHeight(p, 202, baseline), tallestElsewhere);
    EXPECT_GT(barHeight(p, 205, baseline), tallestElsewhere);
    EXPECT_GT(tallestElsewhere, 1) << "leakage: no window function";
    // The twelve lowest bars all show bin 0.
    for (int x = kAxisLeft; x <= 49; x += 3) EXPECT_EQ(barHeight(p, x, baseline), barHeight(p, kAxisLeft, baseline)) << x;
}

// ---------------------------------------------------------------------------
// Frequency response plot

TEST_F(AnalysisTest, ResponseCurveFollowsTheSettingsInForce) {
    HWND console = start();
    ASSERT_NE(console, nullptr);
    clickButton(console, QX_IDC_FREQ_RESPONSE);  // measures before it returns
    const std::vector<HWND> plots = dialogsWithCaption("Quorvex - Frequency Response Plot");
    ASSERT_EQ(plots.size(), 1u);
    HWND plot = plots.front();
    SetWindowPos(plot, HWND_TOP, 620, 0, 0, 0, SWP_NOSIZE);
    player->pump(100);

    ClientPixels p = readClientPixels(plot);
    const int baseline = p.height - 20;
    const double height = baseline - 10;
    // Every stage off: -6 dB in, about 0.501 of full scale out, over the band.
    const int unity = static_cast<int>(baseline - height * std::pow(10.0, -6.0 / 20.0));
    for (int x = kAxisLeft; x <= kLastColumn; ++x) {
        const std::vector<int> rows = curveRows(p, x, baseline);
        ASSERT_FALSE(rows.empty()) << x;
        EXPECT_LE(std::abs(rows.back() - unity), 1) << "column " << x;
        EXPECT_LE(std::abs(rows.front() - unity), 1) << "column " << x;
    }
    EXPECT_LE(unity, static_cast<int>(baseline - 0.5 * height)) << "at or just above the middle line";

    // The lowpass at 18 kHz: unchanged up to 10 kHz, down at the right end.
    clickButton(console, QX_IDC_LOWPASS_ACTIVE);
    player->pump(800);  // the slow tick designs it
    clickButton(console, QX_IDC_FREQ_RESPONSE);
    p = readClientPixels(plot);
    // The first two points fall inside the lowpass's own delay of 16384
    // frames, longer than a point's 13 blocks: they read the silence in it.
    const int tenKilohertz = 16 + 896 / 3;
    for (int x = kAxisLeft + 2; x <= tenKilohertz; ++x)
        EXPECT_LE(std::abs(curveRows(p, x, baseline).back() - unity), 1) << "column " << x;
    EXPECT_GT(curveRows(p, kLastColumn, baseline).front(), unity + 3);

    // Bypass All: the chain leaves the muted buffer alone, the curve stays down.
    clickButton(console, QX_IDC_BYPASS_ALL);
    clickButton(console, QX_IDC_FREQ_RESPONSE);
    p = readClientPixels(plot);
    for (int x = kAxisLeft; x <= kLastColumn; ++x)
        ASSERT_EQ(curveRows(p, x, baseline), std::vector<int>{baseline}) << x;
}

// ---------------------------------------------------------------------------
// The manual and the documentation viewer

TEST_F(AnalysisTest, ManualResourceHoldsEveryHeadingInOrderAndTheViewerShowsIt) {
    HWND console = start();
    ASSERT_NE(console, nullptr);
    HMODULE module = player->library();
    HRSRC info = FindResourceA(module, MAKEINTRESOURCEA(QX_MANUAL_TEXT), "TEXT");
    ASSERT_NE(info, nullptr);
    const std::string manual(static_cast<const char*>(LockResource(LoadResource(module, info))),
                             SizeofResource(module, info));
    EXPECT_GT(manual.size(), 40000u);
    EXPECT_LT(manual.size(), 65535u) << "all of it searchable";
    for (size_t i = 0; i < manual.size(); ++i) {
        if (manual[i] == '\n') {
            ASSERT_TRUE(i > 0 && manual[i - 1] == '\r') << "bare LF at " << i;
        }
        ASSERT_TRUE(static_cast<unsigned char>(manual[i]) < 128) << "8-bit text at " << i;
    }
    EXPECT_LT(manual.find("Quorvex v1.81"), 200u) << "title block first";
    EXPECT_LT(manual.find("https://quorvex.example.org/"), 600u);
    // The contents list names every heading in order, then the sections follow in order.
    size_t at = 0;
    for (const char* heading : kHeadings) {
        at = manual.find(std::string("\r\n") + heading + "\r\n", at);
        ASSERT_NE(at, std::string::npos) << "contents: " << heading;
        ++at;
    }
    for (const char* heading : kHeadings) {
        at = manual.find(std::string("\r\n") + heading + "\r\n", at);
        ASSERT_NE(at, std::string::npos) << "section: " << heading;
        ++at;
    }

    clickButton(console, QX_IDC_HELP);
    const std::vector<HWND> viewers = dialogsWithCaption("Quorvex - Documentation");
    ASSERT_EQ(viewers.size(), 1u);
    HWND text = GetDlgItem(viewers.front(), QX_IDC_DOC_TEXT);
    EXPECT_EQ(windowText(text), manual);
    DWORD from = 1, to = 1;
    SendMessageA(text, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
    EXPECT_EQ(from, 0u);
    EXPECT_EQ(to, 0u);
    EXPECT_EQ(SendDlgItemMessageA(viewers.front(), QX_IDC_DOC_FIND, EM_GETLIMITTEXT, 0, 0), 64);
}

TEST_F(AnalysisTest, SearchFindsTheContentsFirstThenEachLaterOccurrenceThenWraps) {
    HWND console = start();
    ASSERT_NE(console, nullptr);
    clickButton(console, QX_IDC_HELP);
    const std::vector<HWND> viewers = dialogsWithCaption("Quorvex - Documentation");
    ASSERT_EQ(viewers.size(), 1u);
    HWND viewer = viewers.front();
    HWND text = GetDlgItem(viewer, QX_IDC_DOC_TEXT);
    const std::string manual = lowered(windowText(text));
    const size_t firstSection = manual.find("\r\nrequirements\r\n", manual.find("\r\nrequirements\r\n") + 1);
    MessageBoxWatcher watcher;

    auto selection = [&] {
        DWORD from = 0, to = 0;
        SendMessageA(text, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
        return std::make_pair(static_cast<size_t>(from), static_cast<size_t>(to));
    };
    for (const char* word : {"Spectrum Analyzer", "OSCILLOSCOPE", "known problems"}) {
        const std::string find = lowered(word);
        std::vector<size_t> expected;
        for (size_t p = manual.find(find); p != std::string::npos; p = manual.find(find, p + find.size()))
            expected.push_back(p);
        ASSERT_GE(expected.size(), 3u) << word;
        ASSERT_LT(expected.front(), firstSection) << word << ": first in the contents list";
        SendMessageA(text, EM_SETSEL, 0, 0);
        SetDlgItemTextA(viewer, QX_IDC_DOC_FIND, word);
        for (size_t round = 0; round <= expected.size(); ++round) {
            clickButton(viewer, QX_IDC_DOC_GO);
            const size_t want = expected[round % expected.size()];  // the last round wraps
            ASSERT_EQ(selection(), std::make_pair(want, want + find.size())) << word << " round " << round;
        }
    }
    EXPECT_EQ(GetFocus(), text);
    EXPECT_EQ(watcher.count(), 0u);

    // Empty: nothing at all. Absent: the warning.
    const auto before = selection();
    SetDlgItemTextA(viewer, QX_IDC_DOC_FIND, "");
    clickButton(viewer, QX_IDC_DOC_GO);
    EXPECT_EQ(selection(), before);
    EXPECT_EQ(watcher.count(), 0u);
    SetDlgItemTextA(viewer, QX_IDC_DOC_FIND, "xylophone quartet");
    clickButton(viewer, QX_IDC_DOC_GO);
    ASSERT_EQ(watcher.count(), 1u);
    EXPECT_EQ(watcher.seen()[0].caption, "Quorvex Documentation");
    EXPECT_EQ(watcher.seen()[0].text, "String not found");
    EXPECT_TRUE(watcher.seen()[0].warningIcon);
}

// ---------------------------------------------------------------------------
// Gallery: the plot windows during a tone and music, the viewer after a search.

// Program material converted by the test script (QX_MUSIC, 16-bit stereo
// 44.1 kHz WAV); a chord when it is not there.
std::function<Block(int64_t)> musicSource() {
    auto samples = std::make_shared<std::vector<int16_t>>();
    if (const char* path = std::getenv("QX_MUSIC")) {
        const std::string wav = readWholeFile(path);
        const size_t data = wav.find("data");
        if (data != std::string::npos && wav.size() > data + 8) {
            samples->resize((wav.size() - data - 8) / 2);
            std::memcpy(samples->data(), wav.data() + data + 8, samples->size() * 2);
        }
    }
    return [samples](int64_t frame) {
        if (samples->size() < 4 * kBlockFrames) {
            Block a = sineBlock(0.2, 196.0, frame);
            const Block b = sineBlock(0.2, 523.25, frame), c = sineBlock(0.1, 2637.0, frame);
            for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<int16_t>(a[i] + b[i] + c[i]);
            return a;
        }
        Block block(kBlockFrames * 2);
        const size_t frames = samples->size() / 2;
        for (int f = 0; f < kBlockFrames; ++f) {
            const size_t at = static_cast<size_t>(frame + f) % frames;
            block[2 * f] = (*samples)[2 * at];
            block[2 * f + 1] = (*samples)[2 * at + 1];
        }
        return block;
    };
}

TEST_F(AnalysisTest, Gallery) {
    const std::string shots = screenshotDirectory();
    if (shots.empty()) GTEST_SKIP() << "QX_SCREENSHOT_DIR not set";
    HWND console = start(0);  // F1
    ASSERT_NE(console, nullptr);
    HWND scope = openTool(console, QX_IDC_OSCILLOSCOPE, "Quorvex - Oscilloscope", 620, 0);
    HWND spectrum = openTool(console, QX_IDC_SPECTRUM, "Quorvex - Spectrum Analyzer", 620, 240);
    ASSERT_NE(scope, nullptr);
    ASSERT_NE(spectrum, nullptr);

    player->startPlayback([](int64_t frame) { return sineBlock(0.5, 1000.0, frame); });
    player->pump(1500);
    EXPECT_TRUE(saveWindowBitmap(scope, shots + "oscilloscope-tone.bmp"));
    EXPECT_TRUE(saveWindowBitmap(spectrum, shots + "analyzer-tone.bmp"));
    player->stopPlayback();

    player->startPlayback(musicSource());
    player->pump(4000);
    EXPECT_TRUE(saveWindowBitmap(scope, shots + "oscilloscope-music.bmp"));
    EXPECT_TRUE(saveWindowBitmap(spectrum, shots + "analyzer-music.bmp"));
    player->stopPlayback();

    // The F1 measurement, timed as the user waits for it.
    player->pump(1100);
    const auto started = std::chrono::steady_clock::now();
    clickButton(console, QX_IDC_FREQ_RESPONSE);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("F1 \"Frq Resp.\" measurement: %.2f s\n", seconds);
    const std::vector<HWND> plots = dialogsWithCaption("Quorvex - Frequency Response Plot");
    ASSERT_EQ(plots.size(), 1u);
    SetWindowPos(plots.front(), HWND_TOP, 620, 480, 0, 0, SWP_NOSIZE);
    player->pump(800);
    EXPECT_TRUE(saveWindowBitmap(plots.front(), shots + "response-f1.bmp"));

    clickButton(console, QX_IDC_HELP);
    const std::vector<HWND> viewers = dialogsWithCaption("Quorvex - Documentation");
    ASSERT_EQ(viewers.size(), 1u);
    SetWindowPos(viewers.front(), HWND_TOP, 40, 40, 0, 0, SWP_NOSIZE);
    // The second match is the section heading; shown near the top, its text below.
    SetDlgItemTextA(viewers.front(), QX_IDC_DOC_FIND, "remote control");
    for (int i = 0; i < 2; ++i) clickButton(viewers.front(), QX_IDC_DOC_GO);
    HWND text = GetDlgItem(viewers.front(), QX_IDC_DOC_TEXT);
    DWORD from = 0;
    SendMessageA(text, EM_GETSEL, reinterpret_cast<WPARAM>(&from), 0);
    const LRESULT line = SendMessageA(text, EM_LINEFROMCHAR, from, 0);
    const LRESULT top = SendMessageA(text, EM_GETFIRSTVISIBLELINE, 0, 0);
    SendMessageA(text, EM_LINESCROLL, 0, line - top - 2);
    player->pump(300);
    EXPECT_TRUE(saveWindowBitmap(viewers.front(), shots + "documentation-search.bmp"));
}

}  // namespace
}  // namespace qx::test
