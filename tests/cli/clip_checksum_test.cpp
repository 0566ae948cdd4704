// `quorvex process --keep-latency` with every factory preset over a real music
// clip, bit for bit: FNV-1a checksums of the written samples, recorded from the scalar chain.
// The clip lives in the shared material beside the source tree.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "cli/audio_file.h"
#include "cli/commands.h"
#include "unit/checksum_support.h"

namespace qx::cli {
namespace {

namespace fs = std::filesystem;

using test::fnv1a;
using test::hex;

// F1..F10 over the 20 s clip.
constexpr uint64_t kClipOutput[10] = {
    0xfc9b1a6d279d6104ull, 0xcc90abe20ba91d28ull, 0x49f1e775c683ce75ull,
    0x956ea585de2985e3ull, 0x61383ab89c1fdc81ull, 0x9f72ce722886a439ull,
    0x0d4c709cdfd6a001ull, 0xdaf59287230912fdull, 0x450be6fd33e0f7ceull,
    0xe88b91c6bcc18ce2ull,
};

TEST(ClipChecksums, EveryFactoryPresetOnTheMusicClip) {
    const fs::path clip = fs::path(QX_SOURCE_DIR) / ".." / "shared" / "audio" / "music-battle.flac";
    if (!fs::exists(clip)) GTEST_SKIP() << "no music clip at " << clip.string();
    const fs::path dir = fs::temp_directory_path() / "quorvex-clip-checksums";
    fs::remove_all(dir);
    fs::create_directories(dir / "data");
    const std::string out = (dir / "out.wav").string();
    for (int n = 0; n < 10; ++n) {
        std::ostringstream text, err;
        ASSERT_EQ(runCommand({"process", clip.string(), out, "--preset", "F" + std::to_string(n + 1), "--data-dir",
                              (dir / "data").string(), "--keep-latency"},
                             text, err, false),
                  0)
            << err.str();
        Audio audio;
        ASSERT_EQ(readAudio(out, audio).status, IoStatus::Ok);
        ASSERT_EQ(audio.frames(), 882000);
        EXPECT_EQ(hex(fnv1a(audio.samples.data(), audio.samples.size() * sizeof(int16_t))), hex(kClipOutput[n]))
            << "F" << n + 1;
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace qx::cli
