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
        {{"default", "9"}, "Please select a preset slot that contains a preset, then click \"Default\"."},
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
