#include "params/preset_library.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qx {

namespace {

constexpr const char* kNameKey = "General.Name";
constexpr const char* kBaseKey = "General.BaseFactoryPreset";
constexpr const char* kPresetPattern = "QX_Preset*.ini";
constexpr std::size_t kPresetPrefixLength = 9;  // "QX_Preset"
constexpr std::size_t kNameTableLength = kNameTableEntry - 1;

const ParameterTable& emptyTable() {
    static const ParameterTable table;
    return table;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// scanf "%d" at the start of a C string: white space, sign, digits. Values
// beyond the int range saturate (they are out of every range used here).
bool parseInteger(const char* text, long long& out) {
    while (isSpace(*text)) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    if (*text < '0' || *text > '9') return false;
    long long value = 0;
    while (*text >= '0' && *text <= '9') {
        if (value < 10000000000LL) value = value * 10 + (*text - '0');
        ++text;
    }
    out = negative ? -value : value;
    return true;
}

// "QX_Preset%.2d.ini" into a fixed buffer (no allocation: the poll runs on the audio thread).
bool slotFileName(int slot, char (&out)[32]) {
    if (slot < 1 || slot > kUserSlotCount) return false;
    std::snprintf(out, sizeof out, "QX_Preset%.2d.ini", slot);
    return true;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// The name as the name tables hold it.
std::string_view tableForm(std::string_view name) { return name.substr(0, std::min(name.size(), kNameTableLength)); }

}  // namespace

std::string presetFileName(int slot) {
    char name[32];
    return slotFileName(slot, name) ? std::string(name) : std::string();
}

PresetLibrary::PresetLibrary(DataDirectory& directory) : directory_(directory) {}

void PresetLibrary::bind(const ParameterTable* table, ChainState* state, CoefficientUpdate update) {
    table_ = table;
    state_ = state;
    update_ = update;
}

void PresetLibrary::setNameEntry(char* entry, std::string_view name) {
    // Longer names are cut for the list; the preset file keeps the whole name.
    const std::size_t size = std::min(name.size(), kNameTableLength);
    std::memset(entry, 0, kNameTableEntry);
    std::copy_n(name.data(), size, entry);
    entry[size] = '\0';
}

std::string_view PresetLibrary::factoryName(int index) const {
    if (index < 0 || index >= kFactoryPresetCount) return {};
    return factoryNames_[index];
}

std::string_view PresetLibrary::userName(int slot) const {
    if (slot < 1 || slot > kUserSlotCount) return {};
    return userNames_[slot - 1];
}

std::string_view PresetLibrary::presetName() const { return presetName_; }

void PresetLibrary::setPresetName(std::string_view name) {
    std::size_t size = 0;
    while (size < name.size() && size < kPresetNameCapacity - 1 && name[size] != '\0' && name[size] != '\r' &&
           name[size] != '\n')
        ++size;
    std::copy_n(name.data(), size, presetName_);
    presetName_[size] = '\0';
}

void PresetLibrary::scanLibrary() {
    std::memset(factoryNames_, 0, sizeof factoryNames_);
    std::memset(userNames_, 0, sizeof userNames_);
    Platform& platform = directory_.platform();
    SettingsDocument document;
    for (int i = 0; i < kFactoryPresetCount; ++i) {
        if (!document.readFactoryDocument(platform, i)) continue;
        std::string_view name;
        if (document.readText(kNameKey, name)) setNameEntry(factoryNames_[i], name);
    }

    std::vector<std::string> files;
    platform.listFiles(directory_.directory(), kPresetPattern, files);
    for (const std::string& file : files) {
        // The two characters after the prefix give the slot: "7." reads as 7,
        // "123" as 12.
        if (file.size() < kPresetPrefixLength) continue;
        char digits[3] = {};
        for (std::size_t i = 0; i < 2 && kPresetPrefixLength + i < file.size(); ++i)
            digits[i] = file[kPresetPrefixLength + i];
        long long slot = 0;
        if (!parseInteger(digits, slot)) continue;
        document.readDocument(directory_, file);
        std::string_view name;
        if (!document.readText(kNameKey, name)) name = {};
        if (slot >= 1 && slot <= kUserSlotCount) setNameEntry(userNames_[slot - 1], name);
    }
}

void PresetLibrary::loadUserFile(const char* path) {
    const ParameterTable& table = table_ != nullptr ? *table_ : emptyTable();
    Platform& platform = directory_.platform();
    SettingsDocument document;
    auto read = [&] {
        if (path == nullptr || !document.readDocumentAt(platform, path)) document.setText({});
    };
    read();
    const double base = document.readNumber(kBaseKey, 0.0);
    baseFactoryPreset = base;
    // Keys the file lacks take the values of its base; a base outside F1..F10
    // leaves them at their defaults.
    const double whole = std::trunc(base);
    const int factory = (whole >= -9.0 && whole <= 0.0) ? -static_cast<int>(whole) : -1;
    document.readFactoryDocument(platform, factory);
    document.fillParameters(table, true, presetName_);
    read();
    document.fillParameters(table, false, presetName_);
    baseFactoryPreset = document.readNumber(kBaseKey, 0.0);
}

void PresetLibrary::loadPreset(PresetId id) {
    if (id >= -9 && id <= kUserSlotCount) loaded_ = id;
    if (id >= -9 && id <= 0) {
        SettingsDocument document;
        document.readFactoryDocument(directory_.platform(), -id);
        document.fillParameters(table_ != nullptr ? *table_ : emptyTable(), true, presetName_);
        baseFactoryPreset = static_cast<double>(id);
    } else if (id >= 1 && id <= kUserSlotCount) {
        char name[32];
        PathBuffer path;
        const bool ok = slotFileName(id, name) && directory_.dataPath(name, path);
        loadUserFile(ok ? path.data() : nullptr);
    }
    finishLoad();
}

void PresetLibrary::loadPresetFile(const char* path) {
    loaded_ = kNoPreset;
    loadUserFile(path);
    finishLoad();
}

void PresetLibrary::finishLoad() {
    settingsChanged = 0;
    if (state_ != nullptr) {
        if (update_ != nullptr) update_(*state_, true);
        // The next block clears filters and delay lines: no old audio after a load.
        state_->lastBlockTime = 0;
        state_->resetRequest = 1;
    }
}

void PresetLibrary::composePreset(SettingsDocument& document, int slot) const {
    char name[32];
    document.beginDocument(slotFileName(slot, name) ? name : "");
    document.appendText(kNameKey, presetName());
    document.appendNumber(kBaseKey, 0, baseFactoryPreset.load());
    if (table_ != nullptr) document.writeParameters(*table_);
}

bool PresetLibrary::savePreset(int slot) {
    if (slot < 1 || slot > kUserSlotCount) return false;
    SettingsDocument document;
    composePreset(document, slot);
    if (!document.writeDocument(directory_)) return false;
    setNameEntry(userNames_[slot - 1], presetName());
    settingsChanged = 0;
    return true;
}

bool PresetLibrary::deletePreset(int slot) {
    char name[32];
    PathBuffer path;
    if (!slotFileName(slot, name) || !directory_.dataPath(name, path)) return false;
    if (!directory_.platform().deleteFile(path.data())) return false;
    userNames_[slot - 1][0] = '\0';
    return true;
}

bool PresetLibrary::SelectionMemory::matches(const char* text, std::size_t length, uint64_t stamp) const {
    return held && stamp == writeTime && length == this->length && std::memcmp(text, this->text, length) == 0;
}

void PresetLibrary::SelectionMemory::remember(const char* text, std::size_t length, uint64_t stamp) {
    held = true;
    writeTime = stamp;
    this->length = length;
    std::memcpy(this->text, text, length);
}

void PresetLibrary::pollSelectionFile(const ConsoleHooks* console) {
    PathBuffer path;
    if (!directory_.dataPath(kSelectionFileName, path)) return;
    Platform& platform = directory_.platform();
    char text[kSelectionReadLimit + 1];
    std::size_t length = 0;
    if (!platform.readFile(path.data(), text, kSelectionReadLimit, length)) {
        selection_.held = false;
        return;
    }
    // A writer may still be filling the file: nothing but blanks yet is not a
    // request for F1, so wait for the next poll.
    bool blank = length < kSelectionReadLimit;
    for (std::size_t i = 0; i < length; ++i)
        if (!std::isspace(static_cast<unsigned char>(text[i]))) blank = false;
    if (blank) return;
    // A file we could not delete (read-only, someone else's, held open) is
    // applied once: loading it on every poll would reset the chain each time.
    uint64_t stamp = 0;
    platform.fileWriteTime(path.data(), stamp);
    if (selection_.matches(text, length, stamp)) {
        if (platform.deleteFile(path.data())) selection_.held = false;
        return;
    }
    selection_.remember(text, length, stamp);
    text[length] = '\0';
    for (char* c = text; *c != '\0'; ++c) *c = lower(*c);

    long long number = 0;
    if (!parseInteger(text, number)) number = 0;
    if (number >= -9 && number <= kUserSlotCount) {
        const PresetId id = static_cast<PresetId>(number);
        loadPreset(id);
        settingsChanged = 0;
        if (std::strstr(text, "def") != nullptr) {
            startupPreset = id;
            if (console != nullptr && console->defaultLabelChanged != nullptr)
                console->defaultLabelChanged(console->context);
        }
        if (console != nullptr && console->refillWindows != nullptr) console->refillWindows(console->context);
    }
    if (platform.deleteFile(path.data())) selection_.held = false;
}

void PresetLibrary::pollHook(void* library) {
    if (library != nullptr) static_cast<PresetLibrary*>(library)->pollSelectionFile(nullptr);
}

std::vector<PresetListEntry> PresetLibrary::presetList() const {
    std::vector<PresetListEntry> list;
    char label[64];
    for (int i = 0; i < kFactoryPresetCount; ++i) {
        if (factoryNames_[i][0] == '\0') continue;
        std::snprintf(label, sizeof label, "F%d:%s", i + 1, factoryNames_[i]);
        list.push_back({label, i});
    }
    for (int n = 1; n <= kUserSlotCount; ++n) {
        std::snprintf(label, sizeof label, "%.2d:%s", n, userNames_[n - 1]);
        list.push_back({label, n - 1});
    }
    return list;
}

int PresetLibrary::listIndexOf(PresetId id) const {
    int factoryEntries = 0;
    int found = -1;
    for (int i = 0; i < kFactoryPresetCount; ++i) {
        if (factoryNames_[i][0] == '\0') continue;
        if (id <= 0 && i == -id) found = factoryEntries;
        ++factoryEntries;
    }
    if (id <= 0) return found;
    if (id <= kUserSlotCount) return factoryEntries + id - 1;
    return -1;
}

PresetId PresetLibrary::presetIdOfEntry(const PresetListEntry& entry) {
    if (!entry.label.empty() && entry.label[0] == 'F') return -entry.carried;
    return entry.carried + 1;
}

std::string PresetLibrary::defaultLabel() const { return "Default: " + presetLabel(startupPreset.load()); }

std::string PresetLibrary::presetLabel(PresetId id) {
    char label[24];
    if (id >= 1)
        std::snprintf(label, sizeof label, "%d", id);
    else
        std::snprintf(label, sizeof label, "F%lld", 1LL - id);
    return label;
}

const char* saveRefusal(const PresetLibrary& library, PresetId id) {
    if (id <= 0) return kMessageFactoryOverwrite;
    const std::string_view name = library.presetName();
    if (name.empty()) return kMessageEmptyName;
    // Names are compared in the form the name tables hold (19 characters), so a
    // long name saved again into its own slot is not taken for another slot's.
    const std::string_view listed = tableForm(name);
    if (library.userName(id) != listed) {
        for (int n = 1; n <= kUserSlotCount; ++n)
            if (equalIgnoringCase(library.userName(n), listed)) return kMessageDuplicateName;
    }
    if (name.front() == ' ' || name.back() == ' ') return kMessageBlankEnds;
    return nullptr;
}

const char* saveQuestion(const PresetLibrary& library, PresetId id) {
    if (id >= 1 && !library.slotEmpty(id) && library.userName(id) != tableForm(library.presetName()))
        return kQuestionOverwrite;
    return nullptr;
}

const char* deleteRefusal(const PresetLibrary& library, PresetId id) {
    if (id <= 0) return kMessageFactoryDelete;
    if (library.slotEmpty(id)) return kMessageSlotEmpty;
    if (id == library.startupPreset.load()) return kMessageStartupSlot;
    return nullptr;
}

const char* loadRefusal(const PresetLibrary& library, PresetId id) {
    if (id >= 1 && library.slotEmpty(id)) return kMessageSlotEmpty;
    return nullptr;
}

const char* loadQuestion(const PresetLibrary& library) {
    return library.settingsChanged.load() != 0 ? kQuestionLoadChanged : nullptr;
}

const char* defaultRefusal(const PresetLibrary& library, PresetId id) {
    if (id >= 1 && library.slotEmpty(id)) return kMessageDefaultEmpty;
    return nullptr;
}

}  // namespace qx
