// The whole chain through processBlock and the response measurement, with the
// filterbank, the multiband stages and the limiters in place.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <memory>
#include <string>
#include <vector>

#include "chain_test_support.h"
#include "engine/response.h"
#include "engine/coefficient_update.h"
#include "engine/stage_setups.h"
#include "params/parameter_table.h"

namespace qx {
namespace {

constexpr double kPi = 3.141592653589793;

struct Rig {
    test::ManualClock clock;
    std::unique_ptr<ChainState> state = test::makeState(clock);
    ParameterTable table = buildParameterTable(*state);

    Rig() { designAtStartup(*state); }
    void set(const std::string& key, double v) {
        const ParameterRecord* r = table.find(key);
        ASSERT_NE(r, nullptr) << key;
        r->assign(v);
    }
    void apply() { updateCoefficients(*state, true); }
};

// g²·|H(e^jw)|² of one designed bank entry, from its coefficients.
double bandPower(const ReverseCascadeBank& bank, int entry, double hz) {
    const std::complex<double> z = std::polar(1.0, -2.0 * kPi * hz / 44100.0);
    const std::complex<double> num = bank.b0[entry].load() + bank.b1[entry].load() * z + bank.b2[entry].load() * z * z;
    const std::complex<double> den = 1.0 + bank.a1[entry].load() * z + bank.a2[entry].load() * z * z;
    const double g = bank.gain[entry].load();
    return g * g * std::norm(num / den);
}

TEST(WholeChain, ResponseOfTheSplitAndRecombinedBandsMatchesTheBandDesigns) {
    for (int layout = 1; layout <= 5; ++layout) {
        for (int narrow = 0; narrow <= 1; ++narrow) {
            Rig rig;
            rig.set("General.QuantizationDither.Active", 0);
            rig.set("General.Processor.Active", 1);
            rig.set("Processor.Filterbank", layout);
            rig.set("Processor.NarrowBandwidth", narrow);
            rig.apply();
            const int bands = rig.state->bandCount;
            auto measurement = std::make_unique<ChainState>();
            ResponseCurve curve;
            measureResponse(*rig.state, *measurement, curve);
            for (int k = 0; k < kResponsePoints; ++k) {
                const double hz = responseFrequency(k);
                // Below 100 Hz the three measured blocks come before the band filters settle.
                if (hz < 100.0) continue;
                double sum = 0.0;
                for (int b = 0; b < bands; ++b) sum += bandPower(rig.state->splitBank, 2 * b, hz);
                const double expected = std::min(0.9999, std::pow(10.0, -0.3) * sum);
                EXPECT_NEAR(curve.peak[k], expected, 0.01 * expected + 1e-4)
                    << "layout " << layout << " narrow " << narrow << " at " << hz << " Hz";
            }
        }
    }
}

// Every stage on, as a loud preset would run them.
void everythingOn(Rig& rig, int layout) {
    for (const char* key :
         {"General.HighpassFilter.Active", "General.StereoImageProc.Active", "General.AGC.Active",
          "General.3BandEQ.Active", "General.ParametricEQ.Active", "General.Processor.Active",
          "General.DynamicEQ.Active", "General.Compressor.Active", "General.Expander.Active", "General.Limiter.Active",
          "General.Saturator.Active", "General.10BandEQ.Active", "General.FinalLimiter.Active",
          "General.FinalClipper.Active", "General.LowpassFilter.Active", "ParametricEQ.Enable2",
          "Saturator.Clip3.Enable", "Saturator.Refilter3", "Saturator.Refilter4"})
        rig.set(key, 1);
    rig.set("Processor.Filterbank", layout);
    rig.set("General.DensityDrive.dB", 6);
    rig.set("FinalClipper.Complex", 1);
}

TEST(WholeChain, ResponseWithEveryStageOnIsPlausible) {
    Rig rig;
    everythingOn(rig, 1);
    rig.apply();
    auto measurement = std::make_unique<ChainState>();
    ResponseCurve curve;
    measureResponse(*rig.state, *measurement, curve);
    double highest = 0.0;
    for (int k = 0; k < kResponsePoints; ++k) {
        ASSERT_TRUE(std::isfinite(curve.peak[k])) << k;
        EXPECT_GE(curve.peak[k], 0.0);
        EXPECT_LE(curve.peak[k], 0.9999 + 1e-12);
        highest = std::max(highest, curve.peak[k]);
    }
    EXPECT_GT(highest, 0.05);  // the chain passes sound
}

// Every meter and every state the chain carries from block to block.
void expectAllFinite(const ChainState& s, const std::string& context) {
    std::vector<double> values = {s.inputMeter,        s.outputMeter,       s.outputPeak,
                                  s.stereoEnhanceMeter, s.stereoWidth,       s.finalLimiterMeter,
                                  s.finalClipperMeter,  s.stereoImage.power, s.stereoImage.average,
                                  s.stereoImage.width,  s.agc.powerLow,      s.agc.powerHigh,
                                  s.agc.powerOut,       s.agc.gainLow,       s.agc.gainHigh,
                                  s.agc.protection,     s.finalClipper.depth, s.finalLimiter.instance.gain,
                                  s.finalLimiter.instance.envelope};
    for (int i = 0; i < 3; ++i) values.push_back(s.agcMeters[i]);
    for (int i = 0; i < kMaxBands; ++i) {
        for (const Number* m : {s.dynamicEqMeters, s.compressorMeters, s.expanderMeters, s.limiterMeters,
                                s.saturatorMeters})
            values.push_back(m[i]);
        values.push_back(s.dynamicEq.power[i]);
        values.push_back(s.dynamicEq.gain[i]);
        values.push_back(s.compressor.envelope[i]);
        values.push_back(s.compressor.gain[i]);
        values.push_back(s.expander.envelope[i]);
        values.push_back(s.expander.gain[i]);
        values.push_back(s.bandLimiter.gain[i]);
        values.push_back(s.bandLimiter.envelope[i]);
    }
    for (size_t i = 0; i < values.size(); ++i) ASSERT_TRUE(std::isfinite(values[i])) << context << " value " << i;
    for (const ReverseCascadeFilter* f : {&s.highpass, &s.agcLowpass, &s.agcHighpass, &s.parametric[0],
                                          &s.parametric[1], &s.lowpass[0], &s.lowpass[1]})
        for (int c = 0; c < 2; ++c) {
            const SectionState st = channelState(f->state, c);
            ASSERT_TRUE(std::isfinite(st.y1 + st.y2 + st.x1 + st.x2)) << context;
        }
}

TEST(WholeChain, RandomParametersInsideAndFarOutsideTheirRangesKeepEverythingFinite) {
    Random random;
    random.seed(2024);
    auto uniform = [&] { return random.next() / 32767.0; };
    for (int trial = 0; trial < 40; ++trial) {
        Rig rig;
        rig.table.forEachKeyed([&](const ParameterRecord& r) {
            const double pick = uniform();
            double v;
            if (r.kind == ControlKind::Switch)
                v = pick < 0.6 ? 1.0 : 0.0;
            else if (trial % 2 == 0 || pick < 0.5)
                v = r.minimum + (r.maximum - r.minimum) * uniform();  // inside the range (positions for L)
            else {
                const double wild[] = {0.0, -1.0, -1e9, 1e9, -1e300, 1e300, 1e-300, -0.5};
                v = wild[random.next() % 8];
            }
            if (r.isFrequencySlider() && (trial % 2 == 0 || pick < 0.5)) v = 20.0 * std::pow(2.0, v / 100.0);
            r.assign(v);
        });
        rig.set("General.MainBypass", 0);
        rig.apply();
        std::vector<int16_t> buffer(2 * 576);
        for (int block = 0; block < 24; ++block) {
            for (int16_t& s : buffer) s = static_cast<int16_t>(random.next() * 2 - 32768);
            if (block % 8 == 7) std::fill(buffer.begin(), buffer.end(), 0);
            if (block == 12) rig.clock.now += 7000;  // a gap reset in the middle
            test::runStereo(buffer, *rig.state);
            expectAllFinite(*rig.state, "trial " + std::to_string(trial) + " block " + std::to_string(block));
        }
    }
}

TEST(WholeChain, BandCountFollowsTheLayout) {
    // With a three-band layout, bands 4..10 neither run nor publish meters.
    Rig rig;
    everythingOn(rig, 5);
    rig.apply();
    ASSERT_EQ(rig.state->bandCount.load(), 3);
    for (int i = 0; i < kMaxBands; ++i) rig.state->compressorMeters[i] = -7.0;
    std::vector<int16_t> buffer(2 * 576, 3000);
    test::runStereo(buffer, *rig.state);
    for (int i = 0; i < 3; ++i) EXPECT_NE(rig.state->compressorMeters[i].load(), -7.0) << i;
    for (int i = 3; i < kMaxBands; ++i) EXPECT_EQ(rig.state->compressorMeters[i].load(), -7.0) << i;
}

TEST(WholeChain, SaturatorBlockEndMetersFollowTheSaturatorSwitchAlone) {
    // The processor is off, so nothing was clipped: an active saturator
    // publishes dB(0 / ceiling + 1) = 0 dB at the block end, replacing what the
    // meters showed before; an inactive one leaves them to the coefficient update.
    Rig rig;
    rig.set("General.Saturator.Active", 1);
    for (int band = 1; band <= kMaxBands; ++band) rig.set("Saturator.Clip" + std::to_string(band) + ".Enable", 1);
    rig.apply();
    ASSERT_EQ(rig.state->params.general.processorActive.load(), 0);
    for (int i = 0; i < kMaxBands; ++i) rig.state->saturatorMeters[i] = 9.0;
    std::vector<int16_t> buffer(2 * 576, 3000);
    test::runStereo(buffer, *rig.state);
    for (int i = 0; i < rig.state->bandCount.load(); ++i) EXPECT_EQ(rig.state->saturatorMeters[i].load(), 0.0) << i;

    rig.set("General.Saturator.Active", 0);
    for (int i = 0; i < kMaxBands; ++i) rig.state->saturatorMeters[i] = 9.0;
    test::runStereo(buffer, *rig.state);
    for (int i = 0; i < kMaxBands; ++i) EXPECT_EQ(rig.state->saturatorMeters[i].load(), 9.0) << i;
}

}  // namespace
}  // namespace qx

namespace qx {
namespace {

TEST(WholeChain, FloatBlocksRunTheSameArithmeticWithoutQuantising) {
    // Every stage on: 16-bit samples through both entries agree to the
    // output's truncation, and the float entry keeps what lies between steps.
    Rig a;
    Rig b;
    for (Rig* rig : {&a, &b}) {
        for (const char* stage : {"HighpassFilter", "StereoImageProc", "AGC", "3BandEQ", "ParametricEQ", "Processor",
                                  "DynamicEQ", "Compressor", "Expander", "Limiter", "Saturator", "10BandEQ",
                                  "FinalLimiter", "FinalClipper", "LowpassFilter"})
            rig->set(std::string("General.") + stage + ".Active", 1);
        rig->set("General.QuantizationDither.Active", 0);
        rig->apply();
    }
    constexpr int kFrames = 576;
    std::vector<int16_t> interleaved(2 * kFrames);
    std::vector<float> left(kFrames), right(kFrames);
    int between = 0;
    for (int block = 0; block < 200; ++block) {
        for (int i = 0; i < kFrames; ++i) {
            const double t = (block * kFrames + i) / 44100.0;
            interleaved[2 * i] = static_cast<int16_t>(12000.0 * std::sin(2 * kPi * 220.0 * t));
            interleaved[2 * i + 1] = static_cast<int16_t>(9000.0 * std::sin(2 * kPi * 3300.0 * t));
            left[i] = interleaved[2 * i] / 32768.0f;
            right[i] = interleaved[2 * i + 1] / 32768.0f;
        }
        test::runStereo(interleaved, *a.state);
        ASSERT_EQ(processFloatBlock(left.data(), right.data(), kFrames, 2, *b.state), kFrames);
        for (int i = 0; i < kFrames; ++i) {
            for (const auto& [v, s] : {std::pair{left[i], interleaved[2 * i]}, std::pair{right[i], interleaved[2 * i + 1]}}) {
                ASSERT_LE(std::fabs(v), 0.9999f);
                ASSERT_NEAR(v * 32768.0, s, 1.0) << "block " << block << " frame " << i;
                if (std::trunc(v * 32768.0) != v * 32768.0) ++between;
            }
        }
    }
    EXPECT_GT(between, 1000);
}

}  // namespace
}  // namespace qx
