// The console's preset column: Load, Save, Delete, Default and double-click,
// their refusals, their questions answered both ways, and what each outcome
// does to the list, the files, the start-up preset and the open windows.
#include <windows.h>
#include <gtest/gtest.h>

#include "console/control_ids.h"
#include "plugin_test.h"

namespace qx::test {
namespace {

constexpr const char* kNoSelection = "Please select a preset from the list before attempting this function";
constexpr const char* kSlotEmpty = "The selected preset slot does not contain a preset";
constexpr const char* kDuplicate = "The specified name already exists in another slot.";
constexpr const char* kStartupSlot =
    "The selected preset slot is currently selected as the default startup preset.  Please change the default to "
    "another preset (by using the \"Default\" button), then delete this preset.";
constexpr const char* kLoadQuestion =
    "The current settings have changed.  Are you sure you wish to load the selected preset?";
constexpr const char* kOverwriteQuestion =
    "You are attempting to save over top of an existing preset with a different name.  Are you sure?";

// With ten factory entries, slot n is entry 9 + n.
int entryOfSlot(int slot) { return 9 + slot; }

// What a refused command must leave alone.
struct PanelState {
    std::vector<std::string> list;
    LRESULT selection;
    std::string defaultLabel;
    std::string densityDrive;
    std::vector<std::string> files;  // the user slots' texts

    bool operator==(const PanelState&) const = default;
};

class PresetPanelTest : public PluginTest {
protected:
    void writePreset(int slot, const std::string& name, Lines values = {}) {
        char file[32];
        std::snprintf(file, sizeof file, "QX_Preset%.2d.ini", slot);
        values.insert(values.begin(), {{"General.Name", name}, {"General.BaseFactoryPreset", "-9"}});
        ASSERT_TRUE(writeWholeFile(path(file), documentText(file, values)));
    }

    // Slots 3 "Rock", 5 "Pop" (the start-up preset) and 7 "rock".
    HWND startWithThreeSlots() {
        writePreset(3, "Rock");
        writePreset(5, "Pop", {{"General.DensityDrive.dB", "4.5"}});
        writePreset(7, "rock");
        writeSettings(true, 32, 32, 5);
        load();
        player->init();
        return findConsole();
    }

    PanelState state(HWND console) const {
        PanelState s;
        const auto count = SendDlgItemMessageA(console, QX_IDC_PRESET_LIST, LB_GETCOUNT, 0, 0);
        for (int i = 0; i < count; ++i) s.list.push_back(listText(console, QX_IDC_PRESET_LIST, i));
        s.selection = SendDlgItemMessageA(console, QX_IDC_PRESET_LIST, LB_GETCURSEL, 0, 0);
        s.defaultLabel = controlText(console, QX_IDC_DEFAULT_LABEL);
        s.densityDrive = controlText(console, QX_IDC_DENSITY_LABEL);
        for (int slot = 1; slot <= 9; ++slot) {
            char file[32];
            std::snprintf(file, sizeof file, "QX_Preset%.2d.ini", slot);
            s.files.push_back(readWholeFile(path(file)));
        }
        return s;
    }

    // Selects an entry, types a name, clicks a command and answers any
    // question with `answer`; returns the message boxes shown.
    std::vector<MessageBoxWatcher::Seen> command(HWND console, int entry, int button, int answer = IDYES,
                                                 const char* name = nullptr) {
        selectEntry(console, QX_IDC_PRESET_LIST, entry);
        if (name != nullptr) SetDlgItemTextA(console, QX_IDC_PRESET_NAME, name);
        MessageBoxWatcher watcher(answer);
        if (button == LBN_DBLCLK)
            SendMessageA(console, WM_COMMAND, MAKEWPARAM(QX_IDC_PRESET_LIST, LBN_DBLCLK),
                         reinterpret_cast<LPARAM>(GetDlgItem(console, QX_IDC_PRESET_LIST)));
        else
            clickButton(console, button);
        return watcher.seen();
    }
};

// Exactly one message, captioned "Quorvex", owned by the console.
void expectMessage(const std::vector<MessageBoxWatcher::Seen>& seen, HWND console, const std::string& text,
                   bool warning = true) {
    ASSERT_EQ(seen.size(), 1u) << text;
    EXPECT_EQ(seen[0].caption, "Quorvex");
    EXPECT_EQ(seen[0].text, text);
    EXPECT_EQ(seen[0].owner, console);
    EXPECT_EQ(seen[0].warningIcon, warning) << text;
    if (!warning) {
        EXPECT_FALSE(seen[0].anyIcon) << text;
    }
    EXPECT_FALSE(seen[0].yesNo) << text;
}

void expectQuestion(const std::vector<MessageBoxWatcher::Seen>& seen, HWND console, const std::string& text) {
    ASSERT_EQ(seen.size(), 1u) << text;
    EXPECT_EQ(seen[0].caption, "Quorvex");
    EXPECT_EQ(seen[0].text, text);
    EXPECT_EQ(seen[0].owner, console);
    EXPECT_TRUE(seen[0].questionIcon);
    EXPECT_TRUE(seen[0].yesNo);
}

TEST_F(PresetPanelTest, RefusalsChangeNothing) {
    HWND console = startWithThreeSlots();
    ASSERT_NE(console, nullptr);
    ASSERT_EQ(controlText(console, QX_IDC_DENSITY_LABEL), "4.5");
    ASSERT_EQ(controlText(console, QX_IDC_DEFAULT_LABEL), "Default: 5");
    struct Case {
        int entry;
        int button;
        const char* name;
        std::string message;
        bool warning = true;
    };
    const Case cases[] = {
        {-1, QX_IDC_LOAD, nullptr, kNoSelection},
        {-1, QX_IDC_SAVE, nullptr, kNoSelection},
        {-1, QX_IDC_DELETE, nullptr, kNoSelection},
        {-1, QX_IDC_DEFAULT, nullptr, kNoSelection},
        {0, QX_IDC_SAVE, "Mine", "Overwriting of factory presets is not allowed"},
        {9, QX_IDC_DELETE, nullptr, "Deleting of factory presets is not allowed"},
        {entryOfSlot(9), QX_IDC_SAVE, "", "Please specify a preset name before saving"},
        {entryOfSlot(9), QX_IDC_SAVE, "ROCK", kDuplicate},
        {entryOfSlot(3), QX_IDC_SAVE, "rock", kDuplicate},  // a change of letter case only
        {entryOfSlot(7), QX_IDC_SAVE, "Rock", kDuplicate},
        {entryOfSlot(9), QX_IDC_SAVE, " Jazz", "Preset names cannot contain spaces before and after the name"},
        {entryOfSlot(9), QX_IDC_SAVE, "Jazz ", "Preset names cannot contain spaces before and after the name"},
        {entryOfSlot(9), QX_IDC_DELETE, nullptr, kSlotEmpty},
        {entryOfSlot(5), QX_IDC_DELETE, nullptr, kStartupSlot},
        {entryOfSlot(9), QX_IDC_LOAD, nullptr, kSlotEmpty},
        {entryOfSlot(9), LBN_DBLCLK, nullptr, kSlotEmpty},
        {entryOfSlot(9), QX_IDC_DEFAULT, nullptr,
         "Please select a preset slot that contains a preset, then click \"Default\".", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message + " on entry " + std::to_string(c.entry));
        selectEntry(console, QX_IDC_PRESET_LIST, c.entry);
        const PanelState before = state(console);
        expectMessage(command(console, c.entry, c.button, IDYES, c.name), console, c.message, c.warning);
        EXPECT_TRUE(state(console) == before);
    }
    player->quit();
    EXPECT_EQ(savedSettings().at("General.StartupPreset"), "5");
}

TEST_F(PresetPanelTest, SaveAsksBeforeReplacingAnotherName) {
    HWND console = startWithThreeSlots();
    ASSERT_NE(console, nullptr);
    selectEntry(console, QX_IDC_PRESET_LIST, entryOfSlot(5));
    const PanelState before = state(console);
    expectQuestion(command(console, entryOfSlot(5), QX_IDC_SAVE, IDNO, "Jazz"), console, kOverwriteQuestion);
    EXPECT_TRUE(state(console) == before);

    expectQuestion(command(console, entryOfSlot(5), QX_IDC_SAVE, IDYES, "Jazz"), console, kOverwriteQuestion);
    EXPECT_EQ(listText(console, QX_IDC_PRESET_LIST, entryOfSlot(5)), "05:Jazz");
    EXPECT_EQ(SendDlgItemMessageA(console, QX_IDC_PRESET_LIST, LB_GETCURSEL, 0, 0), entryOfSlot(5));
    const auto saved = documentMap(readWholeFile(path("QX_Preset05.ini")));
    EXPECT_EQ(saved.at("General.Name"), "Jazz");
    EXPECT_EQ(saved.at("General.DensityDrive.dB"), "4.5");
    EXPECT_EQ(saved.size(), 342u);

    // The same name again, and a blank inside a new name: no questions.
    EXPECT_TRUE(command(console, entryOfSlot(3), QX_IDC_SAVE, IDNO, "Rock").empty());
    EXPECT_EQ(documentMap(readWholeFile(path("QX_Preset03.ini"))).at("General.DensityDrive.dB"), "4.5");
    EXPECT_TRUE(command(console, entryOfSlot(6), QX_IDC_SAVE, IDNO, "Smooth Jazz").empty());
    EXPECT_EQ(listText(console, QX_IDC_PRESET_LIST, entryOfSlot(6)), "06:Smooth Jazz");
    EXPECT_EQ(SendDlgItemMessageA(console, QX_IDC_PRESET_LIST, LB_GETCURSEL, 0, 0), entryOfSlot(6));
}

TEST_F(PresetPanelTest, DeleteOnlyAfterTheDefaultMovedAndAYes) {
    HWND console = startWithThreeSlots();
    ASSERT_NE(console, nullptr);
    EXPECT_TRUE(command(console, 2, QX_IDC_DEFAULT).empty());  // any factory entry may be the default
    EXPECT_EQ(controlText(console, QX_IDC_DEFAULT_LABEL), "Default: F3");

    selectEntry(console, QX_IDC_PRESET_LIST, entryOfSlot(5));
    const PanelState before = state(console);
    expectQuestion(command(console, entryOfSlot(5), QX_IDC_DELETE, IDNO), console,
                   "Are you sure you wish to delete the selected preset?");
    EXPECT_TRUE(state(console) == before);
    EXPECT_EQ(command(console, entryOfSlot(5), QX_IDC_DELETE, IDYES).size(), 1u);
    EXPECT_FALSE(fileExists(path("QX_Preset05.ini")));
    EXPECT_EQ(listText(console, QX_IDC_PRESET_LIST, entryOfSlot(5)), "05:");
    EXPECT_EQ(SendDlgItemMessageA(console, QX_IDC_PRESET_LIST, LB_GETCURSEL, 0, 0), entryOfSlot(5));
    EXPECT_EQ(controlText(console, QX_IDC_DEFAULT_LABEL), "Default: F3");

    EXPECT_TRUE(command(console, entryOfSlot(7), QX_IDC_DEFAULT).empty());
    EXPECT_EQ(controlText(console, QX_IDC_DEFAULT_LABEL), "Default: 7");
    player->quit();
    EXPECT_EQ(savedSettings().at("General.StartupPreset"), "7");
}

TEST_F(PresetPanelTest, LoadAsksOnlyAfterAnEditAndRebindsEveryOpenWindow) {
    writePreset(2, "Two", {{"Compressor.Threshold1.dB", "3.5"}, {"General.DensityDrive.dB", "1.5"}});
    HWND console = startWithEverythingOff();
    ASSERT_NE(console, nullptr);
    clickButton(console, QX_IDC_COMPRESSOR_OPEN);
    HWND compressor = dialogsWithCaption("Quorvex - Multiband Compressor").front();
    ASSERT_EQ(controlText(compressor, 1004), "-6.0");

    EXPECT_TRUE(command(console, entryOfSlot(2), QX_IDC_LOAD).empty());
    EXPECT_EQ(controlText(compressor, 1004), "3.5");
    EXPECT_EQ(trackbarPosition(compressor, 1001), 205);
    EXPECT_EQ(controlText(console, QX_IDC_DENSITY_LABEL), "1.5");
    EXPECT_EQ(controlText(console, QX_IDC_PRESET_NAME), "Two");

    // An edit in a stage window: the next load asks first.
    dragSlider(compressor, 1001, 0);
    ASSERT_EQ(controlText(compressor, 1004), "24.0");
    expectQuestion(command(console, 9, QX_IDC_LOAD, IDNO), console, kLoadQuestion);
    EXPECT_EQ(controlText(compressor, 1004), "24.0");
    EXPECT_EQ(controlText(console, QX_IDC_PRESET_NAME), "Two");
    expectQuestion(command(console, 9, LBN_DBLCLK, IDYES), console, kLoadQuestion);
    EXPECT_EQ(controlText(compressor, 1004), "-6.0");
    EXPECT_EQ(controlText(console, QX_IDC_PRESET_NAME), "OFF");
    EXPECT_EQ(controlText(console, QX_IDC_DENSITY_LABEL), "0.0");
    // A load leaves the list and its selection as they were.
    EXPECT_EQ(SendDlgItemMessageA(console, QX_IDC_PRESET_LIST, LB_GETCURSEL, 0, 0), 9);

    // A selection file rebinds the open windows too.
    ASSERT_TRUE(writeWholeFile(path("QX_Select.tmp"), "2"));
    EXPECT_TRUE(player->pumpUntil([&] { return controlText(compressor, 1004) == "3.5"; }, 3000));
    EXPECT_EQ(controlText(console, QX_IDC_PRESET_NAME), "Two");
}

}  // namespace
}  // namespace qx::test
