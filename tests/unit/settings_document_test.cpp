// The settings and preset text format: layout, limits, lookups, the
// single-precision number parse, and the transfer to and from the table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <sstream>
#include <string>

#include "engine/chain.h"
#include "params/parameter_table.h"
#include "params/preset_library.h"
#include "params/settings_document.h"
#include "persistence_test_support.h"

namespace qx {
namespace {

using test::TempDir;

constexpr const char* kHeaderEnd = "-----------------------------------------\r\n";

// A document holding `body` after a header line, so every key line follows a CR LF.
SettingsDocument withBody(const std::string& body) {
    SettingsDocument doc;
    doc.setText("banner\r\n" + body);
    return doc;
}

// The key line as the format defines it, built with printf: an independent
// statement of the layout to compare the writer against.
std::string expectedLine(const std::string& key, const std::string& value) {
    const int pad = 30 - static_cast<int>(key.size());
    return key + std::string(pad >= 1 ? pad : 1, ' ') + " = " + value + "\r\n";
}

std::string printfFixed(int decimals, double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

TEST(SettingsDocumentFormat, HeaderNamesTheFormAndTheFile) {
    SettingsDocument preset;
    preset.beginDocument("QX_Preset07.ini");
    EXPECT_EQ(preset.text(), std::string(kBannerLine) +
                                 "\r\nThis is a preset file for Quorvex v1.81\r\nFilename: QX_Preset07.ini\r\n" +
                                 kHeaderEnd);

    for (const char* name : {"dsp_Quorvex.ini", "DSP_other.ini", "Dsp_x"}) {
        SettingsDocument settings;
        settings.beginDocument(name);
        EXPECT_NE(settings.text().find("\r\nThis is a settings file for Quorvex v1.81\r\n"), std::string_view::npos)
            << name;
    }
    SettingsDocument shortName;
    shortName.beginDocument("dsp");
    EXPECT_NE(shortName.text().find("This is a preset file for"), std::string_view::npos);
    EXPECT_EQ(std::string(kHeaderEnd).size(), 43u);  // 41 hyphens
}

TEST(SettingsDocumentFormat, EqualsSignStandsInColumn32UpTo29Characters) {
    SettingsDocument doc;
    doc.beginDocument("x.ini");
    const std::size_t start = doc.text().size();
    const std::string key12 = "General.Name";
    const std::string key29(29, 'a'), key30(30, 'b'), key33(33, 'c'), key40(40, 'd');
    ASSERT_TRUE(doc.appendText(key12, "Enhancer"));
    ASSERT_TRUE(doc.appendNumber(key29, 0, 1));
    ASSERT_TRUE(doc.appendNumber(key30, 0, 1));
    ASSERT_TRUE(doc.appendNumber(key33, 0, 1));
    ASSERT_TRUE(doc.appendNumber(key40, 0, 1));
    const std::string expected = "General.Name" + std::string(18, ' ') + " = Enhancer\r\n" + key29 + "  = 1\r\n" +
                                 key30 + "  = 1\r\n" + key33 + "  = 1\r\n" + key40 + "  = 1\r\n";
    EXPECT_EQ(doc.text().substr(start), expected);
    EXPECT_EQ(expected.find('='), 31u);  // column 32 counting from 1
}

TEST(SettingsDocumentFormat, NumbersUseFixedNotationWithTheGivenDecimals) {
    SettingsDocument doc;
    doc.beginDocument("x.ini");
    const std::size_t start = doc.text().size();
    doc.appendNumber("A", 1, 2.0);
    doc.appendNumber("B", 2, 2.0);
    doc.appendNumber("C", 0, 22.0);
    doc.appendNumber("D", 1, -0.100000001490116119384765625);
    doc.appendNumber("E", 0, -3.0);
    doc.appendNumber("F", 2, 0.125);  // a tie: printf rounds to even on the exact binary value
    doc.appendNumber("G", 1, 16984.4);
    doc.appendNumber("H", -1, 200.7);  // logarithmic sliders write 0 digits
    EXPECT_EQ(doc.text().substr(start), expectedLine("A", "2.0") + expectedLine("B", "2.00") +
                                            expectedLine("C", "22") + expectedLine("D", "-0.1") +
                                            expectedLine("E", "-3") + expectedLine("F", "0.12") +
                                            expectedLine("G", "16984.4") + expectedLine("H", "201"));
}

TEST(SettingsDocumentFormat, NumberTextMatchesPrintfOverManyValues) {
    // The writer does not call printf; check it agrees with it.
    Random random;
    random.seed(12345);
    for (int i = 0; i < 3000; ++i) {
        const double value = (random.next() - 16384) * 0.0137 + random.next() * 1e-7;
        const int decimals = i % 3;
        SettingsDocument doc;
        doc.setText("");
        ASSERT_TRUE(doc.appendNumber("K", decimals, value));
        EXPECT_EQ(doc.text(), expectedLine("K", printfFixed(decimals, value))) << value;
    }
}

TEST(SettingsDocumentFormat, AppendsRefuseBadKeysAndAFullDocument) {
    SettingsDocument doc;
    doc.beginDocument("x.ini");
    const std::string before(doc.text());
    EXPECT_FALSE(doc.appendNumber(std::string(41, 'k'), 0, 1));
    EXPECT_FALSE(doc.appendNumber("Two Words", 0, 1));
    EXPECT_FALSE(doc.appendText("Two Words", "x"));
    EXPECT_FALSE(doc.appendText("", "x"));
    EXPECT_EQ(doc.text(), before);
    EXPECT_TRUE(doc.appendNumber(std::string(40, 'k'), 0, 1));

    // Exactly 16256 characters still take a line; one more refuses it.
    SettingsDocument full;
    full.setText(std::string(16256, 'x'));
    EXPECT_TRUE(full.appendNumber("Key", 0, 5));
    SettingsDocument over;
    over.setText(std::string(16257, 'x'));
    EXPECT_FALSE(over.appendNumber("Key", 0, 5));
    EXPECT_FALSE(over.appendText("Key", "abc"));
    EXPECT_EQ(over.text().size(), 16257u);

    // A line that would not fit in the buffer is refused rather than cut.
    SettingsDocument nearlyFull;
    nearlyFull.setText(std::string(16250, 'x'));
    EXPECT_FALSE(nearlyFull.appendText("Key", std::string(200, 'y')));
    EXPECT_FALSE(nearlyFull.appendNumber("Key", 2, 1e300));
    EXPECT_EQ(nearlyFull.text().size(), 16250u);
}

TEST(SettingsDocumentLookup, ReadsSinglePrecisionNumbers) {
    const auto doc = withBody(expectedLine("FinalClipper.Threshold.dB", "-0.1") + expectedLine("A", "0.1") +
                              expectedLine("B", "-6") + expectedLine("C", "15abc") + expectedLine("D", "1e") +
                              expectedLine("E", "+.5e1") + expectedLine("F", "\t 7") + expectedLine("G", "2.5e-1x"));
    const double minusTenth = doc.readNumber("FinalClipper.Threshold.dB", 99);
    EXPECT_EQ(minusTenth, static_cast<double>(-0.1f));
    EXPECT_NE(minusTenth, -0.1);
    EXPECT_EQ(doc.readNumber("A", 99), 0.100000001490116119384765625);
    EXPECT_EQ(doc.readNumber("B", 99), -6.0);
    EXPECT_EQ(doc.readNumber("C", 99), 15.0);  // stops at the letters
    EXPECT_EQ(doc.readNumber("D", 99), 1.0);   // an exponent needs digits
    EXPECT_EQ(doc.readNumber("E", 99), 5.0);
    EXPECT_EQ(doc.readNumber("F", 99), 7.0);  // leading white space skipped
    EXPECT_EQ(doc.readNumber("G", 99), 0.25);

    // Writing the value read back with one decimal gives the same text.
    SettingsDocument out;
    out.setText("");
    out.appendNumber("FinalClipper.Threshold.dB", 1, minusTenth);
    EXPECT_EQ(out.text(), expectedLine("FinalClipper.Threshold.dB", "-0.1"));
}

TEST(SettingsDocumentLookup, NonNumbersAndNonFiniteValuesFallBack) {
    const auto doc = withBody(expectedLine("Inf", "inf") + expectedLine("Nan", "nan") + expectedLine("Big", "1e39") +
                              expectedLine("Huge", "1e999") + expectedLine("Word", "abc") +
                              expectedLine("Empty", "") + expectedLine("Dot", ".") + expectedLine("Sign", "-") +
                              expectedLine("Tiny", "1e-50") + expectedLine("Hex", "0x10") +
                              expectedLine("Max", "3.4028235e38"));
    for (const char* key : {"Inf", "Nan", "Big", "Huge", "Word", "Empty", "Dot", "Sign"})
        EXPECT_EQ(doc.readNumber(key, -42.0), -42.0) << key;
    EXPECT_EQ(doc.readNumber("Tiny", -42.0), 0.0);  // underflow reads as zero, like scanf
    EXPECT_EQ(doc.readNumber("Hex", -42.0), 0.0);   // decimal digits only: "0", then 'x' stops
    EXPECT_EQ(doc.readNumber("Max", -42.0), static_cast<double>(std::numeric_limits<float>::max()));
}

TEST(SettingsDocumentLookup, KeysAreFoundOnlyAfterALineBreakAndWithTheirSpace) {
    SettingsDocument doc;
    doc.setText(expectedLine("First", "1") + expectedLine("Compressor.Gain10.dB", "10.0") +
                expectedLine("Compressor.Gain1.dB", "1.0") + expectedLine("Twice", "1") + expectedLine("Twice", "2"));
    EXPECT_FALSE(doc.hasKey("First"));  // the first line is never a key line
    EXPECT_EQ(doc.readNumber("First", -1), -1);
    EXPECT_EQ(doc.readNumber("Compressor.Gain1.dB", -1), 1.0);
    EXPECT_EQ(doc.readNumber("Compressor.Gain10.dB", -1), 10.0);
    EXPECT_EQ(doc.readNumber("Twice", -1), 1.0);  // the first occurrence wins
    EXPECT_FALSE(doc.hasKey("compressor.gain1.dB"));  // case-sensitive
    EXPECT_FALSE(doc.hasKey("Two Words"));
    EXPECT_FALSE(doc.hasKey(std::string(41, 'x')));
}

TEST(SettingsDocumentLookup, ValueStartsTwoCharactersAfterTheEqualsSign) {
    // "=5" with no space: the value starts after the 5, so white space and the
    // next line's key follow; a key beginning with digits reads as a number.
    const auto doc = withBody("A                              =5\r\n" + expectedLine("B", "7") +
                              "C                              =5\r\n" + expectedLine("10BandEQ.Preamp.dB", "3.0") +
                              "D \r\n= 4\r\n" + "E  = 8.5\r\n");
    EXPECT_EQ(doc.readNumber("A", -1), -1);
    EXPECT_EQ(doc.readNumber("C", -1), 10.0);
    EXPECT_EQ(doc.readNumber("D", -1), 4.0);  // the "=" need not be on the key's line
    EXPECT_EQ(doc.readNumber("E", -1), 8.5);  // any run of spaces before " = "

    // An "=" at the very end leaves an empty value.
    const auto tail = withBody("Z =");
    EXPECT_EQ(tail.readNumber("Z", -1), -1);
    std::string_view text;
    EXPECT_FALSE(tail.readText("Z", text));
}

TEST(SettingsDocumentLookup, TextValuesNeedTheirLineEndAndAtMost31Characters) {
    const std::string name31(31, 'n'), name32(32, 'm');
    const auto doc = withBody(expectedLine("Short", "Enhancer") + expectedLine("Long31", name31) +
                              expectedLine("Long32", name32) + expectedLine("Empty", "") + expectedLine("Spaces", " a b ") +
                              "Last                           = no line end");
    std::string_view text;
    ASSERT_TRUE(doc.readText("Short", text));
    EXPECT_EQ(text, "Enhancer");
    ASSERT_TRUE(doc.readText("Long31", text));
    EXPECT_EQ(text, name31);
    EXPECT_FALSE(doc.readText("Long32", text));
    ASSERT_TRUE(doc.readText("Empty", text));
    EXPECT_EQ(text, "");
    ASSERT_TRUE(doc.readText("Spaces", text));
    EXPECT_EQ(text, " a b ");
    EXPECT_FALSE(doc.readText("Last", text));
    EXPECT_FALSE(doc.readText("Missing", text));
}

TEST(SettingsDocumentLookup, LineFeedEndsReadLikeCrLf) {
    // LF only, and LF mixed with CR LF: every bare LF becomes CR LF on loading.
    SettingsDocument doc;
    doc.setText("\nGeneral.Name                   = X\nGeneral.PostAmp.dB             = 3.0\r\nA = 1\n\nB = 2\r\r\n");
    EXPECT_EQ(doc.text(), "\r\nGeneral.Name                   = X\r\nGeneral.PostAmp.dB             = 3.0\r\n"
                          "A = 1\r\n\r\nB = 2\r\r\n");
    std::string_view name;
    ASSERT_TRUE(doc.readText("General.Name", name));
    EXPECT_EQ(name, "X");
    EXPECT_EQ(doc.readNumber("General.PostAmp.dB", -1), 3.0);
    EXPECT_EQ(doc.readNumber("B", -1), 2.0);

    // Longer than the limit once expanded: whole lines only, no value cut short.
    std::string text = "banner\n";
    while (text.size() < 16000) text += "Filler                         = 1\n";
    text += "Straddle                       = 123456789\n";
    doc.setText(text);
    EXPECT_LE(doc.text().size(), SettingsDocument::kMaxReadBytes);
    EXPECT_EQ(doc.text().substr(doc.text().size() - 2), "\r\n");
    EXPECT_EQ(doc.text().find('\n'), 7u);
    EXPECT_EQ(doc.readNumber("Straddle", -1), -1);
    EXPECT_EQ(doc.readNumber("Filler", -1), 1.0);
}

TEST(SettingsDocumentFiles, ReadsAtMost16383BytesOfAFile) {
    TempDir dir;
    DataDirectory data(systemPlatform());
    ASSERT_TRUE(data.setDirectory(dir.directory()));
    // 20000 bytes: one key early, one straddling byte 16383, one beyond it.
    std::string body = "header\r\n" + expectedLine("Early", "1.5");
    body += std::string(16383 - body.size() - 40, '#');
    body += "\r\n" + expectedLine("Straddle", "123456789");
    while (body.size() < 19000) body += "#";
    body += "\r\n" + expectedLine("Late", "2.5");
    body.resize(20000, '#');
    test::writeBytes(dir.file("big.ini"), body);

    SettingsDocument doc;
    ASSERT_TRUE(doc.readDocument(data, "big.ini"));
    EXPECT_EQ(doc.text().size(), 16383u);
    EXPECT_EQ(doc.text(), std::string_view(body).substr(0, 16383));
    EXPECT_EQ(doc.readNumber("Early", -1), 1.5);
    EXPECT_EQ(doc.readNumber("Late", -1), -1);
    // The straddling value is cut with the file.
    const std::size_t valueStart = body.find("= 123456789") + 2;
    ASSERT_LT(valueStart, 16383u);
    const std::string kept = body.substr(valueStart, 16383 - valueStart);
    EXPECT_EQ(doc.readNumber("Straddle", -1), static_cast<double>(std::stof(kept)));

    SettingsDocument missing;
    missing.setText("old text");
    EXPECT_FALSE(missing.readDocument(data, "absent.ini"));
    EXPECT_EQ(missing.text(), "");
}

TEST(SettingsDocumentFiles, AFileWithANulEndsItsTextThere) {
    TempDir dir;
    DataDirectory data(systemPlatform());
    ASSERT_TRUE(data.setDirectory(dir.directory()));
    test::writeBytes(dir.file("zero.ini"), std::string("h\r\n") + expectedLine("A", "1") + std::string(1, '\0') +
                                              "\r\n" + expectedLine("B", "2"));
    SettingsDocument doc;
    ASSERT_TRUE(doc.readDocument(data, "zero.ini"));
    EXPECT_EQ(doc.readNumber("A", -1), 1.0);
    EXPECT_EQ(doc.readNumber("B", -1), -1.0);
}

TEST(SettingsDocumentFiles, WriteDocumentWritesTheTextUnderTheRememberedName) {
    TempDir dir;
    DataDirectory data(systemPlatform());
    ASSERT_TRUE(data.setDirectory(dir.directory()));
    SettingsDocument doc;
    doc.beginDocument("out.ini");
    doc.appendNumber("General.StartupPreset", 0, 7);
    ASSERT_TRUE(doc.writeDocument(data));
    EXPECT_EQ(test::readBytes(dir.file("out.ini")), doc.text());

    SettingsDocument back;
    ASSERT_TRUE(back.readDocument(data, "out.ini"));
    EXPECT_EQ(back.readNumber("General.StartupPreset", -1), 7.0);

    SettingsDocument unnamed;
    unnamed.setText("x");
    EXPECT_FALSE(unnamed.writeDocument(data));
}

TEST(SettingsDocumentFiles, FactoryDocumentsAreTheTenCompiledPresets) {
    SettingsDocument doc;
    const char* names[] = {"Enhancer",      "FM Stereo",    "AM Radio",     "Web Radio",  "10 Band Level",
                           "5 Band Level", "3 Band Level", "2 Band AGC",   "Normalizer", "OFF"};
    const double bases[] = {-3, -3, -3, -3, 0, 0, -5, -4, -4, -4};
    for (int n = 0; n < 10; ++n) {
        ASSERT_TRUE(doc.readFactoryDocument(systemPlatform(), n)) << n;
        std::string_view name;
        ASSERT_TRUE(doc.readText("General.Name", name));
        EXPECT_EQ(name, names[n]);
        EXPECT_EQ(doc.readNumber("General.BaseFactoryPreset", 99), bases[n]);
        EXPECT_EQ(doc.hasKey("Compressor.TypeII"), n < 6) << n;
        EXPECT_GT(doc.text().size(), 12000u);
    }
    doc.setText("x");
    EXPECT_FALSE(doc.readFactoryDocument(systemPlatform(), 10));
    EXPECT_EQ(doc.text(), "");
    EXPECT_FALSE(doc.readFactoryDocument(systemPlatform(), -1));
}

// The full table, bound to a heap-allocated state.
class DocumentTable : public ::testing::Test {
protected:
    std::unique_ptr<ChainState> state = std::make_unique<ChainState>();
    ParameterTable table = buildParameterTable(*state);

    // Gives every keyed parameter a distinct value that its decimals can hold.
    void scramble(uint32_t seed) {
        Random random;
        random.seed(seed);
        table.forEachKeyed([&](const ParameterRecord& r) {
            if (r.kind == ControlKind::Switch) {
                r.assign(random.next() & 1);
                return;
            }
            const int d = r.decimals < 0 ? 0 : r.decimals;
            const double scale = std::pow(10.0, d);
            const double span = r.maximum > r.minimum ? r.maximum - r.minimum : 100.0;
            const double v = r.minimum + std::round(random.next() / 32767.0 * span * scale) / scale;
            r.assign(v);
        });
    }
};

TEST_F(DocumentTable, SavedParametersHaveTheExactLayout) {
    scramble(7);
    SettingsDocument doc;
    doc.beginDocument("QX_Preset03.ini");
    doc.appendText("General.Name", "Test");
    doc.appendNumber("General.BaseFactoryPreset", 0, -3);
    doc.writeParameters(table);

    // Expected text built independently with printf from the records.
    std::string expected = std::string(kBannerLine) +
                           "\r\nThis is a preset file for Quorvex v1.81\r\nFilename: QX_Preset03.ini\r\n" + kHeaderEnd +
                           expectedLine("General.Name", "Test") + expectedLine("General.BaseFactoryPreset", "-3");
    int keyed = 0;
    table.forEachKeyed([&](const ParameterRecord& r) {
        ++keyed;
        const int d = r.kind == ControlKind::Switch ? 0 : (r.decimals < 0 ? 0 : r.decimals);
        expected += expectedLine(r.key, printfFixed(d, r.value()));
    });
    EXPECT_EQ(keyed, 340);
    EXPECT_EQ(doc.text(), expected);

    // 4 header lines and 342 key lines, every one ending in CR LF.
    std::size_t lines = 0, bare = 0;
    for (std::size_t i = 0; i < doc.text().size(); ++i) {
        if (doc.text()[i] == '\n') {
            ++lines;
            if (i == 0 || doc.text()[i - 1] != '\r') ++bare;
        }
    }
    EXPECT_EQ(lines, 346u);
    EXPECT_EQ(bare, 0u);
    EXPECT_EQ(doc.text().substr(doc.text().size() - 2), "\r\n");
}

TEST_F(DocumentTable, ParametersRoundTripThroughTheText) {
    scramble(99);
    std::vector<double> saved;
    table.forEachKeyed([&](const ParameterRecord& r) { saved.push_back(r.value()); });
    SettingsDocument doc;
    doc.beginDocument("QX_Preset01.ini");
    doc.appendText("General.Name", "Round Trip");
    doc.writeParameters(table);

    // The same text as a Linux editor leaves it, LF line ends only, reads the same.
    std::string lineFeeds(doc.text());
    std::erase(lineFeeds, '\r');
    SettingsDocument edited;
    edited.setText(lineFeeds);
    for (const SettingsDocument* read : {&doc, &edited}) {
        scramble(4242);
        char name[kPresetNameCapacity] = {};
        read->fillParameters(table, true, name);
        EXPECT_STREQ(name, "Round Trip");
        std::size_t i = 0;
        table.forEachKeyed([&](const ParameterRecord& r) {
            // Values come back in single precision; a value written with its
            // decimals reads back as the float nearest to that text.
            const int d = r.kind == ControlKind::Switch ? 0 : (r.decimals < 0 ? 0 : r.decimals);
            const double expected = static_cast<double>(std::stof(printfFixed(d, saved[i])));
            EXPECT_EQ(r.value(), expected) << r.key;
            ++i;
        });
        EXPECT_EQ(i, 340u);
    }
}

TEST_F(DocumentTable, FillParametersWithAndWithoutAllKeys) {
    const ParameterRecord* postAmp = table.find("General.PostAmp.dB");
    const ParameterRecord* dither = table.find("General.QuantizationDither.Active");
    const ParameterRecord* level = table.find("AGC.Level.%");
    const ParameterRecord* gate = table.find("AGC.Gate.dB");
    ASSERT_TRUE(postAmp && dither && level && gate);
    postAmp->assign(5.0);
    dither->assign(0);
    level->assign(33.0);
    gate->assign(-20.0);

    // Only some keys present; one does not parse; a switch at -1; a value beyond the range.
    const auto doc = withBody(expectedLine("General.Name", "Partial") + expectedLine("AGC.Level.%", "150") +
                              expectedLine("General.PostAmp.dB", "oops") +
                              expectedLine("General.MainBypass", "-1"));
    char name[32] = "previous";
    doc.fillParameters(table, false, name);
    EXPECT_STREQ(name, "Partial");
    EXPECT_EQ(level->value(), 150.0);   // stored as read, not clamped
    EXPECT_EQ(postAmp->value(), 0.0);   // present but unparsable: the default
    EXPECT_EQ(table.find("General.MainBypass")->value(), 1.0);
    EXPECT_EQ(dither->value(), 0.0);    // absent: kept
    EXPECT_EQ(gate->value(), -20.0);    // absent: kept

    doc.fillParameters(table, true, name);
    EXPECT_EQ(dither->value(), 1.0);    // absent: the default
    EXPECT_EQ(gate->value(), -50.0);
    EXPECT_EQ(level->value(), 150.0);

    // No General.Name: the name becomes empty.
    const auto nameless = withBody(expectedLine("AGC.Level.%", "10"));
    nameless.fillParameters(table, false, name);
    EXPECT_STREQ(name, "");
}

TEST(SettingsDocumentParse, MatchesTheScanfGrammar) {
    float v = 0;
    EXPECT_TRUE(parseSingle("  -12.5e+1 rest", v));
    EXPECT_EQ(v, -125.0f);
    EXPECT_TRUE(parseSingle("5.", v));
    EXPECT_EQ(v, 5.0f);
    EXPECT_TRUE(parseSingle("-0", v));
    EXPECT_TRUE(std::signbit(v));
    EXPECT_TRUE(parseSingle("1E2", v));
    EXPECT_EQ(v, 100.0f);
    EXPECT_TRUE(parseSingle("1e+", v));
    EXPECT_EQ(v, 1.0f);
    EXPECT_FALSE(parseSingle("", v));
    EXPECT_FALSE(parseSingle("+", v));
    EXPECT_FALSE(parseSingle("e5", v));
    EXPECT_FALSE(parseSingle("-inf", v));
    EXPECT_FALSE(parseSingle("NaN", v));
    EXPECT_FALSE(parseSingle("infinity", v));
    EXPECT_TRUE(parseSingle("0.30000001192092896", v));
    EXPECT_EQ(v, 0.3f);
    // Long digit runs still round correctly to the nearest float.
    EXPECT_TRUE(parseSingle("0." + std::string(300, '0') + "1", v));
    EXPECT_EQ(v, 0.0f);
    EXPECT_TRUE(parseSingle(std::string(30, '9'), v));
    EXPECT_EQ(v, 1e30f);
}

}  // namespace
}  // namespace qx
