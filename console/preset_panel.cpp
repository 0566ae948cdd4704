// The console's preset column: the list of factory presets and user slots,
// the label naming the start-up preset, and the Load, Save, Delete and
// Default commands with their checks, questions and messages.
#include "console/console.h"
#include "console/control_ids.h"

namespace qx {

namespace {

void warn(HWND window, const char* text) { MessageBoxA(window, text, kMessageCaption, MB_OK | MB_ICONWARNING); }

bool confirmed(HWND window, const char* question) {
    return MessageBoxA(window, question, kMessageCaption, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

}  // namespace

void Console::fillPresetList(HWND window, PresetId marked) {
    HWND list = GetDlgItem(window, QX_IDC_PRESET_LIST);
    if (list == nullptr) return;
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    for (const PresetListEntry& entry : library_.presetList()) {
        const LRESULT index = SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.label.c_str()));
        if (index >= 0) SendMessageA(list, LB_SETITEMDATA, static_cast<WPARAM>(index), entry.carried);
    }
    // A marked id of 0 or less can only select a factory entry, a positive one only a slot.
    const int selected = library_.listIndexOf(marked);
    SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(selected), 0);
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
    showDefaultLabel(window);
}

void Console::showDefaultLabel(HWND window) {
    SetDlgItemTextA(window, QX_IDC_DEFAULT_LABEL, library_.defaultLabel().c_str());
}

bool Console::onPresetCommand(HWND window, uint32_t controlId, uint32_t code) {
    struct Command {
        uint32_t controlId;
        void (Console::*action)(HWND);
    };
    static constexpr Command kCommands[] = {
        {QX_IDC_LOAD, &Console::loadSelected},
        {QX_IDC_SAVE, &Console::saveSelected},
        {QX_IDC_DELETE, &Console::deleteSelected},
        {QX_IDC_DEFAULT, &Console::makeSelectedDefault},
    };
    if (controlId == QX_IDC_PRESET_LIST) {
        // A double-click on an entry loads it; other list notifications do nothing here.
        if (code == LBN_DBLCLK && selectedPreset(window)) loadSelected(window);
        return true;
    }
    for (const Command& command : kCommands) {
        if (command.controlId != controlId) continue;
        if (selectedPreset(window)) (this->*command.action)(window);
        return true;
    }
    return false;
}

bool Console::selectedPreset(HWND window) {
    HWND list = GetDlgItem(window, QX_IDC_PRESET_LIST);
    const LRESULT index = SendMessageA(list, LB_GETCURSEL, 0, 0);
    if (index == LB_ERR) {
        warn(window, kMessageNoSelection);
        return false;
    }
    const LRESULT length = SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    const LRESULT carried = SendMessageA(list, LB_GETITEMDATA, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR || carried == LB_ERR) return false;  // nothing to act on, nothing to say
    PresetListEntry entry;
    entry.label.assign(static_cast<size_t>(length) + 1, '\0');
    SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(entry.label.data()));
    entry.label.resize(static_cast<size_t>(length));
    entry.carried = static_cast<int32_t>(carried);
    selected_ = PresetLibrary::presetIdOfEntry(entry);
    return true;
}

void Console::loadSelected(HWND window) {
    if (const char* refusal = loadRefusal(library_, selected_)) return warn(window, refusal);
    if (const char* question = loadQuestion(library_); question != nullptr && !confirmed(window, question)) return;
    library_.loadPreset(selected_);
    // Every open window, the name field included, shows the loaded values.
    rebindAll();
}

void Console::saveSelected(HWND window) {
    if (const char* refusal = saveRefusal(library_, selected_)) return warn(window, refusal);
    if (const char* question = saveQuestion(library_, selected_);
        question != nullptr && !confirmed(window, question))
        return;
    if (!library_.savePreset(selected_)) return warn(window, kMessageSaveFailed);
    fillPresetList(window, selected_);
}

void Console::deleteSelected(HWND window) {
    if (const char* refusal = deleteRefusal(library_, selected_)) return warn(window, refusal);
    if (!confirmed(window, kQuestionDelete)) return;
    if (!library_.deletePreset(selected_)) return warn(window, kMessageDeleteFailed);
    fillPresetList(window, selected_);
}

void Console::makeSelectedDefault(HWND window) {
    if (const char* refusal = defaultRefusal(library_, selected_)) {
        MessageBoxA(window, refusal, kMessageCaption, MB_OK);  // the one message without an icon
        return;
    }
    library_.startupPreset = selected_;
    showDefaultLabel(window);
}

}  // namespace qx
