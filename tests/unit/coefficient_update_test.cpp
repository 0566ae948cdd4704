#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "engine/coefficient_update.h"
#include "engine/stage_setups.h"
#include "params/parameter_table.h"

namespace qx {
namespace {

constexpr double kSentinel = 12345.0;

struct Fixture {
    std::unique_ptr<ChainState> state = std::make_unique<ChainState>();
    ParameterTable table;

    Fixture() {
        table = buildParameterTable(*state);
        designAtStartup(*state);
        updateCoefficients(*state, true);
    }
    void set(const std::string& key, double v) { table.find(key)->assign(v); }
};

// Marks every record the update may redesign, so a rewrite can be seen.
void markAll(ChainState& s) {
    for (ReverseCascadeFilter* f : {&s.highpass, &s.agcLowpass, &s.agcHighpass, &s.parametric[0], &s.parametric[1],
                                    &s.lowpass[0], &s.lowpass[1]})
        f->b0 = kSentinel;
    s.threeBandLeft.c1 = kSentinel;
    s.threeBandRight.c1 = kSentinel;
    s.splitBank.b0[0] = kSentinel;
    s.refilterBank.b0[0] = kSentinel;
}

struct Rewritten {
    bool highpass, agc, threeBand, parametric, filterbank, lowpass;
    bool operator==(const Rewritten&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Rewritten& r) {
    return os << "highpass " << r.highpass << " agc " << r.agc << " threeBand " << r.threeBand << " parametric "
              << r.parametric << " filterbank " << r.filterbank << " lowpass " << r.lowpass;
}

Rewritten rewritten(const ChainState& s) {
    auto changed = [](const Number& n) { return n.load() != kSentinel; };
    Rewritten r{changed(s.highpass.b0), changed(s.agcLowpass.b0), changed(s.threeBandLeft.c1),
                changed(s.parametric[0].b0), changed(s.splitBank.b0[0]), changed(s.lowpass[0].b0)};
    // Records of one group always move together.
    EXPECT_EQ(changed(s.agcLowpass.b0), changed(s.agcHighpass.b0));
    EXPECT_EQ(changed(s.threeBandLeft.c1), changed(s.threeBandRight.c1));
    EXPECT_EQ(changed(s.parametric[0].b0), changed(s.parametric[1].b0));
    EXPECT_EQ(changed(s.splitBank.b0[0]), changed(s.refilterBank.b0[0]));
    EXPECT_EQ(changed(s.lowpass[0].b0), changed(s.lowpass[1].b0));
    return r;
}

TEST(CoefficientUpdate, RedesignsExactlyTheGroupsWhoseInputsChanged) {
    struct Case {
        const char* key;
        double value;
        Rewritten expected;
    } cases[] = {
        {nullptr, 0.0, {false, false, false, false, false, false}},
        {"HighpassFilter.Cutoff.Hz", 80.0, {true, false, false, false, false, false}},
        {"AGC.Crossover", 250.0, {false, true, false, false, false, false}},
        {"3BandEQ.Crossover.L-M", 300.0, {false, false, true, false, false, false}},
        {"3BandEQ.Crossover.M-H", 3000.0, {false, false, true, false, false, false}},
        {"ParametricEQ.Freq1.Hz", 500.0, {false, false, false, true, false, false}},
        {"ParametricEQ.Bandwidth1.Octaves", 1.0, {false, false, false, true, false, false}},
        {"ParametricEQ.Gain1.dB", 3.0, {false, false, false, true, false, false}},
        {"ParametricEQ.Peaking1", 1.0, {false, false, false, true, false, false}},
        {"ParametricEQ.Freq2.Hz", 900.0, {false, false, false, true, false, false}},
        {"ParametricEQ.Bandwidth2.Octaves", 0.5, {false, false, false, true, false, false}},
        {"ParametricEQ.Gain2.dB", -2.0, {false, false, false, true, false, false}},
        {"ParametricEQ.Peaking2", 1.0, {false, false, false, true, false, false}},
        {"Processor.NarrowBandwidth", 1.0, {false, false, false, false, true, false}},
        {"Processor.Filterbank", 3.0, {false, false, false, false, false, false}},
        {"LowpassFilter.Cutoff.Hz", 15000.0, {false, false, false, false, false, true}},
        // Values that do not belong to any design change none.
        {"3BandEQ.Band1.dB", 6.0, {false, false, false, false, false, false}},
        {"10BandEQ.Band4.dB", -3.0, {false, false, false, false, false, false}},
        {"ParametricEQ.Enable2", 1.0, {false, false, false, false, false, false}},
    };
    for (const Case& c : cases) {
        Fixture fx;
        if (c.key) fx.set(c.key, c.value);
        markAll(*fx.state);
        updateCoefficients(*fx.state, false);
        EXPECT_EQ(rewritten(*fx.state), c.expected) << (c.key ? c.key : "no change");
        // A second call sees nothing new.
        markAll(*fx.state);
        updateCoefficients(*fx.state, false);
        EXPECT_EQ(rewritten(*fx.state), (Rewritten{false, false, false, false, false, false}))
            << (c.key ? c.key : "no change");
    }
    Fixture fx;
    markAll(*fx.state);
    updateCoefficients(*fx.state, true);
    EXPECT_EQ(rewritten(*fx.state), (Rewritten{true, true, true, true, true, true}));
}

TEST(CoefficientUpdate, FilterbankLayoutFollowsOnlyTheNarrowFlagOrAFullUpdate) {
    Fixture fx;
    ASSERT_EQ(fx.state->bandCount.load(), 10);
    fx.set("Processor.Filterbank", 2.0);  // a 5-band layout
    updateCoefficients(*fx.state, false);
    EXPECT_EQ(fx.state->bandCount.load(), 10);
    updateCoefficients(*fx.state, true);
    EXPECT_EQ(fx.state->bandCount.load(), 5);
    fx.set("Processor.Filterbank", 5.0);
    fx.set("Processor.NarrowBandwidth", 1.0);
    updateCoefficients(*fx.state, false);
    EXPECT_EQ(fx.state->bandCount.load(), 3);
    EXPECT_EQ(fx.state->storedNarrow, 1);
    // 0 (the declared default) and absurd values select layout 1.
    for (double layout : {0.0, 1.9, -7.0, 1e300, std::nan("")}) {
        fx.set("Processor.Filterbank", layout);
        updateCoefficients(*fx.state, true);
        EXPECT_EQ(fx.state->bandCount.load(), 10) << layout;
    }
}

TEST(CoefficientUpdate, UpdatesNeverClearAudioInFlight) {
    Fixture fx;
    ChainState& s = *fx.state;
    s.highpass.line[100][0] = 0.5;
    lineFrameAt(s.splitBank, 100)[3] = 0.25;
    s.lowpass[1].line[5000][1] = -0.125;
    s.highpass.indices[0].write = 4200;
    fx.set("HighpassFilter.Cutoff.Hz", 100.0);
    fx.set("Processor.NarrowBandwidth", 1.0);
    fx.set("LowpassFilter.Cutoff.Hz", 12000.0);
    updateCoefficients(s, true);
    EXPECT_EQ(s.highpass.line[100][0], 0.5);
    EXPECT_EQ(lineFrameAt(s.splitBank, 100)[3], 0.25);
    EXPECT_EQ(s.lowpass[1].line[5000][1], -0.125);
    EXPECT_EQ(s.highpass.indices[0].write, 4200);
}

TEST(CoefficientUpdate, GainSetsFollowTheirSliders) {
    Fixture fx;
    ChainState& s = *fx.state;
    fx.set("10BandEQ.Preamp.dB", 6.0);
    fx.set("10BandEQ.Band3.dB", -6.0);
    fx.set("10BandEQ.Band7.Mute", 1.0);
    fx.set("3BandEQ.Band1.dB", 12.0);
    fx.set("3BandEQ.Band3.Mute", 1.0);
    updateCoefficients(s, false);
    const double preamp = std::pow(10.0, 0.3);
    EXPECT_DOUBLE_EQ(s.tenBandEqGains[0].load(), preamp);
    for (int band = 1; band <= 10; ++band) {
        double expected = band == 3 ? std::pow(10.0, -0.3) * preamp : band == 7 ? 0.0 : preamp;
        EXPECT_DOUBLE_EQ(s.tenBandEqGains[band].load(), expected) << band;
    }
    for (const ThreeBandState* t : {&s.threeBandLeft, &s.threeBandRight}) {
        EXPECT_DOUBLE_EQ(t->gLow.load(), std::pow(10.0, 0.6));
        EXPECT_DOUBLE_EQ(t->gMid.load(), 1.0);
        EXPECT_EQ(t->gHigh.load(), 0.0);
    }
}

TEST(CoefficientUpdate, ClearsTheMetersOfInactiveStages) {
    Fixture fx;
    ChainState& s = *fx.state;
    auto fillMeters = [&] {
        s.stereoEnhanceMeter = 1.0;
        for (auto& m : s.agcMeters) m = 1.0;
        for (int i = 0; i < kMaxBands; ++i) {
            s.dynamicEqMeters[i] = 1.0;
            s.compressorMeters[i] = 1.0;
            s.expanderMeters[i] = 1.0;
            s.limiterMeters[i] = 1.0;
            s.saturatorMeters[i] = 1.0;
        }
        s.finalLimiterMeter = 1.0;
        s.finalClipperMeter = 1.0;
    };
    // Everything off: every meter drops to zero, even on a call that redesigns nothing.
    fillMeters();
    updateCoefficients(s, false);
    EXPECT_EQ(s.stereoEnhanceMeter.load(), 0.0);
    EXPECT_EQ(s.agcMeters[0].load(), 0.0);
    EXPECT_EQ(s.compressorMeters[9].load(), 0.0);
    EXPECT_EQ(s.saturatorMeters[0].load(), 0.0);
    EXPECT_EQ(s.finalClipperMeter.load(), 0.0);

    for (const char* key : {"General.StereoImageProc.Active", "General.AGC.Active", "AGC.SingleBand",
                            "General.Processor.Active", "General.DynamicEQ.Active", "General.Compressor.Active",
                            "General.Saturator.Active", "Saturator.Clip2.Enable", "General.FinalLimiter.Active",
                            "General.FinalClipper.Active"})
        fx.set(key, 1.0);
    fillMeters();
    updateCoefficients(s, false);
    EXPECT_EQ(s.stereoEnhanceMeter.load(), 1.0);
    EXPECT_EQ(s.agcMeters[0].load(), 1.0);  // single band keeps the first
    EXPECT_EQ(s.agcMeters[1].load(), 0.0);
    EXPECT_EQ(s.agcMeters[2].load(), 0.0);
    EXPECT_EQ(s.dynamicEqMeters[4].load(), 1.0);
    EXPECT_EQ(s.compressorMeters[4].load(), 1.0);
    EXPECT_EQ(s.expanderMeters[4].load(), 0.0);  // expander off
    EXPECT_EQ(s.limiterMeters[4].load(), 0.0);   // limiter off
    EXPECT_EQ(s.saturatorMeters[0].load(), 0.0);  // clip 1 off
    EXPECT_EQ(s.saturatorMeters[1].load(), 1.0);
    EXPECT_EQ(s.finalLimiterMeter.load(), 1.0);
    EXPECT_EQ(s.finalClipperMeter.load(), 1.0);

    fx.set("StereoImageProc.Mono", 1.0);
    fx.set("General.Processor.Active", 0.0);
    fillMeters();
    updateCoefficients(s, false);
    EXPECT_EQ(s.stereoEnhanceMeter.load(), 0.0);
    EXPECT_EQ(s.dynamicEqMeters[4].load(), 0.0);
    EXPECT_EQ(s.compressorMeters[4].load(), 0.0);
    EXPECT_EQ(s.saturatorMeters[1].load(), 0.0);
}

}  // namespace
}  // namespace qx
