// The tool's charts: `response --plot` and `spectrum --plot`, their numbers,
// byte-identical PNGs from the same input and refusals of unwritable paths.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace qx::cli {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

Outcome run(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int code = runCommand(args, out, err, false);
    return {code, out.str(), err.str()};
}

std::string bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Width and height from a PNG's header chunk; 0 when it is not a PNG.
std::pair<uint32_t, uint32_t> pngSize(const std::string& png) {
    if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || png.compare(12, 4, "IHDR") != 0) return {0, 0};
    auto word = [&](size_t at) {
        uint32_t v = 0;
        for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(png[at + i]);
        return v;
    };
    return {word(16), word(20)};
}

// CSV rows "f,a,b" of the spectrum command by frequency.
std::map<double, std::pair<double, double>> spectrumRows(const std::string& csv) {
    std::map<double, std::pair<double, double>> rows;
    std::istringstream lines(csv);
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
        double f = 0, a = 0, b = 0;
        if (std::sscanf(line.c_str(), "%lf,%lf,%lf", &f, &a, &b) == 3) rows[f] = {a, b};
    }
    return rows;
}

class PlotCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("quorvex-plot-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(dir); }

    // Two seconds of a stereo sine of the given peak at 1 kHz.
    std::string sineFile(int rate = 44100) {
        const std::string path = (dir / "sine.wav").string();
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
        std::vector<short> samples;
        for (int n = 0; n < 2 * rate; ++n) {
            const auto v = static_cast<short>(std::lround(16384.0 * std::sin(2.0 * M_PI * 1000.0 * n / rate)));
            samples.push_back(v);
            samples.push_back(v);
        }
        sf_writef_short(f, samples.data(), 2 * rate);
        sf_close(f);
        return path;
    }

    fs::path dir;
};

TEST_F(PlotCommandTest, ResponsePlotIsReproducibleAndLeavesTheNumbersAlone) {
    const std::string a = (dir / "a.png").string(), b = (dir / "b.png").string();
    const Outcome plain = run({"response", "--preset", "F10"});
    const Outcome first = run({"response", "--preset", "F10", "--plot", a});
    const Outcome second = run({"response", "--plot=" + b, "--preset", "F10"});
    ASSERT_EQ(first.code, 0) << first.err;
    ASSERT_EQ(second.code, 0) << second.err;
    EXPECT_EQ(first.out, plain.out);
    EXPECT_EQ(pngSize(bytes(a)), std::make_pair(960u, 540u));
    EXPECT_EQ(bytes(a), bytes(b));
    // Different settings, a different picture.
    ASSERT_EQ(run({"response", "--preset", "F10", "--set", "General.PostAmp.dB=-12", "--plot", b}).code, 0);
    EXPECT_NE(bytes(a), bytes(b));
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().extension(), entry.is_directory() ? "" : ".png") << "no scratch file left";
}

TEST_F(PlotCommandTest, SpectrumMeasuresInputAndAlignedOutput) {
    const std::string in = sineFile();
    const std::string a = (dir / "a.png").string(), b = (dir / "b.png").string();
    const Outcome off = run({"spectrum", in, "--preset", "F10", "--plot", a});
    ASSERT_EQ(off.code, 0) << off.err;
    const auto rows = spectrumRows(off.out);
    ASSERT_GT(rows.size(), 200u);
    // A half-scale sine is 6.02 dB below full scale in the bands that hold it
    // (those of 987 and 1016 Hz), its strongest point.
    const auto loudest = std::max_element(rows.begin(), rows.end(), [](const auto& x, const auto& y) {
        return x.second.first < y.second.first;
    });
    EXPECT_NEAR(loudest->first, 1000.0, 16.0);
    EXPECT_NEAR(loudest->second.first, -6.02, 0.3);
    EXPECT_NEAR(loudest->second.second, -6.02, 0.3);
    EXPECT_LT(rows.lower_bound(250.0)->second.first, -60.0);
    for (const auto& [hz, levels] : rows) ASSERT_NEAR(levels.first, levels.second, 0.05) << hz << ": OFF leaves it alone";

    // 12 dB less after the post amp; with the highpass (8192 frames of delay)
    // the output, delay taken out, still holds the whole tone.
    const Outcome quieter = run({"spectrum", in, "--preset", "F10", "--set", "General.PostAmp.dB=-12", "--set",
                             "General.HighpassFilter.Active=1", "--plot", b});
    ASSERT_EQ(quieter.code, 0) << quieter.err;
    const auto after = spectrumRows(quieter.out).at(loudest->first);
    EXPECT_NEAR(after.second - after.first, -12.0, 0.3);
    EXPECT_NE(bytes(a), bytes(b));
    ASSERT_EQ(run({"spectrum", in, "--preset", "F10", "--plot", b}).code, 0);
    EXPECT_EQ(bytes(a), bytes(b)) << "the same input gives the same bytes";
}

TEST_F(PlotCommandTest, UnwritablePathsAndBadInputsAreRefused) {
    const std::string in = sineFile();
    const std::string nowhere = (dir / "missing" / "x.png").string();
    for (const auto& args : {std::vector<std::string>{"response", "--preset", "F10", "--plot", nowhere},
                             std::vector<std::string>{"spectrum", in, "--plot", nowhere}}) {
        const Outcome r = run(args);
        EXPECT_EQ(r.code, 1) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_EQ(r.err.rfind("quorvex: " + nowhere + ": ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line";
    }
    EXPECT_FALSE(fs::exists(dir / "missing"));
    EXPECT_EQ(run({"response", "--plot"}).code, 2);
    EXPECT_EQ(run({"spectrum", in, "--plot", "a.png", "--plot", "b.png"}).code, 2);
    EXPECT_EQ(run({"spectrum"}).code, 2);
    EXPECT_EQ(run({"spectrum", (dir / "absent.wav").string()}).code, 1);
    const Outcome rate = run({"spectrum", sineFile(48000)});
    EXPECT_EQ(rate.code, 2);
    EXPECT_NE(rate.err.find("44100"), std::string::npos) << rate.err;
}

}  // namespace
}  // namespace qx::cli
