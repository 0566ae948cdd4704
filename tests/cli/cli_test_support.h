#pragma once
// The tool's tests: a command run in-process, and a fixture with a fresh
// directory per test that also serves as the tool's default data directory.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace qx::cli {
namespace {

namespace fs = std::filesystem;

struct Result {
    int code;
    std::string out;
    std::string err;
};

inline Result run(std::vector<std::string> args) {
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

}  // namespace
}  // namespace qx::cli
