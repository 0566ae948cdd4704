// The chain's output, bit for bit: every factory preset over program-like
// input in host-sized blocks, and every preset's frequency response, reduced
// to FNV-1a checksums recorded from the scalar chain. Any change to the
// arithmetic (reordered sums, fused multiply-add, a skipped step that was not
// a no-op) changes a checksum. The chain's output is the same on Linux and Win64.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "chain_test_support.h"
#include "checksum_support.h"
#include "engine/response.h"
#include "engine/coefficient_update.h"
#include "engine/stage_setups.h"
#include "params/preset_library.h"
#include "persistence_test_support.h"
#include "platform/threads.h"

namespace qx {
namespace {

using test::fnv1a;
using test::hex;

// Recorded from the chain before its per-band stages were laid out for the
// vector unit: F1..F10 in order.
constexpr uint64_t kProgramInput = 0x2fcdcac0f2572bfaull;
// F10 (OFF) passes the program unchanged.
constexpr uint64_t kProgramOutput[10] = {
    0x5cc7430883e10d44ull, 0x664e40ca1e4a11f5ull, 0x7397d06939f2fdbdull,
    0x4b6d6c2751dc0739ull, 0x048fba57211d196full, 0x2af8d0c9faba736aull,
    0x6b4a2e8940ac182cull, 0x15378c6b2b846cb1ull, 0x17ec28a127ed1530ull,
    0x2fcdcac0f2572bfaull,
};
// The test tone uses the engine's own sine, so every build and processor
// measures the same curves.
constexpr uint64_t kResponse[10] = {
    0x2583638eb7e197c9ull, 0x917f37ecf3389b69ull, 0x22b547084120e9f0ull,
    0x93a740eaf4bccae5ull, 0x8ea8383b2cd42193ull, 0x38101c82d489d4c1ull,
    0xa82fd46e0eac05fcull, 0x7314ade821a8d2c8ull, 0xe9a975c4c7e32fdcull,
    0x797702eb4aefca79ull,
};

class BitExact : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(data.setDirectory(dir.directory())); }

    // A fresh chain with factory preset `n` (0..9) loaded.
    std::unique_ptr<ChainState> presetChain(int n) {
        auto run = test::makeState(clock);
        table = std::make_unique<ParameterTable>(buildParameterTable(*run));
        designAtStartup(*run);
        library.bind(table.get(), run.get(), updateCoefficients);
        library.scanLibrary();
        library.loadPreset(-n);
        return run;
    }

    test::TempDir dir;
    test::ScriptedPlatform platform;
    DataDirectory data{platform};
    test::ManualClock clock;
    std::unique_ptr<ParameterTable> table;
    PresetLibrary library{data};
};

// The builds carry copies of the frame path for wider vectors, taken where
// the processor has them; the cases take turns at allowing each (a copy the
// build or processor lacks falls back to the next narrower one).
constexpr FrameCopy kCopies[] = {FrameCopy::Avx512, FrameCopy::Avx2, FrameCopy::Baseline};

TEST_F(BitExact, FactoryPresetsOnProgramInHostBlocks) {
    const std::vector<int16_t> input = test::programInput();
    // The input itself first: a mismatch here is the test signal, not the chain.
    EXPECT_EQ(hex(fnv1a(input.data(), input.size() * sizeof(int16_t))), hex(kProgramInput));
    // The frames overlap inside a block, so blocks shorter than that overlap
    // (and their ends) must come out the same as whole ones.
    const std::vector<std::vector<int>> blockings = {{576}, {1, 2, 3, 4, 5, 1021}};
    for (int n = 0; n < 10; ++n) {
        for (size_t b = 0; b < 2 * blockings.size(); ++b) {
            const std::vector<int>& sizes = blockings[b / 2];
            auto run = presetChain(n);
            run->widestCopy = kCopies[(n + b) % 3];
            std::vector<int16_t> buffer = input;
            const int frames = static_cast<int>(buffer.size() / 2);
            for (int f = 0, k = 0; f < frames; f += sizes[k++ % sizes.size()])
                processBlock(buffer.data() + 2 * f, std::min(sizes[k % sizes.size()], frames - f), 16, 2, 44100,
                             *run);
            EXPECT_EQ(hex(fnv1a(buffer.data(), buffer.size() * sizeof(int16_t))), hex(kProgramOutput[n]))
                << "F" << n + 1 << " in blocks from " << sizes[0] << " frames, widest copy "
                << static_cast<int>(run->widestCopy);
        }
    }
}

// No factory preset runs every stage: F1 with all of them on, in ten and in
// five bands, the clipper's complex mode off for a stretch in the middle of
// the quiet part and a host block, over the same program and blockings.
// Recorded from the chain's AVX2 copies; the SSE2 and AVX-512 ones must give
// the same bits.
constexpr uint64_t kEveryStageOutput[2] = {0x0ce565f543f358d5ull, 0x09008eea32146960ull};

TEST_F(BitExact, EveryStageOnInHostBlocks) {
    const std::vector<int16_t> input = test::programInput();
    const int frames = static_cast<int>(input.size() / 2);
    for (int layout : {1, 2}) {
        for (const std::vector<int>& sizes : std::vector<std::vector<int>>{{576}, {1, 2, 3, 4, 5, 1021}}) {
            auto run = presetChain(0);
            run->widestCopy = kCopies[(layout + sizes.size()) % 3];
            for (const char* key :
                 {"General.HighpassFilter.Active", "General.StereoImageProc.Active", "General.AGC.Active",
                  "General.3BandEQ.Active", "General.ParametricEQ.Active", "ParametricEQ.Enable2",
                  "General.Processor.Active", "General.DynamicEQ.Active", "General.Compressor.Active",
                  "General.Expander.Active", "General.Limiter.Active", "General.Saturator.Active",
                  "General.10BandEQ.Active", "General.FinalLimiter.Active", "General.FinalClipper.Active",
                  "FinalClipper.Complex", "General.LowpassFilter.Active", "Saturator.Clip1.Enable",
                  "Saturator.Refilter2"})
                table->find(key)->assign(1.0);
            table->find("Processor.Filterbank")->assign(layout);
            updateCoefficients(*run, true);
            std::vector<int16_t> buffer = input;
            // Frames 50000 to 59999 are simple clipping: blocks end there.
            for (int f = 0, k = 0, n = 0; f < frames; f += n, ++k) {
                const int edge = f < 50000 ? 50000 : (f < 60000 ? 60000 : frames);
                n = std::min(sizes[k % sizes.size()], edge - f);
                run->params.finalClipper.complex = f >= 50000 && f < 60000 ? 0 : 1;
                processBlock(buffer.data() + 2 * f, n, 16, 2, 44100, *run);
            }
            EXPECT_EQ(hex(fnv1a(buffer.data(), buffer.size() * sizeof(int16_t))),
                      hex(kEveryStageOutput[layout - 1]))
                << "layout " << layout << " in blocks from " << sizes[0] << " frames";
        }
    }
}

// On one thread, and with half of the chain on a second one.
TEST_F(BitExact, FactoryPresetResponses) {
    auto measurement = std::make_unique<ChainState>();
    const auto thread = makeSecondThread();
    for (int n = 0; n < 10; ++n) {
        auto live = presetChain(n);
        live->widestCopy = kCopies[n % 3];
        for (SecondThread* second : {static_cast<SecondThread*>(nullptr), thread.get()}) {
            ResponseCurve curve;
            measureResponse(*live, *measurement, curve, nullptr, nullptr, second);
            uint64_t hash = fnv1a(curve.frequencyHz.data(), sizeof curve.frequencyHz);
            hash = fnv1a(curve.peak.data(), sizeof curve.peak, hash);
            EXPECT_EQ(hex(hash), hex(kResponse[n])) << "F" << n + 1 << (second ? " on two threads" : "");
        }
    }
}

// A stream of blocks with its halves on two threads gives each block as
// processBlock does: three block lengths, a silence long enough for the
// zero-run guard with the dither on, the noise test signal, a reset, mono and
// stereo, a host that ends the stream early, and the first half running
// ahead by the fewest blocks (asked for none), the usual 16 and the most.
TEST_F(BitExact, BlockStreamOnTwoThreadsGivesWhatProcessBlockGives) {
    struct Program {
        const std::vector<int16_t>& input;
        int channels;
        int64_t stopAfter = -1;
        int64_t offset = 0;
        std::vector<int16_t> output{};
        std::vector<double> peaks{};
        int32_t next(int64_t b, int16_t* samples, ChainState& s) {
            if (b == 40) return 0;
            const int32_t n = std::array{576, 1024, 37}[b % 3];
            s.noiseOn = b >= 12 && b < 16;
            s.testLevelDb = -12.0;
            if (b == 20) s.resetRequest = 1;
            for (int32_t i = 0; i < n * channels; ++i)
                samples[i] = b >= 5 && b < 9 ? 0 : input[(offset * channels + i) % input.size()];
            offset += n;
            return n;
        }
        bool take(int64_t b, const int16_t* samples, int32_t n, const ChainState& s) {
            output.insert(output.end(), samples, samples + n * channels);
            peaks.push_back(s.outputPeak);
            return b != stopAfter;
        }
    };
    const std::vector<int16_t> input = test::programInput();
    const auto thread = makeSecondThread();
    for (int channels : {1, 2}) {
        Program expected{input, channels};
        auto sequential = presetChain(0);
        std::vector<int16_t> block(2 * kBlockStreamMaxFrames);
        for (int64_t b = 0; int32_t n = expected.next(b, block.data(), *sequential); ++b) {
            sequential->outputPeak = 0.0;
            processBlock(block.data(), n, 16, channels, 44100, *sequential);
            expected.take(b, block.data(), n, *sequential);
        }
        for (auto [stopAfter, ahead] : {std::pair{-1, 16}, {17, 16}, {-1, 0}, {17, 1000}}) {
            Program actual{input, channels, stopAfter};
            auto streamed = presetChain(0);
            BlockStreamHooks hooks;
            hooks.context = &actual;
            hooks.aheadBlocks = ahead;
            hooks.fill = [](int64_t b, int16_t* samples, ChainState& s, void* p) {
                return static_cast<Program*>(p)->next(b, samples, s);
            };
            hooks.beforeBack = [](int64_t, ChainState& s, void*) { s.outputPeak = 0.0; };
            hooks.done = [](int64_t b, const int16_t* samples, int32_t n, ChainState& s, void* p) {
                return static_cast<Program*>(p)->take(b, samples, n, s);
            };
            ASSERT_TRUE(runBlockStream(*streamed, channels, thread.get(), hooks));
            const size_t blocks = stopAfter < 0 ? expected.peaks.size() : stopAfter + 1;
            ASSERT_EQ(actual.peaks.size(), blocks);
            EXPECT_TRUE(std::equal(actual.peaks.begin(), actual.peaks.end(), expected.peaks.begin()));
            ASSERT_LE(actual.output.size(), expected.output.size());
            EXPECT_TRUE(std::equal(actual.output.begin(), actual.output.end(), expected.output.begin()))
                << channels << " channel(s), stopped after " << stopAfter << ", " << ahead << " ahead";
            if (stopAfter < 0) {
                EXPECT_EQ(streamed->random.state, sequential->random.state);
                EXPECT_EQ(streamed->gapResets, 2u);  // at the start and at block 20
            }
        }
        EXPECT_EQ(sequential->gapResets, 2u);
    }
}

}  // namespace
}  // namespace qx
