#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/random.h"
#include "filters/filterbank.h"

namespace qx {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kFs = 44100.0;
constexpr int kDelay = 8192;

// The layout tables, written out independently of the implementation.
struct Cell {
    double gainDb, octaves;
};
struct Band {
    const char* label;
    FilterType type;
    double hz;
    Cell wideSplit, wideRefilter, narrowSplit, narrowRefilter;
};
constexpr FilterType LP = FilterType::Lowpass;
constexpr FilterType HP = FilterType::Highpass;
constexpr FilterType BP = FilterType::Bandpass;

const std::vector<Band> kTables[5] = {
    {
        {"32", BP, 32, {-1.8, 1.7}, {1.4, 1.7}, {-0.9, 1.2}, {1.4, 1.2}},
        {"64", BP, 64, {-3.3, 1.8}, {1.8, 1.8}, {-2.0, 1.2}, {2.0, 1.2}},
        {"125", BP, 125, {-3.2, 1.7}, {2.0, 1.7}, {-2.0, 1.2}, {2.1, 1.2}},
        {"250", BP, 250, {-3.2, 1.7}, {2.0, 1.7}, {-2.0, 1.2}, {2.1, 1.2}},
        {"500", BP, 500, {-3.1, 1.7}, {2.0, 1.7}, {-2.0, 1.2}, {2.1, 1.2}},
        {"1K", BP, 1000, {-3.2, 1.7}, {2.0, 1.7}, {-2.0, 1.2}, {2.1, 1.2}},
        {"2K", BP, 2000, {-3.3, 1.8}, {2.0, 1.8}, {-2.0, 1.2}, {2.1, 1.2}},
        {"4K", BP, 4000, {-3.4, 1.8}, {2.0, 1.8}, {-2.4, 1.2}, {2.4, 1.2}},
        {"8K", BP, 8000, {-3.9, 1.8}, {1.7, 1.8}, {-3.5, 1.2}, {2.3, 1.2}},
        {"16K", BP, 16000, {-1.2, 1.2}, {1.1, 1.2}, {-0.8, 1.2}, {1.3, 1.2}},
    },
    {
        {"<2H", LP, 200, {-0.3, 1.9}, {0.3, 1.9}, {-0.3, 1.8}, {0.3, 1.8}},
        {"350", BP, 350, {-1.2, 2.0}, {1.7, 2.0}, {-1.1, 1.8}, {1.9, 1.8}},
        {"1K", BP, 1100, {-1.6, 2.0}, {1.8, 2.0}, {-1.1, 1.8}, {1.8, 1.8}},
        {"3K", BP, 3500, {-1.0, 2.0}, {1.5, 2.0}, {-0.9, 1.8}, {1.7, 1.8}},
        {">6K", HP, 6000, {-0.3, 1.7}, {0.3, 1.7}, {-0.3, 1.6}, {0.3, 1.6}},
    },
    {
        {"<1H", LP, 100, {0.0, 2.2}, {0.0, 1.5}, {-0.5, 1.7}, {0.4, 1.7}},
        {"260", BP, 230, {-0.4, 3.0}, {0.5, 4.0}, {-0.6, 2.8}, {1.5, 2.8}},
        {"1K", BP, 1000, {-2.3, 2.0}, {1.3, 3.0}, {-1.5, 2.0}, {1.8, 2.0}},
        {"3K", BP, 3500, {-1.1, 2.5}, {1.0, 3.5}, {-1.0, 2.0}, {1.6, 2.0}},
        {">6K", HP, 6000, {-0.3, 1.8}, {0.3, 1.6}, {-0.3, 1.7}, {0.5, 1.7}},
    },
    {
        {"<1H", LP, 100, {0.0, 2.2}, {0.0, 1.5}, {0.0, 2.2}, {0.0, 1.5}},
        {"260", BP, 230, {-0.4, 4.0}, {0.5, 5.0}, {-0.4, 3.0}, {0.5, 4.0}},
        {"1K", BP, 1000, {-2.3, 3.0}, {1.3, 4.0}, {-2.3, 2.0}, {1.3, 3.0}},
        {"3K", BP, 3500, {-1.1, 3.5}, {1.0, 4.5}, {-1.1, 2.5}, {1.0, 3.5}},
        {">6K", HP, 6000, {-0.3, 1.8}, {0.3, 1.6}, {-0.3, 1.8}, {0.3, 1.6}},
    },
    {
        {"<2H", LP, 200, {0.0, 2.2}, {0.0, 1.8}, {0.0, 2.2}, {0.0, 1.8}},
        {"450", BP, 450, {0.0, 3.0}, {0.3, 6.0}, {0.0, 3.0}, {0.3, 6.0}},
        {">3K", HP, 1000, {0.0, 2.2}, {0.0, 1.8}, {0.0, 2.2}, {0.0, 1.8}},
    },
};
const Band kSpare = {"", BP, 100, {0.0, 2.0}, {0.0, 2.0}, {0.0, 2.0}, {0.0, 2.0}};

const Band& tableBand(int layout, int band) {
    const std::vector<Band>& t = kTables[layout - 1];
    return band < static_cast<int>(t.size()) ? t[band] : kSpare;
}

// Power response g²·|H|² of one table cell, from the textbook form of the
// design (quality factor Q, alpha = sin(w0) / 2Q).
double bandPower(FilterType type, double hz, Cell cell, double atHz) {
    const double w0 = 2.0 * kPi * hz / kFs;
    const double q = 1.0 / (2.0 * std::sinh(std::log(2.0) / 2.0 * cell.octaves * w0 / std::sin(w0)));
    const double alpha = std::sin(w0) / (2.0 * q);
    const double cw = std::cos(w0);
    std::complex<double> b[3], a[3] = {1.0 + alpha, -2.0 * cw, 1.0 - alpha};
    switch (type) {
        case FilterType::Lowpass: b[0] = b[2] = (1.0 - cw) / 2.0; b[1] = 1.0 - cw; break;
        case FilterType::Highpass: b[0] = b[2] = (1.0 + cw) / 2.0; b[1] = -1.0 - cw; break;
        default: b[0] = std::sin(w0) / 2.0 / q; b[1] = 0.0; b[2] = -b[0]; break;
    }
    const std::complex<double> z1 = std::polar(1.0, -2.0 * kPi * atHz / kFs);
    const double h = std::abs((b[0] + b[1] * z1 + b[2] * z1 * z1) / (a[0] + a[1] * z1 + a[2] * z1 * z1));
    const double g = std::pow(10.0, cell.gainDb / 20.0);
    return g * g * h * h;
}

struct Filterbank {
    std::unique_ptr<ReverseCascadeBank> split = std::make_unique<ReverseCascadeBank>();
    std::unique_ptr<ReverseCascadeBank> refilter = std::make_unique<ReverseCascadeBank>();
    BandLabels labels{};
    int32_t bandCount = 0;
    uint8_t narrow = 0xAA;

    void layout(bool reset, uint8_t narrowFlag, int number) {
        layoutFilterbank(*split, *refilter, labels, bandCount, narrow, reset, narrowFlag, number);
    }
};

double noise(Random& r) { return (r.next() - 16384) / 16384.0; }

bool sameDesign(const ReverseCascadeBank& bank, int e, const BiquadCoefficients& k) {
    return bank.b0[e].load() == k.b0 && bank.b1[e].load() == k.b1 && bank.b2[e].load() == k.b2 &&
           bank.a1[e].load() == k.a1 && bank.a2[e].load() == k.a2 && bank.gain[e].load() == k.gain;
}

TEST(FilterbankLayout, CountsLabelsAndOutOfRangeNumbers) {
    Filterbank fb;
    const int expectedCount[] = {10, 5, 5, 5, 3};
    for (int layout = 1; layout <= 5; ++layout) {
        fb.layout(true, 0, layout);
        EXPECT_EQ(fb.bandCount, expectedCount[layout - 1]);
        EXPECT_EQ(bandCountOfLayout(layout), expectedCount[layout - 1]);
        for (int band = 0; band < kBankBands; ++band)
            EXPECT_STREQ(fb.labels[band].data(), tableBand(layout, band).label)
                << "layout " << layout << " band " << band;
    }
    Filterbank reference;
    reference.layout(true, 1, 1);
    for (int layout : {0, 6, -1, 1000}) {
        fb.layout(false, 1, 5);
        fb.layout(false, 1, layout);
        EXPECT_EQ(fb.bandCount, 10) << layout;
        EXPECT_STREQ(fb.labels[9].data(), "16K");
        for (int e = 0; e < kBankEntries; ++e) {
            EXPECT_EQ(fb.split->b0[e].load(), reference.split->b0[e].load());
            EXPECT_EQ(fb.refilter->gain[e].load(), reference.refilter->gain[e].load());
        }
    }
}

TEST(FilterbankLayout, SpareBandsAndNarrowVariants) {
    Filterbank fb;
    fb.layout(true, 1, 5);
    const BiquadCoefficients spare = designCoefficients(FilterType::Bandpass, 0.0, 100.0, kFs, 2.0);
    for (int band = 3; band < kBankBands; ++band) {
        EXPECT_STREQ(fb.labels[band].data(), "");
        for (int e = 2 * band; e < 2 * band + 2; ++e) {
            EXPECT_TRUE(sameDesign(*fb.split, e, spare)) << band;
            EXPECT_TRUE(sameDesign(*fb.refilter, e, spare)) << band;
        }
    }
    // Layout 5 has one variant; layout 1's differ.
    Filterbank wide;
    wide.layout(true, 0, 5);
    for (int e = 0; e < kBankEntries; ++e) EXPECT_EQ(fb.split->b0[e].load(), wide.split->b0[e].load());
    fb.layout(false, 1, 1);
    wide.layout(false, 0, 1);
    EXPECT_NE(fb.split->b0[0].load(), wide.split->b0[0].load());
    EXPECT_NE(fb.refilter->gain[2].load(), wide.refilter->gain[2].load());
    // Both channels of a band carry the same design.
    for (int band = 0; band < kBankBands; ++band) {
        EXPECT_EQ(fb.split->a1[2 * band].load(), fb.split->a1[2 * band + 1].load());
        EXPECT_EQ(fb.split->gain[2 * band].load(), fb.split->gain[2 * band + 1].load());
    }
}

TEST(FilterbankLayout, StoredNarrowFlagIsTheLastValuePassed) {
    Filterbank fb;
    fb.layout(true, 0, 1);
    EXPECT_EQ(fb.narrow, 0);
    fb.layout(false, 1, 3);
    EXPECT_EQ(fb.narrow, 1);
    fb.layout(false, 0, 7);
    EXPECT_EQ(fb.narrow, 0);
}

TEST(FilterbankLayout, NarrowSwitchKeepsAudioInFlight) {
    Filterbank fb;
    fb.layout(true, 0, 2);
    Random r;
    double outL[kBankBands], outR[kBankBands];
    for (int n = 0; n < 6000; ++n) {
        splitBands(fb.bandCount, noise(r), noise(r), *fb.split, outL, outR);
        refilterBands(fb.bandCount, outL, outR, *fb.refilter, outL, outR, 0xFFFFF);
    }
    for (ReverseCascadeBank* bank : {fb.split.get(), fb.refilter.get()}) {
        auto before = std::make_unique<ReverseCascadeBank>(*bank);
        const double b0 = bank->b0[2].load();
        fb.layout(false, 1, 2);
        fb.layout(false, 0, 2);
        fb.layout(false, 1, 2);
        EXPECT_NE(bank->b0[2].load(), b0);
        EXPECT_EQ(std::memcmp(&bank->indices, &before->indices, sizeof bank->indices), 0);
        EXPECT_EQ(std::memcmp(bank->lineLow, before->lineLow, sizeof bank->lineLow), 0);
        EXPECT_EQ(std::memcmp(bank->lineHigh, before->lineHigh, sizeof bank->lineHigh), 0);
        EXPECT_EQ(std::memcmp(bank->x1, before->x1, sizeof bank->x1), 0);
        EXPECT_EQ(std::memcmp(bank->y2, before->y2, sizeof bank->y2), 0);
        fb.layout(false, 0, 2);
    }
}

TEST(FilterbankReset, PositionsStatesAndLine) {
    auto bank = std::make_unique<ReverseCascadeBank>();
    std::memset(static_cast<void*>(bank.get()), 0x3f, sizeof *bank);
    resetBank(*bank);
    EXPECT_EQ(bank->indices.pending, 0);
    EXPECT_EQ(bank->indices.write, 4096);
    EXPECT_EQ(bank->indices.read, 4096);
    for (int e = 0; e < kBankEntries; ++e) {
        EXPECT_EQ(bank->x1[e], 0.0);
        EXPECT_EQ(bank->x2[e], 0.0);
        EXPECT_EQ(bank->y1[e], 0.0);
        EXPECT_EQ(bank->y2[e], 0.0);
    }
    for (int j = 0; j < kDelayLineLength; ++j)
        for (int e = 0; e < kBankEntries; ++e) ASSERT_EQ(lineFrameAt(*bank, j)[e], 0.0);

    // One band: only that band's states, but the whole line and the positions.
    std::memset(static_cast<void*>(bank.get()), 0x3f, sizeof *bank);
    const double dirty = bank->x1[0];
    resetBankBand(*bank, 3);
    EXPECT_EQ(bank->x1[6], 0.0);
    EXPECT_EQ(bank->y2[7], 0.0);
    EXPECT_EQ(bank->x1[5], dirty);
    EXPECT_EQ(bank->x1[8], dirty);
    EXPECT_EQ(bank->indices.write, 4096);
    EXPECT_EQ(lineFrameAt(*bank, 100)[19], 0.0);
    // A band number outside 0–9 touches nothing.
    bank->x1[0] = 5.0;
    resetBankBand(*bank, 10);
    designBankBand(*bank, -1, true, FilterType::Lowpass, 0.0, 100.0, kFs, 1.0);
    EXPECT_EQ(bank->x1[0], 5.0);
}

// The split bank and the refilter bank with every entry selected compute,
// entry by entry, exactly what a single section with the same design does.
TEST(FilterbankSteps, EveryBandMatchesASingleSectionBitForBit) {
    // Each layout with its own count, and layout 1 with 7 bands: a count of no
    // layout takes the loops sized at run time, across both parts of the line.
    const std::pair<int, int> cases[] = {{1, 10}, {2, 5}, {3, 5}, {4, 5}, {5, 3}, {1, 7}};
    for (const auto& [layout, count] : cases) {
        for (uint8_t narrow : {0, 1}) {
            Filterbank fb;
            fb.layout(true, narrow, layout);
            ASSERT_LE(count, fb.bandCount);
            std::vector<std::unique_ptr<ReverseCascadeFilter>> split, refilter;
            for (int band = 0; band < count; ++band) {
                const Band& b = tableBand(layout, band);
                const Cell s = narrow ? b.narrowSplit : b.wideSplit;
                const Cell r = narrow ? b.narrowRefilter : b.wideRefilter;
                split.push_back(std::make_unique<ReverseCascadeFilter>());
                refilter.push_back(std::make_unique<ReverseCascadeFilter>());
                designFilter(*split.back(), true, b.type, s.gainDb, b.hz, kFs, s.octaves);
                designFilter(*refilter.back(), true, b.type, r.gainDb, b.hz, kFs, r.octaves);
            }
            Random rng;
            BandSignals bands{};
            double refL[kBankBands], refR[kBankBands];
            // The refilter leaves band 0's left entry off, so its frames take
            // the masked path; that entry only passes, 8192 frames late.
            constexpr uint32_t kMask = 0xFFFFE;
            std::vector<double> passing;
            for (int n = 0; n < 4 * 4096 + 300; ++n) {
                const double left = noise(rng), right = noise(rng);
                splitBands(count, left, right, *fb.split, bands.left, bands.right);
                for (int band = 0; band < count; ++band) {
                    ASSERT_EQ(bands.left[band],
                              reverseCascadeStep(*split[band], Channel::Left, left, true))
                        << "layout " << layout << " narrow " << int(narrow) << " band " << band
                        << " frame " << n;
                    ASSERT_EQ(bands.right[band],
                              reverseCascadeStep(*split[band], Channel::Right, right, true));
                    refL[band] = band == 0 ? 0.0
                                           : reverseCascadeStep(*refilter[band], Channel::Left, bands.left[band], true);
                    refR[band] = reverseCascadeStep(*refilter[band], Channel::Right, bands.right[band], true);
                }
                passing.push_back(bands.left[0]);
                if (n >= kDelay) refL[0] = passing[n - kDelay];
                // In place, as the chain runs it.
                refilterBands(count, bands.left, bands.right, *fb.refilter, bands.left, bands.right, kMask);
                for (int band = 0; band < count; ++band) {
                    ASSERT_EQ(bands.left[band], refL[band]) << "refilter band " << band;
                    ASSERT_EQ(bands.right[band], refR[band]) << "refilter band " << band;
                }
            }
        }
    }
}

TEST(FilterbankSteps, RedesignUnderRunningAudioTakesEffectAtOnce) {
    Filterbank fb;
    fb.layout(true, 0, 3);
    auto section = std::make_unique<ReverseCascadeFilter>();
    const Band& b = tableBand(3, 2);
    designFilter(*section, true, b.type, b.wideSplit.gainDb, b.hz, kFs, b.wideSplit.octaves);
    Random rng;
    double outL[kBankBands], outR[kBankBands];
    for (int n = 0; n < 3 * 4096; ++n) {
        if (n == 5000) {
            fb.layout(false, 1, 3);
            designFilter(*section, false, b.type, b.narrowSplit.gainDb, b.hz, kFs,
                         b.narrowSplit.octaves);
            takeDesign(*section);  // the reference section as of this sample
        }
        const double x = noise(rng);
        splitBands(5, x, -x, *fb.split, outL, outR);
        ASSERT_EQ(outL[2], reverseCascadeStep(*section, Channel::Left, x, true)) << n;
    }
}

TEST(FilterbankSteps, SumOfSplitBandsFollowsTheLayoutTables) {
    const int bins[] = {19, 186, 929, 2601};  // ~102, 1001, 5001, 14002 Hz
    constexpr int kWindow = 8192;
    constexpr int kSettle = kDelay + 4 * 4096;
    for (int layout = 1; layout <= 5; ++layout) {
        for (uint8_t narrow : {0, 1}) {
            Filterbank fb;
            fb.layout(true, narrow, layout);
            for (int k : bins) {
                const double hz = k * kFs / kWindow;
                double expected = 0.0;
                for (int band = 0; band < fb.bandCount; ++band) {
                    const Band& b = tableBand(layout, band);
                    expected += bandPower(b.type, b.hz, narrow ? b.narrowSplit : b.wideSplit, hz);
                }
                resetBank(*fb.split);
                double outL[kBankBands], outR[kBankBands];
                double si = 0.0, co = 0.0;
                for (int n = 0; n < kSettle + kWindow; ++n) {
                    const double ph = 2.0 * kPi * ((static_cast<long>(k) * n) % kWindow) / kWindow;
                    splitBands(fb.bandCount, std::sin(ph), 0.5 * std::sin(ph), *fb.split, outL, outR);
                    if (n < kSettle) continue;
                    double sumL = 0.0;
                    for (int band = 0; band < fb.bandCount; ++band) sumL += outL[band];
                    // Zero phase: in step with the input 8192 frames earlier.
                    const double ref = 2.0 * kPi * ((static_cast<long>(k) * (n - kDelay)) % kWindow) / kWindow;
                    si += sumL * std::sin(ref);
                    co += sumL * std::cos(ref);
                }
                const double inPhase = 2.0 * si / kWindow, quadrature = 2.0 * co / kWindow;
                EXPECT_NEAR(inPhase, expected, 1e-3 * expected)
                    << "layout " << layout << " narrow " << int(narrow) << " at " << hz << " Hz";
                EXPECT_NEAR(quadrature, 0.0, 1e-3 * expected);
                // The layouts are meant to sum roughly flat.
                EXPECT_NEAR(20.0 * std::log10(inPhase), 0.0, 3.0)
                    << "layout " << layout << " narrow " << int(narrow) << " at " << hz << " Hz";
            }
        }
    }
}

TEST(FilterbankSteps, RefilterMaskPassesUnselectedEntriesUnchanged) {
    Filterbank fb;
    fb.layout(true, 0, 1);
    // Band 0 both channels, band 1 channel 1 only, band 2 channel 2 only; rest pass.
    const uint32_t mask = 0b100111;
    auto band1 = std::make_unique<ReverseCascadeFilter>();
    const Band& b = tableBand(1, 1);
    designFilter(*band1, true, b.type, b.wideRefilter.gainDb, b.hz, kFs, b.wideRefilter.octaves);
    Random rng;
    std::vector<BandSignals> history;
    fb.refilter->x1[3] = 0.125;
    fb.refilter->y2[3] = -0.5;
    for (int n = 0; n < 4 * 4096; ++n) {
        BandSignals in;
        for (int band = 0; band < kBankBands; ++band) {
            in.left[band] = noise(rng);
            in.right[band] = noise(rng);
        }
        history.push_back(in);
        BandSignals out;
        refilterBands(10, in.left, in.right, *fb.refilter, out.left, out.right, mask);
        const double expected1 = reverseCascadeStep(*band1, Channel::Left, in.left[1], true);
        ASSERT_EQ(out.left[1], expected1) << n;
        for (int band = 0; band < kBankBands; ++band) {
            const bool leftPasses = !((mask >> (2 * band)) & 1u);
            const bool rightPasses = !((mask >> (2 * band + 1)) & 1u);
            const double oldLeft = n >= kDelay ? history[n - kDelay].left[band] : 0.0;
            const double oldRight = n >= kDelay ? history[n - kDelay].right[band] : 0.0;
            if (leftPasses) {
                ASSERT_EQ(out.left[band], oldLeft) << band << " " << n;
            }
            if (rightPasses) {
                ASSERT_EQ(out.right[band], oldRight) << band << " " << n;
            } else if (n >= kDelay) {
                ASSERT_NE(out.right[band], oldRight) << band;
            }
        }
    }
    // A passing entry's state is left as it was.
    EXPECT_EQ(fb.refilter->x1[3], 0.125);
    EXPECT_EQ(fb.refilter->y2[3], -0.5);
}

TEST(FilterbankSteps, LeftInputNeverReachesRightOutputs) {
    for (int layout : {1, 2, 5}) {
        Filterbank fb;
        fb.layout(true, 0, layout);
        Random rng;
        BandSignals bands;
        double energy = 0.0;
        for (int n = 0; n < 4 * 4096; ++n) {
            splitBands(fb.bandCount, noise(rng), 0.0, *fb.split, bands.left, bands.right);
            for (int band = 0; band < fb.bandCount; ++band) ASSERT_EQ(bands.right[band], 0.0);
            refilterBands(fb.bandCount, bands.left, bands.right, *fb.refilter, bands.left,
                          bands.right, n < 8000 ? 0xFFFFF : 0x55555);
            for (int band = 0; band < fb.bandCount; ++band) {
                ASSERT_EQ(bands.right[band], 0.0);
                energy += std::abs(bands.left[band]);
            }
        }
        EXPECT_GT(energy, 0.0);
    }
}

TEST(FilterbankSteps, BandSignalsRefilterMatchesTheArrayFormAcrossRedesignsAndCounts) {
    // The chain's form has rare turns of its own: a new design, a count of no
    // layout. Both forms must give the same bits and leave the same bank.
    for (int count : {4, 7, 10}) {
        Filterbank arrays, signals;
        arrays.layout(true, 0, 1);
        signals.layout(true, 0, 1);
        Random rng;
        for (int n = 0; n < 2 * 4096 + 300; ++n) {
            if (n == 3000 || n == 7000) {
                for (Filterbank* fb : {&arrays, &signals})
                    designBankBand(*fb->refilter, 2, false, FilterType::Bandpass, 1.0 + n / 1000, 300.0, kFs, 1.5);
            }
            BandSignals bands;
            for (int band = 0; band < kBankBands; ++band) {
                bands.left[band] = noise(rng);
                bands.right[band] = noise(rng);
            }
            BandSignals viaArrays = bands;
            const uint32_t mask = n < 5000 ? 0x0003Fu : 0xFFFFFu;
            refilterBands(count, viaArrays.left, viaArrays.right, *arrays.refilter, viaArrays.left, viaArrays.right,
                          mask);
            refilterBands(count, *signals.refilter, bands, mask);
            ASSERT_EQ(std::memcmp(&bands, &viaArrays, sizeof bands), 0) << "count " << count << " frame " << n;
        }
        EXPECT_EQ(std::memcmp(signals.refilter.get(), arrays.refilter.get(), sizeof(ReverseCascadeBank)), 0);
    }
}

// The audio a bank holds and steps with: states, positions, masks, line.
void expectSameAudio(const ReverseCascadeBank& a, const ReverseCascadeBank& b, const char* what) {
    const auto same = [](const auto& x, const auto& y) { return std::memcmp(&x, &y, sizeof x) == 0; };
    EXPECT_TRUE(same(a.x1, b.x1) && same(a.x2, b.x2) && same(a.y1, b.y1) && same(a.y2, b.y2)) << what;
    EXPECT_TRUE(same(a.indices, b.indices) && same(a.pass, b.pass)) << what;
    EXPECT_TRUE(same(a.lineLow, b.lineLow) && same(a.lineHigh, b.lineHigh)) << what;
}

TEST(FilterbankSteps, FramesFilteredLaterMatchTheFrameByFrameSteps) {
    // Runs of frames left for later, filtered at random points (lengths 1 to
    // over the store's size), across block ends, with the count, the mask and
    // the design changing inside runs and a band reset: every output and the
    // bank left behind must be bit for bit those of the frame-by-frame steps.
    Filterbank now, later;
    now.layout(true, 0, 1);
    later.layout(true, 0, 1);
    Random rng;
    int count = 10;
    uint32_t mask = 0xFFFFFu;
    int runLeft = 0;
    for (int n = 0; n < 3 * 4096 + 700; ++n) {
        if (n % 1900 == 1000) count = n < 5000 ? 5 : n < 9000 ? 7 : 3;
        if (n % 1300 == 650) mask = n < 4000 ? 0x0003Cu : n < 8000 ? 0x00300u : 0xFFFFFu;
        if (n == 2222 || n == 6100 || n == 10333) {
            // The last one resets its band, which clears the line too.
            const bool reset = n == 10333;
            for (Filterbank* fb : {&now, &later}) {
                designBankBand(*fb->split, 1, reset, FilterType::Bandpass, 2.0, 700.0, kFs, 1.2);
                designBankBand(*fb->refilter, 4, reset, FilterType::Lowpass, -1.0, 900.0, kFs, 1.8);
            }
        }
        const double l = noise(rng), r = noise(rng);
        BandSignals a, b;
        splitBands(count, l, r, *now.split, a.left, a.right);
        splitBandsLater(count, l, r, *later.split, b);
        ASSERT_EQ(std::memcmp(a.left, b.left, sizeof(double) * count), 0) << "split, frame " << n;
        ASSERT_EQ(std::memcmp(a.right, b.right, sizeof(double) * count), 0) << "split, frame " << n;
        for (int band = 0; band < kBankBands; ++band) {
            a.left[band] = b.left[band] = noise(rng);
            a.right[band] = b.right[band] = noise(rng);
        }
        refilterBands(count, *now.refilter, a, mask);
        refilterBandsLater(count, *later.refilter, b, mask);
        ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "refilter, frame " << n;
        if (runLeft-- <= 0) {
            filterLaterFrames(*later.split);
            filterLaterFrames(*later.refilter);
            runLeft = rng.next() % 3 == 0 ? rng.next() % 4 : rng.next() % 1500;
        }
    }
    filterLaterFrames(*later.split);
    filterLaterFrames(*later.refilter);
    expectSameAudio(*now.split, *later.split, "split");
    expectSameAudio(*now.refilter, *later.refilter, "refilter");
}

TEST(FilterbankSteps, BandsBeyondTheCountAreNeitherRunNorRead) {
    Filterbank fb;
    fb.layout(true, 0, 1);
    ReverseCascadeBank& bank = *fb.split;
    for (int e = 6; e < kBankEntries; ++e) bank.y1[e] = 0.25;
    lineFrameAt(bank, 8192)[10] = 9.0;
    Random rng;
    for (int n = 0; n < 3 * 4096; ++n) {
        double outL[kBankBands], outR[kBankBands];
        for (int band = 0; band < kBankBands; ++band) outL[band] = outR[band] = -7.0;
        splitBands(3, noise(rng), noise(rng), bank, outL, outR);
        for (int band = 3; band < kBankBands; ++band) {
            ASSERT_EQ(outL[band], -7.0);
            ASSERT_EQ(outR[band], -7.0);
        }
    }
    for (int e = 6; e < kBankEntries; ++e) EXPECT_EQ(bank.y1[e], 0.25);
    EXPECT_EQ(lineFrameAt(bank, 8192)[10], 9.0);
    EXPECT_EQ(lineFrameAt(bank, 100)[19], 0.0);
}

TEST(BlockEndBatches, WaitingFiltersAndBanksMatchTheirOwnBlockWorkBitForBit) {
    // Ten lock-step filters and two banks as a chain steps them, in host
    // blocks of several sizes, their block ends let wait for a batch: the same
    // bits as stepped one channel at a time (filters) or on their own (banks).
    // Among the filters a series pair, some with and some without gain, one
    // a block ahead (other block bases), one 1000 frames behind, one out of
    // lock-step, and one that skips frames, so its block ends after its
    // allowance and does its block work at once. The refilter bank carries
    // its part's filters (one group) in its block work; the split bank's
    // three groups run on their own. In turn a ten-band split bank beside a
    // ten-band refilter bank masked to every third entry, and a three-band
    // split bank beside one masked to entries below eight (two groups).
    constexpr int kFilters = 10, kSeries = 3, kApart = 5, kUnlocked = 6, kSkipper = 1;
    for (const int splitCount : {10, 3}) {
        std::unique_ptr<ReverseCascadeFilter> batched[kFilters], plain[kFilters];
        std::unique_ptr<ReverseCascadeBank> banks[2][2];  // [batched, plain][split, refilter]
        for (auto& pair : banks) {
            for (auto& bank : pair) {
                bank = std::make_unique<ReverseCascadeBank>();
                resetBank(*bank);
            }
            for (int band = 0; band < kBankBands; ++band) {
                designBankBand(*pair[0], band, false, FilterType::Bandpass, -2.0, 60.0 * (band + 1), kFs, 1.5);
                designBankBand(*pair[1], band, false, FilterType::Peaking, 3.0, 90.0 * (band + 1), kFs, 1.0);
            }
        }
        for (int i = 0; i < kFilters; ++i) {
            for (auto* set : {batched, plain}) {
                set[i] = std::make_unique<ReverseCascadeFilter>();
                designFilter(*set[i], true, i % 2 ? FilterType::Peaking : FilterType::Bandpass, 2.0 + i,
                             300.0 * (i + 1), kFs, 1.2);
            }
        }
        const auto withGain = [](int i) { return i != 2 && i != kSeries && i != kSeries + 1; };
        Random r;
        // Frame n of the banks, both copies alike: the split bank's bands
        // feed the refilter bank, which filters every third entry.
        const auto stepBanks = [&](int copy) {
            double left = noise(r), right = noise(r), bandsL[kBankBands] = {}, bandsR[kBankBands] = {};
            double outL[kBankBands], outR[kBankBands];
            auto& pair = banks[copy];
            splitBands(splitCount, left, right, *pair[0], bandsL, bandsR);
            refilterBands(10, bandsL, bandsR, *pair[1], outL, outR, splitCount == 10 ? 0x49249249u & 0xFFFFFu : 0x35u);
            std::array<double, 3 * kBankBands> v{};
            std::copy_n(bandsL, splitCount, v.begin());
            std::copy_n(outL, kBankBands, v.begin() + kBankBands);
            std::copy_n(outR, kBankBands, v.begin() + 2 * kBankBands);
            return v;
        };
        const auto prestep = [&](int i, int frames) {
            for (int n = 0; n < frames; ++n) {
                const double x = noise(r);
                for (auto* set : {batched, plain}) {
                    reverseCascadeStep(*set[i], Channel::Left, x, true);
                    if (i != kUnlocked || n > 0) reverseCascadeStep(*set[i], Channel::Right, x, true);
                }
            }
        };
        for (int i = 0; i < kFilters; ++i)
            prestep(i, (i == 0 ? 5096 : i == kApart ? 0 : 1000) + (i == kUnlocked ? 10 : 0));
        for (int n = 0; n < 1000; ++n) {
            const Random before = r;
            stepBanks(0);
            r = before;
            stepBanks(1);
        }
        BlockEndBatch batch;
        batch.partCount = 2;
        for (int b = 0; b < 2; ++b) batch.parts[b].bank = banks[0][b].get();
        for (int i = 0; i < kFilters; ++i) {
            BlockEndBatch::Part& part = batch.parts[i == kSeries || i == kSeries + 1 ? 1 : 0];
            part.filters[part.filterCount++] = batched[i].get();
        }
        ASSERT_FALSE(inLockStep(*batched[kUnlocked]));

        int64_t n = 0;
        int batches = 0;
        for (int32_t frames : {700, 4096, 5000, 4095, 3000, 4096, 9000}) {
            const int32_t last = allowBlockEndWaits(batch, frames);
            for (int32_t i = 0; i < frames; ++i, ++n) {
                const Random before = r;
                const auto bankOut = stepBanks(0);
                r = before;
                ASSERT_EQ(bankOut, stepBanks(1)) << "banks, frame " << n;
                double in[kFilters][2];
                for (auto& v : in) v[0] = noise(r), v[1] = noise(r);
                for (int f = 0; f < kFilters; ++f) {
                    if ((f == kSkipper && n % 7 == 3) || f == kSeries + 1) continue;
                    double out[2] = {in[f][0], in[f][1]};
                    if (f == kSeries)
                        reverseCascadeSeriesStep(*batched[f], *batched[f + 1], out[0], out[1], false,
                                                 pairInLockStep(*batched[f], *batched[f + 1]));
                    else
                        reverseCascadeStereoStep(*batched[f], out[0], out[1], withGain(f));
                    for (int c = 0; c < 2; ++c) {
                        double x = in[f][c];
                        for (int g = f; g <= (f == kSeries ? f + 1 : f); ++g)
                            x = reverseCascadeStep(*plain[g], static_cast<Channel>(c), x, withGain(g));
                        ASSERT_EQ(out[c], x) << "filter " << f << ", frame " << n;
                    }
                }
                if (i == last) {
                    finishWaitingBlocks(batch);
                    ++batches;
                }
            }
        }
        EXPECT_GE(batches, 6);
        for (int i = 0; i < kFilters; ++i)
            EXPECT_EQ(std::memcmp(batched[i].get(), plain[i].get(), sizeof(ReverseCascadeFilter)), 0) << i;
        for (int b = 0; b < 2; ++b)
            EXPECT_EQ(std::memcmp(banks[0][b].get(), banks[1][b].get(), sizeof(ReverseCascadeBank)), 0) << b;
    }
}

TEST(FilterbankDesign, DegenerateBandDesignsStayFinite) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto bank = std::make_unique<ReverseCascadeBank>();
    resetBank(*bank);
    designBankBand(*bank, 0, false, FilterType::Bandpass, 0.0, 0.0, kFs, 1.0);
    designBankBand(*bank, 1, false, FilterType::Lowpass, 0.0, 22050.0, kFs, 1.0);
    designBankBand(*bank, 2, false, FilterType::Highpass, 0.0, 1000.0, kFs, 0.0);
    designBankBand(*bank, 3, false, FilterType::Bandpass, 1e9, 1000.0, kFs, -2.0);
    designBankBand(*bank, 4, false, FilterType::Bandpass, nan, nan, nan, nan);
    for (int e = 0; e < 10; ++e) {
        ASSERT_TRUE(std::isfinite(bank->b0[e].load()) && std::isfinite(bank->a1[e].load()) &&
                    std::isfinite(bank->a2[e].load()) && std::isfinite(bank->gain[e].load()))
            << e;
    }
    Random rng;
    double outL[kBankBands], outR[kBankBands];
    for (int n = 0; n < 4 * 4096; ++n) {
        splitBands(5, noise(rng), noise(rng), *bank, outL, outR);
        for (int band = 0; band < 5; ++band)
            ASSERT_TRUE(std::isfinite(outL[band]) && std::isfinite(outR[band])) << band;
    }
    // Counts outside 0–10 are clamped, not trusted.
    splitBands(-4, 1.0, 1.0, *bank, outL, outR);
    splitBands(99, 1.0, 1.0, *bank, outL, outR);
}

}  // namespace
}  // namespace qx
