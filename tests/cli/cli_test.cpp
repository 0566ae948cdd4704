#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "cli/audio_file.h"
#include "cli/commands.h"
#include "tests/cli/cli_test_support.h"

namespace qx::cli {
namespace {

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
        // The summary's levels, against the definitions worked out here.
        auto levels = [](const std::vector<int16_t>& v, auto value) {
            long double peak = 0.0L, squares = 0.0L;
            for (int16_t x : v) {
                const long double f = value(x) / 32768.0L;
                peak = std::max(peak, std::fabs(f));
                squares += f * f;
            }
            char text[96];
            std::snprintf(text, sizeof text, "peak %.2f dBFS, RMS %.2f dBFS", static_cast<double>(20.0L * std::log10(peak)),
                          static_cast<double>(10.0L * std::log10(squares / static_cast<long double>(v.size()))));
            return std::string(text);
        };
        EXPECT_NE(r.out.find("input:  " + levels(input, [](int16_t x) { return x; })), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("output: " + levels(input, clamped)), std::string::npos) << r.out;
    }
}

// The chain's halves run on two threads unless --follow keeps the chain on
// one: the same file and summary either way, through both resamplers, with a
// silence long enough for the zero-run guard, the dither and a last part block.
TEST_F(CliTest, ProcessGivesTheSameOutputOnOneThreadOrTwo) {
    std::vector<int16_t> input(2 * 100003);
    for (size_t i = 0; i < input.size(); ++i) {
        const size_t frame = i / 2;
        input[i] = frame >= 40000 && frame < 60000 ? 0 : static_cast<int16_t>(9000 * std::sin(frame * (0.03 + 0.02 * (i & 1))));
    }
    writeFile("in.wav", 48000, 2, input);
    std::string summaries[2], outputs[2];
    for (int follow : {0, 1}) {
        std::vector<std::string> args = {"process", path("in.wav"), path("out.wav"), "--preset", "F1"};
        if (follow) args.push_back("--follow");
        Result r = run(args);
        ASSERT_EQ(r.code, 0) << r.err;
        summaries[follow] = r.out;
        std::ifstream file(path("out.wav"), std::ios::binary);
        outputs[follow].assign(std::istreambuf_iterator<char>(file), {});
    }
    EXPECT_NE(summaries[0].find("resampling"), std::string::npos);
    EXPECT_EQ(summaries[0], summaries[1]);
    EXPECT_GT(outputs[0].size(), 4u * 100003);
    EXPECT_TRUE(outputs[0] == outputs[1]);
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
    writeFile("rate.wav", 4000, 2, std::vector<int16_t>(200, 5));
    Result r = run({"process", path("rate.wav"), path("out.wav")});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("rate.wav"), std::string::npos);
    EXPECT_NE(r.err.find("4000"), std::string::npos);

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
        // --set takes what each kind of parameter means, and says so in its units.
        {{"process", path("in.wav"), path("out.wav"), "--set", "General.Processor.Active=2"},
         "General.Processor.Active=2: out of range; General.Processor.Active is a switch and takes 0 or 1"},
        {{"process", path("in.wav"), path("out.wav"), "--set", "LowpassFilter.Cutoff.Hz=30000"},
         "LowpassFilter.Cutoff.Hz takes 20 to 20480 Hz"},
        {{"process", path("in.wav"), path("out.wav"), "--set", "AGC.Level.%=1000"}, "AGC.Level.% takes 0 to 100 %"},
        {{"response", "--set", "3BandEQ.Crossover.M-H=7241"}, "takes 20 to 7240.7 Hz"},  // 20 * 2^8.5 Hz
        {{"response", "--set", "HighpassFilter.Cutoff.Hz=19"}, "takes 20 to 320 Hz"},
        {{"response", "--set", "ParametricEQ.Bandwidth1.Octaves=0.05"}, "takes 0.1 to 10 Octaves"},
        {{"response", "--set", "Compressor.Ratio1=0.5"}, "Compressor.Ratio1 takes 1 to 10\n"},
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

// Stereo or surround: a 1 kHz sine on the channels `on`, in parts of (dBFS peak, seconds).
std::vector<double> tone(int rate, int channels, std::vector<int> on, std::vector<std::pair<double, double>> parts) {
    std::vector<double> s;
    long n = 0;
    for (auto [dbfs, seconds] : parts) {
        for (long end = n + std::lround(seconds * rate); n < end; ++n) {
            const double v = std::pow(10.0, dbfs / 20.0) * std::sin(2.0 * M_PI * 1000.0 * static_cast<double>(n) / rate);
            for (int c = 0; c < channels; ++c) s.push_back(std::count(on.begin(), on.end(), c) ? v : 0.0);
        }
    }
    return s;
}

class AnalyzeTest : public CliTest {
protected:
    void write(const std::string& name, int rate, int channels, const std::vector<double>& s,
               int format = SF_FORMAT_WAV | SF_FORMAT_PCM_24, std::vector<int> map = {}) {
        SF_INFO info{0, rate, channels, format, 0, 0};
        SNDFILE* f = sf_open(path(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
        if (!map.empty()) sf_command(f, SFC_SET_CHANNEL_MAP_INFO, map.data(), static_cast<int>(map.size() * sizeof(int)));
        sf_writef_double(f, s.data(), static_cast<sf_count_t>(s.size() / channels));
        sf_close(f);
    }
    // `analyze --json FILE...` read back by python3's json module: one line
    // "loudness rate channels duration weighted layout" per file (None for -inf).
    std::string analyzeJson(std::vector<std::string> names) {
        std::vector<std::string> args = {"analyze", "--json"};
        for (const auto& n : names) args.push_back(path(n));
        const Result r = run(args);
        EXPECT_EQ(r.code, 0) << r.err;
        std::ofstream(path("out.json")) << r.out;
        const std::string command =
            "/usr/bin/python3 -c 'import json,sys\nfor line in open(sys.argv[1]):\n o = json.loads(line)\n "
            "print(o[\"integrated_lufs\"], o[\"sample_rate\"], o[\"channels\"], o[\"duration_s\"], "
            "o[\"bs1770_weights\"], o[\"layout\"])' " + path("out.json");
        std::string printed;
        std::FILE* pipe = popen(command.c_str(), "r");
        char buffer[256];
        while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) printed += buffer;
        EXPECT_EQ(pipe != nullptr ? pclose(pipe) : -1, 0) << r.out;
        return printed;
    }
};

TEST_F(AnalyzeTest, EbuTech3341CasesReadTheirLoudnessAtBothRates) {
    // Cases 1, 2 and 5: stereo 1 kHz sine at -23 and -33 dBFS for 20 s; -36, -23, -36 dBFS for 10, 60, 10 s.
    for (int rate : {48000, 44100}) {
        write("case1.wav", rate, 2, tone(rate, 2, {0, 1}, {{-23, 20}}));
        write("case2.flac", rate, 2, tone(rate, 2, {0, 1}, {{-33, 20}}), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
        write("case5.wav", rate, 2, tone(rate, 2, {0, 1}, {{-36, 10}, {-23, 60}, {-36, 10}}));
        std::istringstream lines(analyzeJson({"case1.wav", "case2.flac", "case5.wav"}));
        for (auto [expected, duration] : {std::pair{-23.0, 20.0}, {-33.0, 20.0}, {-23.0, 80.0}}) {
            double lufs = 0, seconds = 0;
            int sampleRate = 0, channels = 0;
            std::string weighted, layout;
            lines >> lufs >> sampleRate >> channels >> seconds >> weighted;
            std::getline(lines, layout);
            EXPECT_NEAR(lufs, expected, 0.1) << rate;
            EXPECT_EQ(sampleRate, rate);
            EXPECT_EQ(channels, 2);
            EXPECT_EQ(seconds, duration);
            EXPECT_EQ(weighted + layout, "True L R");
        }
    }
}

TEST_F(AnalyzeTest, SurroundChannelsGetTheirWeightsAndTheLfeIsLeftOut) {
    const int rate = 48000;
    // Film order, named by the file: L C R Ls Rs LFE; a plain 6-channel WAV is L R C LFE Ls Rs.
    const std::vector<int> film = {SF_CHANNEL_MAP_LEFT,      SF_CHANNEL_MAP_CENTER,     SF_CHANNEL_MAP_RIGHT,
                                   SF_CHANNEL_MAP_REAR_LEFT, SF_CHANNEL_MAP_REAR_RIGHT, SF_CHANNEL_MAP_LFE};
    const int caf = SF_FORMAT_CAF | SF_FORMAT_PCM_16;
    write("stereo.wav", rate, 2, tone(rate, 2, {0, 1}, {{-23, 3}}));
    write("front.wav", rate, 6, tone(rate, 6, {0, 1}, {{-23, 3}}));
    write("lfe.wav", rate, 6, tone(rate, 6, {3}, {{-23, 3}}));
    write("film.caf", rate, 6, tone(rate, 6, {0, 2}, {{-23, 3}}), caf, film);
    write("film-lfe.caf", rate, 6, tone(rate, 6, {5}, {{-23, 3}}), caf, film);
    write("surround.wav", rate, 6, tone(rate, 6, {0, 1, 4}, {{-23, 3}}));  // Ls at +1.5 dB: 2 + 1.41
    write("eight.wav", rate, 8, tone(rate, 8, {0, 1, 7}, {{-23, 3}}));     // three channels at weight 1
    auto loudness = [](double weight) { return -23.0 + 10.0 * std::log10(weight / 2.0); };
    char expected[512];
    std::snprintf(expected, sizeof expected,
                  "-23.0 48000 2 3.0 True L R\n-23.0 48000 6 3.0 True L R C LFE Ls Rs\n"
                  "None 48000 6 3.0 True L R C LFE Ls Rs\n-23.0 48000 6 3.0 True L C R Ls Rs LFE\n"
                  "None 48000 6 3.0 True L C R Ls Rs LFE\n%.1f 48000 6 3.0 True L R C LFE Ls Rs\n"
                  "%.1f 48000 8 3.0 False \n",
                  loudness(3.41), loudness(3.0));
    EXPECT_EQ(analyzeJson({"stereo.wav", "front.wav", "lfe.wav", "film.caf", "film-lfe.caf", "surround.wav",
                           "eight.wav"}),
              expected);

    // The text reports, the closing table, and files that cannot be measured.
    write("nine.wav", rate, 9, std::vector<double>(9 * 100, 0.0));
    const Result r = run({"analyze", path("lfe.wav"), path("nine.wav"), path("eight.wav"), path("gone.wav")});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("nine.wav: 9 channels; analyze measures up to 8\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("gone.wav: No such file"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find(path("lfe.wav") + "\nsample rate: 48000 Hz\nchannels: 6 (L R C LFE Ls Rs; BS.1770 weights, "
                         "LFE left out)\nduration: 3.000 s\nintegrated loudness: -inf LUFS\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("channels: 8 (no BS.1770 weights for this layout; every channel counted at weight 1)"),
              std::string::npos);
    EXPECT_NE(r.out.find("\n\n   LUFS     LU   dBTP   dBFS      Hz  ch    seconds  file\n"
                         "   -inf    0.0  -23.0  -23.0   48000   6      3.000  " + path("lfe.wav") +
                         "\n      -      -      -      -       -   -          -  " + path("nine.wav") +
                         " (not measured)\n"),
              std::string::npos)
        << r.out;
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
              "F1:Enhancer\tlatency 45053 frames (1021.61 ms)\n"
              "F2:FM Stereo\tlatency 69629 frames (1578.89 ms)\n"
              "F3:AM Radio\tlatency 69629 frames (1578.89 ms)\n"
              "F4:Web Radio\tlatency 69629 frames (1578.89 ms)\n"
              "F5:10 Band Level\tlatency 36861 frames (835.85 ms)\n"
              "F6:5 Band Level\tlatency 36861 frames (835.85 ms)\n"
              "F7:3 Band Level\tlatency 36861 frames (835.85 ms)\n"
              "F8:2 Band AGC\tlatency 12287 frames (278.62 ms)\n"
              "F9:Normalizer\tlatency 4095 frames (92.86 ms)\n"
              "F10:OFF\tlatency 0 frames (0.00 ms)\n"
              "Default: F1\n");

    Result r = preset({"save", "7", "--name", "Late Night", "--preset", "F9", "--set", "General.PostAmp.dB=-1.5"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "saved 7: Late Night\n");
    EXPECT_NE(listing().find("07:Late Night\tlatency 4095 frames (92.86 ms)\n"), std::string::npos);

    // The saved file holds the base, the set value and every key.
    Result shown = preset({"show", "7"});
    ASSERT_EQ(shown.code, 0);
    EXPECT_NE(shown.out.find("Filename: QX_Preset07.ini\r\n"), std::string::npos);
    EXPECT_NE(shown.out.find("General.Name                   = Late Night\r\n"), std::string::npos);
    EXPECT_NE(shown.out.find("General.BaseFactoryPreset      = -8\r\n"), std::string::npos);
    EXPECT_NE(shown.out.find("General.PostAmp.dB             = -1.5\r\n"), std::string::npos);
    EXPECT_EQ(std::count(shown.out.begin(), shown.out.end(), '\n'), 4 + 342);
    EXPECT_EQ(shown.err, "latency: 4095 frames (92.86 ms)\n");
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
    auto show = [&](const std::string& id) { return run({"preset", "show", id, "--data-dir", data}); };
    ASSERT_EQ(run({"preset", "save", "5", "--name", "Edited", "--preset", "F3", "--set", "AGC.Level.%=60", "--set",
                   "LowpassFilter.Cutoff.Hz=18000", "--set", "General.Processor.Active=1", "--data-dir", data})
                  .code,
              0);
    const Result original = show("5");
    EXPECT_NE(original.out.find("LowpassFilter.Cutoff.Hz        = 18000\r\n"), std::string::npos);
    EXPECT_NE(original.out.find("AGC.Level.%                    = 60\r\n"), std::string::npos);

    // The same file after a Linux editor (LF line ends only) shows every value, written with CR LF.
    std::string lineFeeds = original.out;
    std::erase(lineFeeds, '\r');
    std::ofstream(data + "/QX_Preset05.ini", std::ios::binary | std::ios::trunc) << lineFeeds;
    const Result edited = show("5");
    EXPECT_EQ(edited.out, original.out);
    EXPECT_EQ(edited.err, "latency: 69629 frames (1578.89 ms)\n");  // F3's, on standard error

    // By path with a misspelt key (twice) and a line without spaces: it runs and names them once.
    std::ofstream(path("typo.ini")) << lineFeeds
                                    << "LowpassFilter.Cutof.Hz = 900\nLowpassFilter.Cutof.Hz = 9\nAGC.Level.%=70\n";
    const Result typo = show(path("typo.ini"));
    EXPECT_EQ(typo.code, 0);
    EXPECT_NE(typo.out.find("LowpassFilter.Cutoff.Hz        = 18000\r\n"), std::string::npos);
    EXPECT_EQ(typo.err, "quorvex: " + path("typo.ini") + ": unknown keys ignored: LowpassFilter.Cutof.Hz\nquorvex: " +
                            path("typo.ini") + ": lines not of the form 'KEY = VALUE' ignored: AGC.Level.%=70\n" +
                            "latency: 69629 frames (1578.89 ms)\n");

    // Text that is not a preset is refused in one line, before any output appears.
    std::ofstream(path("notes.txt")) << "shopping list\nmilk = 2\neggs = 12\n";
    writeFile("in.wav", 44100, 2, std::vector<int16_t>(2000, 5));
    const Result refused = run({"process", path("in.wav"), path("out.wav"), "--preset", path("notes.txt")});
    EXPECT_EQ(refused.code, 2);
    EXPECT_EQ(refused.err, "quorvex: process: preset " + path("notes.txt") + ": holds no key of a preset; not a preset file\n");
    EXPECT_FALSE(fs::exists(path("out.wav")));
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
