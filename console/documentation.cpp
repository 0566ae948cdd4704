#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "console/analysis_windows.h"
#include "console/control_ids.h"

namespace qx {

namespace {

constexpr const char* kNotFoundText = "String not found";
constexpr const char* kNotFoundCaption = "Quorvex Documentation";
constexpr int kFindLimit = 64;
constexpr int kSearchBufferSize = 65536;  // text beyond 65535 bytes is not searched

void toLower(char* text) {
    for (; *text != '\0'; ++text) *text = static_cast<char>(std::tolower(static_cast<unsigned char>(*text)));
}

}  // namespace

void loadDocumentation(HWND window, HMODULE module) {
    // The manual's tables line up in a fixed-pitch font.
    SendDlgItemMessageA(window, QX_IDC_DOC_TEXT, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(ANSI_FIXED_FONT)),
                        FALSE);
    HRSRC info = FindResourceA(module, MAKEINTRESOURCEA(QX_MANUAL_TEXT), "TEXT");
    if (info == nullptr) return;
    HGLOBAL handle = LoadResource(module, info);
    const char* bytes = handle != nullptr ? static_cast<const char*>(LockResource(handle)) : nullptr;
    const DWORD size = SizeofResource(module, info);
    if (bytes == nullptr || size == 0) return;
    // The resource is not terminated: the text box gets a terminated copy.
    std::unique_ptr<char[]> copy(new (std::nothrow) char[size + 1]);
    if (!copy) return;
    std::memcpy(copy.get(), bytes, size);
    copy[size] = '\0';
    SetDlgItemTextA(window, QX_IDC_DOC_TEXT, copy.get());
    HWND text = GetDlgItem(window, QX_IDC_DOC_TEXT);
    SetFocus(text);
    // No selection: the caret at the start, where the first search begins.
    SendMessageA(text, EM_SETSEL, 0, 0);
}

void findInDocumentation(HWND window) {
    char find[kFindLimit + 1] = {};
    GetDlgItemTextA(window, QX_IDC_DOC_FIND, find, sizeof find);
    if (find[0] == '\0') return;
    std::unique_ptr<char[]> text(new (std::nothrow) char[kSearchBufferSize]());
    if (!text) return;
    HWND box = GetDlgItem(window, QX_IDC_DOC_TEXT);
    GetWindowTextA(box, text.get(), kSearchBufferSize);
    toLower(find);
    toLower(text.get());

    DWORD selectionEnd = 0;
    SendMessageA(box, EM_GETSEL, 0, reinterpret_cast<LPARAM>(&selectionEnd));
    const std::string_view haystack(text.get());
    const std::size_t start = std::min<std::size_t>(selectionEnd, haystack.size());
    std::size_t found = haystack.find(find, start);
    if (found == std::string_view::npos) found = haystack.find(find);
    if (found == std::string_view::npos) {
        MessageBoxA(window, kNotFoundText, kNotFoundCaption, MB_OK | MB_ICONWARNING);
        return;
    }
    SetFocus(box);
    SendMessageA(box, EM_SETSEL, found, found + std::strlen(find));
    SendMessageA(box, EM_SCROLLCARET, 0, 0);
}

}  // namespace qx
