#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "band_stage_test_support.h"
#include "engine/chain.h"
#include "engine/random.h"
#include "engine/stereo_image.h"
#include "filters/reverse_cascade.h"

namespace qx {
namespace {

constexpr double kPi = 3.141592653589793;

struct Stereo {
    StereoImageParams params;
    StereoImageState state;
    StereoImageCoefficients k;
    std::unique_ptr<ReverseCascadeFilter> highpass = std::make_unique<ReverseCascadeFilter>();

    Stereo() {
        params.amountPct = 50.0;
        params.detect1Ms = 50.0;
        params.detect2Ms = 500.0;
        params.releaseMs = 500.0;
        params.maxEnhanceDb = 6.0;
        designFilter(*highpass, true, FilterType::Highpass, 0.0, 1000.0, 44100.0, 2.0);
        update();
    }
    void update() { k = stereoImageCoefficients(params); }
    void step(double& l, double& r) { stereoImageStep(state, k, params, *highpass, l, r); }
};

double tone(double amplitude, double hz, int i) { return amplitude * std::sin(2.0 * kPi * hz * i / 44100.0); }

TEST(StereoImage, MonoFoldsBothChannelsAndFreezesTheDetector) {
    Stereo s;
    for (int i = 0; i < 2000; ++i) {  // give the detector and width some history
        double l = tone(0.8, 3000.0, i), r = tone(0.2, 500.0, i);
        s.step(l, r);
    }
    s.params.mono = 1;
    s.params.amountPct = 100.0;  // whatever the other parameters say
    s.update();
    const StereoImageState before = s.state;
    const SectionState filterBefore = channelState(s.highpass->state, 0);
    Random random;
    for (int i = 0; i < 1000; ++i) {
        const double inL = random.next() / 32767.0 - 0.5, inR = random.next() / 32767.0 - 0.5;
        double l = inL, r = inR;
        s.step(l, r);
        ASSERT_EQ(l, (inL + inR) * 0.5);
        ASSERT_EQ(r, l);
    }
    EXPECT_EQ(s.state.power, before.power);
    EXPECT_EQ(s.state.average, before.average);
    EXPECT_EQ(s.state.width, before.width);
    EXPECT_EQ(s.highpass->state.y1[0], filterBefore.y1);
    EXPECT_EQ(s.highpass->state.x1[0], filterBefore.x1);

    Number meter = 7.0;
    stereoImageBlockEnd(s.state, s.params, meter);
    EXPECT_EQ(meter.load(), 7.0);  // not updated while mono
}

// Runs a steady high tone on the left channel only (the right is silent) for
// `seconds` and returns the smallest and largest width of the last second.
// Checks on every frame that the mid passes untouched and the side is scaled
// by exactly the published width.
void runSteady(Stereo& s, double amplitude, int seconds, double& lowest, double& highest) {
    lowest = INFINITY;
    highest = -INFINITY;
    const int frames = seconds * 44100;
    for (int i = 0; i < frames; ++i) {
        const double in = tone(amplitude, 8000.0, i);
        double l = in, r = 0.0;
        s.step(l, r);
        ASSERT_NEAR(l + r, in, 1e-12 * amplitude);
        ASSERT_NEAR(l - r, in * s.state.width, 1e-12 * amplitude);
        if (i >= frames - 44100) {
            lowest = std::min(lowest, s.state.width);
            highest = std::max(highest, s.state.width);
        }
    }
}

TEST(StereoImage, SteadyProgramSettlesNearEightTenthsPlusAFifthOfK) {
    // Amount 50 % gives k = 5: w = 0.8 + 5 x (sqrt(P) / (A + 0.01) - 0.8), close
    // to 1.8 when sqrt(P) equals A and is large against 0.01.
    Stereo s;
    double lowest, highest;
    runSteady(s, 40.0, 6, lowest, highest);
    EXPECT_NEAR(highest, 1.8, 0.01);
    EXPECT_LT(highest, 1.8);
    // The detector's ripple moves w a little within each cycle; the width
    // follows it up at once and down at the slow release.
    EXPECT_GT(lowest, 1.79);
    EXPECT_NEAR(s.k.maxWidth, dbToGain(6.0), 1e-15);  // 1.995: not reached
}

TEST(StereoImage, CeilingHoldsTheWidthAtMaxEnhance) {
    Stereo s;
    s.params.maxEnhanceDb = 1.0;  // the slider's minimum
    s.update();
    double lowest, highest;
    runSteady(s, 40.0, 3, lowest, highest);
    EXPECT_EQ(highest, dbToGain(1.0));
    EXPECT_NEAR(highest, 1.122, 0.0005);
    EXPECT_GE(lowest, highest * s.k.release);

    // A ceiling below unity wins over the floor of 1: the side is attenuated.
    Stereo narrow;
    narrow.params.maxEnhanceDb = -6.0;
    narrow.update();
    runSteady(narrow, 0.5, 1, lowest, highest);
    EXPECT_EQ(highest, dbToGain(-6.0));
}

TEST(StereoImage, SilenceLetsTheWidthDecayToOneThenAlternateWithR) {
    Stereo s;
    s.params.releaseMs = 5.0;
    s.update();
    const double r = s.k.release;
    s.state.width = 1.6;
    bool sawOne = false;
    double previous = s.state.width;
    for (int i = 0; i < 5000; ++i) {
        double l = 0.0, r0 = 0.0;
        s.step(l, r0);
        const double w = s.state.width;
        if (!sawOne) {
            ASSERT_TRUE(w == previous * r || w == 1.0) << "frame " << i;
            sawOne = w == 1.0;
        } else {
            // 1.0, r, 1.0, r, ...
            ASSERT_EQ(w, previous == 1.0 ? r : 1.0) << "frame " << i;
        }
        previous = w;
    }
    EXPECT_TRUE(sawOne);
    EXPECT_EQ(s.state.power, 0.0);
    EXPECT_EQ(s.state.average, 0.0);
    // The image passes practically unchanged.
    double l = 0.3, right = 0.1;
    s.step(l, right);
    EXPECT_NEAR(l, 0.3, 0.1 * (1.0 - r) + 1e-15);
    EXPECT_NEAR(right, 0.1, 0.1 * (1.0 - r) + 1e-15);
}

TEST(StereoImage, TransientRaisesTheWidthAtOnce) {
    Stereo s;
    // Quiet steady program, then a burst 20 dB louder: sqrt(P) jumps above its
    // slow average and the width follows within a frame of the detector.
    for (int i = 0; i < 44100; ++i) {
        double l = tone(0.05, 5000.0, i), r = 0.5 * l;
        s.step(l, r);
    }
    const double before = s.state.width;
    double highest = before;
    for (int i = 0; i < 2205; ++i) {  // 50 ms
        const double previous = s.state.width;
        double l = tone(0.5, 5000.0, i), r = 0.5 * l;
        s.step(l, r);
        // Each frame either rises to the new w or decays by r, nothing in between.
        ASSERT_TRUE(s.state.width >= previous || s.state.width == previous * s.k.release);
        highest = std::max(highest, s.state.width);
    }
    EXPECT_GT(highest, before + 0.5);
    EXPECT_LE(highest, s.k.maxWidth);
}

TEST(StereoImage, BlockEndMeterIsTheWidthInDecibels) {
    Stereo s;
    Number meter;
    s.state.width = 2.0;
    stereoImageBlockEnd(s.state, s.params, meter);
    EXPECT_NEAR(meter.load(), 20.0 * std::log10(2.00001) + 0.01, 1e-12);
    s.state.width = 0.0;  // after init: still finite
    stereoImageBlockEnd(s.state, s.params, meter);
    EXPECT_NEAR(meter.load(), -99.99, 1e-9);
}

TEST(StereoImage, CoefficientsKeepTheFormulasInRange) {
    Stereo s;
    EXPECT_EQ(s.k.detect1, timeCoefficient(50.0));
    EXPECT_EQ(s.k.detect2, timeCoefficient(500.0));
    EXPECT_EQ(s.k.release, 1.0 - timeCoefficient(500.0));
    EXPECT_EQ(s.k.maxWidth, dbToGain(6.0));
    EXPECT_EQ(s.k.amount, 5.0);
    s.params.releaseMs = 0.0;  // instant: the width never holds
    s.params.detect1Ms = -3.0;
    s.update();
    EXPECT_EQ(s.k.release, 0.0);
    EXPECT_EQ(s.k.detect1, 1.0);
}

TEST(StereoImage, AbsurdParametersKeepOutputAndStateFinite) {
    const double absurd[] = {0.0, -1.0, 1e-300, 1e9, -1e9, INFINITY, -INFINITY};
    Random random;
    random.seed(23);
    for (int mono = 0; mono < 2; ++mono) {
        for (int field = 0; field < 5; ++field) {
            for (double v : absurd) {
                Stereo s;
                s.params.mono = mono;
                Number* fields[] = {&s.params.amountPct, &s.params.detect1Ms, &s.params.detect2Ms,
                                    &s.params.releaseMs, &s.params.maxEnhanceDb};
                *fields[field] = v;
                s.update();
                Number meter;
                for (int i = 0; i < 3000; ++i) {
                    double l = random.next() / 16383.5 - 1.0, r = random.next() / 16383.5 - 1.0;
                    s.step(l, r);
                    ASSERT_TRUE(std::isfinite(l) && std::isfinite(r)) << field << " = " << v;
                }
                stereoImageBlockEnd(s.state, s.params, meter);
                ASSERT_TRUE(std::isfinite(meter.load()));
                ASSERT_TRUE(std::isfinite(s.state.power) && std::isfinite(s.state.average) &&
                            std::isfinite(s.state.width))
                    << field << " = " << v;
            }
        }
    }
}

// The chain runs the three parts in consecutive steps, a part of one frame
// after the next frames' earlier parts, each with the mono switch as read for
// its frame: every sample as the whole frames give them while the switch
// flips from frame to frame.
TEST(StereoImage, PartsInPipelineOrderGiveTheWholeFrames) {
    Stereo whole, parts;
    constexpr int kFrames = 3000;
    std::vector<double> l(kFrames), r(kFrames);
    std::vector<bool> mono(kFrames);
    for (int i = 0; i < kFrames; ++i) {
        l[i] = tone(0.8, 3000.0, i);
        r[i] = tone(0.3, 400.0, i);
        mono[i] = (i / 5) % 4 == 0;
    }
    std::vector<double> pl = l, pr = r;
    for (int i = 0; i < kFrames; ++i) {
        whole.params.mono = mono[i] ? 1 : 0;
        whole.step(l[i], r[i]);
    }
    StereoImageState& s = parts.state;
    test::runSkewed(
        kFrames, [&](int i) { stereoImageDetect(s, parts.k, *parts.highpass, mono[i], pl[i], pr[i]); },
        [&](int i) { stereoImageTarget(s, parts.k, mono[i]); },
        [&](int i) { stereoImageApply(s, parts.k, mono[i], pl[i], pr[i]); });
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_EQ(pl[i], l[i]) << i;
        ASSERT_EQ(pr[i], r[i]) << i;
    }
    EXPECT_EQ(s.width, whole.state.width);
}

}  // namespace
}  // namespace qx
