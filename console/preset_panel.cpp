// The console's preset column: the list of factory presets and user slots and
// the label naming the start-up preset.
#include "console/console.h"
#include "console/control_ids.h"

namespace qx {

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

}  // namespace qx
