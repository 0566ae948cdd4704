#pragma once
// The preset library: ten factory presets compiled into the program and 99
// user slots, each a file "QX_Preset%.2d.ini" in the data directory; the name
// tables behind the console's preset list; load, save, delete; the start-up
// preset; and the selection file through which other programs switch presets.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/chain_state.h"
#include "base/relaxed.h"
#include "params/data_directory.h"
#include "params/parameter_table.h"
#include "params/settings_document.h"

namespace qx {

// 1..99: user slot n; 0..-9: factory preset F1..F10 (number 1 - id).
using PresetId = int32_t;

constexpr int kFactoryPresetCount = 10;
constexpr int kUserSlotCount = 99;
constexpr std::size_t kNameTableEntry = 20;  // 19 characters and the NUL
constexpr std::size_t kPresetNameCapacity = 256;

inline constexpr const char* kSelectionFileName = "QX_Select.tmp";
constexpr std::size_t kSelectionReadLimit = 511;

// Runs the coefficient update after a load (full: recompute everything).
using CoefficientUpdate = void (*)(ChainState& state, bool full);

// What the console does when the selection poll acts while it is open.
struct ConsoleHooks {
    void* context = nullptr;
    void (*defaultLabelChanged)(void* context) = nullptr;  // the start-up preset changed
    void (*refillWindows)(void* context) = nullptr;        // every open window shows the new values
};

// One entry of the console's preset list: its label and the value it carries
// (the factory index 0..9, or the slot number minus one).
struct PresetListEntry {
    std::string label;
    int32_t carried = 0;
};

// "QX_Preset%.2d.ini" for a slot; empty outside 1..99.
std::string presetFileName(int slot);

class PresetLibrary {
public:
    explicit PresetLibrary(DataDirectory& directory);

    // Binds the parameters a load fills and a save writes, the state whose next
    // block clears its filters after a load, and the full coefficient update
    // (may be null until the chain has one).
    void bind(const ParameterTable* table, ChainState* state, CoefficientUpdate update);

    // Reads every factory name and every user preset file's name.
    void scanLibrary();

    // Factory presets load whole; a user preset loads its base factory preset
    // first and then its own keys, so keys it lacks come from that base. Ids
    // outside -9..99 change no parameter. Always clears settingsChanged, runs
    // the full coefficient update and makes the next block reset.
    void loadPreset(PresetId id);
    // A preset file at any path, loaded like a user slot over its base.
    void loadPresetFile(const char* path);
    // The preset last loaded: a PresetId, or kNoPreset before any load and
    // after a load from a file by path.
    PresetId loadedPreset() const { return loaded_; }
    static constexpr PresetId kNoPreset = -100;

    // The text savePreset writes for a slot (header, name, base, parameters).
    void composePreset(SettingsDocument& document, int slot) const;
    // Writes slot 1..99; on success the slot takes presetName and
    // settingsChanged is cleared. False when the slot is out of range or the
    // file could not be written (the old file then survives).
    bool savePreset(int slot);
    // Deletes the slot's file; on success the slot becomes empty.
    bool deletePreset(int slot);

    // Looks for the selection file, applies it and deletes it. Bounded work:
    // reads at most 511 bytes. A blank file is left for the next poll (its
    // writer may not be done); a file that cannot be deleted is applied once,
    // and again only when its contents or write time change. `console` is
    // null when called from the audio path (no console window).
    void pollSelectionFile(const ConsoleHooks* console);
    // For ChainState::pollSelection: context is the PresetLibrary.
    static void pollHook(void* library);

    // Names (at most 19 characters); index 0..9 for F1..F10, slot 1..99.
    std::string_view factoryName(int index) const;
    std::string_view userName(int slot) const;
    bool slotEmpty(int slot) const { return userName(slot).empty(); }

    std::string_view presetName() const;
    // The console's name box: the text up to its first line break, at most 255 characters.
    void setPresetName(std::string_view name);

    // Preset list: factory entries with names, then all 99 slots.
    std::vector<PresetListEntry> presetList() const;
    // Index in presetList() of the entry of `id`, or -1.
    int listIndexOf(PresetId id) const;
    static PresetId presetIdOfEntry(const PresetListEntry& entry);
    // "Default: %d" or "Default: F%d" of startupPreset.
    std::string defaultLabel() const;
    // "%d" of a slot or "F%d" of a factory preset.
    static std::string presetLabel(PresetId id);

    Number baseFactoryPreset;       // factory id the current values build on
    Relaxed<int32_t> startupPreset;  // loaded at start-up; 0 (F1) when unset
    Flag settingsChanged;            // set by edits, cleared by load and save

private:
    void setNameEntry(char* entry, std::string_view name);
    void finishLoad();
    // Loads a user preset text over its base; a null path reads as empty text.
    void loadUserFile(const char* path);

    // The selection file last applied but not deleted, so it is not applied
    // again until its contents or write time change.
    struct SelectionMemory {
        bool held = false;
        uint64_t writeTime = 0;
        std::size_t length = 0;
        char text[kSelectionReadLimit] = {};
        bool matches(const char* text, std::size_t length, uint64_t stamp) const;
        void remember(const char* text, std::size_t length, uint64_t stamp);
    };

    DataDirectory& directory_;
    const ParameterTable* table_ = nullptr;
    ChainState* state_ = nullptr;
    CoefficientUpdate update_ = nullptr;

    char factoryNames_[kFactoryPresetCount][kNameTableEntry] = {};
    char userNames_[kUserSlotCount + 1][kNameTableEntry] = {};
    char presetName_[kPresetNameCapacity] = {};
    SelectionMemory selection_;
    Relaxed<PresetId> loaded_{kNoPreset};
};

// Messages of the preset panel, quoted exactly.
inline constexpr const char* kMessageNoSelection =
    "Please select a preset from the list before attempting this function";
inline constexpr const char* kMessageFactoryOverwrite = "Overwriting of factory presets is not allowed";
inline constexpr const char* kMessageEmptyName = "Please specify a preset name before saving";
inline constexpr const char* kMessageDuplicateName = "The specified name already exists in another slot.";
inline constexpr const char* kMessageBlankEnds = "Preset names cannot contain spaces before and after the name";
inline constexpr const char* kQuestionOverwrite =
    "You are attempting to save over top of an existing preset with a different name.  Are you sure?";
inline constexpr const char* kMessageSaveFailed = "Failed to save preset";
inline constexpr const char* kMessageFactoryDelete = "Deleting of factory presets is not allowed";
inline constexpr const char* kMessageSlotEmpty = "The selected preset slot does not contain a preset";
inline constexpr const char* kMessageStartupSlot =
    "The selected preset slot is currently selected as the default startup preset.  Please change the default to "
    "another preset (by using the \"Default\" button), then delete this preset.";
inline constexpr const char* kQuestionDelete = "Are you sure you wish to delete the selected preset?";
inline constexpr const char* kMessageDeleteFailed = "Failed to delete preset";
inline constexpr const char* kQuestionLoadChanged =
    "The current settings have changed.  Are you sure you wish to load the selected preset?";
inline constexpr const char* kMessageLoadFailed = "Failed to load preset";
inline constexpr const char* kMessageDefaultEmpty =
    "Please select a preset slot that contains a preset, then click \"Default\".";

// The checks behind the panel's actions, in the panel's order. Each returns the
// message that refuses the action (warning icon; for Default no icon), or null
// when the action may go on. The ...Question functions return the Yes/No
// question to ask next, or null.
const char* saveRefusal(const PresetLibrary& library, PresetId id);
const char* saveQuestion(const PresetLibrary& library, PresetId id);
const char* deleteRefusal(const PresetLibrary& library, PresetId id);
const char* loadRefusal(const PresetLibrary& library, PresetId id);
const char* loadQuestion(const PresetLibrary& library);
const char* defaultRefusal(const PresetLibrary& library, PresetId id);

}  // namespace qx
