#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "band_stage_test_support.h"
#include "engine/agc.h"
#include "engine/chain.h"
#include "engine/random.h"
#include "filters/reverse_cascade.h"

namespace qx {
namespace {

constexpr double kPi = 3.141592653589793;

struct Agc {
    AgcParams params;
    AgcState state;
    AgcCoefficients k;
    std::unique_ptr<ReverseCascadeFilter> lowpass = std::make_unique<ReverseCascadeFilter>();
    std::unique_ptr<ReverseCascadeFilter> highpass = std::make_unique<ReverseCascadeFilter>();

    explicit Agc(bool singleBand = false, double crossoverHz = 300.0) {
        params.levelPct = 90.0;
        params.maxGainDb = 25.0;
        params.gateDb = -50.0;
        params.bandLinkPct = 50.0;
        params.attackLowMs = params.attackHighMs = 1000.0;
        params.releaseLowMs = params.releaseHighMs = 1000.0;
        params.gainLowDb = params.gainHighDb = 0.0;
        params.detectLowMs = 150.0;
        params.detectHighMs = 150.0;
        params.singleBand = singleBand ? 1 : 0;
        const double bandwidth = 1.9 - crossoverHz * 1.923076923076923e-05;
        designFilter(*lowpass, true, FilterType::Lowpass, 0.0, crossoverHz, 44100.0, bandwidth);
        designFilter(*highpass, true, FilterType::Highpass, 0.0, crossoverHz, 44100.0, bandwidth);
        update();
        agcGapReset(state, params);
    }
    void update() { k = agcCoefficients(params, *lowpass, *highpass); }
    void step(double& l, double& r) { agcStep(state, k, params, *lowpass, *highpass, l, r); }
};

double tone(double amplitude, double hz, int i) { return amplitude * std::sin(2.0 * kPi * hz * i / 44100.0); }

TEST(AgcCoefficients, FormulasForValuesInRange) {
    Agc a;
    a.params.bandLinkPct = 40.0;
    a.params.attackLowMs = 200.0;
    a.params.attackHighMs = 0.0;
    a.params.releaseLowMs = 0.0;
    a.params.releaseHighMs = 2000.0;
    a.params.detectLowMs = 100.0;
    a.params.detectHighMs = 300.0;
    a.params.gainHighDb = -6.0;
    a.update();
    EXPECT_NEAR(a.k.level, 0.9, 1e-15);
    EXPECT_EQ(a.k.maxGain, dbToGain(25.0));
    EXPECT_EQ(a.k.gate, dbToGain(-50.0));
    EXPECT_NEAR(a.k.link, 0.2, 1e-15);
    EXPECT_NEAR(a.k.unlink, 0.8, 1e-15);
    EXPECT_EQ(a.k.detectLow, timeCoefficient(100.0));
    // The sums use the mean of the two times.
    EXPECT_NEAR(a.k.detectSum, timeCoefficient(200.0), 1e-15);
    EXPECT_NEAR(a.k.attackSum, timeCoefficient(100.0), 1e-15);
    EXPECT_NEAR(a.k.releaseSum, timeCoefficient(1000.0), 1e-15);
    EXPECT_EQ(a.k.attackHigh, 1.0);   // 0 ms: instant
    EXPECT_EQ(a.k.releaseLow, 1.0);
    EXPECT_EQ(a.k.releaseMaxLow, 2.0);  // ...but at most x2 per frame
    EXPECT_NEAR(a.k.releaseMaxHigh, 1.0 + 1.0 / (2.0 * 30605.4), 1e-15);
    EXPECT_EQ(a.k.trimLow, 1.0);
    EXPECT_EQ(a.k.trimHigh, dbToGain(-6.0));
    a.params.attackLowMs = a.params.attackHighMs = 0.0;
    a.update();
    EXPECT_EQ(a.k.attackSum, 1.0);
}

TEST(AgcSingleBand, LoudProgramSettlesAtExactlyUnity) {
    // RMS 0.5 per channel above the crossover: P = 0.5, sqrt(P) = 0.707 > 0.5,
    // so the target is below 1 and the gain must stop at exactly 1.0.
    Agc a(true);
    a.params.attackLowMs = 10.0;
    a.update();
    ASSERT_EQ(a.state.gainLow, 0.5 * dbToGain(25.0));
    for (int i = 0; i < 44100; ++i) {
        double l = tone(0.707, 5000.0, i), r = tone(0.707, 6000.0, i);
        a.step(l, r);
        ASSERT_GE(a.state.gainLow, 1.0);
    }
    EXPECT_EQ(a.state.gainLow, 1.0);
    // At unity gain and 0 dB trim the signal passes bit-exact.
    for (int i = 0; i < 100; ++i) {
        const double inL = tone(0.707, 5000.0, i), inR = tone(0.707, 6000.0, i);
        double l = inL, r = inR;
        a.step(l, r);
        ASSERT_EQ(l, inL);
        ASSERT_EQ(r, inR);
    }
}

TEST(AgcTwoBand, LoudProgramNeverAttenuatesAndProtectionHoldsTheSum) {
    Agc a(false);
    a.params.attackLowMs = a.params.attackHighMs = 20.0;
    a.params.releaseLowMs = a.params.releaseHighMs = 20.0;
    a.update();
    double outPower = 0.0;
    int counted = 0;
    for (int i = 0; i < 4 * 44100; ++i) {
        double l = tone(0.8, 80.0, i) + tone(0.8, 4000.0, i);
        double r = tone(0.8, 80.0, i) - tone(0.8, 4000.0, i);
        a.step(l, r);
        ASSERT_GE(a.state.gainLow, 1.0);
        ASSERT_GE(a.state.gainHigh, 1.0);
        if (i >= 3 * 44100) {
            outPower += l * l + r * r;
            ++counted;
        }
    }
    EXPECT_EQ(a.state.gainLow, 1.0);
    EXPECT_EQ(a.state.gainHigh, 1.0);
    // The recombined RMS is about 0.8 (> 0.5): the protection gain sits at 0.5 / RMS.
    const double t = 0.5 / (std::sqrt(a.state.powerOut) + 0.00001);
    EXPECT_LT(a.state.protection, 0.7);
    EXPECT_NEAR(a.state.protection, t, 0.01);
    EXPECT_NEAR(std::sqrt(outPower / counted), 0.5, 0.02);

    Number meters[3];
    agcBlockEnd(a.state, a.k, a.params, meters);
    EXPECT_NEAR(meters[0].load(), 20.0 * std::log10(1.00001), 1e-12);
    EXPECT_NEAR(meters[1].load(), 20.0 * std::log10(1.00001), 1e-12);
    EXPECT_NEAR(meters[2].load(), 0.0001 - 20.0 * std::log10(a.state.protection + 0.00001), 1e-12);
    EXPECT_GT(meters[2].load(), 3.0);
}

TEST(AgcTwoBand, ChannelByChannelCrossoverGivesTheSameBits) {
    // Coefficients taken in lock-step send the crossover through the four-lane
    // step; without it the channel steps must give every sample and state bit
    // for bit the same, across the block ends of the reverse cascades.
    Agc fast, slow;
    ASSERT_TRUE(fast.k.crossoverInLockStep);
    slow.k.crossoverInLockStep = false;
    Random random;
    random.seed(5);
    for (int i = 0; i < 3 * 4096 + 100; ++i) {
        const double inL = random.next() / 16383.5 - 1.0, inR = random.next() / 16383.5 - 1.0;
        double l1 = inL, r1 = inR, l2 = inL, r2 = inR;
        fast.step(l1, r1);
        slow.step(l2, r2);
        ASSERT_EQ(l1, l2) << i;
        ASSERT_EQ(r1, r2) << i;
    }
    EXPECT_EQ(std::memcmp(&fast.state, &slow.state, sizeof fast.state), 0);
    EXPECT_EQ(std::memcmp(fast.lowpass.get(), slow.lowpass.get(), sizeof(ReverseCascadeFilter)), 0);
    EXPECT_EQ(std::memcmp(fast.highpass.get(), slow.highpass.get(), sizeof(ReverseCascadeFilter)), 0);
}

TEST(AgcGate, GatedGainCreepsAboutPointSixThreeDecibelsPerSecond) {
    const double creepDbPerSecond = 44100.0 * 20.0 * std::log10(kAgcCreep);
    EXPECT_NEAR(creepDbPerSecond, 0.63, 0.005);
    for (bool single : {false, true}) {
        Agc a(single);
        a.params.maxGainDb = 40.0;
        a.update();
        agcGapReset(a.state, a.params);
        const double start = a.state.gainLow;
        ASSERT_EQ(start, 50.0);
        for (int i = 0; i < 44100; ++i) {
            double l = 0.0, r = 0.0;
            a.step(l, r);
        }
        EXPECT_NEAR(20.0 * std::log10(a.state.gainLow / start), creepDbPerSecond, 1e-6) << single;
        if (!single) {
            EXPECT_EQ(a.state.gainHigh, a.state.gainLow);
        }
    }
    // Still limited by the maximum gain.
    Agc capped(false);
    capped.state.gainLow = capped.state.gainHigh = capped.k.maxGain / kAgcCreep / kAgcCreep;
    for (int i = 0; i < 10; ++i) {
        double l = 0.0, r = 0.0;
        capped.step(l, r);
    }
    EXPECT_EQ(capped.state.gainLow, capped.k.maxGain);
    EXPECT_EQ(capped.state.gainHigh, capped.k.maxGain);
}

TEST(AgcGate, QuietProgramAboveTheGateRisesWithTheRelease) {
    // The same quiet tone once under a high gate (creep only) and once under a
    // low one (release towards the target): the release is much faster.
    double gains[2];
    for (int g = 0; g < 2; ++g) {
        Agc a(true);
        a.params.gateDb = g == 0 ? 0.0 : -80.0;
        a.params.releaseLowMs = 100.0;
        a.update();
        a.state.gainLow = 1.0;
        for (int i = 0; i < 22050; ++i) {
            double l = tone(0.02, 5000.0, i), r = l;
            a.step(l, r);
        }
        gains[g] = a.state.gainLow;
    }
    EXPECT_NEAR(gains[0], std::pow(kAgcCreep, 22050), 1e-9);
    EXPECT_GT(gains[1], 10.0);
}

TEST(AgcRelease, ZeroReleaseJumpsToTheTargetButAtMostDoublesPerFrame) {
    // Single band, a detector so slow that P stays where it is put: the target
    // is then a constant (0.5 / (0.02 + 0.00001) - 1) x 1 + 1.
    Agc a(true);
    a.params.levelPct = 100.0;
    a.params.maxGainDb = 40.0;
    a.params.gateDb = -80.0;
    a.params.releaseLowMs = 0.0;
    a.params.detectLowMs = 1e12;
    a.update();
    a.state.powerLow = 0.02 * 0.02;
    a.state.gainLow = 1.0;
    const double target = 0.5 / (0.02 + 0.00001);
    double previous = 1.0;
    int doublings = 0;
    for (int i = 0; i < 10; ++i) {
        double l = 0.0, r = 0.0;
        a.step(l, r);
        const double g = a.state.gainLow;
        ASSERT_LE(g, 2.0 * previous);
        if (g == 2.0 * previous) ++doublings;
        previous = g;
    }
    EXPECT_EQ(doublings, 4);  // 1 -> 2 -> 4 -> 8 -> 16, then the target
    EXPECT_NEAR(a.state.gainLow, target, 1e-6);

    // A release time > 0 limits the rise to 1 + 1 / (T x 30.6054) per frame.
    a.params.releaseLowMs = 1.0;
    a.update();
    a.state.gainLow = 1.0;
    double l = 0.0, r = 0.0;
    a.step(l, r);
    EXPECT_EQ(a.state.gainLow, a.k.releaseMaxLow);
    EXPECT_NEAR(a.state.gainLow, 1.0 + 1.0 / 30.6054, 1e-12);
}

TEST(AgcLink, FullLinkGivesBothBandsTheMeanGain) {
    Agc a(false);
    a.params.bandLinkPct = 100.0;
    a.update();
    auto lowpass = std::make_unique<ReverseCascadeFilter>(*a.lowpass);
    auto highpass = std::make_unique<ReverseCascadeFilter>(*a.highpass);
    // A low tone only: the low band's level is high, the high band's nearly
    // nothing, so the two band gains move apart.
    Number meters[3];
    bool checked = false;
    for (int i = 0; i < 3 * 44100; ++i) {
        const double inL = tone(0.05, 60.0, i), inR = tone(0.04, 60.0, i);
        double l = inL, r = inR;
        a.step(l, r);
        // The same filters run beside the stage give its two bands.
        const double lowL = reverseCascadeStep(*lowpass, Channel::Left, inL, true);
        reverseCascadeStep(*lowpass, Channel::Right, inR, true);
        const double highL = reverseCascadeStep(*highpass, Channel::Left, inL, true);
        reverseCascadeStep(*highpass, Channel::Right, inR, true);
        if (i > 2 * 44100 && i % 1000 == 0) {
            const double mean = (a.state.gainLow + a.state.gainHigh) / 2.0;
            ASSERT_NEAR(l, (lowL + highL) * mean * a.state.protection, 1e-12);
            checked = true;
        }
    }
    EXPECT_TRUE(checked);
    EXPECT_GT(std::fabs(a.state.gainLow - a.state.gainHigh), 1.0);
    agcBlockEnd(a.state, a.k, a.params, meters);
    EXPECT_EQ(meters[0].load(), meters[1].load());
    EXPECT_NEAR(meters[0].load(), 20.0 * std::log10((a.state.gainLow + a.state.gainHigh) / 2.0 + 0.00001), 1e-12);

    // Unlinked, each meter shows its own band's gain.
    a.params.bandLinkPct = 0.0;
    a.update();
    agcBlockEnd(a.state, a.k, a.params, meters);
    EXPECT_NEAR(meters[0].load(), 20.0 * std::log10(a.state.gainLow + 0.00001), 1e-12);
    EXPECT_NEAR(meters[1].load(), 20.0 * std::log10(a.state.gainHigh + 0.00001), 1e-12);
}

TEST(AgcGapReset, BandGainsRestartAtHalfTheMaximumAndProtectionIsKept) {
    Agc a(false);
    a.state.gainLow = 3.0;
    a.state.gainHigh = 4.0;
    a.state.protection = 0.25;
    a.state.powerLow = 0.125;
    agcGapReset(a.state, a.params);
    EXPECT_EQ(a.state.gainLow, dbToGain(25.0) * 0.5);
    EXPECT_EQ(a.state.gainHigh, dbToGain(25.0) * 0.5);
    EXPECT_EQ(a.state.protection, 0.25);
    EXPECT_EQ(a.state.powerLow, 0.125);

    // MaxGain 0 dB: half of unity, raised to 1.0 by the first frame's clamp.
    a.params.maxGainDb = 0.0;
    a.update();
    agcGapReset(a.state, a.params);
    EXPECT_EQ(a.state.gainLow, 0.5);
    double l = 0.1, r = 0.1;
    a.step(l, r);
    EXPECT_EQ(a.state.gainLow, 1.0);
    EXPECT_EQ(a.state.gainHigh, 1.0);
}

TEST(AgcTwoBand, ProtectionStartsFromZeroAndRisesWithTheAttack) {
    Agc a(false);
    ASSERT_EQ(a.state.protection, 0.0);
    double l = 0.0, r = 0.0;
    a.step(l, r);
    // Silence: t = 1, so the first frame moves G_p from 0 by a_sum.
    EXPECT_EQ(a.state.protection, a.k.attackSum);
    EXPECT_EQ(l, 0.0);
    for (int i = 0; i < 44100; ++i) {
        l = r = 0.0;
        a.step(l, r);
    }
    EXPECT_NEAR(a.state.protection, 1.0 - std::pow(1.0 - a.k.attackSum, 44101), 1e-9);
}

TEST(AgcSingleBand, HighBandSettingsHaveNoEffectAndMetersTwoAndThreeStay) {
    Agc a(true), b(true);
    b.params.attackHighMs = 3.0;
    b.params.releaseHighMs = 4000.0;
    b.params.gainHighDb = 12.0;
    b.params.detectHighMs = 1.0;
    b.update();
    Random random;
    for (int i = 0; i < 20000; ++i) {
        const double inL = tone(0.1, 2000.0, i) + (random.next() / 32767.0 - 0.5) * 0.01;
        double la = inL, ra = 0.5 * inL, lb = inL, rb = 0.5 * inL;
        a.step(la, ra);
        b.step(lb, rb);
        ASSERT_EQ(la, lb);
        ASSERT_EQ(ra, rb);
        // The gain acts on the unfiltered signal, trim first.
        ASSERT_EQ(la, inL * a.k.trimLow * a.state.gainLow);
    }
    Number meters[3] = {Number(-1.0), Number(-2.0), Number(-3.0)};
    agcBlockEnd(a.state, a.k, a.params, meters);
    EXPECT_NEAR(meters[0].load(), 20.0 * std::log10(a.state.gainLow + 0.00001), 1e-12);
    EXPECT_EQ(meters[1].load(), -2.0);
    EXPECT_EQ(meters[2].load(), -3.0);
}

TEST(Agc, AbsurdParametersKeepOutputAndStateFinite) {
    const double absurd[] = {0.0, -1.0, 1e-300, 1e9, -1e9, INFINITY, -INFINITY};
    Random random;
    random.seed(29);
    for (int single = 0; single < 2; ++single) {
        for (int field = 0; field < 13; ++field) {
            for (double v : absurd) {
                Agc a(single != 0);
                Number* fields[] = {&a.params.levelPct,      &a.params.maxGainDb,     &a.params.gateDb,
                                    &a.params.bandLinkPct,   &a.params.attackLowMs,   &a.params.releaseLowMs,
                                    &a.params.gainLowDb,     &a.params.attackHighMs,  &a.params.releaseHighMs,
                                    &a.params.gainHighDb,    &a.params.detectLowMs,   &a.params.detectHighMs,
                                    &a.params.crossoverHz};
                *fields[field] = v;
                if (field == 12) {  // the crossover reaches the stage through the filter design
                    const double bandwidth = 1.9 - v * 1.923076923076923e-05;
                    designFilter(*a.lowpass, true, FilterType::Lowpass, 0.0, v, 44100.0, bandwidth);
                    designFilter(*a.highpass, true, FilterType::Highpass, 0.0, v, 44100.0, bandwidth);
                }
                a.update();
                agcGapReset(a.state, a.params);
                Number meters[3];
                // Long enough for the reverse cascades to deliver output.
                for (int block = 0; block < 3; ++block) {
                    for (int i = 0; i < 4096; ++i) {
                        double l = random.next() / 16383.5 - 1.0, r = random.next() / 16383.5 - 1.0;
                        if (block == 2 && i > 2048) l = r = 0.0;  // and a stretch of silence
                        a.step(l, r);
                        ASSERT_TRUE(std::isfinite(l) && std::isfinite(r)) << field << " = " << v;
                    }
                    agcBlockEnd(a.state, a.k, a.params, meters);
                }
                const AgcState& s = a.state;
                for (double x : {s.powerLow, s.powerHigh, s.powerOut, s.gainLow, s.gainHigh, s.protection,
                                 meters[0].load(), meters[1].load(), meters[2].load()})
                    ASSERT_TRUE(std::isfinite(x)) << field << " = " << v;
                ASSERT_GE(s.gainLow, 1.0);
                if (!single) {
                    ASSERT_GE(s.gainHigh, 1.0);
                }
            }
        }
    }
}

// The chain runs the five two-band parts in consecutive steps, a part of one
// frame after the next frames' earlier parts, each frame's halfway values in
// its own record: every sample and the gains as whole frames give them,
// through loud and quiet passages and the crossover's block ends.
TEST(AgcTwoBand, PartsInPipelineOrderGiveTheWholeFrames) {
    Agc whole(false), parts(false);
    constexpr int kFrames = 3 * 4096;
    std::vector<double> l(kFrames), r(kFrames);
    for (int i = 0; i < kFrames; ++i) {
        const double level = (i / 2000) % 2 ? 0.9 : 0.02;
        l[i] = tone(level, 90.0, i) + tone(level, 3000.0, i);
        r[i] = tone(level, 90.0, i) - tone(0.5 * level, 5000.0, i);
    }
    std::vector<double> pl = l, pr = r;
    for (int i = 0; i < kFrames; ++i) whole.step(l[i], r[i]);
    AgcHalfway w[5];  // a frame's record lives while its five parts run
    std::vector<char> split(kFrames);
    AgcState& s = parts.state;
    test::runSkewed(
        kFrames,
        [&](int i) { split[i] = agcDetect(s, parts.k, parts.params, *parts.lowpass, *parts.highpass, pl[i], pr[i], w[i % 5]); },
        [&](int i) { if (split[i]) agcTarget(parts.k, w[i % 5]); },
        [&](int i) { if (split[i]) agcApply(s, parts.k, w[i % 5]); },
        [&](int i) { if (split[i]) agcProtectTarget(s, parts.k, w[i % 5]); },
        [&](int i) { if (split[i]) agcProtect(s, parts.k, w[i % 5], pl[i], pr[i]); });
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_TRUE(split[i]);
        ASSERT_EQ(pl[i], l[i]) << i;
        ASSERT_EQ(pr[i], r[i]) << i;
    }
    EXPECT_EQ(s.gainLow, whole.state.gainLow);
    EXPECT_EQ(s.protection, whole.state.protection);
}

}  // namespace
}  // namespace qx
