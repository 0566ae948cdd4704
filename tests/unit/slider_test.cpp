#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "params/slider.h"

namespace qx {
namespace {

ParameterRecord linear(ControlKind kind, int32_t decimals, double lo, double hi, double tick, double line,
                       double page) {
    ParameterRecord r;
    r.kind = kind;
    r.decimals = decimals;
    r.minimum = lo;
    r.maximum = hi;
    r.tickSpacing = tick;
    r.lineStep = line;
    r.pageStep = page;
    return r;
}

ParameterRecord frequencyScale(double top) {
    ParameterRecord r = linear(ControlKind::VerticalSlider, -1, 0, top, 7, 3, 9);  // steps are ignored
    return r;
}

TEST(LinearSlider, OneDecimalPositions) {
    const auto h = linear(ControlKind::HorizontalSlider, 1, -24, 24, 6, 0.1, 1);
    EXPECT_EQ(sliderPosition(h, 0.0), 240);
    EXPECT_EQ(sliderPosition(h, 0.3), 243) << "0.3 must not land one step low";
    EXPECT_EQ(sliderPosition(h, -24.0), 0);
    EXPECT_EQ(sliderPosition(h, 24.0), 480);

    const auto v = linear(ControlKind::VerticalSlider, 1, -24, 24, 6, 0.1, 1);
    const SliderRange range = sliderRange(v);
    EXPECT_EQ(range.minPos, -240);
    EXPECT_EQ(range.maxPos, 240);
    EXPECT_EQ(range.range, 480);
    EXPECT_EQ(range.tickFrequency, 60);
    EXPECT_EQ(range.lineSize, 1);
    EXPECT_EQ(range.pageSize, 10);
    EXPECT_EQ(sliderPosition(v, -6.0), 300);
    EXPECT_EQ(sliderValue(v, 300), -6.0);
    EXPECT_EQ(sliderPosition(v, 24.0), 0) << "the top of a vertical slider is the maximum";
    // One arrow step up from 0.0.
    EXPECT_NEAR(sliderValue(v, 239), 0.1, 1e-12);
    EXPECT_EQ(sliderValue(v, 239), 24.0 - 23.9);
    EXPECT_EQ(sliderValue(h, 243), -24.0 + 24.3);
}

TEST(LinearSlider, RangeSetupTruncates) {
    // Density drive: -12..36 dB in 0.1 dB steps, ticks every 6 dB.
    const auto drive = linear(ControlKind::HorizontalSlider, 1, -12, 36, 6, 0.1, 1);
    const SliderRange r = sliderRange(drive);
    EXPECT_EQ(r.range, 480);
    EXPECT_EQ(r.tickFrequency, 60);
    EXPECT_EQ(r.lineSize, 1);
    EXPECT_EQ(r.pageSize, 10);
    EXPECT_EQ(sliderPosition(drive, 0.0), 120);

    // Octave bandwidth: two decimals, tick spacing truncated before scaling.
    const auto bw = linear(ControlKind::VerticalSlider, 2, 0.1, 10, 2.7, 0.01, 1);
    const SliderRange b = sliderRange(bw);
    EXPECT_EQ(b.minPos, 10);
    EXPECT_EQ(b.maxPos, 1000);
    EXPECT_EQ(b.range, 990);
    EXPECT_EQ(b.tickFrequency, 200);
    EXPECT_EQ(b.lineSize, 1);
    EXPECT_EQ(b.pageSize, 100);
    EXPECT_EQ(sliderPosition(bw, 2.0), 800);
    EXPECT_EQ(valueText(bw, 2.0), "2.00");
}

TEST(LinearSlider, DisplayClampsButNeverTheValue) {
    const auto v = linear(ControlKind::VerticalSlider, 0, 0, 100, 10, 1, 10);
    EXPECT_EQ(sliderPosition(v, 150.0), 0);
    EXPECT_EQ(valueText(v, 150.0), "100");
    EXPECT_EQ(sliderPosition(v, -5.0), 100);
    EXPECT_EQ(valueText(v, -5.0), "0");
    // Bad numbers do not crash and show at an end.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(sliderPosition(v, nan), 100);
    EXPECT_EQ(sliderPosition(v, inf), 0);
    EXPECT_EQ(sliderPosition(v, -inf), 100);
    EXPECT_EQ(valueText(linear(ControlKind::VerticalSlider, 1, -24, 24, 6, 0.1, 1), -6.0), "-6.0");
}

TEST(FrequencySlider, ScaleSearchAndReadBack) {
    const auto f = frequencyScale(1000);
    const SliderRange r = sliderRange(f);
    EXPECT_EQ(r.minPos, 0);
    EXPECT_EQ(r.maxPos, 1000);
    EXPECT_EQ(r.range, 1000);
    EXPECT_EQ(r.tickFrequency, 100);
    EXPECT_EQ(r.lineSize, 1);
    EXPECT_EQ(r.pageSize, 100);

    // 200 Hz: step 333 (about 201.1 Hz) is the first not below it.
    EXPECT_LT(frequencyAtStep(332), 200.0);
    EXPECT_EQ(sliderPosition(f, 200.0), 667);
    const double back = sliderValue(f, 667);
    EXPECT_NEAR(back, 201.1, 0.05);
    EXPECT_NE(back, 200.0);
    EXPECT_EQ(valueText(f, back), "201");

    EXPECT_EQ(sliderPosition(f, 640.0), 500);
    EXPECT_EQ(sliderValue(f, 500), 640.0);
    EXPECT_EQ(sliderPosition(f, 20.0), 1000);
    EXPECT_EQ(sliderPosition(f, 20480.0), 0);
    EXPECT_EQ(sliderValue(f, 0), 20480.0);

    // 18000 Hz sits 18 positions from the top; its neighbours are grid points.
    EXPECT_EQ(sliderPosition(f, 18000.0), 18);
    EXPECT_EQ(valueText(f, 18000.0), "18000");
    EXPECT_NEAR(sliderValue(f, 19), 17953.0, 1.0);
    EXPECT_NEAR(sliderValue(f, 17), 18204.0, 1.0);

    EXPECT_EQ(sliderPosition(frequencyScale(400), 30.0), 341);
}

TEST(FrequencySlider, OutsideTheScale) {
    const auto f = frequencyScale(850);
    EXPECT_NEAR(sliderValue(f, 0), 7240.77, 0.01);
    // Above the top the search runs past it; the trackbar pins -1 to its top.
    EXPECT_EQ(sliderPosition(f, 10000.0), -1);
    EXPECT_EQ(valueText(f, 10000.0), "10000") << "frequency labels are not clamped";
    EXPECT_EQ(sliderPosition(f, 5.0), 850);
    EXPECT_EQ(sliderPosition(f, 0.0), 850);
    EXPECT_EQ(sliderPosition(f, std::numeric_limits<double>::quiet_NaN()), -1);
}

TEST(Meter, PositionSaturatesAndTextShowsTheTrueValue) {
    ParameterRecord m;
    m.kind = ControlKind::Meter;
    m.minimum = 0;
    m.maximum = 24;
    EXPECT_EQ(meterPosition(m, 0.0), 0);
    EXPECT_EQ(meterPosition(m, 12.0), 500);
    EXPECT_EQ(meterPosition(m, 0.0239), 0);
    EXPECT_EQ(meterPosition(m, 0.025), 1);
    EXPECT_EQ(meterPosition(m, 24.0), 1000);
    EXPECT_EQ(meterPosition(m, 30.0), 1000);
    EXPECT_EQ(meterPosition(m, -5.0), 0);
    EXPECT_EQ(meterPosition(m, std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(meterPosition(m, std::numeric_limits<double>::infinity()), 1000);
    EXPECT_EQ(valueText(m, 30.4), "30");

    m.minimum = -12;
    m.maximum = 12;
    EXPECT_EQ(meterPosition(m, 0.0), 500);
    EXPECT_EQ(meterPosition(m, -12.0), 0);
    EXPECT_EQ(valueText(m, -3.0), "-3");

    m.minimum = m.maximum = 5;  // an empty range never divides into a crash
    EXPECT_EQ(meterPosition(m, 5.0), 0);
}

TEST(Slider, SwitchesHaveNoPositionOrText) {
    ParameterRecord s;
    s.kind = ControlKind::Switch;
    EXPECT_EQ(sliderPosition(s, 1.0), 0);
    EXPECT_EQ(valueText(s, 1.0), "");
    EXPECT_EQ(sliderRange(s).range, 0);
}

// Every position of every catalogued slider reads back to itself, so a value
// taken from a slider is always redrawn where the user left it.
TEST(Slider, EveryCataloguedPositionRoundTrips) {
    auto state = std::make_unique<ChainState>();
    const ParameterTable table = buildParameterTable(*state);
    int sliders = 0;
    for (const auto& g : table.groups) {
        for (const auto& r : g.records) {
            if (r.kind != ControlKind::VerticalSlider && r.kind != ControlKind::HorizontalSlider) continue;
            ++sliders;
            const SliderRange range = sliderRange(r);
            ASSERT_GT(range.range, 0) << r.key;
            for (int32_t p = 0; p <= range.range; ++p) {
                const double v = sliderValue(r, p);
                ASSERT_EQ(sliderPosition(r, v), p) << g.name << " " << r.key << " at " << p;
                if (!r.isFrequencySlider()) {
                    ASSERT_GE(v, r.minimum - 1e-9) << r.key;
                    ASSERT_LE(v, r.maximum + 1e-9) << r.key;
                }
            }
        }
    }
    EXPECT_EQ(sliders, 271);  // 269 keyed and the two test tone sliders
}

TEST(Slider, CataloguedEdgeCases) {
    auto state = std::make_unique<ChainState>();
    const ParameterTable table = buildParameterTable(*state);

    // Filterbank default 0 lies below 1..5: the variable keeps 0, the slider shows 1.
    const ParameterRecord* layout = table.find("Processor.Filterbank");
    ASSERT_NE(layout, nullptr);
    EXPECT_EQ(layout->value(), 0.0);
    EXPECT_EQ(sliderRange(*layout).range, 4);
    EXPECT_EQ(sliderPosition(*layout, layout->value()), 4);
    EXPECT_EQ(valueText(*layout, layout->value()), "1");

    // A file value above the maximum stays in the variable.
    const ParameterRecord* level = table.find("AGC.Level.%");
    ASSERT_NE(level, nullptr);
    level->assign(150.0);
    EXPECT_EQ(state->params.agc.levelPct.load(), 150.0);
    EXPECT_EQ(sliderPosition(*level, level->value()), 0);
    EXPECT_EQ(valueText(*level, level->value()), "100");
    EXPECT_EQ(state->params.agc.levelPct.load(), 150.0);

    const ParameterRecord* lowpass = table.find("LowpassFilter.Cutoff.Hz");
    ASSERT_NE(lowpass, nullptr);
    EXPECT_EQ(sliderPosition(*lowpass, lowpass->value()), 18);
    const ParameterRecord* highpass = table.find("HighpassFilter.Cutoff.Hz");
    ASSERT_NE(highpass, nullptr);
    EXPECT_EQ(sliderPosition(*highpass, highpass->value()), 341);
    const ParameterRecord* drive = table.find("General.DensityDrive.dB");
    ASSERT_NE(drive, nullptr);
    EXPECT_EQ(sliderPosition(*drive, drive->value()), 120);
    const ParameterRecord* gate = table.find("Compressor.GateRelease.msec");
    ASSERT_NE(gate, nullptr);
    EXPECT_EQ(sliderPosition(*gate, gate->value()), 10000);
    EXPECT_EQ(sliderRange(*gate).tickFrequency, 5000);
}

}  // namespace
}  // namespace qx
