#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/chain.h"
#include "engine/final_clipper.h"
#include "engine/random.h"

namespace qx {
namespace {

// Every value the transformer keeps: the inputs and the sums in the making.
std::vector<double> historyValues(const HilbertHistory& h) {
    std::vector<double> values(&h.ring[0][0], &h.ring[0][0] + 128);
    values.insert(values.end(), &h.sums[0][0][0], &h.sums[0][0][0] + 128);
    return values;
}

constexpr double kPi = 3.141592653589793;

struct Clipper {
    FinalClipperParams params;
    FinalClipperState state;
    FinalClipperCoefficients k;

    Clipper(double driveDb, double thresholdDb, bool complex) {
        params.driveDb = driveDb;
        params.thresholdDb = thresholdDb;
        params.complex = complex ? 1 : 0;
        k = finalClipperCoefficients(params);
    }
    // Left output for a left input; the right channel carries the negated input.
    double run(double x) {
        double l = x, r = -x;
        finalClipperStep(state, k, params, l, r);
        return l;
    }
};

double sine(double amplitude, double hz, int i) { return amplitude * std::sin(2.0 * kPi * hz * i / 44100.0); }
// The exact quadrature of sine(): what an ideal Hilbert transformer would give.
double cosine(double amplitude, double hz, int i) { return amplitude * std::cos(2.0 * kPi * hz * i / 44100.0); }

TEST(FinalClipperSimple, CurveAtZeroDecibels) {
    Clipper c(0.0, 0.0, false);
    EXPECT_NEAR(c.run(1.0), 69.0 / 81.0, 1e-15);  // (2/3 - (2/3)^3 / 3) x 1.5
    EXPECT_NEAR(c.run(1.0), 0.8519, 1e-4);
    EXPECT_EQ(c.run(2.0), 1.0);
    EXPECT_EQ(c.run(1.5), 1.0);  // u = 1 exactly: the top of the cubic
    EXPECT_EQ(c.run(1.6), 1.0);
    EXPECT_EQ(c.run(1e6), 1.0);
    EXPECT_EQ(c.run(-2.0), -1.0);
    EXPECT_EQ(c.run(-1e6), -1.0);
    EXPECT_NEAR(c.run(-1.0), -69.0 / 81.0, 1e-15);
    // Small signals pass with unit gain.
    EXPECT_NEAR(c.run(0.001), 0.001, 1e-9);
    EXPECT_EQ(c.run(0.0), 0.0);
}

TEST(FinalClipperSimple, CurveIsMonotonicAndBelowTheCeiling) {
    for (double thresholdDb : {-12.0, -0.1, 0.0, 12.0}) {
        Clipper c(0.0, thresholdDb, false);
        const double t = dbToGain(thresholdDb);
        double previous = -INFINITY;
        for (int i = -4000; i <= 4000; ++i) {
            const double x = i * 0.001 * t;
            const double y = c.run(x);
            ASSERT_LE(std::fabs(y), t * (1.0 + 1e-15));
            ASSERT_GE(y, previous - 1e-15 * t);  // the knee joins within one rounding step
            previous = y;
        }
        EXPECT_NEAR(c.run(10.0 * t), t, 1e-14 * t);
    }
}

TEST(FinalClipperSimple, DriveScalesTheInputAndTheRightChannelIsIndependent) {
    Clipper c(6.0, 0.0, false);
    double l = 0.01, r = 0.5;
    finalClipperStep(c.state, c.k, c.params, l, r);
    const double x = 0.01 * dbToGain(6.0);
    EXPECT_NEAR(l, x - std::pow(x * 2.0 / 3.0, 3) / 3.0 * 1.5, 1e-15);
    const double u = 0.5 * dbToGain(6.0) * 2.0 / 3.0;
    EXPECT_NEAR(r, (u - u * u * u / 3.0) * 1.5, 1e-15);
}

TEST(FinalClipperSimple, DepthRisesOnlyOnPositiveExcursions) {
    Clipper c(0.0, 0.0, false);
    double l = -3.0, r = -5.0;
    finalClipperStep(c.state, c.k, c.params, l, r);
    EXPECT_EQ(c.state.depth, 0.0);
    l = 3.0;
    r = 0.2;
    finalClipperStep(c.state, c.k, c.params, l, r);
    EXPECT_EQ(c.state.depth, 2.0);
    l = 2.5;
    r = 4.0;
    finalClipperStep(c.state, c.k, c.params, l, r);
    EXPECT_EQ(c.state.depth, 3.0);
}

TEST(FinalClipperMeter, BlockEndPublishesClampsAndDecays) {
    Clipper c(0.0, 0.0, false);
    Number meter;
    c.state.depth = 2.0;
    const double decay = finalClipperDecay(1024, 2);
    EXPECT_DOUBLE_EQ(decay, 512 * 0.00005);
    finalClipperBlockEnd(c.state, c.k, decay, meter);
    EXPECT_NEAR(meter.load(), 20.0 * std::log10(3.0), 1e-12);
    EXPECT_DOUBLE_EQ(c.state.depth, 2.0 - 0.0256);

    c.state.depth = 99.0;  // held at 30
    finalClipperBlockEnd(c.state, c.k, decay, meter);
    EXPECT_NEAR(meter.load(), 20.0 * std::log10(31.0), 1e-12);
    EXPECT_DOUBLE_EQ(c.state.depth, 30.0 - 0.0256);

    c.state.depth = -1.0;  // held at 0: the meter reads 0 dB
    finalClipperBlockEnd(c.state, c.k, decay, meter);
    EXPECT_EQ(meter.load(), 0.0);

    // The depth is relative to the ceiling.
    Clipper low(0.0, -6.0, false);
    low.state.depth = dbToGain(-6.0);
    finalClipperBlockEnd(low.state, low.k, 0.0, meter);
    EXPECT_NEAR(meter.load(), 20.0 * std::log10(2.0), 1e-12);

    EXPECT_EQ(finalClipperDecay(1024, 1), 1024 * 0.00005);
    EXPECT_EQ(finalClipperDecay(1025, 2), 512 * 0.00005);
    EXPECT_EQ(finalClipperDecay(1024, 0), 0.0);
    EXPECT_EQ(finalClipperDecay(-5, 2), 0.0);
}

TEST(FinalClipperComplex, ImpulseBelowTheCeilingLeavesExactly32FramesLater) {
    Clipper c(0.0, 0.0, true);
    for (int i = 0; i < 100; ++i) {
        const double y = c.run(i == 0 ? 0.5 : 0.0);
        if (i == 32)
            EXPECT_NEAR(y, 0.5, 1e-15);
        else
            EXPECT_EQ(y, 0.0) << "frame " << i;
    }
}

TEST(FinalClipperComplex, SineBelowTheCeilingPassesDelayed) {
    for (double hz : {300.0, 3000.0, 12000.0}) {
        Clipper c(0.0, 0.0, true);
        for (int i = 0; i < 4000; ++i) {
            if (i == 64) c.state.depth = 0.0;  // after the history has filled
            const double y = c.run(sine(0.9, hz, i));
            const double expected = i >= 32 ? sine(0.9, hz, i - 32) : 0.0;
            if (i >= 64) {
                ASSERT_NEAR(y, expected, 1e-7) << hz << " Hz, frame " << i;
            }
        }
        EXPECT_LT(c.state.depth, 1e-6) << hz;  // nothing but rounding
    }
}

TEST(FinalClipperComplex, EnvelopeAboveTheCeilingIsHeldAtTheCeiling) {
    // A 3 kHz sine at twice the ceiling: the transformer is accurate to about
    // 0.5 % there, so the output's envelope against the ideal quadrature of
    // the delayed input is the ceiling within that ripple.
    const double t = dbToGain(-3.0);
    const double a = 2.0 * t;
    const double hz = 3000.0;
    Clipper c(0.0, -3.0, true);
    int checked = 0;
    for (int i = 0; i < 8000; ++i) {
        const double y = c.run(sine(a, hz, i));
        ASSERT_LE(std::fabs(y), t * (1.0 + 1e-15));
        if (i < 64) continue;
        const double v = sine(a, hz, i - 32);
        const double q = cosine(a, hz, i - 32);
        if (y != 0.0) {
            ASSERT_EQ(y > 0.0, v > 0.0) << "frame " << i;  // sign follows the input
        }
        if (std::fabs(q) < 0.9 * t) {
            // Where the quadrature alone stays under the ceiling the in-phase
            // part is reduced to sqrt(T^2 - q^2).
            ASSERT_NEAR(y * y + q * q, t * t, 0.02 * t * t) << "frame " << i;
            ++checked;
        } else if (std::fabs(q) > 1.1 * t) {
            ASSERT_EQ(y, 0.0) << "frame " << i;
        }
    }
    EXPECT_GT(checked, 1000);
    // The in-phase part was reduced on the positive side: the depth shows it.
    EXPECT_GT(c.state.depth, 0.5 * t);
    EXPECT_LE(c.state.depth, a * 1.01);
}

TEST(FinalClipperComplex, GapResetClearsBothHistoriesButNotTheDepth) {
    Clipper c(0.0, -6.0, true);
    for (int i = 0; i < 500; ++i) {
        double l = sine(1.0, 1000.0, i), r = sine(1.0, 2000.0, i);
        finalClipperStep(c.state, c.k, c.params, l, r);
    }
    const double depth = c.state.depth;
    ASSERT_GT(depth, 0.0);
    finalClipperGapReset(c.state);
    EXPECT_EQ(c.state.history.counter, 0);
    for (double v : historyValues(c.state.history)) ASSERT_EQ(v, 0.0);
    EXPECT_EQ(c.state.depth, depth);
    // The next 32 frames come from the cleared history: silence. From then
    // on the output is a fresh clipper's, bit for bit.
    Clipper fresh(0.0, -6.0, true);
    for (int i = 0; i < 300; ++i) {
        double l = sine(1.0, 700.0, i), r = 0.3;
        double freshL = l, freshR = r;
        finalClipperStep(c.state, c.k, c.params, l, r);
        finalClipperStep(fresh.state, fresh.k, fresh.params, freshL, freshR);
        if (i < 32) {
            ASSERT_EQ(l, 0.0);
            ASSERT_EQ(r, 0.0);
        }
        ASSERT_EQ(l, freshL) << i;
        ASSERT_EQ(r, freshR) << i;
    }
}

TEST(FinalClipperComplex, CounterWrapKeepsTheDelay) {
    // Across the signed limit and across the unsigned wrap to 0.
    for (int32_t start : {2147483647 - 10, -5}) {
        Clipper c(0.0, 0.0, true);
        c.state.history.counter = start;
        for (int i = 0; i < 200; ++i) {
            double l = sine(0.5, 5000.0, i), r = l;
            finalClipperStep(c.state, c.k, c.params, l, r);
            if (i >= 64) {
                ASSERT_NEAR(l, sine(0.5, 5000.0, i - 32), 1e-7) << start;
                ASSERT_EQ(l, r);
            }
        }
    }
}

TEST(FinalClipper, AbsurdParametersKeepOutputAndStateFinite) {
    const double absurd[] = {0.0, -1.0, 1e9, -1e9, INFINITY, -INFINITY};
    Random random;
    random.seed(17);
    for (int complex = 0; complex < 2; ++complex) {
        for (int field = 0; field < 2; ++field) {
            for (double v : absurd) {
                Clipper c(0.0, -0.1, complex != 0);
                (field == 0 ? c.params.driveDb : c.params.thresholdDb) = v;
                c.k = finalClipperCoefficients(c.params);
                Number meter;
                for (int block = 0; block < 4; ++block) {
                    for (int i = 0; i < 1000; ++i) {
                        double l = random.next() / 16383.5 - 1.0, r = random.next() / 16383.5 - 1.0;
                        finalClipperStep(c.state, c.k, c.params, l, r);
                        ASSERT_TRUE(std::isfinite(l) && std::isfinite(r)) << field << " = " << v;
                    }
                    finalClipperBlockEnd(c.state, c.k, finalClipperDecay(1000, 2), meter);
                    ASSERT_TRUE(std::isfinite(meter.load())) << field << " = " << v;
                    ASSERT_TRUE(std::isfinite(c.state.depth));
                }
                for (double h : historyValues(c.state.history)) ASSERT_TRUE(std::isfinite(h));
                EXPECT_TRUE(std::isfinite(c.k.k1) && std::isfinite(c.k.k2) && c.k.threshold > 0.0);
            }
        }
    }
}

}  // namespace
}  // namespace qx
