#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "band_stage_test_support.h"
#include "engine/chain.h"
#include "engine/compressor.h"

namespace qx {
namespace {

using test::bandFrame;
using test::bandStep;
using test::randomFrame;

constexpr int kDelay = 4095;

// Every band alike; times 0 make the gain follow its target at once.
CompressorParams makeParams(double ratio, double thresholdDb, double gainDb = 0.0,
                            double lookaheadMs = 0.0) {
    CompressorParams p;
    for (int i = 0; i < kMaxBands; ++i) {
        p.gainDb[i] = gainDb;
        p.ratio[i] = ratio;
        p.thresholdDb[i] = thresholdDb;
        p.lookaheadMs[i] = lookaheadMs;
        p.attackMs[i] = 0.0;
        p.releaseMs[i] = 0.0;
        p.initialAttackMs[i] = 0.0;
        p.initialReleaseMs[i] = 0.0;
    }
    p.gateDb = -80.0;
    p.gateReleaseMs = 0.0;
    p.windowSizeDb = 0.0;
    return p;
}

std::unique_ptr<CompressorState> makeState() { return std::make_unique<CompressorState>(); }

TEST(Compressor, RatioOnePassesWithMakeupAndTheFixedDelay) {
    Random random;
    auto s = makeState();
    const auto c = compressorCoefficients(makeParams(1.0, -24.0, 6.0, 5.0), test::uniformDetectors(0.05), 10);
    EXPECT_EQ(c.k[0], 0.0);
    const double makeup = dbToGain(6.0);
    std::vector<BandSignals> in;
    for (int n = 0; n < 10000; ++n) {
        in.push_back(randomFrame(random));
        BandSignals f = in.back();
        compressorStep(*s, c, f);
        for (int i = 0; i < kMaxBands; ++i) {
            const double expectL = n < kDelay ? 0.0 : makeup * in[n - kDelay].left[i];
            const double expectR = n < kDelay ? 0.0 : makeup * in[n - kDelay].right[i];
            ASSERT_EQ(f.left[i], expectL) << "frame " << n << " band " << i;
            ASSERT_EQ(f.right[i], expectR) << "frame " << n << " band " << i;
        }
    }
}

TEST(Compressor, HighThresholdNeverCompressesTypicalProgram) {
    // +24 dB with RMS detection is an amplitude of about 1.585: even full scale
    // on both channels (RMS sum 1.414) stays below.
    Random random;
    auto s = makeState();
    const auto c = compressorCoefficients(makeParams(10.0, 24.0), test::uniformDetectors(0.05), 10);
    EXPECT_NEAR(c.threshold[0], 1.585, 1e-3);
    Number meters[kMaxBands];
    for (int n = 0; n < 6000; ++n) {
        BandSignals f = randomFrame(random);
        bandStep(compressorStep, publishCompressorMeters, *s, c, f, n == 5999, meters);
        for (int i = 0; i < kMaxBands; ++i) ASSERT_EQ(s->gain[i], 1.0);
    }
    for (int i = 0; i < kMaxBands; ++i) EXPECT_EQ(meters[i].load(), 0.0);
}

// The static curve against its closed forms: 1 / sqrt(q) at 2:1, between
// that and 1 / q above, and (1 - k) + k / sqrt(q) below 2:1.
TEST(Compressor, StaticCurveMatchesTheRatioLaw) {
    struct Case {
        double ratio;
        double expected(double q) const {
            if (q < 1.0) return 1.0;
            if (ratio < 2.0) return (ratio - 1.0) / std::sqrt(q) + (2.0 - ratio);
            const double k = 1.0 / (ratio - 1.0);
            return k / std::sqrt(q) + (1.0 - k) / q;
        }
    };
    for (Case cs : {Case{1.5}, Case{2.0}, Case{4.0}, Case{10.0}}) {
        for (double a : {0.005, 0.02, 0.1, 0.5}) {
            auto s = makeState();
            const auto c =
                compressorCoefficients(makeParams(cs.ratio, -20.0), test::uniformDetectors(1.0), 1);
            BandSignals f;
            for (int n = 0; n < kDelay + 10; ++n) {
                f = bandFrame(a);
                compressorStep(*s, c, f);
            }
            const double lvl = std::sqrt(2.0 * a * a) + 0.00001;  // detector sees both channels
            const double q = lvl / (dbToGain(-20.0) * 0.1);
            EXPECT_NEAR(s->gain[0], cs.expected(q), 1e-12) << "ratio " << cs.ratio << " a " << a;
            EXPECT_NEAR(f.left[0], a * cs.expected(q), 1e-12);
        }
    }
    // 2:1 halves the dB excess over the threshold (an RMS amplitude of 0.01).
    auto s = makeState();
    const auto c = compressorCoefficients(makeParams(2.0, -20.0), test::uniformDetectors(1.0), 1);
    const double a = (dbToGain(-28.0) - 0.00001) / std::sqrt(2.0);  // 12 dB over
    for (int n = 0; n < kDelay + 10; ++n) {
        BandSignals f = bandFrame(a);
        compressorStep(*s, c, f);
    }
    EXPECT_NEAR(gainToDb(s->gain[0]), -6.0, 1e-9);
}

// A step from quiet to loud in band 0: the gain falls `la` frames before the
// loud part leaves the compressor, which stays 4095 frames late.
TEST(Compressor, LookaheadDetectsAheadOfTheOutput) {
    for (double ms : {0.0, 5.0, 90.0}) {
        const int la = static_cast<int>(ms * 0.001 * 44100);
        auto s = makeState();
        CompressorParams p = makeParams(10.0, -20.0, 0.0, ms);
        p.peakDetect = 1;
        const auto c = compressorCoefficients(p, test::uniformDetectors(0.01), 1);
        EXPECT_EQ(c.lookahead[0], la);
        const int stepAt = 5000;
        int firstReduced = -1, firstLoudOut = -1;
        for (int n = 0; n < stepAt + kDelay + 10; ++n) {
            BandSignals f = bandFrame(n < stepAt ? 0.001 : 0.5);
            compressorStep(*s, c, f);
            if (firstReduced < 0 && s->gain[0] < 1.0) firstReduced = n;
            if (firstLoudOut < 0 && f.left[0] > 0.01) firstLoudOut = n;
        }
        EXPECT_EQ(firstLoudOut, stepAt + kDelay) << ms;
        EXPECT_EQ(firstReduced, stepAt + kDelay - la) << ms;
    }
}

TEST(Compressor, PeakDetectionRisesAtOnceAndFallsExponentially) {
    auto s = makeState();
    CompressorParams p = makeParams(4.0, -20.0);
    p.peakDetect = 1;
    const auto c = compressorCoefficients(p, test::uniformDetectors(0.1), 1);
    EXPECT_EQ(c.threshold[0], dbToGain(-20.0) * 0.2);
    // With no look-ahead the detector sees frame n at frame n + 4095.
    std::vector<double> envelope;
    for (int n = 0; n < kDelay + 5; ++n) {
        BandSignals f = bandFrame(0.0);
        if (n == 0) f.left[0] = -0.8;
        if (n == 2) f.right[0] = 0.1;  // below the falling envelope
        if (n == 3) f.right[0] = 0.9;  // above it: taken at once
        compressorStep(*s, c, f);
        envelope.push_back(s->envelope[0]);
    }
    EXPECT_EQ(envelope[kDelay - 1], 0.0);
    EXPECT_EQ(envelope[kDelay], 0.8);
    EXPECT_EQ(envelope[kDelay + 1], 0.9 * 0.8);
    EXPECT_EQ(envelope[kDelay + 2], 0.9 * (0.9 * 0.8));
    EXPECT_EQ(envelope[kDelay + 3], 0.9);
    EXPECT_EQ(envelope[kDelay + 4], 0.9 * 0.9);
}

// Recovery towards a higher target with a gain of 0.5 already applied.
struct RecoveryCase {
    double gateDb;
    bool typeII;
    double expected;  // gain after one quiet frame
};

TEST(Compressor, GateAndReleaseChooseTheRecoveryTime) {
    const double rel = timeCoefficient(100.0);
    const double gr = timeCoefficient(5000.0);
    // Quiet band: mean square 2 * 0.01^2 = 2e-4, so G * E = 1e-4.
    const RecoveryCase cases[] = {
        {-80.0, false, (1 - rel) * 0.5 + rel * 1.0},  // above the gate: release
        {0.0, false, (1 - gr) * 0.5 + gr * 1.0},      // gate level 0.1: gate release
        {-80.0, true, (rel / 0.5 * 0.25) * 1.0 + (1 - rel / 0.5 * 0.25) * 0.5},
        {0.0, true, (gr * 0.25) * 1.0 + (1 - gr * 0.25) * 0.5},  // gate time not divided
    };
    for (const RecoveryCase& rc : cases) {
        auto s = makeState();
        CompressorParams p = makeParams(4.0, 0.0);
        for (int i = 0; i < kMaxBands; ++i) {
            p.releaseMs[i] = 100.0;
            p.initialReleaseMs[i] = 1.0;
        }
        p.gateDb = rc.gateDb;
        p.gateReleaseMs = 5000.0;
        p.typeII = rc.typeII;
        const auto c = compressorCoefficients(p, test::uniformDetectors(1.0), 1);
        for (int n = 0; n < kDelay; ++n) {
            BandSignals f = bandFrame(0.01);
            compressorStep(*s, c, f);
        }
        s->gain[0] = 0.5;
        BandSignals f = bandFrame(0.01);
        compressorStep(*s, c, f);
        EXPECT_NEAR(s->envelope[0], 2e-4, 1e-18);
        EXPECT_DOUBLE_EQ(s->gain[0], rc.expected) << rc.gateDb << " " << rc.typeII;
        EXPECT_DOUBLE_EQ(f.left[0], rc.expected * 0.01);
    }
}

// The gate compares G times the detector state (here the mean square) with
// g(Gate) * 0.1, inclusive.
TEST(Compressor, GateBoundary) {
    const double rel = timeCoefficient(100.0), gr = timeCoefficient(5000.0);
    for (double side : {0.99, 1.01}) {
        auto s = makeState();
        CompressorParams p = makeParams(4.0, 6.0);
        for (int i = 0; i < kMaxBands; ++i) p.releaseMs[i] = 100.0;
        p.gateDb = -20.0;  // gate level 0.01
        p.gateReleaseMs = 5000.0;
        const auto c = compressorCoefficients(p, test::uniformDetectors(1.0), 1);
        const double a = std::sqrt(0.02 * side / 2.0);  // mean square 0.02 * side
        for (int n = 0; n <= kDelay; ++n) {
            if (n == kDelay) s->gain[0] = 0.5;
            BandSignals f = bandFrame(a);
            compressorStep(*s, c, f);
        }
        const double k = side < 1.0 ? gr : rel;
        EXPECT_DOUBLE_EQ(s->gain[0], (1 - k) * 0.5 + k * 1.0) << side;
    }
}

// A window of 0 dB makes the inner times unreachable while the gain moves;
// a wide window hands small moves to them.
TEST(Compressor, WindowSelectsInnerTimes) {
    auto run = [](double windowDb, double innerMs, bool typeII) {
        Random random;
        auto s = makeState();
        CompressorParams p = makeParams(4.0, -20.0);
        for (int i = 0; i < kMaxBands; ++i) {
            p.attackMs[i] = 10.0;
            p.releaseMs[i] = 200.0;
            p.initialAttackMs[i] = innerMs;
            p.initialReleaseMs[i] = innerMs;
        }
        p.windowSizeDb = windowDb;
        p.typeII = typeII;
        const auto c = compressorCoefficients(p, test::uniformDetectors(0.02), 3);
        std::vector<double> out;
        for (int n = 0; n < 12000; ++n) {
            BandSignals f = randomFrame(random, n % 3000 < 1500 ? 0.8 : 0.05);
            compressorStep(*s, c, f);
            for (int i = 0; i < 3; ++i) out.push_back(f.left[i]);
        }
        return out;
    };
    for (bool typeII : {false, true}) {
        EXPECT_EQ(run(0.0, 1.0, typeII), run(0.0, 3000.0, typeII));
        EXPECT_NE(run(6.0, 1.0, typeII), run(6.0, 3000.0, typeII));
    }
    const auto c0 = compressorCoefficients(makeParams(4, 0), test::uniformDetectors(1.0), 10);
    EXPECT_EQ(c0.win1, 1.0);
    EXPECT_EQ(c0.win2, 1.0);
    CompressorParams p = makeParams(4, 0);
    p.windowSizeDb = 6.0;
    const auto c6 = compressorCoefficients(p, test::uniformDetectors(1.0), 10);
    EXPECT_DOUBLE_EQ(c6.win1, dbToGain(4.0));
    EXPECT_DOUBLE_EQ(c6.win2, dbToGain(2.4));
}

// With a 6 dB window (win1 = g(4), win2 = g(2.4)) a gain of 0.5 recovers with
// the inner time towards targets up to 0.5 * win2 and reduces with the inner
// time towards targets down to 0.5 / win1.
TEST(Compressor, WindowBoundariesPickInnerOrClassicTimes) {
    const double inner = timeCoefficient(50.0), outer = timeCoefficient(400.0);
    const double win1 = dbToGain(4.0), win2 = dbToGain(2.4);
    struct Case {
        double t;
        double coefficient;
    };
    const Case cases[] = {
        {0.5 * win2 * 0.999, inner}, {0.5 * win2 * 1.001, outer},  // recovery
        {0.5 / win1 * 1.001, inner}, {0.5 / win1 * 0.999, outer},  // reduction
    };
    for (const Case& cs : cases) {
        auto s = makeState();
        CompressorParams p = makeParams(2.0, -20.0);
        for (int i = 0; i < kMaxBands; ++i) {
            p.attackMs[i] = p.releaseMs[i] = 400.0;
            p.initialAttackMs[i] = p.initialReleaseMs[i] = 50.0;
        }
        p.windowSizeDb = 6.0;
        const auto c = compressorCoefficients(p, test::uniformDetectors(1.0), 1);
        // At 2:1 the target is 1 / sqrt(q): pick the level that gives cs.t.
        const double thr = dbToGain(-20.0) * 0.1;
        const double a = (thr / (cs.t * cs.t) - 0.00001) / std::sqrt(2.0);
        for (int n = 0; n < kDelay; ++n) {
            BandSignals f = bandFrame(a);
            compressorStep(*s, c, f);
        }
        s->gain[0] = 0.5;
        BandSignals f = bandFrame(a);
        compressorStep(*s, c, f);
        const double t = 1.0 / std::sqrt((std::sqrt(2 * a * a) + 0.00001) / thr);
        EXPECT_NEAR(t, cs.t, 1e-9);
        EXPECT_NEAR(s->gain[0], (1 - cs.coefficient) * 0.5 + cs.coefficient * t, 1e-15) << cs.t;
    }
}

TEST(Compressor, AttackSmoothsReductionAndTypeIIShortensIt) {
    const double atk = timeCoefficient(10.0);
    for (bool typeII : {false, true}) {
        auto s = makeState();
        CompressorParams p = makeParams(2.0, -20.0);
        for (int i = 0; i < kMaxBands; ++i) p.attackMs[i] = 10.0;
        p.typeII = typeII;
        const auto c = compressorCoefficients(p, test::uniformDetectors(1.0), 1);
        const double a = 0.5;
        for (int n = 0; n < kDelay; ++n) {
            BandSignals f = bandFrame(a);
            compressorStep(*s, c, f);
        }
        s->gain[0] = 0.8;
        BandSignals f = bandFrame(a);
        compressorStep(*s, c, f);
        const double t = 1.0 / std::sqrt((std::sqrt(2 * a * a) + 0.00001) / (dbToGain(-20.0) * 0.1));
        const double k = typeII ? atk / 0.8 * 0.25 : atk;
        EXPECT_NEAR(s->gain[0], k * t + (1 - k) * 0.8, 1e-15) << typeII;
    }
    // Type II with a small gain: the coefficient is capped at 1, so the gain
    // lands on the target.
    // (Gate at -200 dB so the release law applies, level below the threshold.)
    auto s = makeState();
    CompressorParams p = makeParams(2.0, 0.0);
    for (int i = 0; i < kMaxBands; ++i) p.releaseMs[i] = 1.0;
    p.gateDb = -200.0;
    p.typeII = 1;
    const auto c = compressorCoefficients(p, test::uniformDetectors(1.0), 1);
    for (int n = 0; n < kDelay; ++n) {
        BandSignals f = bandFrame(0.05);
        compressorStep(*s, c, f);
    }
    s->gain[0] = 1e-6;
    BandSignals f = bandFrame(0.05);
    compressorStep(*s, c, f);
    EXPECT_EQ(s->gain[0], 1.0);
}

TEST(Compressor, MetersBandCountAndGapReset) {
    Random random;
    auto s = makeState();
    Number meters[kMaxBands];
    for (auto& m : meters) m = -1.0;
    const auto c = compressorCoefficients(makeParams(10.0, -24.0, 0.0, 5.0), test::uniformDetectors(0.05), 3);
    for (int n = 0; n < 5000; ++n) {
        BandSignals f = randomFrame(random);
        const BandSignals in = f;
        bandStep(compressorStep, publishCompressorMeters, *s, c, f, n == 4999, meters);
        for (int i = 3; i < kMaxBands; ++i) ASSERT_EQ(f.left[i], in.left[i]);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_GT(meters[i].load(), 1.0);
        EXPECT_DOUBLE_EQ(meters[i].load(), -gainToDb(s->gain[i]));
    }
    for (int i = 3; i < kMaxBands; ++i) EXPECT_EQ(meters[i].load(), -1.0);
    EXPECT_EQ(s->gain[5], 0.0);  // unused bands keep their state

    const uint32_t counter = s->counter;
    const double e0 = s->envelope[0], g0 = s->gain[0];
    compressorGapReset(*s);
    EXPECT_EQ(s->counter, counter);
    EXPECT_EQ(s->envelope[0], e0);
    EXPECT_EQ(s->gain[0], g0);
    BandSignals f = bandFrame(0.0);
    compressorStep(*s, c, f);
    EXPECT_EQ(f.left[0], 0.0);  // the old audio is gone
    for (int n = 0; n < kLookaheadFrames; ++n)
        for (int i = 0; i < kMaxBands; ++i) {
            if (static_cast<uint32_t>(n) == (counter & kLookaheadMask)) continue;  // just written
            ASSERT_EQ(s->lineL[n][i], 0.0);
        }
}

TEST(Compressor, AbsurdParametersKeepEverythingFinite) {
    Random random;
    auto s = makeState();
    auto check = [&](const CompressorParams& p, const BandDetectors& det, const char* what) {
        for (int nb : {3, 10}) {
            const auto c = compressorCoefficients(p, det, nb);
            for (int i = 0; i < kMaxBands; ++i) {
                ASSERT_GE(c.lookahead[i], 0);
                ASSERT_LE(c.lookahead[i], 4095);
            }
            Number meters[kMaxBands];
            for (int n = 0; n < 5000; ++n) {
                BandSignals f = randomFrame(random, n % 1000 < 500 ? 1.0 : 0.0);
                bandStep(compressorStep, publishCompressorMeters, *s, c, f, n % 100 == 0, meters);
                ASSERT_TRUE(test::allFinite(f)) << what << " frame " << n;
            }
            ASSERT_TRUE(test::allFinite(s->envelope, kMaxBands)) << what;
            ASSERT_TRUE(test::allFinite(s->gain, kMaxBands)) << what;
            ASSERT_TRUE(test::allFinite(&s->lineL[0][0], kLookaheadFrames * kMaxBands)) << what;
            ASSERT_TRUE(test::allFinite(&s->lineR[0][0], kLookaheadFrames * kMaxBands)) << what;
            ASSERT_TRUE(test::allFinite(meters, kMaxBands)) << what;
        }
    };
    for (double v : test::kAbsurdValues) {
        for (int flags = 0; flags < 4; ++flags) {
            CompressorParams p;
            for (int i = 0; i < kMaxBands; ++i) {
                p.gainDb[i] = v;
                p.ratio[i] = v;
                p.thresholdDb[i] = v;
                p.lookaheadMs[i] = v;
                p.attackMs[i] = v;
                p.releaseMs[i] = v;
                p.initialAttackMs[i] = v;
                p.initialReleaseMs[i] = v;
            }
            p.gateDb = v;
            p.gateReleaseMs = v;
            p.windowSizeDb = v;
            p.peakDetect = flags & 1;
            p.typeII = (flags >> 1) & 1;
            ProcessorParams proc;
            for (auto& d : proc.detectMs) d = v;
            check(p, bandDetectors(proc), "uniform");
        }
    }
    // Each parameter on its own absurd value, the others random absurd ones.
    for (int round = 0; round < 12; ++round) {
        auto pick = [&] { return test::kAbsurdValues[random.next() % std::size(test::kAbsurdValues)]; };
        CompressorParams p;
        for (int i = 0; i < kMaxBands; ++i) {
            p.gainDb[i] = pick();
            p.ratio[i] = pick();
            p.thresholdDb[i] = pick();
            p.lookaheadMs[i] = pick();
            p.attackMs[i] = pick();
            p.releaseMs[i] = pick();
            p.initialAttackMs[i] = pick();
            p.initialReleaseMs[i] = pick();
        }
        p.gateDb = pick();
        p.gateReleaseMs = pick();
        p.windowSizeDb = pick();
        p.peakDetect = round & 1;
        p.typeII = (round >> 1) & 1;
        ProcessorParams proc;
        for (auto& d : proc.detectMs) d = pick();
        check(p, bandDetectors(proc), "mixed");
    }
}

// Each frame's later parts run after the next frame's earlier ones, as in
// the chain's pipeline: every detector law, smoothing law and look-ahead form,
// through loud and quiet passages and with a gate that opens and closes
// from frame to frame, gives what whole frames give.
TEST(Compressor, PartsInPipelineOrderGiveTheWholeFrames) {
    for (int flags = 0; flags < 16; ++flags) {
        CompressorParams p = makeParams(3.0, -18.0, 2.0, 3.0);
        for (int i = 0; i < kMaxBands; ++i) {
            p.attackMs[i] = 2.0;
            p.releaseMs[i] = 80.0;
            p.initialAttackMs[i] = 1.0;
            p.initialReleaseMs[i] = 20.0;
            if (flags & 4) p.lookaheadMs[i] = 0.5 * i;
        }
        p.windowSizeDb = 3.0;
        p.gateDb = flags & 8 ? -4.0 : -40.0;  // -4: the loud passages open and close the gate
        p.peakDetect = flags & 1;
        p.typeII = (flags >> 1) & 1;
        const auto c = compressorCoefficients(p, test::uniformDetectors(0.05), 10);
        ASSERT_EQ(c.sameLookahead, (flags & 4) == 0);
        Random random;
        // The detectors see each frame about 4000 frames late: long enough
        // for them to follow several loud and quiet passages.
        constexpr int kFrames = 8000;
        std::vector<BandSignals> whole(kFrames), parts;
        for (int n = 0; n < kFrames; ++n) whole[n] = randomFrame(random, (n / 300) % 2 ? 1.0 : 1e-3);
        parts = whole;
        auto a = makeState(), b = makeState();
        for (BandSignals& f : whole) compressorStep(*a, c, f);
        test::runSkewed(kFrames, [&](int n) { compressorLevels(*b, c, parts[n]); },
                        [&](int n) { compressorTargets(*b, c, parts[n]); },
                        [&](int n) { compressorGains(*b, c, parts[n]); });
        for (int n = 0; n < kFrames; ++n)
            ASSERT_EQ(std::memcmp(&parts[n], &whole[n], sizeof(BandSignals)), 0) << flags << " frame " << n;
        EXPECT_EQ(std::memcmp(a->gain, b->gain, sizeof a->gain), 0) << flags;
    }
}

}  // namespace
}  // namespace qx
