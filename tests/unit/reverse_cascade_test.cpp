#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "engine/random.h"
#include "filters/reverse_cascade.h"

namespace qx {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kFs = 44100.0;
constexpr int kDelay = 8192;

std::unique_ptr<ReverseCascadeFilter> makeFilter() {
    auto f = std::make_unique<ReverseCascadeFilter>();
    resetFilter(*f);
    return f;
}

// Sets raw coefficients, bypassing the design formulas.
void setCoefficients(ReverseCascadeFilter& f, double b0, double b1, double b2, double a1,
                     double a2, double gain) {
    f.b0 = b0;
    f.b1 = b1;
    f.b2 = b2;
    f.a1 = a1;
    f.a2 = a2;
    f.gain = gain;
    takeDesign(f);
}

// |H(e^jw)| of the record's own coefficients, evaluated directly.
double magnitude(const ReverseCascadeFilter& f, double hz) {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * kPi * hz / kFs);
    const std::complex<double> num = f.b0.load() + f.b1.load() * z1 + f.b2.load() * z1 * z1;
    const std::complex<double> den = 1.0 + f.a1.load() * z1 + f.a2.load() * z1 * z1;
    return std::abs(num / den);
}

double noise(Random& r) { return (r.next() - 16384) / 16384.0; }

// Runs a sine of bin k (k cycles per 8192 samples, so a window of 8192
// samples holds whole cycles) through channel `ch` and returns the in-phase
// and quadrature amplitudes of the output against the input delayed by 8192.
struct Response {
    double inPhase, quadrature;
};
Response measureSine(ReverseCascadeFilter& f, Channel ch, int k, bool withGain) {
    constexpr int kWindow = 8192;
    constexpr int kSettle = kDelay + 4 * 4096;
    auto phase = [k](long n) {
        const long m = ((n % kWindow) + kWindow) % kWindow;
        return 2.0 * kPi * static_cast<double>((static_cast<long>(k) * m) % kWindow) / kWindow;
    };
    double si = 0.0, co = 0.0;
    for (long n = 0; n < kSettle + kWindow; ++n) {
        const double y = reverseCascadeStep(f, ch, std::sin(phase(n)), withGain);
        if (n >= kSettle) {
            si += y * std::sin(phase(n - kDelay));
            co += y * std::cos(phase(n - kDelay));
        }
    }
    return {2.0 * si / kWindow, 2.0 * co / kWindow};
}

double binHz(int k) { return k * kFs / 8192.0; }

TEST(ReverseCascadeStep, ResetPositionsAndSilentFirstBlock) {
    auto f = std::make_unique<ReverseCascadeFilter>();
    // Dirty record: resetting must clear states and lines, not coefficients.
    std::memset(static_cast<void*>(f.get()), 0x3f, sizeof *f);
    designFilter(*f, true, FilterType::Lowpass, 3.0, 2000.0, kFs, 1.0);
    for (int c = 0; c < 2; ++c) {
        EXPECT_EQ(f->indices[c].pending, 0);
        EXPECT_EQ(f->indices[c].write, 4096);
        EXPECT_EQ(f->indices[c].read, 4096);
        EXPECT_EQ(f->state.x1[c], 0.0);
        EXPECT_EQ(f->state.y2[c], 0.0);
        for (const auto& row : f->line) ASSERT_EQ(row[c], 0.0);
    }
    const double b0 = f->b0;
    resetFilter(*f);
    EXPECT_EQ(f->b0.load(), b0);

    Random r;
    for (int n = 0; n < 4096; ++n) {
        ASSERT_EQ(reverseCascadeStep(*f, Channel::Left, noise(r), true), 0.0) << n;
        ASSERT_EQ(reverseCascadeStep(*f, Channel::Right, noise(r), false), 0.0) << n;
    }
    // The second block is the zero-phase response running into the silence
    // before the onset: not silent for a lowpass.
    double energy = 0.0;
    for (int n = 0; n < 4096; ++n) {
        const double y = reverseCascadeStep(*f, Channel::Left, noise(r), true);
        energy += y * y;
    }
    EXPECT_GT(energy, 0.0);
}

TEST(ReverseCascadeStep, ImpulseLeavesAfter8192CallsWithSquaredGain) {
    for (bool withGain : {true, false}) {
        for (Channel ch : {Channel::Left, Channel::Right}) {
            auto f = makeFilter();
            setCoefficients(*f, 1.0, 0.0, 0.0, 0.0, 0.0, 1.5);
            const double expected = withGain ? 2.25 : 1.0;
            for (int n = 0; n < 3 * 4096 + 100; ++n) {
                const double y = reverseCascadeStep(*f, ch, n == 0 ? 1.0 : 0.0, withGain);
                ASSERT_EQ(y, n == kDelay ? expected : 0.0) << "call " << n;
            }
        }
    }
}

TEST(ReverseCascadeStep, PassThroughSectionDelaysEverySampleExactly) {
    // b0 = 1: every sample must come out unchanged 8192 calls later, across
    // block ends too (a step that returned a value read after the block work
    // would repeat or skip one).
    auto f = makeFilter();
    setCoefficients(*f, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0);
    for (int n = 0; n < 6 * 4096; ++n) {
        const double y = reverseCascadeStep(*f, Channel::Left, n + 1.0, true);
        ASSERT_EQ(y, n >= kDelay ? n + 1.0 - kDelay : 0.0) << n;
        ASSERT_EQ(reverseCascadeStep(*f, Channel::Right, -(n + 1.0), false),
                  n >= kDelay ? -(n + 1.0 - kDelay) : 0.0);
    }
}

TEST(ReverseCascadeStep, BlockEndReturnsValueReadBeforeBlockWork) {
    auto f = makeFilter();
    setCoefficients(*f, 1.0, 0.0, 0.0, 0.0, 0.0, 2.0);
    // Left channel at the last frame of block 1, read out and refilled frame
    // by frame; block 0 pending.
    BlockIndices& ix = f->indices[0];
    ix.pending = 0x0000;
    ix.write = 0x1FFF;
    ix.read = 0x1FFF;
    f->line[0x1FFF][0] = 42.0;
    f->line[0x0000][0] = 7.0;
    EXPECT_EQ(reverseCascadeStep(*f, Channel::Left, 1.0, true), 42.0);
    // The frame read out took the new forward result, times the gain.
    EXPECT_EQ(f->line[0x1FFF][0], 2.0);
    // Rotated: finished block 0 is read out and refilled next, block 1 pending.
    EXPECT_EQ(ix.read, 0x0000);
    EXPECT_EQ(ix.write, 0x0000);
    EXPECT_EQ(ix.pending, 0x1000);
    // The backward pass applied the gain to block 0 in place.
    EXPECT_EQ(reverseCascadeStep(*f, Channel::Left, 0.0, true), 14.0);
    // The right channel kept its own positions.
    EXPECT_EQ(f->indices[1].write, 4096);
}

TEST(ReverseCascadeStep, RedesignWithoutResetKeepsAudioInFlight) {
    auto f = makeFilter();
    designFilter(*f, true, FilterType::Peaking, 6.0, 1000.0, kFs, 1.0);
    Random r;
    for (int n = 0; n < 5000; ++n) {
        reverseCascadeStep(*f, Channel::Left, noise(r), false);
        reverseCascadeStep(*f, Channel::Right, noise(r), false);
    }
    auto before = std::make_unique<ReverseCascadeFilter>(*f);
    designFilter(*f, false, FilterType::Highpass, -3.0, 200.0, kFs, 2.0);
    EXPECT_NE(f->b0.load(), before->b0.load());
    EXPECT_EQ(std::memcmp(&f->state, &before->state, sizeof f->state), 0);
    EXPECT_EQ(std::memcmp(f->line, before->line, sizeof f->line), 0);
    for (int c = 0; c < 2; ++c) {
        EXPECT_EQ(std::memcmp(&f->indices[c], &before->indices[c], sizeof f->indices[c]), 0);
    }
    designFilter(*f, true, FilterType::Highpass, -3.0, 200.0, kFs, 2.0);
    EXPECT_EQ(f->indices[0].write, 4096);
    EXPECT_EQ(f->state.y1[1], 0.0);
}

TEST(ReverseCascadeStep, RedesignWithoutResetWaitsForTakeDesign) {
    auto f = makeFilter();
    designFilter(*f, true, FilterType::Peaking, 6.0, 1000.0, kFs, 1.0);
    auto old = std::make_unique<ReverseCascadeFilter>(*f);
    designFilter(*f, false, FilterType::Highpass, -3.0, 200.0, kFs, 2.0);
    Random r;
    // Samples until the two filters' outputs first differ (5000: never).
    auto firstDifference = [&]() {
        for (int n = 0; n < 5000; ++n) {
            const double x = noise(r);
            const double a = reverseCascadeStep(*f, Channel::Left, x, true) + filterStep(*f, Channel::Right, x);
            const double b = reverseCascadeStep(*old, Channel::Left, x, true) + filterStep(*old, Channel::Right, x);
            if (a != b) return n;
        }
        return 5000;
    };
    EXPECT_EQ(firstDifference(), 5000);  // still the old design, bit for bit
    takeDesign(*f);
    EXPECT_EQ(firstDifference(), 0);  // the causal step shows the new design at once
}

TEST(ReverseCascadeStep, ChannelsNeverMix) {
    auto f = makeFilter();
    designFilter(*f, true, FilterType::Bandpass, 4.0, 700.0, kFs, 1.5);
    Random r;
    double leftEnergy = 0.0;
    for (int n = 0; n < 5 * 4096; ++n) {
        leftEnergy += std::abs(reverseCascadeStep(*f, Channel::Left, noise(r), true));
        ASSERT_EQ(reverseCascadeStep(*f, Channel::Right, 0.0, true), 0.0);
        ASSERT_EQ(filterStep(*f, Channel::Right, 0.0), 0.0);
    }
    EXPECT_GT(leftEnergy, 0.0);
}

TEST(ReverseCascadeStep, LockStepSeriesMatchesChannelSteps) {
    // Two sections in series as the chain runs them, both channels and both
    // sections side by side, against one channel step at a time: the same
    // bits in the output and in the records, across block ends.
    std::unique_ptr<ReverseCascadeFilter> locked[2] = {makeFilter(), makeFilter()};
    std::unique_ptr<ReverseCascadeFilter> plain[2] = {makeFilter(), makeFilter()};
    for (int i = 0; i < 2; ++i) {
        designFilter(*locked[i], true, FilterType::Peaking, 3.0 + i, 500.0 * (i + 1), kFs, 1.0);
        designFilter(*plain[i], true, FilterType::Peaking, 3.0 + i, 500.0 * (i + 1), kFs, 1.0);
    }
    ASSERT_TRUE(pairInLockStep(*locked[0], *locked[1]));
    Random r;
    for (int n = 0; n < 3 * 4096 + 50; ++n) {
        double left = noise(r), right = noise(r);
        double plainLeft = left, plainRight = right;
        reverseCascadeSeriesStep(*locked[0], *locked[1], left, right, true, true);
        for (auto& f : plain) {
            plainLeft = reverseCascadeStep(*f, Channel::Left, plainLeft, true);
            plainRight = reverseCascadeStep(*f, Channel::Right, plainRight, true);
        }
        ASSERT_EQ(left, plainLeft) << n;
        ASSERT_EQ(right, plainRight) << n;
    }
    for (int i = 0; i < 2; ++i) EXPECT_EQ(std::memcmp(locked[i].get(), plain[i].get(), sizeof(ReverseCascadeFilter)), 0);
}

TEST(CausalStep, AppliesResponseAndGainOnce) {
    auto f = makeFilter();
    designFilter(*f, true, FilterType::Lowpass, 6.0, 1500.0, kFs, 1.0);
    const int k = 400;  // about 2153 Hz, above the cutoff
    double si = 0.0, co = 0.0;
    for (int n = 0; n < 16384; ++n) {
        const double ph = 2.0 * kPi * ((k * n) % 8192) / 8192.0;
        const double y = filterStep(*f, Channel::Right, std::sin(ph));
        if (n >= 8192) {
            si += y * std::sin(ph);
            co += y * std::cos(ph);
        }
    }
    const double measured = std::hypot(si, co) * 2.0 / 8192.0;
    const double expected = magnitude(*f, binHz(k)) * f->gain.load();
    EXPECT_NEAR(measured, expected, 1e-3 * expected);
    // The causal step never writes the delay line.
    EXPECT_EQ(f->indices[1].write, 4096);
    EXPECT_EQ(f->line[4096][1], 0.0);
}

TEST(FilterDesign, ShapeIdentities) {
    auto f = makeFilter();
    designFilter(*f, true, FilterType::Bandpass, 2.0, 1234.0, kFs, 1.3);
    EXPECT_EQ(f->b1.load(), 0.0);
    EXPECT_EQ(f->b2.load(), -f->b0.load());

    for (FilterType shelf : {FilterType::LowShelf, FilterType::HighShelf}) {
        designFilter(*f, false, shelf, 5.0, 800.0, kFs, 0.5);
        const double b0 = f->b0, b1 = f->b1, b2 = f->b2, a1 = f->a1, a2 = f->a2;
        designFilter(*f, false, shelf, 5.0, 800.0, kFs, 7.0);
        EXPECT_EQ(f->b0.load(), b0);
        EXPECT_EQ(f->b1.load(), b1);
        EXPECT_EQ(f->b2.load(), b2);
        EXPECT_EQ(f->a1.load(), a1);
        EXPECT_EQ(f->a2.load(), a2);
    }

    designFilter(*f, false, FilterType::Peaking, 0.0, 3000.0, kFs, 2.0);
    EXPECT_EQ(f->gain.load(), 1.0);
    EXPECT_EQ(f->b0.load(), 1.0);
    EXPECT_EQ(f->b1.load(), f->a1.load());
    EXPECT_EQ(f->b2.load(), f->a2.load());
}

TEST(FilterDesign, ResponsesAtCharacteristicFrequencies) {
    auto f = makeFilter();
    const double dB = 6.0;
    const double A = std::pow(10.0, dB / 40.0);
    designFilter(*f, false, FilterType::Lowpass, dB, 1000.0, kFs, 1.0);
    EXPECT_NEAR(magnitude(*f, 0.0), 1.0, 1e-12);
    EXPECT_NEAR(magnitude(*f, kFs / 2), 0.0, 1e-12);
    EXPECT_NEAR(f->gain.load(), std::pow(10.0, dB / 20.0), 1e-15);
    designFilter(*f, false, FilterType::Highpass, dB, 1000.0, kFs, 1.0);
    EXPECT_NEAR(magnitude(*f, kFs / 2), 1.0, 1e-12);
    EXPECT_NEAR(magnitude(*f, 0.0), 0.0, 1e-12);
    designFilter(*f, false, FilterType::Bandpass, dB, 1000.0, kFs, 1.0);
    EXPECT_NEAR(magnitude(*f, 1000.0), 1.0, 1e-12);
    designFilter(*f, false, FilterType::Notch, dB, 1000.0, kFs, 1.0);
    EXPECT_NEAR(magnitude(*f, 1000.0), 0.0, 1e-12);
    EXPECT_NEAR(magnitude(*f, 0.0), 1.0, 1e-12);
    designFilter(*f, false, FilterType::Peaking, dB, 1000.0, kFs, 1.0);
    EXPECT_NEAR(magnitude(*f, 1000.0), A * A, 1e-12);
    EXPECT_NEAR(magnitude(*f, 0.0), 1.0, 1e-12);
    designFilter(*f, false, FilterType::LowShelf, dB, 1000.0, kFs, 1.0);
    EXPECT_NEAR(magnitude(*f, 0.0), A * A, 1e-12);
    EXPECT_NEAR(magnitude(*f, kFs / 2), 1.0, 1e-12);
    designFilter(*f, false, FilterType::HighShelf, dB, 1000.0, kFs, 1.0);
    EXPECT_NEAR(magnitude(*f, kFs / 2), A * A, 1e-12);
    EXPECT_NEAR(magnitude(*f, 0.0), 1.0, 1e-12);
}

TEST(FilterDesign, ReverseCascadeSquaresTheResponseWithZeroPhase) {
    struct Case {
        FilterType type;
        double gainDb;
        double hz;
        double octaves;
        bool withGain;
    };
    const Case cases[] = {
        {FilterType::Lowpass, 3.0, 1000.0, 1.0, true},
        {FilterType::Highpass, -2.0, 1000.0, 2.0, true},
        {FilterType::Bandpass, 1.5, 1000.0, 1.0, true},
        {FilterType::Notch, 0.0, 1000.0, 1.0, true},
        {FilterType::Peaking, 6.0, 1000.0, 1.0, false},
        {FilterType::LowShelf, -4.0, 1000.0, 1.0, false},
        {FilterType::HighShelf, 5.0, 1000.0, 1.0, false},
    };
    const int bins[] = {37, 130, 186, 557, 1672};  // ~199, 700, 1001, 2998, 9001 Hz
    for (const Case& c : cases) {
        auto f = makeFilter();
        designFilter(*f, true, c.type, c.gainDb, c.hz, kFs, c.octaves);
        const double g = c.withGain ? f->gain.load() : 1.0;
        for (int k : bins) {
            const double h = magnitude(*f, binHz(k));
            const double expected = h * h * g * g;
            const Response r = measureSine(*f, Channel::Left, k, c.withGain);
            const double tol = 1e-3 * expected + 1e-9;
            EXPECT_NEAR(r.inPhase, expected, tol)
                << "type " << static_cast<int>(c.type) << " at " << binHz(k) << " Hz";
            EXPECT_NEAR(r.quadrature, 0.0, tol)
                << "type " << static_cast<int>(c.type) << " at " << binHz(k) << " Hz";
        }
    }
}

TEST(FilterDesign, DegenerateInputsGiveFiniteStableSections) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Input {
        double gainDb, hz, fs, octaves;
    };
    const Input inputs[] = {
        {0.0, 0.0, kFs, 1.0},        {0.0, -50.0, kFs, 1.0},     {0.0, 22050.0, kFs, 1.0},
        {0.0, 30000.0, kFs, 1.0},    {0.0, nan, kFs, 1.0},       {0.0, inf, kFs, 1.0},
        {0.0, 1000.0, kFs, 0.0},     {0.0, 1000.0, kFs, -3.0},   {0.0, 1000.0, kFs, 1e300},
        {0.0, 1000.0, kFs, nan},     {1e6, 1000.0, kFs, 1.0},    {-1e6, 1000.0, kFs, 1.0},
        {nan, 1000.0, kFs, 1.0},     {0.0, 1000.0, 0.0, 1.0},    {0.0, 1000.0, -kFs, 1.0},
        {0.0, 1000.0, nan, 1.0},     {0.0, 20480.0, kFs, 10.0},  {-60.0, 21000.0, kFs, 10.0},
        {24.0, 22400.0, kFs, 0.0},   {0.0, 1e-9, kFs, 1e-9},
    };
    const FilterType types[] = {FilterType::Lowpass,  FilterType::Highpass, FilterType::Bandpass,
                                FilterType::Notch,    FilterType::Peaking,  FilterType::LowShelf,
                                FilterType::HighShelf, static_cast<FilterType>(9)};
    auto f = makeFilter();
    Random r;
    for (FilterType type : types) {
        for (const Input& in : inputs) {
            designFilter(*f, true, type, in.gainDb, in.hz, in.fs, in.octaves);
            const double a1 = f->a1, a2 = f->a2;
            const std::string what = "type " + std::to_string(static_cast<int>(type)) + " gain " +
                                     std::to_string(in.gainDb) + " f " + std::to_string(in.hz) +
                                     " fs " + std::to_string(in.fs) + " bw " +
                                     std::to_string(in.octaves);
            ASSERT_TRUE(std::isfinite(f->b0.load()) && std::isfinite(f->b1.load()) &&
                        std::isfinite(f->b2.load()) && std::isfinite(a1) && std::isfinite(a2) &&
                        std::isfinite(f->gain.load()))
                << what;
            // Inside the stability triangle: both poles within the unit circle.
            EXPECT_LT(std::abs(a2), 1.0) << what;
            EXPECT_LT(std::abs(a1), 1.0 + a2) << what;
            for (int n = 0; n < 3 * 4096; ++n) {
                const double x = noise(r);
                ASSERT_TRUE(std::isfinite(reverseCascadeStep(*f, Channel::Left, x, true))) << what;
                ASSERT_TRUE(std::isfinite(filterStep(*f, Channel::Right, x))) << what;
            }
        }
    }
}

}  // namespace
}  // namespace qx

namespace qx {
namespace {

// Wide peaking bands high in the range keep the plain formula; only designs
// that would put a pole on the unit circle are bounded.
TEST(DesignGuard, WidePeakingBandsNearTheTopKeepThePlainFormula) {
    const double hz = 19920.0, octaves = 6.0, gainDb = 6.0;
    const double w0 = 6.283185307179586 * hz / 44100.0;
    const double s = std::sin(w0);
    const double A = std::pow(10.0, gainDb * 0.025);
    const double alpha = s * std::sinh(0.34657359027997264 * octaves * w0 / s);
    const double a0 = 1.0 + alpha / A;
    const BiquadCoefficients k = designCoefficients(FilterType::Peaking, gainDb, hz, 44100.0, octaves);
    EXPECT_DOUBLE_EQ(k.b0, (1.0 + alpha * A) / a0);
    EXPECT_DOUBLE_EQ(k.b2, (1.0 - alpha * A) / a0);
    EXPECT_DOUBLE_EQ(k.a2, (1.0 - alpha / A) / a0);

    const BiquadCoefficients edge = designCoefficients(FilterType::Peaking, 0.0, 21600.0, 44100.0, 10.0);
    EXPECT_LT(std::fabs(edge.a2), 1.0);
    EXPECT_LT(std::fabs(edge.a1), 1.0 + edge.a2);
}

}  // namespace
}  // namespace qx
