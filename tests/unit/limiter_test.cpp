#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <iterator>
#include <memory>
#include <vector>

#include "band_stage_test_support.h"
#include "engine/chain.h"
#include "engine/limiter.h"

namespace qx {
namespace {

using test::bandFrame;
using test::bandStep;
using test::randomFrame;

constexpr int kDelay = 4095;

FinalLimiterParams finalParams(double thresholdDb, double lookaheadMs, double attackMs, double releaseMs,
                               bool peak, double driveDb = 0.0, double detectMs = 1.0) {
    FinalLimiterParams p;
    p.driveDb = driveDb;
    p.thresholdDb = thresholdDb;
    p.lookaheadMs = lookaheadMs;
    p.attackMs = attackMs;
    p.releaseMs = releaseMs;
    p.peakDetect = peak;
    p.detectMs = detectMs;
    return p;
}

LimiterParams bandParams(double gainDb, double thresholdDb, double lookaheadMs, double attackMs,
                         double releaseMs, bool peak) {
    LimiterParams p;
    for (int i = 0; i < kMaxBands; ++i) {
        p.gainDb[i] = gainDb;
        p.thresholdDb[i] = thresholdDb;
        p.lookaheadMs[i] = lookaheadMs;
        p.attackMs[i] = attackMs;
        p.releaseMs[i] = releaseMs;
    }
    p.peakDetect = peak;
    return p;
}

// The target for a detector level.
double target(double thr, double lvl) { return std::min(1.0, thr / (lvl + 0.00001)); }

TEST(Limiter, CoefficientsOfBothStages) {
    ProcessorParams proc;
    for (int i = 0; i < kMaxBands; ++i) proc.detectMs[i] = 1.0 + i;
    const BandDetectors det = bandDetectors(proc);
    const auto rms = bandLimiterCoefficients(bandParams(3.0, -6.0, 5.0, 10.0, 500.0, false), det, 5);
    const auto peak = bandLimiterCoefficients(bandParams(3.0, -6.0, 5.0, 10.0, 500.0, true), det, 5);
    EXPECT_EQ(rms.bands, 5);
    for (int i = 0; i < kMaxBands; ++i) {
        EXPECT_EQ(bandInstance(rms, i).drive, dbToGain(3.0));
        EXPECT_EQ(bandInstance(rms, i).threshold, dbToGain(-6.0) * 0.1);
        EXPECT_EQ(bandInstance(peak, i).threshold, dbToGain(-6.0) * 0.2);
        EXPECT_EQ(bandInstance(rms, i).detector, det.coefficient[i]);
        EXPECT_EQ(bandInstance(rms, i).lookahead, 220);
        EXPECT_EQ(bandInstance(rms, i).attack, timeCoefficient(10.0));
        EXPECT_EQ(bandInstance(rms, i).release, timeCoefficient(500.0));
    }
    const auto f = finalLimiterCoefficients(finalParams(-6.0, 90.0, 0.0, 0.0, false, 2.0, 20.0));
    EXPECT_EQ(f.instance.threshold, dbToGain(-6.0) * 0.5);
    EXPECT_EQ(f.instance.drive, dbToGain(2.0));
    EXPECT_EQ(f.instance.detector, timeCoefficient(20.0));
    EXPECT_EQ(f.instance.lookahead, 3969);
    EXPECT_EQ(f.instance.attack, 1.0);
    EXPECT_EQ(f.instance.release, 1.0);
    EXPECT_EQ(finalLimiterCoefficients(finalParams(-6.0, 5, 0, 0, true)).instance.threshold, dbToGain(-6.0));
}

// A lower target acts at once and restarts the hold; higher ones wait
// lookahead + 3 frames, then the lowest seen meanwhile takes over.
TEST(Limiter, HoldTrackerKeepsTheLowestTarget) {
    LimiterInstanceCoefficients c;
    c.threshold = 0.5;
    c.detector = 1.0;  // RMS level = |x| of a single channel
    c.lookahead = 2;   // hold of 5 frames
    LimiterInstance s;
    EXPECT_EQ(s.hold.held, 1.0);
    EXPECT_EQ(s.hold.minimum, 1.0);
    EXPECT_EQ(s.hold.countdown, 0);
    const double xs[] = {0, 1, 0.8, 0.3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0.9};
    const double tA = target(0.5, 1.0), t8 = target(0.5, 0.8), t9 = target(0.5, 0.9);
    const double expected[] = {1, tA, tA, tA, tA, tA, tA, t8, t8, t8, t8, t8, 1, t9};
    for (size_t n = 0; n < std::size(xs); ++n) {
        const double f = limiterGainStep(s, c, false, xs[n], 0.0);
        EXPECT_DOUBLE_EQ(f, expected[n]) << "frame " << n;
    }
}

struct SpikeRun {
    std::vector<double> gain, out;
};

// A full-scale spike at frame 5000 into the final limiter (or band 2 of the
// band limiter), peak detection, attack and release 0.
SpikeRun runSpike(bool band, double lookaheadMs, double thresholdDb) {
    SpikeRun run;
    const int spikeAt = 5000;
    if (band) {
        auto s = std::make_unique<BandLimiterState>();
        const auto c = bandLimiterCoefficients(bandParams(0, thresholdDb, lookaheadMs, 0, 0, true),
                                               test::uniformDetectors(timeCoefficient(1.0)), 3);
        for (int n = 0; n < spikeAt + kDelay + 1000; ++n) {
            BandSignals f = bandFrame(0.0);
            if (n == spikeAt) f.left[2] = 1.0;
            bandLimiterStep(*s, c, f);
            run.gain.push_back(s->gain[2]);
            run.out.push_back(f.left[2]);
        }
    } else {
        auto s = std::make_unique<FinalLimiterState>();
        const auto c = finalLimiterCoefficients(finalParams(thresholdDb, lookaheadMs, 0, 0, true));
        for (int n = 0; n < spikeAt + kDelay + 1000; ++n) {
            double l = n == spikeAt ? 1.0 : 0.0, r = 0.0;
            Number meter;
            finalLimiterStep(*s, c, l, r, false, meter);
            run.gain.push_back(s->instance.gain);
            run.out.push_back(l);
        }
    }
    return run;
}

TEST(Limiter, SpikeIsAnticipatedByTheLookaheadAndHeld) {
    for (bool band : {false, true}) {
        const double thr = band ? dbToGain(-6.0) * 0.2 : dbToGain(-6.0);
        const double tSpike = target(thr, 1.0);
        const SpikeRun run = runSpike(band, 5.0, -6.0);
        const int outAt = 5000 + kDelay;
        int firstDrop = -1;
        for (size_t n = 0; n < run.gain.size(); ++n)
            if (run.gain[n] < 1.0) {
                firstDrop = static_cast<int>(n);
                break;
            }
        EXPECT_EQ(firstDrop, outAt - 220) << band;
        EXPECT_EQ(run.gain[firstDrop - 1], 1.0);
        // Attack 0: the gain jumps to the target in one frame and holds it for
        // 223 frames after the spike was first seen.
        for (int n = firstDrop; n <= firstDrop + 223; ++n) ASSERT_EQ(run.gain[n], tSpike) << n - firstDrop;
        EXPECT_GT(run.gain[firstDrop + 224], tSpike);
        EXPECT_EQ(run.out[outAt], tSpike);  // the spike leaves 4095 frames late, limited
        for (int n = 0; n < outAt; ++n) ASSERT_EQ(run.out[n], 0.0);
    }
}

TEST(Limiter, LookaheadZeroSeesTheOutputSlotAndHoldsThreeFrames) {
    const SpikeRun run = runSpike(false, 0.0, -6.0);
    const int outAt = 5000 + kDelay;
    const double tSpike = target(dbToGain(-6.0), 1.0);
    EXPECT_EQ(run.gain[outAt - 1], 1.0);
    for (int n = outAt; n <= outAt + 3; ++n) EXPECT_EQ(run.gain[n], tSpike);
    EXPECT_GT(run.gain[outAt + 4], tSpike);
    EXPECT_EQ(run.out[outAt], tSpike);
}

TEST(Limiter, BelowThresholdTheGainRisesWithTheReleaseTime) {
    Random random;
    const double rel = timeCoefficient(500.0);
    auto s = std::make_unique<FinalLimiterState>();
    const auto c = finalLimiterCoefficients(finalParams(0.0, 5.0, 10.0, 500.0, false, 0.0, 20.0));
    double l = 0.1, r = 0.1;
    Number meter;
    finalLimiterStep(*s, c, l, r, true, meter);
    EXPECT_EQ(s->instance.gain, rel);  // rises from zero at load
    EXPECT_DOUBLE_EQ(meter.load(), -gainToDb(rel));
    double g = rel;
    for (int n = 1; n < 100; ++n) {
        l = r = 0.1;
        finalLimiterStep(*s, c, l, r, false, meter);
        g = 1.0 * rel + (1 - rel) * g;
        ASSERT_EQ(s->instance.gain, g);
    }
    // Release 0: at once 1, the output is the driven input 4095 frames late.
    auto s0 = std::make_unique<FinalLimiterState>();
    const auto c0 = finalLimiterCoefficients(finalParams(0.0, 5.0, 10.0, 0.0, false, 6.0, 20.0));
    std::vector<double> in;
    for (int n = 0; n < 9000; ++n) {
        in.push_back(test::randomSample(random, 0.05));
        double a = in.back(), b = -in.back();
        finalLimiterStep(*s0, c0, a, b, false, meter);
        const double expected = n < kDelay ? 0.0 : dbToGain(6.0) * in[n - kDelay];
        ASSERT_EQ(a, expected) << n;
        ASSERT_EQ(b, -expected) << n;
    }
}

TEST(Limiter, AttackSmoothsAndAttackZeroJumps) {
    LimiterInstanceCoefficients c;
    c.threshold = 0.5;
    c.detector = 1.0;
    c.attack = timeCoefficient(10.0);
    c.release = 1.0;
    LimiterInstance s;
    limiterGainStep(s, c, false, 0.0, 0.0);
    EXPECT_EQ(s.gain, 1.0);
    const double t = target(0.5, 1.0);
    limiterGainStep(s, c, false, 1.0, 0.0);
    EXPECT_EQ(s.gain, t * c.attack + (1 - c.attack) * 1.0);
    c.attack = 1.0;
    limiterGainStep(s, c, false, 1.0, 0.0);
    EXPECT_EQ(s.gain, t);
}

TEST(Limiter, FinalLimiterRmsThresholdZeroHoldsRmsAtHalf) {
    // 0.45 driven by 6 dB is about 0.9 on both channels.
    auto s = std::make_unique<FinalLimiterState>();
    const auto c = finalLimiterCoefficients(finalParams(0.0, 5.0, 10.0, 500.0, false, 6.0, 20.0));
    Number meter;
    double sum = 0.0;
    int count = 0;
    const double step = 2.0 * std::numbers::pi * 1000.0 / 44100.0;
    for (int n = 0; n < 4 * 44100; ++n) {
        double l = 0.45 * std::sin(step * n), r = l;
        finalLimiterStep(*s, c, l, r, n == 4 * 44100 - 1, meter);
        if (n >= 3 * 44100) {
            sum += l * l + r * r;
            ++count;
        }
    }
    EXPECT_NEAR(std::sqrt(sum / count), 0.5, 0.01);
    EXPECT_NEAR(meter.load(), gainToDb(0.45 * dbToGain(6.0) / 0.5), 0.1);
}

// In RMS mode a power below the quiet bound takes target 1 without the root
// and the quotient: over a level sweep from silence into heavy limiting and
// back, every sample equals what the exact path (no bound) gives.
TEST(Limiter, FinalLimiterQuietSkipGivesTheExactTargets) {
    const auto c = finalLimiterCoefficients(finalParams(-6.0, 2.0, 1.0, 30.0, false, 3.0, 2.0));
    ASSERT_EQ(c.quietBelow, quietPower(c.instance.threshold));
    EXPECT_EQ(finalLimiterCoefficients(finalParams(-6.0, 2.0, 1.0, 30.0, true)).quietBelow, 0.0);
    FinalLimiterCoefficients exact = c;
    exact.quietBelow = 0.0;
    auto skipping = std::make_unique<FinalLimiterState>();
    auto reference = std::make_unique<FinalLimiterState>();
    Random random;
    Number meter;
    int quiet = 0, limited = 0;
    for (int n = 0; n < 40000; ++n) {
        const double scale = 1e-4 * std::pow(1e4, 1.0 - std::abs(n - 20000) / 20000.0);
        double l = test::randomSample(random, scale), r = test::randomSample(random, scale);
        double el = l, er = r;
        finalLimiterStep(*skipping, c, l, r, false, meter);
        finalLimiterStep(*reference, exact, el, er, false, meter);
        ASSERT_EQ(l, el) << n;
        ASSERT_EQ(r, er) << n;
        ASSERT_EQ(skipping->instance.gain, reference->instance.gain) << n;
        quiet += skipping->instance.envelope < c.quietBelow;
        limited += reference->target < 1.0;
    }
    EXPECT_GT(quiet, 10000);
    EXPECT_GT(limited, 5000);
}

// The band limiter runs the same arithmetic per band as the final limiter on
// L/R: with equal coefficients every band reproduces the final limiter, its
// hold included, through limiting, holds and the recoveries after them.
TEST(Limiter, BandInstancesMatchTheFinalLimiter) {
    for (bool peak : {false, true}) {
        Random random;
        auto fs = std::make_unique<FinalLimiterState>();
        auto bs = std::make_unique<BandLimiterState>();
        const auto fc = finalLimiterCoefficients(finalParams(-12.0, 3.0, 2.0, 50.0, peak, 3.0, 5.0));
        BandLimiterCoefficients bc;
        bc.bands = kMaxBands;
        bc.peakDetect = fc.peakDetect;
        for (int i = 0; i < kMaxBands; ++i) setBandInstance(bc, i, fc.instance);
        Number meter, meters[kMaxBands];
        for (int n = 0; n < 12000; ++n) {
            const double scale = n % 2000 < 1000 ? 0.9 : 0.02;
            double l = test::randomSample(random, scale), r = test::randomSample(random, scale);
            BandSignals f;
            for (int i = 0; i < kMaxBands; ++i) {
                f.left[i] = l;
                f.right[i] = r;
            }
            const bool meterFrame = n % 512 == 0;
            finalLimiterStep(*fs, fc, l, r, meterFrame, meter);
            bandStep(bandLimiterStep, publishBandLimiterMeters, *bs, bc, f, meterFrame, meters);
            for (int i = 0; i < kMaxBands; ++i) {
                ASSERT_EQ(f.left[i], l) << n;
                ASSERT_EQ(f.right[i], r) << n;
                ASSERT_EQ(meters[i].load(), meter.load());
                ASSERT_EQ(bs->held[i], fs->instance.hold.held) << n;
                ASSERT_EQ(bs->minimum[i], fs->instance.hold.minimum) << n;
                ASSERT_EQ(bs->countdown[i], fs->instance.hold.countdown) << n;
            }
        }
        EXPECT_EQ(bs->counter, fs->counter);
    }
}

// A group whose update, every target 1, left its state as it was skips the
// update until a target falls or the block ends. Against a copy that never
// skips, over quiet stretches long enough for the gains to settle, bursts
// that limit only some bands, and a release time changed at a block start,
// in RMS and peak detection, with smoothing and with instant gains (which
// hold still while the hold counts down): every sample and every state value
// is the same.
TEST(Limiter, SettledGroupsSkipOnlyUpdatesThatChangeNothing) {
    for (const double ms : {2.0, 0.0}) {
        for (bool peak : {false, true}) {
            Random random;
            auto skipping = std::make_unique<BandLimiterState>();
            auto reference = std::make_unique<BandLimiterState>();
            LimiterParams params = bandParams(0.0, -12.0, 1.0, ms, ms, peak);
            int settled = 0;
            for (int n = 0; n < 30000; ++n) {
                // The detectors see the input 4051 frames late: this falls in a
                // quiet stretch where every group has settled.
                if (n == 12800) params.releaseMs[6] = ms > 0.0 ? 0.0 : 5.0;
                const auto c = bandLimiterCoefficients(params, test::uniformDetectors(0.05), kMaxBands);
                if (n % 576 == 0 || n == 12800) startBandLimiterBlock(*skipping);
                std::fill(std::begin(reference->steady), std::end(reference->steady), false);
                BandSignals f = randomFrame(random, 0.02);
                if (n % 5000 >= 4000)
                    for (int i = 5; i < 8; ++i) f.left[i] *= 40.0;
                BandSignals g = f;
                bandLimiterStep(*skipping, c, f);
                bandLimiterStep(*reference, c, g);
                for (int i = 0; i < kMaxBands; ++i) {
                    ASSERT_EQ(std::bit_cast<uint64_t>(f.left[i]), std::bit_cast<uint64_t>(g.left[i])) << n;
                    ASSERT_EQ(std::bit_cast<uint64_t>(f.right[i]), std::bit_cast<uint64_t>(g.right[i])) << n;
                    ASSERT_EQ(std::bit_cast<uint64_t>(skipping->gain[i]), std::bit_cast<uint64_t>(reference->gain[i]))
                        << n;
                    ASSERT_EQ(skipping->held[i], reference->held[i]) << n;
                    ASSERT_EQ(skipping->minimum[i], reference->minimum[i]) << n;
                    ASSERT_EQ(skipping->countdown[i], reference->countdown[i]) << n;
                }
                settled += skipping->steady[0] + skipping->steady[1] + skipping->steady[2];
            }
            EXPECT_GT(settled, 30000) << peak << " " << ms;
        }
    }
}

TEST(Limiter, BandCountMetersAndGapReset) {
    Random random;
    auto s = std::make_unique<BandLimiterState>();
    const auto c = bandLimiterCoefficients(bandParams(6.0, -12.0, 5.0, 1.0, 100.0, false),
                                           test::uniformDetectors(0.01), 5);
    Number meters[kMaxBands];
    for (auto& m : meters) m = -3.0;
    for (int n = 0; n < 6000; ++n) {
        BandSignals f = randomFrame(random);
        const BandSignals in = f;
        bandStep(bandLimiterStep, publishBandLimiterMeters, *s, c, f, n == 5999, meters);
        for (int i = 5; i < kMaxBands; ++i) ASSERT_EQ(f.left[i], in.left[i]);
    }
    for (int i = 0; i < 5; ++i) {
        EXPECT_GT(meters[i].load(), 3.0);
        EXPECT_DOUBLE_EQ(meters[i].load(), -gainToDb(s->gain[i]));
    }
    for (int i = 5; i < kMaxBands; ++i) {
        EXPECT_EQ(meters[i].load(), -3.0);
        EXPECT_EQ(s->gain[i], 0.0);
    }
    const auto before = std::make_unique<BandLimiterState>(*s);
    bandLimiterGapReset(*s);
    EXPECT_EQ(s->counter, before->counter);
    EXPECT_EQ(s->gain[1], before->gain[1]);
    EXPECT_EQ(s->envelope[1], before->envelope[1]);
    EXPECT_EQ(s->held[1], before->held[1]);
    EXPECT_EQ(s->countdown[1], before->countdown[1]);
    for (int n = 0; n < kLookaheadFrames; ++n)
        for (int i = 0; i < kMaxBands; ++i) ASSERT_EQ(s->lineL[n][i] + s->lineR[n][i], 0.0);

    auto fs = std::make_unique<FinalLimiterState>();
    const auto fc = finalLimiterCoefficients(finalParams(0.0, 5.0, 1.0, 100.0, false));
    Number meter;
    for (int n = 0; n < 100; ++n) {
        double l = 0.5, r = 0.5;
        finalLimiterStep(*fs, fc, l, r, false, meter);
    }
    finalLimiterGapReset(*fs);
    for (int n = 0; n < kLookaheadFrames; ++n) ASSERT_EQ(fs->lineL[n] + fs->lineR[n], 0.0);
    EXPECT_EQ(fs->counter, 100u);
}

TEST(Limiter, AbsurdParametersKeepEverythingFinite) {
    Random random;
    auto pick = [&] { return test::kAbsurdValues[random.next() % std::size(test::kAbsurdValues)]; };
    auto bs = std::make_unique<BandLimiterState>();
    auto fs = std::make_unique<FinalLimiterState>();
    const int uniformRounds = static_cast<int>(std::size(test::kAbsurdValues));
    for (int round = 0; round < uniformRounds + 12; ++round) {
        const bool uniform = round < uniformRounds;
        auto v = [&] { return uniform ? test::kAbsurdValues[round] : pick(); };
        for (bool peak : {false, true}) {
            LimiterParams p;
            ProcessorParams proc;
            for (int i = 0; i < kMaxBands; ++i) {
                p.gainDb[i] = v();
                p.thresholdDb[i] = v();
                p.lookaheadMs[i] = v();
                p.attackMs[i] = v();
                p.releaseMs[i] = v();
                proc.detectMs[i] = v();
            }
            p.peakDetect = peak;
            const auto bc = bandLimiterCoefficients(p, bandDetectors(proc), round % 2 ? 10 : 5);
            const auto fc = finalLimiterCoefficients(finalParams(v(), v(), v(), v(), peak, v(), v()));
            ASSERT_GE(fc.instance.lookahead, 0);
            ASSERT_LE(fc.instance.lookahead, 4095);
            for (int32_t lookahead : bc.lookahead) {
                ASSERT_GE(lookahead, 0);
                ASSERT_LE(lookahead, 4095);
            }
            Number meter, meters[kMaxBands];
            for (int n = 0; n < 5000; ++n) {
                const double scale = n % 1000 < 500 ? 1.0 : 0.0;
                BandSignals f = randomFrame(random, scale);
                bandStep(bandLimiterStep, publishBandLimiterMeters, *bs, bc, f, n % 100 == 0, meters);
                ASSERT_TRUE(test::allFinite(f)) << round << " frame " << n;
                double l = test::randomSample(random, scale), r = test::randomSample(random, scale);
                finalLimiterStep(*fs, fc, l, r, n % 100 == 0, meter);
                ASSERT_TRUE(std::isfinite(l) && std::isfinite(r)) << round << " frame " << n;
            }
            ASSERT_TRUE(test::allFinite(&bs->lineL[0][0], kLookaheadFrames * kMaxBands));
            ASSERT_TRUE(test::allFinite(&bs->lineR[0][0], kLookaheadFrames * kMaxBands));
            ASSERT_TRUE(test::allFinite(fs->lineL, kLookaheadFrames));
            ASSERT_TRUE(test::allFinite(fs->lineR, kLookaheadFrames));
            for (const double* v : {bs->envelope, bs->gain, bs->held, bs->minimum})
                ASSERT_TRUE(test::allFinite(v, kMaxBands));
            ASSERT_TRUE(std::isfinite(fs->instance.envelope) && std::isfinite(fs->instance.gain));
            ASSERT_TRUE(std::isfinite(fs->instance.hold.held) && std::isfinite(fs->instance.hold.minimum));
            ASSERT_TRUE(test::allFinite(meters, kMaxBands));
            ASSERT_TRUE(std::isfinite(meter.load()));
        }
    }
}

// Below quietPower(threshold) the compressor and the band limiter skip the
// RMS root, taking the level to lie under the threshold: the largest power
// below it must give a level under the threshold, for thresholds across the
// guarded range and those just above the 0.00001 floor, where it gives up.
TEST(Limiter, QuietPowerKeepsTheRmsLevelUnderTheThreshold) {
    Random random;
    std::vector<double> thresholds = {1.0, 0.1, 0.00001, 0.0000100001, 1e-10, 1e10};
    for (int k = 1; k <= 40; ++k) thresholds.push_back(0.00001 * (1.0 + std::ldexp(1.0, -k)));
    for (int k = 0; k < 20000; ++k) thresholds.push_back(std::pow(10.0, -11.0 + 22.0 * random.next() / 32767.0));
    int skipping = 0;
    for (const double threshold : thresholds) {
        const double quiet = quietPower(threshold);
        ASSERT_GE(quiet, 0.0) << threshold;
        if (quiet == 0.0) continue;
        ++skipping;
        const double power = std::nextafter(quiet, 0.0);
        ASSERT_LT(std::sqrt(power) + 0.00001, threshold) << threshold;
    }
    EXPECT_EQ(quietPower(0.00001), 0.0);
    // Every threshold a setting can give from -60 dB up leaves room to skip.
    EXPECT_GT(quietPower(dbToGain(-60.0) * 0.1), 0.0);
    EXPECT_GT(skipping, 10000);
}

}  // namespace
}  // namespace qx
