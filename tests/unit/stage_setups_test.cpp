#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <memory>
#include <vector>

#include "chain_test_support.h"
#include "engine/coefficient_update.h"
#include "engine/stage_setups.h"
#include "params/parameter_table.h"

namespace qx {
namespace {

using test::ManualClock;

void expectDesign(const ReverseCascadeFilter& f, FilterType type, double gainDb, double hz, double octaves) {
    BiquadCoefficients c = designCoefficients(type, gainDb, hz, 44100.0, octaves);
    EXPECT_EQ(f.b0.load(), c.b0);
    EXPECT_EQ(f.b1.load(), c.b1);
    EXPECT_EQ(f.b2.load(), c.b2);
    EXPECT_EQ(f.a1.load(), c.a1);
    EXPECT_EQ(f.a2.load(), c.a2);
    EXPECT_EQ(f.gain.load(), c.gain);
}

// |H(e^jw)| of a record's coefficients, computed independently.
double magnitude(const ReverseCascadeFilter& f, double hz) {
    const std::complex<double> z = std::polar(1.0, -2.0 * 3.141592653589793 * hz / 44100.0);
    const std::complex<double> num = f.b0.load() + f.b1.load() * z + f.b2.load() * z * z;
    const std::complex<double> den = 1.0 + f.a1.load() * z + f.a2.load() * z * z;
    return std::abs(num / den);
}

struct Rig {
    std::unique_ptr<ChainState> state = std::make_unique<ChainState>();
    ParameterTable table = buildParameterTable(*state);
    void set(const char* key, double v) { table.find(key)->assign(v); }
};

TEST(StageSetups, StartupDesignsUsePlaceholdersAndClearEverything) {
    Rig s;
    ChainState& st = *s.state;
    st.highpass.line[7][0] = 1.0;
    lineFrameAt(st.splitBank, 7)[0] = 1.0;
    st.highpass.indices[1].read = 77;
    designAtStartup(st);
    expectDesign(st.highpass, FilterType::Highpass, 0.0, 25.0, 2.0);
    expectDesign(st.stereoHighpass, FilterType::Highpass, 0.0, 1000.0, 2.0);
    expectDesign(st.agcLowpass, FilterType::Lowpass, 0.0, 300.0, 1.9 - 300.0 / 52000.0);
    expectDesign(st.lowpass[0], FilterType::Lowpass, 0.0, 1000.0, 2.0 - 1000.0 / 11200.0);
    expectDesign(st.parametric[0], FilterType::LowShelf, 0.0, 200.0, 2.0);
    EXPECT_EQ(st.threeBandLeft.f1, 880.0);
    EXPECT_EQ(st.threeBandRight.f2, 5000.0);
    EXPECT_EQ(st.threeBandLeft.gMid.load(), 0.0);  // silent until the first update
    EXPECT_EQ(st.bandCount.load(), 10);
    EXPECT_EQ(st.highpass.line[7][0], 0.0);
    EXPECT_EQ(lineFrameAt(st.splitBank, 7)[0], 0.0);
    EXPECT_EQ(st.highpass.indices[1].read, 4096);
    EXPECT_EQ(st.highpass.indices[1].pending, 0);
    EXPECT_EQ(st.highpass.indices[1].write, 4096);
}

TEST(StageSetups, ShapesConstantsAndBandwidthRules) {
    Rig s;
    ChainState& st = *s.state;
    designAtStartup(st);
    designHighpass(st, false, 80.0);
    expectDesign(st.highpass, FilterType::Highpass, 0.0, 80.0, 2.0);
    EXPECT_EQ(st.designed.highpassCutoffHz, 80.0);

    // The AGC crossover's two sections share frequency and bandwidth.
    designAgcCrossover(st, false, 200.0);
    EXPECT_NEAR(agcCrossoverBandwidth(200.0), 1.896, 0.0005);
    EXPECT_NEAR(agcCrossoverBandwidth(2560.0), 1.851, 0.0005);
    expectDesign(st.agcLowpass, FilterType::Lowpass, 0.0, 200.0, agcCrossoverBandwidth(200.0));
    expectDesign(st.agcHighpass, FilterType::Highpass, 0.0, 200.0, agcCrossoverBandwidth(200.0));

    EXPECT_NEAR(lowpassBandwidth(18000.0), 0.393, 0.0005);
    EXPECT_NEAR(lowpassBandwidth(20480.0), 0.171, 0.0005);
    designLowpass(st, false, 18000.0);
    expectDesign(st.lowpass[0], FilterType::Lowpass, 0.0, 18000.0, lowpassBandwidth(18000.0));
    expectDesign(st.lowpass[1], FilterType::Lowpass, 0.0, 18000.0, lowpassBandwidth(18000.0));
}

TEST(StageSetups, ParametricSectionsAreHalfGainShelvesOrPeaks) {
    Rig s;
    ChainState& st = *s.state;
    designAtStartup(st);
    s.set("ParametricEQ.Gain1.dB", 6.0);
    s.set("ParametricEQ.Freq1.Hz", 300.0);
    s.set("ParametricEQ.Gain2.dB", -4.0);
    s.set("ParametricEQ.Peaking2", 0.0);
    designParametricEq(st, false);
    expectDesign(st.parametric[0], FilterType::LowShelf, 3.0, 300.0, 2.0);
    expectDesign(st.parametric[1], FilterType::LowShelf, -2.0, 200.0, 2.0);  // never a high shelf
    // Forward and backward: +6 dB at low frequencies, flat far above.
    const double low = magnitude(st.parametric[0], 20.0);
    EXPECT_NEAR(20.0 * std::log10(low * low), 6.0, 0.05);
    const double high = magnitude(st.parametric[0], 15000.0);
    EXPECT_NEAR(20.0 * std::log10(high * high), 0.0, 0.05);

    // A shelf ignores the bandwidth: a redesign gives identical coefficients.
    const double b0 = st.parametric[0].b0.load();
    s.set("ParametricEQ.Bandwidth1.Octaves", 0.3);
    designParametricEq(st, false);
    EXPECT_EQ(st.parametric[0].b0.load(), b0);

    s.set("ParametricEQ.Peaking1", 1.0);
    designParametricEq(st, false);
    expectDesign(st.parametric[0], FilterType::Peaking, 3.0, 300.0, 0.3);
    const double centre = magnitude(st.parametric[0], 300.0);
    EXPECT_NEAR(20.0 * std::log10(centre * centre), 6.0, 0.01);
}

TEST(StageSetups, DegenerateValuesFromFilesStayFiniteAndStable) {
    Rig s;
    ChainState& st = *s.state;
    designAtStartup(st);
    // Above the slider top the lowpass is held at 20480 Hz instead of ringing.
    for (double cutoff : {22400.0, 30000.0, 1e12}) {
        designLowpass(st, false, cutoff);
        EXPECT_EQ(st.designed.lowpassCutoffHz, cutoff);
        expectDesign(st.lowpass[0], FilterType::Lowpass, 0.0, 20480.0, lowpassBandwidth(20480.0));
    }
    for (double hz : {0.0, -50.0, 22050.0, 44100.0, 1e9}) {
        designHighpass(st, false, hz);
        designAgcCrossover(st, false, hz);
        designLowpass(st, false, hz);
        s.set("ParametricEQ.Freq1.Hz", hz);
        s.set("ParametricEQ.Bandwidth1.Octaves", hz > 0 ? 0.0 : -3.0);
        s.set("ParametricEQ.Peaking1", 1.0);
        designParametricEq(st, false);
        for (const ReverseCascadeFilter* f : {&st.highpass, &st.agcLowpass, &st.agcHighpass, &st.lowpass[0],
                                              &st.parametric[0]}) {
            // Poles inside the unit circle: |a2| < 1 and |a1| < 1 + a2.
            EXPECT_LT(std::fabs(f->a2.load()), 1.0) << hz;
            EXPECT_LT(std::fabs(f->a1.load()), 1.0 + f->a2.load()) << hz;
            EXPECT_TRUE(std::isfinite(f->b0.load() + f->b1.load() + f->b2.load() + f->gain.load())) << hz;
        }
    }
}

// The chain runs each filter stage on its Active flag, with the 8192-frame
// delay of a reverse-cascaded section and parametric section 2 only on Enable2.
TEST(ChainFilters, StagesRunOnTheirFlagsWithTheirDelays) {
    ManualClock clock;
    auto state = test::makeState(clock);
    ParameterTable table = buildParameterTable(*state);
    designAtStartup(*state);
    table.find("General.QuantizationDither.Active")->assign(0);
    auto impulseDelay = [&](const char* flag) {
        table.find(flag)->assign(1);
        updateCoefficients(*state, true);
        state->lastBlockTime = 0;  // like a preset load: clear filters on the next block
        std::vector<int16_t> buffer(2 * 20000, 0);
        buffer[0] = 16384;
        buffer[1] = 16384;
        test::runStereo(buffer, *state);
        table.find(flag)->assign(0);
        int peakAt = 0;
        for (int i = 0; i < 20000; ++i)
            if (std::abs(buffer[2 * i]) > std::abs(buffer[2 * peakAt])) peakAt = i;
        return peakAt;
    };
    EXPECT_EQ(impulseDelay("General.HighpassFilter.Active"), 8192);
    EXPECT_EQ(impulseDelay("General.ParametricEQ.Active"), 8192);
    table.find("ParametricEQ.Enable2")->assign(1);
    EXPECT_EQ(impulseDelay("General.ParametricEQ.Active"), 2 * 8192);
    EXPECT_EQ(impulseDelay("General.LowpassFilter.Active"), 2 * 8192);
    EXPECT_EQ(impulseDelay("General.3BandEQ.Active"), 3);
}

TEST(ChainFilters, GapResetClearsEveryFilterAndBothBanks) {
    ManualClock clock;
    auto state = test::makeState(clock);
    ParameterTable table = buildParameterTable(*state);
    designAtStartup(*state);
    updateCoefficients(*state, true);
    std::vector<int16_t> buffer(2 * 576, 1000);
    test::runStereo(buffer, *state);
    std::vector<ReverseCascadeFilter*> filters = {&state->highpass,      &state->stereoHighpass, &state->agcLowpass,
                                                  &state->agcHighpass,   &state->parametric[0], &state->parametric[1],
                                                  &state->lowpass[0],    &state->lowpass[1]};
    for (ReverseCascadeFilter* f : filters) {
        f->line[3][0] = 0.5;
        f->state.y1[1] = 0.5;
    }
    lineFrameAt(state->splitBank, 3)[3] = 0.5;
    lineFrameAt(state->refilterBank, 3)[3] = 0.5;
    state->threeBandLeft.s1 = 0.5;
    clock.now += 5000;  // a short pause keeps everything
    test::runStereo(buffer, *state);
    EXPECT_EQ(state->highpass.line[3][0], 0.5);
    clock.now += 7000;
    test::runStereo(buffer, *state);
    for (ReverseCascadeFilter* f : filters) {
        EXPECT_EQ(f->line[3][0], 0.0);
        EXPECT_EQ(f->state.y1[1], 0.0);
    }
    EXPECT_EQ(lineFrameAt(state->splitBank, 3)[3], 0.0);
    EXPECT_EQ(lineFrameAt(state->refilterBank, 3)[3], 0.0);
    EXPECT_EQ(state->threeBandLeft.s1, 0.5);  // the three-band EQ keeps its state
}

}  // namespace
}  // namespace qx
