#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <memory>
#include <vector>

#include "band_stage_test_support.h"
#include "engine/chain.h"
#include "engine/saturator.h"

namespace qx {
namespace {

// A block's start as the chain makes it: the coefficients, the depths from zero.
SaturatorCoefficients startBlock(const SaturatorParams& p, int32_t bandCount, SaturatorState& s) {
    startSaturatorBlock(s);
    return saturatorCoefficients(p, bandCount);
}

using test::bandFrame;
using test::randomFrame;

SaturatorParams makeParams(double levelPct, double gainDb, double clipDb, bool clip) {
    SaturatorParams p;
    for (int i = 0; i < kMaxBands; ++i) {
        p.levelPct[i] = levelPct;
        p.gainDb[i] = gainDb;
        p.clipDb[i] = clipDb;
        p.clipEnable[i] = clip;
    }
    return p;
}

// A reset bank; band filters designed so that a refiltered band visibly differs.
std::unique_ptr<ReverseCascadeBank> makeBank() {
    auto bank = std::make_unique<ReverseCascadeBank>();
    for (int b = 0; b < kBankBands; ++b)
        designBankBand(*bank, b, true, FilterType::Bandpass, 2.0, 1000.0, 44100.0, 1.0);
    resetBank(*bank);
    return bank;
}

// Expected mask from its meaning: band i owns bits 2i and 2i + 1.
uint32_t maskOf(const bool (&flags)[kMaxBands], int nb) {
    uint32_t m = 0;
    for (int i = 0; i < nb; ++i)
        if (flags[i]) m |= 3u << (2 * i);
    return m;
}

TEST(Saturator, RefilterMaskGivesEachBandTwoBits) {
    const bool patterns[][kMaxBands] = {
        {},
        {true, true, true, true, true, true, true, true, true, true},
        {true},
        {false, true},
        {false, false, false, false, false, false, false, false, false, true},
        {true, false, true, false, true, false, true, false, true, false},
        {false, false, false, true, true},
        {true, true, false, false, false, false, false, true},
    };
    for (const auto& flags : patterns) {
        SaturatorParams p;
        for (int i = 0; i < kMaxBands; ++i) p.refilter[i] = flags[i];
        for (int nb : {3, 5, 10}) EXPECT_EQ(buildRefilterMask(p, nb), maskOf(flags, nb)) << nb;
    }
    SaturatorParams all;
    for (auto& f : all.refilter) f = 1;
    EXPECT_EQ(buildRefilterMask(all, 10), 0xFFFFFu);
    EXPECT_EQ(buildRefilterMask(all, 5), 0x3FFu);
    EXPECT_EQ(buildRefilterMask(all, 3), 0x3Fu);
    SaturatorParams fourth;
    fourth.refilter[3] = 1;  // beyond three bands: not part of the mask
    EXPECT_EQ(buildRefilterMask(fourth, 3), 0u);
    EXPECT_EQ(buildRefilterMask(fourth, 5), 0xC0u);
    SaturatorState s;
    EXPECT_EQ(startBlock(all, 5, s).refilterMask, 0x3FFu);
}

TEST(Saturator, NeutralSettingsPassTheBand) {
    Random random;
    auto bank = makeBank();
    SaturatorState s;
    const SaturatorParams p = makeParams(0.0, 0.0, 0.0, false);
    const auto c = startBlock(p, 10, s);
    for (int n = 0; n < 1000; ++n) {
        BandSignals f = randomFrame(random);
        const BandSignals in = f;
        saturatorStep(s, c, p, *bank, f);
        for (int i = 0; i < kMaxBands; ++i) {
            ASSERT_EQ(f.left[i], in.left[i]);
            ASSERT_EQ(f.right[i], in.right[i]);
        }
    }
    // No refilter flag: the bank is not run at all.
    EXPECT_EQ(bank->indices.read, kBlockLength);
    EXPECT_EQ(bank->indices.write, kBlockLength);
}

TEST(Saturator, SquareRootShapingBlendedByLevel) {
    auto bank = makeBank();
    struct Case {
        double levelPct, gainDb, in, out;
    };
    const Case cases[] = {
        {100, 0, 0.25, 0.5},   {100, 0, -0.25, -0.5}, {50, 0, 0.25, 0.375},
        {100, 0, 0.0, 0.0},    {100, 0, 1.0, 1.0},    {100, 6, 0.25, 0.5 * dbToGain(6.0)},
        {0, -6, 0.5, 0.5 * dbToGain(-6.0)},
    };
    for (const Case& cs : cases) {
        SaturatorState s;
        const SaturatorParams p = makeParams(cs.levelPct, cs.gainDb, 0.0, false);
        const auto c = startBlock(p, 3, s);
        BandSignals f = bandFrame(cs.in);
        saturatorStep(s, c, p, *bank, f);
        for (int i = 0; i < 3; ++i) {
            EXPECT_DOUBLE_EQ(f.left[i], cs.out) << cs.levelPct << " " << cs.in;
            EXPECT_DOUBLE_EQ(f.right[i], cs.out);
        }
        EXPECT_EQ(f.left[3], cs.in);  // beyond the band count
    }
}

TEST(Saturator, ClipAtTheCeilingAndMeterItsDepth) {
    auto bank = makeBank();
    SaturatorState s;
    SaturatorParams p = makeParams(0.0, 0.0, 0.0, true);
    p.clipEnable[2] = 0;
    const auto c = startBlock(p, 3, s);
    EXPECT_EQ(c.ceiling[0], 0.2);
    Number meters[kMaxBands];
    for (auto& m : meters) m = -5.0;

    // No clipping in the block: 0 dB.
    BandSignals f = bandFrame(0.19);
    saturatorStep(s, c, p, *bank, f);
    saturatorBlockEnd(s, c, meters);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(meters[i].load(), 0.0);
    for (int i = 3; i < kMaxBands; ++i) EXPECT_EQ(meters[i].load(), -5.0);

    // Negative excursions clip but do not count; positive ones set the depth.
    const auto c2 = startBlock(p, 3, s);
    f = bandFrame(-0.7);
    saturatorStep(s, c2, p, *bank, f);
    EXPECT_EQ(f.left[0], -0.2);
    EXPECT_EQ(f.left[2], -0.7);  // clip off in band 3
    EXPECT_EQ(s.depth[0], 0.0);
    f = bandFrame(0.3);
    f.right[1] = 0.25;
    saturatorStep(s, c2, p, *bank, f);
    EXPECT_EQ(f.left[0], 0.2);
    EXPECT_EQ(f.right[1], 0.2);
    f = bandFrame(0.22);
    saturatorStep(s, c2, p, *bank, f);  // shallower: the block keeps the deepest
    EXPECT_DOUBLE_EQ(s.depth[0], 0.3 - 0.2);
    saturatorBlockEnd(s, c2, meters);
    EXPECT_DOUBLE_EQ(meters[0].load(), gainToDb(0.1 / 0.2 + 1.0));
    EXPECT_DOUBLE_EQ(meters[1].load(), gainToDb(0.1 / 0.2 + 1.0));
    EXPECT_EQ(meters[2].load(), 0.0);

    // A new block starts from zero depth; a huge excursion caps at 30.
    const auto c3 = startBlock(p, 3, s);
    EXPECT_EQ(s.depth[0], 0.0);
    f = bandFrame(1e6);
    saturatorStep(s, c3, p, *bank, f);
    saturatorBlockEnd(s, c3, meters);
    EXPECT_DOUBLE_EQ(meters[0].load(), gainToDb(30.0 / 0.2 + 1.0));

    // The clip switch is read on every frame.
    p.clipEnable[0] = 0;
    f = bandFrame(0.5);
    saturatorStep(s, c3, p, *bank, f);
    EXPECT_EQ(f.left[0], 0.5);
    EXPECT_EQ(f.left[1], 0.2);
    p.clipEnable[0] = 1;  // and back on, in both directions
    p.clipEnable[1] = 0;
    f = bandFrame(0.5);
    saturatorStep(s, c3, p, *bank, f);
    EXPECT_EQ(f.left[0], 0.2);
    EXPECT_EQ(f.right[1], 0.5);
}

TEST(Saturator, RefilterRunsTheFlaggedBandsThroughTheBank) {
    Random random;
    auto bank = makeBank();
    SaturatorState s;
    SaturatorParams p = makeParams(0.0, 0.0, 0.0, false);
    p.refilter[0] = 1;
    const auto c = startBlock(p, 3, s);
    EXPECT_EQ(c.refilterMask, 0x3u);
    std::vector<BandSignals> in, out;
    for (int n = 0; n < 3 * kBlockLength; ++n) {
        in.push_back(randomFrame(random));
        BandSignals f = in.back();
        saturatorStep(s, c, p, *bank, f);
        out.push_back(f);
    }
    constexpr int kBankDelay = 2 * kBlockLength;
    bool filteredDiffers = false;
    for (int n = kBankDelay; n < 3 * kBlockLength; ++n) {
        for (int i = 1; i < 3; ++i) {  // unflagged: passed unchanged, delayed alike
            ASSERT_EQ(out[n].left[i], in[n - kBankDelay].left[i]) << n;
            ASSERT_EQ(out[n].right[i], in[n - kBankDelay].right[i]) << n;
        }
        if (out[n].left[0] != in[n - kBankDelay].left[0]) filteredDiffers = true;
        ASSERT_TRUE(std::isfinite(out[n].left[0]) && std::isfinite(out[n].right[0]));
        ASSERT_EQ(out[n].left[5], in[n].left[5]);  // unused bands untouched
    }
    EXPECT_TRUE(filteredDiffers);
}

TEST(Saturator, AbsurdParametersKeepEverythingFinite) {
    Random random;
    auto bank = makeBank();
    auto pick = [&] { return test::kAbsurdValues[random.next() % std::size(test::kAbsurdValues)]; };
    const int uniformRounds = static_cast<int>(std::size(test::kAbsurdValues));
    for (int round = 0; round < uniformRounds + 12; ++round) {
        const bool uniform = round < uniformRounds;
        auto v = [&] { return uniform ? test::kAbsurdValues[round] : pick(); };
        SaturatorParams p;
        for (int i = 0; i < kMaxBands; ++i) {
            p.levelPct[i] = v();
            p.gainDb[i] = v();
            p.clipDb[i] = v();
            p.clipEnable[i] = (round + i) % 2;
            p.refilter[i] = round % 3 == 0 && i % 2 == 0;
        }
        SaturatorState s;
        Number meters[kMaxBands];
        for (int block = 0; block < 3; ++block) {
            const auto c = startBlock(p, round % 2 ? 10 : 5, s);
            for (int n = 0; n < 1500; ++n) {
                BandSignals f = randomFrame(random, 1.0);
                saturatorStep(s, c, p, *bank, f);
                ASSERT_TRUE(test::allFinite(f)) << round << " frame " << n;
            }
            saturatorBlockEnd(s, c, meters);
            ASSERT_TRUE(test::allFinite(meters, kMaxBands)) << round;
            ASSERT_TRUE(test::allFinite(s.depth, kMaxBands)) << round;
        }
    }
}

}  // namespace
}  // namespace qx
