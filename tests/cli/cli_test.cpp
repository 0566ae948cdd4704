#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/audio_file.h"
#include "cli/commands.h"

namespace qx::cli {
namespace {

namespace fs = std::filesystem;

struct Result {
    int code;
    std::string out;
    std::string err;
};

Result run(std::vector<std::string> args) {
    std::ostringstream out, err;
    int code = runCommand(args, out, err, false);
    return {code, out.str(), err.str()};
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("quorvex-cli-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        // The tool's default data directory lives in the test's own directory.
        setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string& name) const { return (dir / name).string(); }

    // Writes a file with libsndfile directly, so the rate and channel count can be anything.
    void writeFile(const std::string& name, int rate, int channels, const std::vector<int16_t>& samples,
                   int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = format;
        SNDFILE* f = sf_open(path(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        sf_writef_short(f, samples.data(), static_cast<sf_count_t>(samples.size() / channels));
        sf_close(f);
    }

    std::vector<std::string> filesInDir() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        return names;
    }

    fs::path dir;
};

// Every value a 16-bit sample can take, with no channel exactly zero.
std::vector<int16_t> sweepSamples(int channels) {
    std::vector<int16_t> s;
    for (int v = -32768; v <= 32767; ++v) {
        for (int c = 0; c < channels; ++c) {
            int value = c == 0 ? v : -1 - v;
            s.push_back(static_cast<int16_t>(value == 0 ? 1 : value));
        }
    }
    return s;
}

int16_t clamped(int16_t v) { return v < -32764 ? -32764 : v > 32764 ? 32764 : v; }

// The "OFF" factory preset: every stage inactive, dither off.
const std::vector<std::string> kAllOff = {"--preset", "F10"};

TEST_F(CliTest, ProcessPassesThroughExceptTheClampWithEverythingOff) {
    for (int channels : {1, 2}) {
        auto input = sweepSamples(channels);
        writeFile("in.wav", 44100, channels, input);
        std::vector<std::string> args = {"process", path("in.wav"), path("out.wav")};
        args.insert(args.end(), kAllOff.begin(), kAllOff.end());
        Result r = run(args);
        ASSERT_EQ(r.code, 0) << r.err;
        Audio out;
        ASSERT_EQ(readAudio(path("out.wav"), out).status, IoStatus::Ok);
        ASSERT_EQ(out.channels, channels);
        ASSERT_EQ(out.samples.size(), input.size());
        size_t mismatches = 0;
        for (size_t i = 0; i < input.size(); ++i) mismatches += out.samples[i] != clamped(input[i]);
        EXPECT_EQ(mismatches, 0u) << channels << " channel(s)";
        EXPECT_NE(r.out.find("peak"), std::string::npos);
        EXPECT_NE(r.out.find("RMS"), std::string::npos);
    }
}

TEST_F(CliTest, ProcessAppliesPostAmp) {
    std::vector<int16_t> input(44100 * 2, 1000);
    writeFile("in.wav", 44100, 2, input);
    Result r = run({"process", path("in.wav"), path("out.wav"), "--preset", "F10",
                    "--set=General.PostAmp.dB=6.0205999132796239"});
    ASSERT_EQ(r.code, 0) << r.err;
    Audio out;
    ASSERT_EQ(readAudio(path("out.wav"), out).status, IoStatus::Ok);
    // 6.02 dB doubles the signal; truncation may take the last step off.
    EXPECT_NEAR(out.samples[1000], 2000, 1);
}

TEST_F(CliTest, ProcessRefusesUnsupportedFilesWithoutLeavingOutput) {
    writeFile("rate.wav", 48000, 2, std::vector<int16_t>(200, 5));
    Result r = run({"process", path("rate.wav"), path("out.wav")});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("rate.wav"), std::string::npos);
    EXPECT_NE(r.err.find("48000"), std::string::npos);

    writeFile("three.wav", 44100, 3, std::vector<int16_t>(300, 5));
    r = run({"process", path("three.wav"), path("out.wav")});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("three.wav"), std::string::npos);

    std::ofstream(path("junk.wav")) << "this is not audio";
    r = run({"process", path("junk.wav"), path("out.wav")});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("junk.wav"), std::string::npos);

    r = run({"process", path("missing.wav"), path("out.wav")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("missing.wav"), std::string::npos);

    EXPECT_FALSE(fs::exists(path("out.wav")));
}

TEST_F(CliTest, ProcessReportsWriteFailureAndLeavesNoPartialFile) {
    writeFile("in.wav", 44100, 2, std::vector<int16_t>(2000, 5));
    Result r = run({"process", path("in.wav"), path("no-such-dir/out.wav")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("out.wav"), std::string::npos);
    // A directory in the way of the rename: the temporary file must not stay behind.
    fs::create_directories(path("taken.wav/inner"));
    r = run({"process", path("in.wav"), path("taken.wav")});
    EXPECT_EQ(r.code, 1);
    auto names = filesInDir();
    EXPECT_EQ(names.size(), 2u);  // in.wav and the directory
}

TEST_F(CliTest, FloatInputIsScaledToSixteenBits) {
    std::vector<int16_t> input(2000, 16384);
    writeFile("float.wav", 44100, 1, input, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    Audio audio;
    ASSERT_EQ(readAudio(path("float.wav"), audio).status, IoStatus::Ok);
    EXPECT_NEAR(audio.samples[10], 16384, 1);
}

TEST_F(CliTest, UsageErrors) {
    writeFile("in.wav", 44100, 2, std::vector<int16_t>(200, 5));
    struct Case {
        std::vector<std::string> args;
        std::string needle;
    } cases[] = {
        {{"process", path("in.wav"), path("out.wav"), "--set", "No.Such.Key=1"}, "No.Such.Key"},
        {{"process", path("in.wav"), path("out.wav"), "--set", "General.PostAmp.dB=loud"}, "loud"},
        {{"process", path("in.wav"), path("out.wav"), "--set", "General.PostAmp.dB=1e999"}, "1e999"},
        {{"process", path("in.wav"), path("out.wav"), "--set", "General.PostAmp.dB"}, "KEY=VALUE"},
        {{"process", path("in.wav"), path("out.wav"), "--set"}, "--set"},
        {{"process", path("in.wav")}, "IN and OUT"},
        {{"process", path("in.wav"), path("out.wav"), "--bogus"}, "--bogus"},
        {{"frobnicate"}, "frobnicate"},
        {{"params", "extra"}, "extra"},
        {{"response", "--set", "Nope=1"}, "Nope"},
    };
    for (const auto& c : cases) {
        Result r = run(c.args);
        EXPECT_EQ(r.code, 2) << c.needle;
        EXPECT_NE(r.err.find(c.needle), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    }
    EXPECT_FALSE(fs::exists(path("out.wav")));
    EXPECT_EQ(run({}).code, 2);
}

TEST_F(CliTest, AnalyzeReportsLoudnessOfAKnownSine) {
    // A 997 Hz sine at -20 dBFS on both channels reads -20 LUFS by definition.
    std::vector<int16_t> sine;
    const double amplitude = std::pow(10.0, -1.0) * 32768.0;
    for (int n = 0; n < 44100 * 5; ++n) {
        auto v = static_cast<int16_t>(std::lround(amplitude * std::sin(2.0 * 3.141592653589793 * 997.0 * n / 44100.0)));
        sine.push_back(v);
        sine.push_back(v);
    }
    writeFile("sine.wav", 44100, 2, sine);
    Result r = run({"analyze", path("sine.wav")});
    ASSERT_EQ(r.code, 0) << r.err;
    auto valueAfter = [&](const std::string& label) {
        auto at = r.out.find(label);
        EXPECT_NE(at, std::string::npos) << label;
        return std::stod(r.out.substr(at + label.size()));
    };
    EXPECT_NEAR(valueAfter("integrated loudness: "), -20.0, 0.1);
    EXPECT_NEAR(valueAfter("loudness range: "), 0.0, 0.1);
    EXPECT_NEAR(valueAfter("true peak: "), -20.0, 0.1);
    EXPECT_NEAR(valueAfter("sample peak: "), -20.0, 0.1);

    EXPECT_EQ(run({"analyze"}).code, 2);
    EXPECT_EQ(run({"analyze", path("missing.wav")}).code, 1);

    // The process summary reports the same for input and output.
    Result p = run({"process", path("sine.wav"), path("out.wav"), "--preset", "F10"});
    ASSERT_EQ(p.code, 0);
    const auto first = p.out.find("-20.0 LUFS");
    ASSERT_NE(first, std::string::npos) << p.out;
    EXPECT_NE(p.out.find("-20.0 LUFS", first + 1), std::string::npos) << p.out;
}

// A 1 kHz sine of `dbfs` peak level for `seconds` on the channels `on` of `channels`.
std::vector<double> tone(int rate, int channels, std::vector<int> on, std::vector<std::pair<double, double>> parts) {
    std::vector<double> s;
    long n = 0;
    for (auto [dbfs, seconds] : parts) {
        const double amplitude = std::pow(10.0, dbfs / 20.0);
        for (long end = n + std::lround(seconds * rate); n < end; ++n) {
            const double v = amplitude * std::sin(2.0 * 3.141592653589793 * 1000.0 * static_cast<double>(n) / rate);
            for (int c = 0; c < channels; ++c) s.push_back(std::count(on.begin(), on.end(), c) ? v : 0.0);
        }
    }
    return s;
}

// Runs python3's json module over each line of `json` and prints the figures.
std::string viaPython(const std::string& json, const std::string& file) {
    std::ofstream(file) << json;
    const std::string command =
        "/usr/bin/python3 -c 'import json,sys\nfor line in open(sys.argv[1]):\n o = json.loads(line)\n "
        "print(o[\"integrated_lufs\"], o[\"sample_rate\"], o[\"channels\"], o[\"duration_s\"], "
        "o[\"bs1770_weights\"], o[\"layout\"])' " + file;
    std::string printed;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return printed;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) printed += buffer;
    EXPECT_EQ(pclose(pipe), 0) << json;
    return printed;
}

class AnalyzeTest : public CliTest {
protected:
    void writeDoubles(const std::string& name, int rate, int channels, const std::vector<double>& s, int format,
                      std::vector<int> map = {}) {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = format;
        SNDFILE* f = sf_open(path(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
        if (!map.empty()) {
            ASSERT_EQ(sf_command(f, SFC_SET_CHANNEL_MAP_INFO, map.data(), static_cast<int>(map.size() * sizeof(int))),
                      SF_TRUE);
        }
        sf_writef_double(f, s.data(), static_cast<sf_count_t>(s.size() / channels));
        sf_close(f);
    }
    // The integrated loudness of each report in a text output, in order.
    static std::vector<double> integrated(const std::string& text) {
        std::vector<double> values;
        const std::string label = "integrated loudness: ";
        for (auto at = text.find(label); at != std::string::npos; at = text.find(label, at + 1))
            values.push_back(text.compare(at + label.size(), 4, "-inf") == 0 ? -HUGE_VAL
                                                                              : std::stod(text.substr(at + label.size())));
        return values;
    }
};

TEST_F(AnalyzeTest, EbuTech3341CasesReadTheirLoudnessAtBothRates) {
    // Cases 1, 2 and 5: stereo 1 kHz sine at -23 and -33 dBFS for 20 s; -36, -23, -36 dBFS for 10, 60, 10 s.
    for (int rate : {48000, 44100}) {
        const int format = SF_FORMAT_WAV | (rate == 48000 ? SF_FORMAT_PCM_24 : SF_FORMAT_FLOAT);
        writeDoubles("case1.wav", rate, 2, tone(rate, 2, {0, 1}, {{-23, 20}}), format);
        writeDoubles("case2.wav", rate, 2, tone(rate, 2, {0, 1}, {{-33, 20}}), format);
        writeDoubles("case5.wav", rate, 2, tone(rate, 2, {0, 1}, {{-36, 10}, {-23, 60}, {-36, 10}}), format);
        const std::vector<std::string> files = {path("case1.wav"), path("case2.wav"), path("case5.wav")};
        const double expected[] = {-23.0, -33.0, -23.0};
        std::vector<std::string> args = {"analyze"};
        args.insert(args.end(), files.begin(), files.end());
        if (rate == 44100) {
            const Result r = run(args);
            ASSERT_EQ(r.code, 0) << r.err;
            const auto values = integrated(r.out);
            ASSERT_EQ(values.size(), 3u) << r.out;
            for (int i = 0; i < 3; ++i) EXPECT_NEAR(values[i], expected[i], 0.1) << files[i];
            EXPECT_NE(r.out.find("sample rate: 44100 Hz\nchannels: 2 (L R; BS.1770 weights)\nduration: 80.000 s\n"),
                      std::string::npos);
            // The closing table: a heading and one line per file.
            const auto table = r.out.find("\n\n   LUFS     LU   dBTP   dBFS      Hz  ch    seconds  file\n");
            ASSERT_NE(table, std::string::npos) << r.out;
            EXPECT_NE(r.out.find("  -33.0    0.0  -33.0  -33.0   44100   2     20.000  " + files[1] + "\n", table),
                      std::string::npos)
                << r.out;
            EXPECT_EQ(std::count(r.out.begin() + static_cast<long>(table), r.out.end(), '\n'), 2 + 1 + 3);
        } else {
            args.push_back("--json");
            const Result r = run(args);
            ASSERT_EQ(r.code, 0) << r.err;
            std::istringstream lines(viaPython(r.out, path("out.json")));
            for (int i = 0; i < 3; ++i) {
                double lufs = 0, seconds = 0;
                int sampleRate = 0, channels = 0;
                std::string weighted, layout;
                lines >> lufs >> sampleRate >> channels >> seconds >> weighted;
                std::getline(lines, layout);
                EXPECT_EQ(layout, " L R");
                EXPECT_NEAR(lufs, expected[i], 0.1) << files[i];
                EXPECT_EQ(sampleRate, 48000);
                EXPECT_EQ(channels, 2);
                EXPECT_EQ(seconds, i == 2 ? 80.0 : 20.0);
                EXPECT_EQ(weighted, "True");
            }
            EXPECT_EQ(r.out.find("LUFS"), std::string::npos);  // no table among the JSON lines
        }
    }
}

TEST_F(AnalyzeTest, SurroundChannelsGetTheirWeightsAndTheLfeIsLeftOut) {
    const int rate = 48000;
    const int wav = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    writeDoubles("stereo.wav", rate, 2, tone(rate, 2, {0, 1}, {{-23, 3}}), wav);
    writeDoubles("front.wav", rate, 6, tone(rate, 6, {0, 1}, {{-23, 3}}), wav);
    writeDoubles("lfe.wav", rate, 6, tone(rate, 6, {3}, {{-23, 3}}), wav);
    // Film order, named by the file: L C R Ls Rs LFE.
    const std::vector<int> film = {SF_CHANNEL_MAP_LEFT,      SF_CHANNEL_MAP_CENTER,     SF_CHANNEL_MAP_RIGHT,
                                   SF_CHANNEL_MAP_REAR_LEFT, SF_CHANNEL_MAP_REAR_RIGHT, SF_CHANNEL_MAP_LFE};
    writeDoubles("film.caf", rate, 6, tone(rate, 6, {0, 2}, {{-23, 3}}), SF_FORMAT_CAF | SF_FORMAT_PCM_16, film);
    writeDoubles("film-lfe.caf", rate, 6, tone(rate, 6, {5}, {{-23, 3}}), SF_FORMAT_CAF | SF_FORMAT_PCM_16, film);
    // A centre-only 5.1 and the same tone on a surround channel: +1.5 dB for the surround.
    writeDoubles("surround.wav", rate, 6, tone(rate, 6, {4}, {{-23, 3}}), wav);
    writeDoubles("center.wav", rate, 6, tone(rate, 6, {2}, {{-23, 3}}), wav);
    writeDoubles("eight.wav", rate, 8, tone(rate, 8, {0, 1, 7}, {{-23, 3}}), wav);

    const Result r = run({"analyze", path("stereo.wav"), path("front.wav"), path("lfe.wav"), path("film.caf"),
                          path("film-lfe.caf"), path("surround.wav"), path("center.wav"), path("eight.wav")});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto v = integrated(r.out);
    ASSERT_EQ(v.size(), 8u) << r.out;
    EXPECT_NEAR(v[0], -23.0, 0.1);
    EXPECT_NEAR(v[1], v[0], 0.01);  // L and R of a 5.1 file read as the stereo file
    EXPECT_EQ(v[2], -HUGE_VAL);     // the LFE alone is silence
    EXPECT_NEAR(v[3], v[0], 0.01);
    EXPECT_EQ(v[4], -HUGE_VAL);
    EXPECT_NEAR(v[5] - v[6], 10.0 * std::log10(1.41), 0.01);
    EXPECT_NEAR(v[7], v[0] + 10.0 * std::log10(1.5), 0.05);  // three channels at weight 1
    EXPECT_NE(r.out.find("channels: 6 (L R C LFE Ls Rs; BS.1770 weights, LFE left out)"), std::string::npos);
    EXPECT_NE(r.out.find("channels: 6 (L C R Ls Rs LFE; BS.1770 weights, LFE left out)"), std::string::npos);
    EXPECT_NE(r.out.find("channels: 8 (no BS.1770 weights for this layout; every channel counted at weight 1)"),
              std::string::npos);
    EXPECT_NE(r.out.find("duration: 3.000 s\n"), std::string::npos);

    // Silence is null in JSON; too many channels and missing files are named, the rest still measured.
    EXPECT_EQ(viaPython(run({"analyze", "--json", path("lfe.wav")}).out, path("lfe.json")),
              "None 48000 6 3.0 True L R C LFE Ls Rs\n");
    writeDoubles("nine.wav", rate, 9, std::vector<double>(9 * 100, 0.0), wav);
    const Result mixed = run({"analyze", path("nine.wav"), path("stereo.wav"), path("gone.wav")});
    EXPECT_EQ(mixed.code, 2);
    EXPECT_NE(mixed.err.find("nine.wav: 9 channels; analyze measures up to 8\n"), std::string::npos) << mixed.err;
    EXPECT_NE(mixed.err.find("gone.wav"), std::string::npos);
    EXPECT_EQ(integrated(mixed.out).size(), 1u);
    EXPECT_NE(mixed.out.find("-  " + path("gone.wav") + " (not measured)\n"), std::string::npos) << mixed.out;
    EXPECT_EQ(run({"analyze", "--loud", path("stereo.wav")}).code, 2);
}

TEST_F(CliTest, ProcessStartsWithTheStartupPresetLikeThePlugin) {
    std::vector<int16_t> input;
    for (int n = 0; n < 44100; ++n) input.push_back(static_cast<int16_t>(8000 * std::sin(n * 0.05)) | 1);
    writeFile("in.wav", 44100, 1, input);
    auto processedEqualsInput = [&] {
        EXPECT_EQ(run({"process", path("in.wav"), path("out.wav")}).code, 0);
        Audio out;
        EXPECT_EQ(readAudio(path("out.wav"), out).status, IoStatus::Ok);
        return out.samples == input;
    };
    // A fresh machine starts with F1, which processes the sound.
    EXPECT_FALSE(processedEqualsInput());
    EXPECT_FALSE(fs::exists(dir / "config" / "quorvex" / "dsp_Quorvex.ini"));  // reading creates nothing
    Result d = run({"preset", "default", "F10"});
    ASSERT_EQ(d.code, 0) << d.err;
    EXPECT_EQ(d.out, "Default: F10\n");
    EXPECT_TRUE(fs::exists(dir / "config" / "quorvex" / "dsp_Quorvex.ini"));
    EXPECT_TRUE(processedEqualsInput());
}

TEST_F(CliTest, PresetLibraryCommandsFollowThePanelRules) {
    const std::string data = path("data");
    auto preset = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "preset");
        args.push_back("--data-dir");
        args.push_back(data);
        return run(args);
    };
    auto listing = [&] { return run({"presets", "--data-dir", data}).out; };
    EXPECT_EQ(listing(),
              "F1:Enhancer\nF2:FM Stereo\nF3:AM Radio\nF4:Web Radio\nF5:10 Band Level\nF6:5 Band Level\n"
              "F7:3 Band Level\nF8:2 Band AGC\nF9:Normalizer\nF10:OFF\nDefault: F1\n");

    Result r = preset({"save", "7", "--name", "Late Night", "--preset", "F9", "--set", "General.PostAmp.dB=-1.5"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "saved 7: Late Night\n");
    EXPECT_NE(listing().find("07:Late Night\n"), std::string::npos);

    // The saved file holds the base, the set value and every key.
    Result shown = preset({"show", "7"});
    ASSERT_EQ(shown.code, 0);
    EXPECT_NE(shown.out.find("Filename: QX_Preset07.ini\r\n"), std::string::npos);
    EXPECT_NE(shown.out.find("General.Name                   = Late Night\r\n"), std::string::npos);
    EXPECT_NE(shown.out.find("General.BaseFactoryPreset      = -8\r\n"), std::string::npos);
    EXPECT_NE(shown.out.find("General.PostAmp.dB             = -1.5\r\n"), std::string::npos);
    EXPECT_EQ(std::count(shown.out.begin(), shown.out.end(), '\n'), 4 + 342);
    std::ifstream file(data + "/QX_Preset07.ini", std::ios::binary);
    std::string saved((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(saved, shown.out);

    // Refusals print the panel's own messages and exit with 2.
    struct Refusal {
        std::vector<std::string> args;
        std::string message;
    } refusals[] = {
        {{"save", "F3", "--name", "X"}, "Overwriting of factory presets is not allowed"},
        {{"save", "8", "--name", "late night"}, "The specified name already exists in another slot."},
        {{"save", "8", "--name", " Padded"}, "Preset names cannot contain spaces before and after the name"},
        {{"save", "7", "--name", "Other"}, "with a different name.  Are you sure? (answer with --yes)"},
        {{"delete", "F2"}, "Deleting of factory presets is not allowed"},
        {{"delete", "9"}, "The selected preset slot does not contain a preset"},
        {{"delete", "7"}, "Are you sure you wish to delete the selected preset? (answer with --yes)"},
        {{"default", "9"}, "contains a preset (see 'quorvex presets'), then run 'quorvex preset default N'."},
    };
    for (const Refusal& c : refusals) {
        Result x = preset(c.args);
        EXPECT_EQ(x.code, 2) << c.message;
        EXPECT_NE(x.err.find(c.message), std::string::npos) << x.err;
    }

    ASSERT_EQ(preset({"default", "7"}).code, 0);
    EXPECT_NE(listing().find("Default: 7\n"), std::string::npos);
    Result startup = preset({"delete", "7", "--yes"});
    EXPECT_EQ(startup.code, 2);
    EXPECT_NE(startup.err.find("currently selected as the default startup preset"), std::string::npos);
    // The tool names its own command where the panel names its button.
    EXPECT_NE(startup.err.find("(with 'quorvex preset default N')"), std::string::npos) << startup.err;
    EXPECT_EQ(startup.err.find("button"), std::string::npos);
    ASSERT_EQ(preset({"default", "F2"}).code, 0);
    Result deleted = preset({"delete", "7", "--yes"});
    ASSERT_EQ(deleted.code, 0) << deleted.err;
    EXPECT_FALSE(fs::exists(data + "/QX_Preset07.ini"));
    EXPECT_EQ(listing().find("07:"), std::string::npos);

    // --preset takes factory ids, filled slots and files; anything else is refused.
    writeFile("in.wav", 44100, 2, std::vector<int16_t>(2000, 5));
    std::ofstream(path("mine.ini"), std::ios::binary) << shown.out;
    for (const std::string& id : std::vector<std::string>{"F10", "f1", path("mine.ini")})
        EXPECT_EQ(run({"process", path("in.wav"), path("out.wav"), "--preset", id, "--data-dir", data}).code, 0) << id;
    for (const std::string& id : std::vector<std::string>{"F11", "F0", "7", "100", path("nothing.ini")}) {
        Result bad = run({"process", path("in.wav"), path("out.wav"), "--preset", id, "--data-dir", data});
        EXPECT_EQ(bad.code, 2) << id;
        EXPECT_NE(bad.err.find(id), std::string::npos) << bad.err;
    }
}

TEST_F(CliTest, PresetFilesWithLineFeedEndsLoadAndStrayKeysAreNamed) {
    const std::string data = path("data");
    auto inData = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"--data-dir", data});
        return run(args);
    };
    ASSERT_EQ(inData({"preset", "save", "5", "--name", "Edited", "--preset", "F3", "--set", "AGC.Level.%=60",
                      "--set", "LowpassFilter.Cutoff.Hz=500", "--set", "General.Processor.Active=1"})
                  .code,
              0);
    const Result original = inData({"preset", "show", "5"});
    ASSERT_EQ(original.code, 0);
    EXPECT_NE(original.out.find("LowpassFilter.Cutoff.Hz        = 500\r\n"), std::string::npos);
    EXPECT_NE(original.out.find("AGC.Level.%                    = 60\r\n"), std::string::npos);

    // The same file after a Linux editor: LF line ends only.
    std::string lineFeeds;
    for (char c : original.out)
        if (c != '\r') lineFeeds += c;
    std::ofstream(data + "/QX_Preset05.ini", std::ios::binary | std::ios::trunc) << lineFeeds;
    const Result edited = inData({"preset", "show", "5"});
    ASSERT_EQ(edited.code, 0);
    EXPECT_EQ(edited.out, original.out);  // every value, and written back with CR LF
    EXPECT_EQ(edited.err, "");

    // Given by path, with one misspelt key: it runs and names that key once.
    std::ofstream(path("typo.ini"), std::ios::binary)
        << lineFeeds << "LowpassFilter.Cutof.Hz         = 900\nLowpassFilter.Cutof.Hz         = 900\n";
    const Result typo = run({"preset", "show", path("typo.ini")});
    ASSERT_EQ(typo.code, 0) << typo.err;
    EXPECT_NE(typo.out.find("LowpassFilter.Cutoff.Hz        = 500\r\n"), std::string::npos);
    EXPECT_EQ(typo.err, "quorvex: " + path("typo.ini") + ": unknown keys ignored: LowpassFilter.Cutof.Hz\n");

    // Text that is not a preset is refused before any output appears.
    std::ofstream(path("notes.txt")) << "shopping list\nmilk = 2\neggs = 12\n";
    writeFile("in.wav", 44100, 2, std::vector<int16_t>(2000, 5));
    for (auto args : {std::vector<std::string>{"preset", "show", path("notes.txt")},
                      std::vector<std::string>{"process", path("in.wav"), path("out.wav"), "--preset", path("notes.txt")}}) {
        const Result refused = run(args);
        EXPECT_EQ(refused.code, 2);
        EXPECT_NE(refused.err.find("notes.txt: holds no key of a preset"), std::string::npos) << refused.err;
        EXPECT_EQ(refused.err.find('\n'), refused.err.size() - 1) << "one line: " << refused.err;
    }
    EXPECT_FALSE(fs::exists(path("out.wav")));
}

TEST_F(CliTest, SetChecksTheRangeOfEachKindOfParameter) {
    writeFile("in.wav", 44100, 2, std::vector<int16_t>(2000, 5));
    struct Case {
        std::string setting;
        std::string range;
    } refused[] = {
        {"General.Processor.Active=2", "General.Processor.Active is a switch and takes 0 or 1"},
        {"General.Processor.Active=0.5", "takes 0 or 1"},
        {"LowpassFilter.Cutoff.Hz=30000", "LowpassFilter.Cutoff.Hz takes 20 to 20480 Hz"},
        {"HighpassFilter.Cutoff.Hz=19", "takes 20 to 320 Hz"},
        {"3BandEQ.Crossover.M-H=7241", "takes 20 to 7240.7 Hz"},  // 20 * 2^8.5 = 7240.77 Hz
        {"AGC.Level.%=1000", "AGC.Level.% takes 0 to 100 %"},
        {"ParametricEQ.Bandwidth1.Octaves=0.05", "takes 0.1 to 10 Octaves"},
        {"Compressor.Ratio1=0.5", "Compressor.Ratio1 takes 1 to 10\n"},
    };
    for (const Case& c : refused) {
        const Result r = run({"process", path("in.wav"), path("out.wav"), "--set", c.setting});
        EXPECT_EQ(r.code, 2) << c.setting;
        EXPECT_NE(r.err.find("--set " + c.setting + ": out of range; "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.range), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(path("out.wav")));

    // The ends themselves are accepted.
    const Result r = run({"process", path("in.wav"), path("out.wav"), "--set", "LowpassFilter.Cutoff.Hz=20480", "--set",
                          "HighpassFilter.Cutoff.Hz=20", "--set", "3BandEQ.Crossover.M-H=7240.7", "--set",
                          "AGC.Level.%=0", "--set", "General.Processor.Active=0"});
    EXPECT_EQ(r.code, 0) << r.err;
}

TEST_F(CliTest, FailedSaveIsReportedAsAFailure) {
    // A directory where the slot's file belongs: the write cannot replace it.
    const std::string data = path("data");
    fs::create_directories(data + "/QX_Preset05.ini/inside");
    Result r = run({"preset", "save", "5", "--name", "Keep", "--data-dir", data});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Failed to save preset"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_directory(data + "/QX_Preset05.ini/inside"));
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(data)) ++entries;
    EXPECT_EQ(entries, 1u);  // no temporary left behind
}

TEST_F(CliTest, EveryCommandHasHelp) {
    for (std::string cmd : {"process", "params", "response", "analyze", "presets", "preset"}) {
        Result r = run({cmd, "--help"});
        EXPECT_EQ(r.code, 0);
        EXPECT_NE(r.out.find("usage: quorvex " + cmd), std::string::npos);
    }
    Result r = run({"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("process"), std::string::npos);
}

TEST_F(CliTest, ParamsListsTheCatalogue) {
    Result r = run({"params"});
    ASSERT_EQ(r.code, 0);
    std::istringstream lines(r.out);
    std::vector<std::string> all;
    for (std::string line; std::getline(lines, line);) all.push_back(line);
    ASSERT_EQ(all.size(), 340u);
    EXPECT_EQ(all.front(), "General.MainBypass\tS\t0\t0\t0\t0");
    EXPECT_EQ(all[16], "General.QuantizationDither.Active\tS\t0\t0\t0\t1");
    EXPECT_EQ(all[17], "General.DensityDrive.dB\tH\t1\t-12\t36\t0");
    EXPECT_EQ(all.back(), "Compressor.TypeII\tS\t0\t0\t0\t0");
    auto has = [&](const std::string& line) { return std::find(all.begin(), all.end(), line) != all.end(); };
    EXPECT_TRUE(has("HighpassFilter.Cutoff.Hz\tL\t-1\t0\t400\t30"));
    EXPECT_TRUE(has("FinalClipper.Threshold.dB\tV\t1\t-12\t12\t-0.1"));
    EXPECT_TRUE(has("LowpassFilter.Cutoff.Hz\tL\t-1\t0\t1000\t18000"));
    EXPECT_TRUE(has("Compressor.GateRelease.msec\tH\t0\t0\t20000\t10000"));
    EXPECT_TRUE(has("Processor.Filterbank\tV\t0\t1\t5\t0"));
    EXPECT_TRUE(has("Processor.Detect3.msec\tV\t0\t1\t500\t8"));
}

TEST_F(CliTest, ResponseIsFlatWithEverythingOffAndFollowsPostAmp) {
    auto parse = [](const std::string& text) {
        std::istringstream lines(text);
        std::string line;
        std::getline(lines, line);
        EXPECT_EQ(line, "frequency_hz,peak");
        std::vector<std::pair<int, double>> points;
        while (std::getline(lines, line)) {
            auto comma = line.find(',');
            points.emplace_back(std::stoi(line.substr(0, comma)), std::stod(line.substr(comma + 1)));
        }
        return points;
    };
    Result flat = run({"response", "--preset", "F10"});
    ASSERT_EQ(flat.code, 0) << flat.err;
    auto points = parse(flat.out);
    ASSERT_EQ(points.size(), 334u);
    EXPECT_EQ(points.front().first, 20);
    EXPECT_EQ(points.back().first, 20338);
    for (auto [f, peak] : points) EXPECT_NEAR(peak, 0.501, 0.002) << f << " Hz";
    EXPECT_NE(flat.err.find("sec"), std::string::npos);

    Result louder = run({"response", "--preset", "F10", "--set", "General.PostAmp.dB=-6"});
    ASSERT_EQ(louder.code, 0);
    for (auto [f, peak] : parse(louder.out)) EXPECT_NEAR(peak, 0.251, 0.002) << f << " Hz";
}

}  // namespace
}  // namespace qx::cli
