#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <numbers>
#include <utility>
#include <vector>

#include "engine/chain.h"
#include "engine/frame_pipeline.h"
#include "unit/chain_test_support.h"

namespace qx {
namespace {

// The frame pipeline, across its fill, its steady run (past the sliding
// records' end) and its drain: every part meets every frame once, with the
// frame's own record; a frame's parts come in order; each part takes its
// frames in order; and a frame's part s + 1 comes before the next frame's
// part s, so a stage split over two parts sees one frame at a time.
TEST(FramePipeline, RunsEachFramesPartsInOrderAndSplitStagesOneFrameAtATime) {
    constexpr int kParts = 4;
    struct Record {
        int32_t frame;
        int parts;
    };
    // Also as two stretches, the second starting mid-block.
    for (auto [frames, split] : {std::pair{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {64, 64}, {200, 200},
                                 {200, 1}, {200, 130}, {9, 5}}) {
        std::vector<std::pair<int, int32_t>> calls;
        int firsts = 0;
        for (auto [begin, end] : {std::pair{0, split}, {split, frames}})
            pipelineFrames<kParts, Record>(begin, end, [&](auto part, int32_t i, bool first, Record& r) {
                if constexpr (part == 0) r = {i, 0};
                EXPECT_EQ(r.frame, i);
                EXPECT_EQ(r.parts++, int{part});
                firsts += first;
                EXPECT_EQ(first, i == 0);
                calls.emplace_back(int{part}, i);
            });
        ASSERT_EQ(calls.size(), static_cast<size_t>(frames) * kParts) << frames;
        EXPECT_EQ(firsts, frames > 0 ? kParts : 0);
        std::vector<std::vector<size_t>> at(kParts, std::vector<size_t>(static_cast<size_t>(frames)));
        for (size_t n = 0; n < calls.size(); ++n) at[calls[n].first][calls[n].second] = n;
        for (int s = 0; s < kParts; ++s)
            for (int32_t i = 0; i < frames; ++i) {
                const bool ordered = (s == 0 || at[s - 1][i] < at[s][i]) && (i == 0 || at[s][i - 1] < at[s][i]) &&
                                     (s == 0 || i == 0 || at[s][i - 1] < at[s - 1][i]);
                ASSERT_TRUE(ordered) << frames << " frames, part " << s << ", frame " << i;
            }
    }
}

using test::expectedSample;
using test::makeState;
using test::ManualClock;
using test::runStereo;

constexpr double kTiny = 1.0 / 8388608.0;  // 2^-23

std::vector<int16_t> rampBuffer(size_t values) {
    std::vector<int16_t> b(values);
    for (size_t i = 0; i < values; ++i) b[i] = static_cast<int16_t>((i * 7919 + 32767) % 65536 - 32768);
    return b;
}

// Records the clock reading at every selection poll.
struct PollLog {
    ManualClock* clock;
    std::vector<uint32_t> times;
    static void poll(void* self) {
        auto* log = static_cast<PollLog*>(self);
        log->times.push_back(log->clock->now);
    }
};

// ---------------------------------------------------------------------------
// Format gate and selection poll

TEST(ChainFormatGate, UnsupportedFormatsAndBypassLeaveBufferBitExact) {
    struct Format {
        int32_t bits, channels, rate;
        bool bypass;
    };
    const Format formats[] = {{8, 2, 44100, false},  {24, 2, 44100, false}, {32, 2, 44100, false},
                              {16, 3, 44100, false}, {16, 6, 44100, false}, {16, 0, 44100, false},
                              {16, -1, 44100, false}, {16, 2, 48000, false}, {16, 1, 22050, false},
                              {16, 2, 44100, true},  {16, 1, 44100, true}};
    for (const Format& f : formats) {
        ManualClock clock;
        auto state = makeState(clock);
        state->params.general.mainBypass = f.bypass ? 1 : 0;
        state->params.general.postAmpDb = 12.0;  // would change every sample if processed
        state->inputMute = 1;
        const int32_t frames = 256;
        std::vector<int16_t> buffer = rampBuffer(frames * 6);
        buffer[0] = 32767;
        buffer[1] = -32768;
        const std::vector<int16_t> before = buffer;

        EXPECT_EQ(processBlock(buffer.data(), frames, f.bits, f.channels, f.rate, *state), frames);
        EXPECT_EQ(buffer, before) << "bits " << f.bits << " channels " << f.channels << " rate " << f.rate;
        EXPECT_EQ(state->scopeIndex, 0);
        EXPECT_EQ(state->lastBlockTime, 0u);
        EXPECT_EQ(state->gapResets, 0u);
        EXPECT_EQ(state->clipIndicator, 0);
    }
}

TEST(ChainFormatGate, NullBufferIsIgnored) {
    ManualClock clock;
    auto state = makeState(clock);
    EXPECT_EQ(processBlock(nullptr, 512, 16, 2, 44100, *state), 512);
    EXPECT_EQ(state->scopeIndex, 0);
}

TEST(ChainSelectionPoll, RunsEveryTwoSecondsWhileBypassedWithConsoleClosed) {
    ManualClock clock;
    clock.now = 1000;
    auto state = makeState(clock);
    PollLog log{&clock, {}};
    state->pollSelection = &PollLog::poll;
    state->pollContext = &log;
    state->consoleClosed = 1;
    state->params.general.mainBypass = 1;
    std::vector<int16_t> buffer(64);
    for (; clock.now <= 9000; clock.now += 500) {
        runStereo(buffer, *state);
        processBlock(buffer.data(), 32, 24, 2, 44100, *state);  // unsupported format: polls too
    }
    EXPECT_EQ(log.times, (std::vector<uint32_t>{2500, 5000, 7500}));
    EXPECT_EQ(state->lastPollTime, 7500u);
}

TEST(ChainSelectionPoll, NeverRunsWhileTheConsoleIsOpenOrWithoutHook) {
    ManualClock clock;
    auto state = makeState(clock);
    PollLog log{&clock, {}};
    state->pollSelection = &PollLog::poll;
    state->pollContext = &log;
    state->consoleClosed = 0;
    std::vector<int16_t> buffer(64);
    for (int i = 0; i < 20; ++i, clock.now += 1000) runStereo(buffer, *state);
    EXPECT_TRUE(log.times.empty());
    EXPECT_EQ(state->lastPollTime, 0u);

    state->pollSelection = nullptr;
    state->consoleClosed = 1;
    for (int i = 0; i < 5; ++i, clock.now += 3000) runStereo(buffer, *state);
    EXPECT_TRUE(log.times.empty());
}

TEST(ChainSelectionPoll, IntervalIsComparedInUnsigned32Bits) {
    ManualClock clock;
    auto state = makeState(clock);
    PollLog log{&clock, {}};
    state->pollSelection = &PollLog::poll;
    state->pollContext = &log;
    state->consoleClosed = 1;
    std::vector<int16_t> buffer(64);
    state->lastPollTime = 0x10000000u;
    clock.now = 0x10000000u + 2000;  // the interval must be exceeded
    runStereo(buffer, *state);
    EXPECT_TRUE(log.times.empty());
    clock.now += 1;
    runStereo(buffer, *state);
    EXPECT_EQ(log.times.size(), 1u);

    // Across the counter's wrap the interval still counts in elapsed time.
    state->lastPollTime = 0xFFFFFC00u;
    clock.now = 0xFFFFFD00u;
    runStereo(buffer, *state);
    EXPECT_EQ(log.times.size(), 1u);
    clock.now = 0xFFFFFC00u + 2001;  // wrapped past zero
    runStereo(buffer, *state);
    EXPECT_EQ(log.times.size(), 2u);
}

// ---------------------------------------------------------------------------
// Gap reset and block timers

TEST(ChainGapReset, FirstBlockLongPausesAndPresetLoadsReset) {
    ManualClock clock;  // starts at 100000 ms, like a machine that has been up a while
    auto state = makeState(clock);
    std::vector<int16_t> buffer(2 * 1024, 100);

    runStereo(buffer, *state);
    EXPECT_EQ(state->gapResets, 1u);

    for (int i = 0; i < 50; ++i, clock.now += 23) runStereo(buffer, *state);
    EXPECT_EQ(state->gapResets, 1u);

    clock.now += 7000;
    runStereo(buffer, *state);
    EXPECT_EQ(state->gapResets, 2u);

    clock.now += 5000;
    runStereo(buffer, *state);
    EXPECT_EQ(state->gapResets, 2u);

    clock.now += 6000;  // the pause must exceed 6 s
    runStereo(buffer, *state);
    EXPECT_EQ(state->gapResets, 2u);
    clock.now += 6001;
    runStereo(buffer, *state);
    EXPECT_EQ(state->gapResets, 3u);

    state->lastBlockTime = 0;  // what a preset load does
    clock.now += 10;
    runStereo(buffer, *state);
    EXPECT_EQ(state->gapResets, 4u);

    // Playing on across the counter's wrap is no pause.
    state->lastBlockTime = 0xFFFFF000u;
    clock.now = 0xFFFFF100u;
    runStereo(buffer, *state);
    clock.now = 0x00000100u;
    runStereo(buffer, *state);
    EXPECT_EQ(state->gapResets, 4u);
    clock.now = 0x00000100u + 6001;
    runStereo(buffer, *state);
    EXPECT_EQ(state->gapResets, 5u);

    // A preset load resets even when the counter reads a small value.
    state->lastBlockTime = 0;
    clock.now = 3000;
    runStereo(buffer, *state);
    EXPECT_EQ(state->gapResets, 6u);
}

TEST(ChainGapReset, BypassOrUnsupportedFormatsDoNotRefreshTheBlockTime) {
    ManualClock clock;
    auto state = makeState(clock);
    std::vector<int16_t> buffer(2 * 512, 100);
    runStereo(buffer, *state);
    ASSERT_EQ(state->gapResets, 1u);

    state->params.general.mainBypass = 1;
    for (int i = 0; i < 70; ++i, clock.now += 100) runStereo(buffer, *state);
    state->params.general.mainBypass = 0;
    runStereo(buffer, *state);
    EXPECT_EQ(state->gapResets, 2u);

    for (int i = 0; i < 70; ++i, clock.now += 100) processBlock(buffer.data(), 512, 16, 2, 48000, *state);
    runStereo(buffer, *state);
    EXPECT_EQ(state->gapResets, 3u);
}

TEST(ChainGapReset, BlockTimeIsASecondClockReading) {
    ManualClock clock;
    clock.stepPerReading = 3;
    auto state = makeState(clock);
    std::vector<int16_t> buffer(2 * 64, 100);
    runStereo(buffer, *state);
    EXPECT_EQ(clock.readings, 2);
    EXPECT_EQ(state->lastBlockTime, 100003u);

    // A bypassed block reads the clock once (for the poll) and stops there.
    state->params.general.mainBypass = 1;
    runStereo(buffer, *state);
    EXPECT_EQ(clock.readings, 3);
    EXPECT_EQ(state->lastBlockTime, 100003u);
}

TEST(ChainGapReset, WithoutAClockTimeStandsStillAndNothingResets) {
    auto state = std::make_unique<ChainState>();
    std::vector<int16_t> buffer(2 * 64, 100);
    for (int i = 0; i < 3; ++i) runStereo(buffer, *state);
    EXPECT_EQ(state->gapResets, 0u);
    EXPECT_EQ(state->lastBlockTime, 0u);
}

// ---------------------------------------------------------------------------
// Pass-through with every stage off

TEST(ChainPassThrough, StereoOutputEqualsInputExceptTheClamp) {
    ManualClock clock;
    auto state = makeState(clock);
    std::vector<int16_t> buffer(2 * 65536);
    for (int v = -32768; v <= 32767; ++v) {
        const size_t frame = static_cast<size_t>(v + 32768);
        buffer[2 * frame] = static_cast<int16_t>(v);
        buffer[2 * frame + 1] = static_cast<int16_t>(-1 - v);
    }
    const std::vector<int16_t> input = buffer;
    ASSERT_EQ(runStereo(buffer, *state), 65536);

    for (size_t i = 0; i < buffer.size(); ++i) {
        const int in = input[i];
        const int expected = in > 32764 ? 32764 : in < -32764 ? -32764 : in;
        ASSERT_EQ(buffer[i], expected) << "input " << in;
    }
    EXPECT_EQ(buffer[0], -32764);       // -32768 in
    EXPECT_EQ(buffer[2 * 65535], 32764);  // +32767 in
    // The scope ring holds the clamped mono sum of each frame.
    EXPECT_EQ(state->scopeIndex, 0);  // 65536 frames: wrapped exactly once
    EXPECT_DOUBLE_EQ(state->scope[0], 0.0);  // -32768 and +32767, both clamped
    EXPECT_DOUBLE_EQ(state->scope[3], (-0.9999 + 32764.0 / 32768.0) / 2.0);  // -32765 and +32764
    EXPECT_DOUBLE_EQ(state->scope[40000], (7232.0 / 32768.0 + -7233.0 / 32768.0) / 2.0);
}

TEST(ChainPassThrough, MonoWritesOnlyItsOwnSamples) {
    ManualClock clock;
    auto state = makeState(clock);
    const int32_t frames = 65536;
    std::vector<int16_t> buffer(frames + 16, 0x5A5A);
    for (int32_t i = 0; i < frames; ++i) buffer[i] = static_cast<int16_t>(i - 32768);
    ASSERT_EQ(processBlock(buffer.data(), frames, 16, 1, 44100, *state), frames);
    for (int32_t i = 0; i < frames; ++i) {
        const int in = i - 32768;
        ASSERT_EQ(buffer[i], in > 32764 ? 32764 : in < -32764 ? -32764 : in);
    }
    for (int32_t i = frames; i < frames + 16; ++i) EXPECT_EQ(buffer[i], 0x5A5A);
    // R follows L: the mono scope value is the sample itself.
    EXPECT_DOUBLE_EQ(state->scope[32768 + 1000], 1000.0 / 32768.0);
}

// ---------------------------------------------------------------------------
// Test signals

TEST(ChainTestSignals, MutedFullScaleSineIsClampedAndKeepsItsPhaseAcrossBlocks) {
    ManualClock clock;
    auto state = makeState(clock);
    state->inputMute = 1;
    state->sineOn = 1;
    state->testLevelDb = 0.0;
    state->testFrequencyHz = 1000.0;

    const double step = 1000.0 * 0.00014247585730565955;
    double phase = 0.0;
    int16_t lowest = 0, highest = 0;
    for (int block = 0; block < 3; ++block) {
        std::vector<int16_t> buffer = rampBuffer(2 * 700);  // muted: contents must not matter
        runStereo(buffer, *state);
        for (size_t f = 0; f < 700; ++f) {
            const int16_t expected = expectedSample(std::sin(phase));
            ASSERT_EQ(buffer[2 * f], expected) << "block " << block << " frame " << f;
            ASSERT_EQ(buffer[2 * f + 1], expected);
            lowest = std::min(lowest, buffer[2 * f]);
            highest = std::max(highest, buffer[2 * f]);
            phase += step;
            if (phase > 6.283185307179586) phase -= 6.283185307179586;
        }
    }
    EXPECT_EQ(highest, 32764);
    EXPECT_EQ(lowest, -32764);
    EXPECT_NEAR(state->sinePhase, phase, 1e-9);
    EXPECT_EQ(state->clipIndicator, 1);
}

TEST(ChainTestSignals, SineIsMixedIntoTheInputAtTheTestLevel) {
    ManualClock clock;
    auto state = makeState(clock);
    state->sineOn = 1;
    state->testLevelDb = -20.0;
    state->testFrequencyHz = 441.0;  // 100 frames per period
    std::vector<int16_t> buffer(2 * 100, 1000);
    runStereo(buffer, *state);
    for (int f = 0; f < 100; ++f) {
        const double s = std::sin(f * 2.0 * std::numbers::pi / 100.0) * 0.1;
        ASSERT_NEAR(buffer[2 * f], 1000.0 + s * 32768.0, 1.001);  // truncation toward zero
        ASSERT_EQ(buffer[2 * f], buffer[2 * f + 1]);
    }
}

TEST(ChainTestSignals, NoiseStaysWithinTheTestLevelAndIsTheSameOnBothChannels) {
    ManualClock clock;
    auto state = makeState(clock);
    state->inputMute = 1;
    state->noiseOn = 1;
    state->testLevelDb = -6.0;
    const double gt = std::pow(10.0, -6.0 * 0.05);
    std::vector<int16_t> buffer(2 * 20000);
    runStereo(buffer, *state);

    Random model;
    model.seed(12345);
    double lowest = 1.0, highest = -1.0;
    for (size_t f = 0; f < 20000; ++f) {
        ASSERT_EQ(buffer[2 * f], buffer[2 * f + 1]);
        const double v = buffer[2 * f] / 32768.0;
        ASSERT_LE(std::fabs(v), gt);
        lowest = std::min(lowest, v);
        highest = std::max(highest, v);
        // One generator value per frame, mapped uniformly onto [-Gt, Gt].
        const double n = (model.next() / 32767.0 - 0.5) * 2.0 * gt;
        ASSERT_NEAR(state->scope[f], n, 1e-12);
    }
    EXPECT_LT(lowest, -0.99 * gt);
    EXPECT_GT(highest, 0.99 * gt);
}

TEST(ChainTestSignals, NonFiniteTestSettingsProduceNoNaN) {
    ManualClock clock;
    auto state = makeState(clock);
    state->sineOn = 1;
    state->noiseOn = 1;
    state->testLevelDb = std::nan("");
    state->testFrequencyHz = std::numeric_limits<double>::infinity();
    std::vector<int16_t> buffer(2 * 256, 500);
    runStereo(buffer, *state);
    EXPECT_TRUE(std::isfinite(state->sinePhase));
    EXPECT_TRUE(std::isfinite(state->inputMeter));

    state->testLevelDb = 0.0;
    state->testFrequencyHz = 1e12;  // steps many turns per frame
    runStereo(buffer, *state);
    EXPECT_TRUE(std::isfinite(state->sinePhase));
    EXPECT_LE(std::fabs(state->sinePhase), 2.0 * std::numbers::pi);
    for (int16_t v : buffer) ASSERT_LE(std::abs(v), 32764);
}

// ---------------------------------------------------------------------------
// Zero-run guard and dither

TEST(ChainZeroRunGuard, OffsetsStartAfterHundredZeroFramesAndStopOnSignal) {
    ManualClock clock;
    auto state = makeState(clock);
    std::vector<int16_t> buffer(2 * 400, 0);
    buffer[2 * 250] = 5;  // one non-zero frame (both channels) ends the run
    buffer[2 * 250 + 1] = 5;
    runStereo(buffer, *state);

    Random model;
    model.seed(12345);
    auto nextOffset = [&] { return ((model.next() & 255) - 128) * kTiny; };
    int offsets = 0;
    for (int f = 0; f < 400; ++f) {
        const bool guarded = (f >= 100 && f < 250) || f >= 351;
        if (f == 250) {
            EXPECT_DOUBLE_EQ(state->scope[f], 5.0 / 32768.0);
        } else if (guarded) {
            const double d = nextOffset();
            ASSERT_EQ(state->scope[f], d) << "frame " << f;
            ASSERT_LE(std::fabs(state->scope[f]), 128 * kTiny);
            if (d != 0.0) ++offsets;
        } else {
            ASSERT_EQ(state->scope[f], 0.0) << "frame " << f;
        }
        // Far below one step of 16 bits: the output stays silent.
        if (f != 250) {
            ASSERT_EQ(buffer[2 * f], 0);
        }
    }
    EXPECT_GT(offsets, 150);
    EXPECT_EQ(state->zeroRun, 149);
}

TEST(ChainZeroRunGuard, OneSilentChannelIsEnoughAndTheRunSpansBlocks) {
    ManualClock clock;
    auto state = makeState(clock);
    std::vector<int16_t> buffer(2 * 60);
    for (size_t f = 0; f < 60; ++f) {
        buffer[2 * f] = 0;
        buffer[2 * f + 1] = 3000;
    }
    std::vector<int16_t> first = buffer, second = buffer;
    runStereo(first, *state);
    EXPECT_EQ(state->zeroRun, 60);
    runStereo(second, *state);
    EXPECT_EQ(state->zeroRun, 120);
    // Frames 101..120 of the run carry an offset on both channels.
    for (int f = 0; f < 60; ++f) {
        const double mono = state->scope[60 + f];
        const double clean = 3000.0 / 32768.0 / 2.0;
        if (f < 40)
            ASSERT_EQ(mono, clean) << f;
        else
            ASSERT_LE(std::fabs(mono - clean), 128 * kTiny) << f;
    }
}

TEST(ChainDither, AddsOneRectangularValuePerFrameWithinHalfAStep) {
    ManualClock clock;
    auto state = makeState(clock);
    state->params.general.ditherActive = 1;
    const size_t frames = 20000;
    std::vector<int16_t> buffer(2 * frames);
    for (size_t f = 0; f < frames; ++f) {
        buffer[2 * f] = static_cast<int16_t>(static_cast<int>(f % 4001) - 2000);
        buffer[2 * f + 1] = static_cast<int16_t>(static_cast<int>(f % 4001) - 2000);
    }
    const std::vector<int16_t> input = buffer;
    runStereo(buffer, *state);

    Random model;
    model.seed(12345);
    int moved = 0;
    for (size_t f = 0; f < frames; ++f) {
        const int in = input[2 * f];
        const double d = ((model.next() & 255) - 128) * kTiny;
        ASSERT_GE(d, -128 * kTiny);
        ASSERT_LE(d, 127 * kTiny);
        const double x = in / 32768.0 + d;
        ASSERT_EQ(state->scope[f], x) << f;
        ASSERT_EQ(buffer[2 * f], expectedSample(x)) << f;
        ASSERT_LE(std::abs(buffer[2 * f] - in), 1);
        if (buffer[2 * f] != in) ++moved;
    }
    EXPECT_GT(moved, 1000);  // negative offsets on positive samples truncate one step down
}

TEST(ChainDither, SameSeedSameOutputOtherSeedDiffers) {
    auto render = [](uint32_t seed) {
        ManualClock clock;
        auto state = makeState(clock);
        state->random.seed(seed);
        state->params.general.ditherActive = 1;
        std::vector<int16_t> buffer = rampBuffer(2 * 4096);
        runStereo(buffer, *state);
        return buffer;
    };
    EXPECT_EQ(render(7), render(7));
    EXPECT_NE(render(7), render(8));
}

// ---------------------------------------------------------------------------
// Meters and clip indicator

TEST(ChainMeters, LevelMetersDecayByOneHundredthPerFrameAndPeakHoldsTheMaximum) {
    ManualClock clock;
    auto state = makeState(clock);
    std::vector<int16_t> buffer(2 * 51, 1);
    buffer[0] = buffer[1] = 16384;  // 50 % of full scale
    runStereo(buffer, *state);
    EXPECT_NEAR(state->inputMeter, 50.0 - 50 * 0.01, 1e-9);
    EXPECT_NEAR(state->outputMeter, 50.0 - 50 * 0.01, 1e-9);
    EXPECT_DOUBLE_EQ(state->outputPeak, 50.0);

    // A later quiet block keeps decaying; the peak only grows until cleared.
    std::vector<int16_t> quiet(2 * 100, 1);
    runStereo(quiet, *state);
    EXPECT_NEAR(state->outputMeter, 49.5 - 100 * 0.01, 1e-9);
    EXPECT_DOUBLE_EQ(state->outputPeak, 50.0);
    state->outputPeak = 0.0;
    runStereo(quiet, *state);
    EXPECT_NEAR(state->outputPeak, 48.5 - 0.01, 1e-9);

    // The meter never goes below zero.
    std::vector<int16_t> tiny(2 * 6000, 1);
    runStereo(tiny, *state);
    EXPECT_DOUBLE_EQ(state->inputMeter, 100.0 / 32768.0);
}

TEST(ChainMeters, InputMeterReadsBeforeTheGainsOutputMeterAfter) {
    ManualClock clock;
    auto state = makeState(clock);
    state->params.general.postAmpDb = -20.0;
    std::vector<int16_t> buffer(2 * 8, 16384);
    runStereo(buffer, *state);
    EXPECT_DOUBLE_EQ(state->inputMeter, 50.0);
    EXPECT_NEAR(state->outputMeter, 5.0, 1e-9);
    EXPECT_NEAR(state->outputPeak, 5.0, 1e-9);
}

TEST(ChainMeters, ClipIndicatorRisesAtTheClampLimitAndIsOnlyClearedByTheConsole) {
    ManualClock clock;
    auto state = makeState(clock);
    std::vector<int16_t> below{32764, -32764, 1000, 1000};  // 0.99988: below the limit
    runStereo(below, *state);
    EXPECT_EQ(state->clipIndicator, 0);

    std::vector<int16_t> negative{1000, -32765, 1000, 1000};  // -0.99991
    runStereo(negative, *state);
    EXPECT_EQ(state->clipIndicator, 1);
    EXPECT_EQ(negative[1], -32764);

    runStereo(below, *state);
    EXPECT_EQ(state->clipIndicator, 1);
    state->clipIndicator = 0;
    std::vector<int16_t> positive{32765, 0, 1000, 1000};
    runStereo(positive, *state);
    EXPECT_EQ(state->clipIndicator, 1);
}

// ---------------------------------------------------------------------------
// Drive and post amp

TEST(ChainGains, DensityDriveAppliesOnlyWithTheProcessorOffPostAmpAlways) {
    ManualClock clock;
    const std::vector<int16_t> input{16384, -16384, 3001, -20000, 12345, 0};
    auto render = [&](double driveDb, double postDb, bool processor) {
        auto state = makeState(clock);
        state->params.general.densityDriveDb = driveDb;
        state->params.general.postAmpDb = postDb;
        state->params.general.processorActive = processor ? 1 : 0;
        std::vector<int16_t> buffer = input;
        runStereo(buffer, *state);
        return buffer;
    };
    auto gain = [](double db) { return std::pow(10.0, db * 0.05); };
    auto expected = [&](double first, double second) {
        std::vector<int16_t> out;
        for (int16_t v : input) out.push_back(expectedSample(v / 32768.0 * first * second));
        return out;
    };
    EXPECT_EQ(render(-6.0, 0.0, false), expected(gain(-6.0), 1.0));
    EXPECT_EQ(render(0.0, 4.5, false), expected(gain(4.5), 1.0));
    EXPECT_EQ(render(3.0, -9.0, false), expected(gain(3.0), gain(-9.0)));
    // With the processor on the signal takes the band path, where the drive
    // acts per band; the first 8192 frames out of the split are silence.
    EXPECT_EQ(render(-6.0, 6.0, true), std::vector<int16_t>(input.size(), 0));
}

TEST(ChainGains, NonFiniteGainsNeitherCrashNorProduceGarbage) {
    ManualClock clock;
    auto state = makeState(clock);
    state->params.general.postAmpDb = std::numeric_limits<double>::infinity();
    state->params.general.densityDriveDb = std::nan("");
    std::vector<int16_t> buffer{1000, -1000, 0, 0};
    runStereo(buffer, *state);
    EXPECT_EQ(buffer, (std::vector<int16_t>{1000, -1000, 0, 0}));
    EXPECT_TRUE(std::isfinite(state->outputMeter));
}

// ---------------------------------------------------------------------------
// Scope ring, independent states, zeroing

TEST(ChainScope, WriteIndexWrapsFrom65535ToZero) {
    ManualClock clock;
    auto state = makeState(clock);
    state->scopeIndex = 65534;
    std::vector<int16_t> buffer{3276, 3276, 6553, 6553, 9830, 9830};
    runStereo(buffer, *state);
    EXPECT_EQ(state->scopeIndex, 1);
    EXPECT_DOUBLE_EQ(state->scope[65534], 3276.0 / 32768.0);
    EXPECT_DOUBLE_EQ(state->scope[65535], 6553.0 / 32768.0);
    EXPECT_DOUBLE_EQ(state->scope[0], 9830.0 / 32768.0);
    EXPECT_EQ(state->scope[1], 0.0);
}

TEST(ChainStates, ACopyRunsIndependentlyAndLikeTheOriginal) {
    ManualClock clock;
    auto original = makeState(clock);
    original->sineOn = 1;
    original->testLevelDb = -12.0;
    original->testFrequencyHz = 997.0;
    original->params.general.ditherActive = 1;
    std::vector<int16_t> warmup = rampBuffer(2 * 1000);
    runStereo(warmup, *original);

    auto copy = std::make_unique<ChainState>(*original);
    const double phase = original->sinePhase;
    const uint32_t random = original->random.state;
    const uint16_t scope = original->scopeIndex;
    const double peak = original->outputPeak;

    // Running the copy with other settings leaves the original alone.
    copy->params.general.postAmpDb = 6.0;
    copy->noiseOn = 1;
    std::vector<int16_t> other = rampBuffer(2 * 3000);
    runStereo(other, *copy);
    EXPECT_EQ(original->sinePhase, phase);
    EXPECT_EQ(original->random.state, random);
    EXPECT_EQ(original->scopeIndex, scope);
    EXPECT_EQ(original->outputPeak, peak);
    EXPECT_EQ(original->params.general.postAmpDb, 0.0);
    EXPECT_EQ(original->noiseOn, 0);

    // A fresh copy fed the same block produces the same samples.
    auto twin = std::make_unique<ChainState>(*original);
    std::vector<int16_t> a = rampBuffer(2 * 2000), b = a;
    runStereo(a, *original);
    runStereo(b, *twin);
    EXPECT_EQ(a, b);
    EXPECT_EQ(original->sinePhase, twin->sinePhase);
}

TEST(ChainStates, ZeroChainStateRestoresTheDefaults) {
    ManualClock clock;
    auto state = makeState(clock);
    state->params.general.postAmpDb = 3.0;
    state->params.compressor.thresholdDb[4] = -20.0;
    state->sineOn = 1;
    state->testFrequencyHz = 1000.0;
    state->bandCount = 5;
    std::vector<int16_t> buffer = rampBuffer(2 * 3000);
    runStereo(buffer, *state);
    ASSERT_NE(state->scopeIndex, 0);

    zeroChainState(*state);
    EXPECT_TRUE(state->tickCount == nullptr);
    EXPECT_TRUE(state->tickContext == nullptr);
    EXPECT_EQ(state->params.general.postAmpDb, 0.0);
    EXPECT_EQ(state->params.compressor.thresholdDb[4], 0.0);
    EXPECT_EQ(state->sineOn, 0);
    EXPECT_EQ(state->bandCount, 10);
    EXPECT_EQ(state->scopeIndex, 0);
    EXPECT_EQ(state->scope[1500], 0.0);
    EXPECT_EQ(state->sinePhase, 0.0);
    EXPECT_EQ(state->lastBlockTime, 0u);
    EXPECT_EQ(state->gapResets, 0u);
    EXPECT_EQ(state->random.state, Random{}.state);
}

}  // namespace
}  // namespace qx
