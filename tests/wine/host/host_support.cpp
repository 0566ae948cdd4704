#include "host_support.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qx::test {

namespace {

constexpr const char* kUninstallKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Winamp";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

std::string pluginPath() { return environment("QX_PLUGIN"); }

std::string sourcePath(const std::string& relative) {
    std::string path = environment("QX_SOURCE_DIR");
    if (!path.empty() && path.back() != '\\') path += '\\';
    for (char c : relative) path += c == '/' ? '\\' : c;
    return path;
}

std::string screenshotDirectory() {
    std::string directory = environment("QX_SCREENSHOT_DIR");
    if (!directory.empty() && directory.back() != '\\') directory += '\\';
    return directory;
}

bool setUninstallString(const std::string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    const LONG result = RegSetValueExA(key, "UninstallString", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                       static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool removeUninstallString() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return true;
    const LONG result = RegDeleteValueA(key, "UninstallString");
    RegCloseKey(key);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

bool makeEmptyDirectory(const std::string& directory) {
    std::string path;
    for (size_t i = 0; i < directory.size(); ++i) {
        path += directory[i];
        if (directory[i] == '\\' && path.size() > 3) CreateDirectoryA(path.c_str(), nullptr);
    }
    CreateDirectoryA(directory.c_str(), nullptr);
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((directory + "*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                DeleteFileA((directory + entry.cFileName).c_str());
        } while (FindNextFileA(find, &entry));
        FindClose(find);
    }
    const DWORD attributes = GetFileAttributesA(directory.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool fileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string readWholeFile(const std::string& path) {
    std::string text;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return text;
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    std::fclose(file);
    return text;
}

bool writeWholeFile(const std::string& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && ok;
}

std::string documentText(const std::string& fileName, const std::vector<std::pair<std::string, std::string>>& lines) {
    std::string text = "Quorvex test host\r\n";
    text += fileName.rfind("dsp_", 0) == 0 ? "This is a settings file for Quorvex v1.81\r\n"
                                           : "This is a preset file for Quorvex v1.81\r\n";
    text += "Filename: " + fileName + "\r\n";
    text += std::string(41, '-') + "\r\n";
    for (const auto& [key, value] : lines) {
        text += key;
        text += std::string(key.size() < 30 ? 30 - key.size() : 1, ' ');
        text += " = " + value + "\r\n";
    }
    return text;
}

std::vector<std::pair<std::string, std::string>> documentLines(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> lines;
    size_t start = 0;
    int lineNumber = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 2;
        if (++lineNumber <= 4) continue;  // the header
        const size_t equals = line.find(" = ");
        if (equals == std::string::npos) continue;
        std::string key = line.substr(0, line.find(' '));
        lines.emplace_back(key, line.substr(equals + 3));
    }
    return lines;
}

std::map<std::string, std::string> documentMap(const std::string& text) {
    std::map<std::string, std::string> map;
    for (auto& [key, value] : documentLines(text)) map.emplace(key, value);
    return map;
}

std::vector<HWND> dialogsWithCaption(const std::string& caption) {
    struct Search {
        std::string caption;
        std::vector<HWND> found;
    } search{caption, {}};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<Search*>(context);
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            char className[16] = {};
            char text[256] = {};
            GetClassNameA(window, className, sizeof className);
            GetWindowTextA(window, text, sizeof text);
            if (process == GetCurrentProcessId() && std::strcmp(className, "#32770") == 0 && s->caption == text)
                s->found.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND findConsole() {
    const std::vector<HWND> found = dialogsWithCaption("Quorvex v1.81");
    return found.empty() ? nullptr : found.front();
}

std::string controlText(HWND dialog, int controlId) {
    char text[512] = {};
    GetDlgItemTextA(dialog, controlId, text, sizeof text);
    return text;
}

std::string listText(HWND dialog, int listId, int index) {
    HWND list = GetDlgItem(dialog, listId);
    const LRESULT length = SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR) return "<none>";
    std::string text(static_cast<size_t>(length) + 1, '\0');
    SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(length));
    return text;
}

bool isChecked(HWND dialog, int controlId) { return IsDlgButtonChecked(dialog, controlId) == BST_CHECKED; }

void clickButton(HWND dialog, int controlId) { SendDlgItemMessageA(dialog, controlId, BM_CLICK, 0, 0); }

int trackbarPosition(HWND dialog, int controlId) {
    return static_cast<int>(SendDlgItemMessageA(dialog, controlId, TBM_GETPOS, 0, 0));
}

int progressPosition(HWND dialog, int controlId) {
    return static_cast<int>(SendDlgItemMessageA(dialog, controlId, PBM_GETPOS, 0, 0));
}

void pressKey(HWND dialog, int controlId, WPARAM key) {
    HWND control = GetDlgItem(dialog, controlId);
    SendMessageA(control, WM_KEYDOWN, key, 1);
    SendMessageA(control, WM_KEYUP, key, 0xC0000001);
}

void dragSlider(HWND dialog, int controlId, int position) {
    HWND control = GetDlgItem(dialog, controlId);
    SendMessageA(control, TBM_SETPOS, TRUE, position);
    const bool vertical = (GetWindowLongA(control, GWL_STYLE) & TBS_VERT) != 0;
    SendMessageA(dialog, vertical ? WM_VSCROLL : WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, position),
                 reinterpret_cast<LPARAM>(control));
}

void selectEntry(HWND dialog, int listId, int index) {
    SendDlgItemMessageA(dialog, listId, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

namespace {

struct Child {
    HWND window;
    RECT rect;
    std::string name;
    bool groupBox;
};

bool inside(const RECT& inner, const RECT& outer) {
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom;
}

bool overlap(const RECT& a, const RECT& b) {
    RECT common;
    return IntersectRect(&common, &a, &b) != 0;
}

// Room a control needs beside its text: the check box glyph, a group box's
// frame, a button's edges.
int textAllowance(HWND control) {
    char className[32] = {};
    GetClassNameA(control, className, sizeof className);
    const LONG style = GetWindowLongA(control, GWL_STYLE);
    if (_stricmp(className, "Static") == 0) return (style & SS_SUNKEN) != 0 ? 4 : 0;
    if (_stricmp(className, "Button") != 0) return 0;
    switch (style & BS_TYPEMASK) {
    case BS_AUTOCHECKBOX:
    case BS_CHECKBOX:
        return 17;
    case BS_GROUPBOX:
        return 14;
    default:
        return 4;
    }
}

void checkText(const Child& child, std::vector<std::string>& problems) {
    char text[256] = {};
    GetWindowTextA(child.window, text, sizeof text);
    if (text[0] == '\0') return;
    HDC dc = GetDC(child.window);
    HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(child.window, WM_GETFONT, 0, 0)));
    TEXTMETRICA metrics{};
    GetTextMetricsA(dc, &metrics);
    const int width = child.rect.right - child.rect.left - textAllowance(child.window);
    int lines = 0;
    std::string all = text;
    for (size_t start = 0; start <= all.size(); ++lines) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos) end = all.size();
        SIZE extent{};
        GetTextExtentPoint32A(dc, all.data() + start, static_cast<int>(end - start), &extent);
        if (extent.cx > width)
            problems.push_back(child.name + ": text '" + all.substr(start, end - start) + "' is " +
                               std::to_string(extent.cx) + " px wide in " + std::to_string(width));
        start = end + 1;
    }
    const int height = child.rect.bottom - child.rect.top;
    if (!child.groupBox && lines * metrics.tmHeight > height + 2)
        problems.push_back(child.name + ": " + std::to_string(lines) + " lines in " + std::to_string(height) + " px");
    SelectObject(dc, previous);
    ReleaseDC(child.window, dc);
}

}  // namespace

std::vector<std::string> layoutProblems(HWND dialog, int margin) {
    std::vector<Child> children;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if (!IsWindowVisible(child)) continue;
        Child c{child, {}, {}, false};
        GetWindowRect(child, &c.rect);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&c.rect), 2);
        char className[32] = {}, text[64] = {};
        GetClassNameA(child, className, sizeof className);
        GetWindowTextA(child, text, sizeof text);
        c.name = std::string(className) + " " + std::to_string(GetDlgCtrlID(child)) + " '" + text + "'";
        c.groupBox = _stricmp(className, "Button") == 0 && (GetWindowLongA(child, GWL_STYLE) & BS_TYPEMASK) == BS_GROUPBOX;
        children.push_back(c);
    }
    std::vector<std::string> problems;
    RECT client;
    GetClientRect(dialog, &client);
    const RECT margins{client.left + margin, client.top + margin, client.right - margin, client.bottom - margin};
    for (size_t i = 0; i < children.size(); ++i) {
        const Child& a = children[i];
        if (!inside(a.rect, margins)) problems.push_back(a.name + ": outside the margins");
        checkText(a, problems);
        for (size_t j = i + 1; j < children.size(); ++j) {
            const Child& b = children[j];
            if (!overlap(a.rect, b.rect)) continue;
            if (a.groupBox && b.groupBox) {
                if (!inside(a.rect, b.rect) && !inside(b.rect, a.rect)) problems.push_back(a.name + " crosses " + b.name);
            } else if (a.groupBox || b.groupBox) {
                const Child& box = a.groupBox ? a : b;
                const Child& other = a.groupBox ? b : a;
                if (!inside(other.rect, box.rect)) problems.push_back(other.name + " is half inside " + box.name);
            } else {
                problems.push_back(a.name + " overlaps " + b.name);
            }
        }
    }
    return problems;
}

bool saveWindowBitmap(HWND window, const std::string& path) {
    RECT rect;
    if (!GetWindowRect(window, &rect)) return false;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, previous);

    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;  // bottom-up rows, as a BMP file stores them
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const int stride = (width * 3 + 3) & ~3;
    std::string pixels(static_cast<size_t>(stride) * height, '\0');
    const int rows = GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(),
                               reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (rows != height) return false;

    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = static_cast<DWORD>(file.bfOffBits + pixels.size());
    std::string bytes(reinterpret_cast<const char*>(&file), sizeof file);
    bytes.append(reinterpret_cast<const char*>(&info), sizeof info);
    bytes += pixels;
    return writeWholeFile(path, bytes);
}

std::string preparePluginCopy(std::string& dataDir) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dataDir = std::string("C:\\qxtest\\") + info->test_suite_name() + "_" + info->name() + "\\";
    const std::string copy = dataDir + "dsp_Quorvex.dll";
    if (!makeEmptyDirectory(dataDir) || !setUninstallString("\"" + dataDir + "uninst.exe\"") ||
        !CopyFileA(pluginPath().c_str(), copy.c_str(), FALSE))
        return "";
    return copy;
}

ClientPixels readClientPixels(HWND window) {
    ClientPixels pixels;
    RECT client;
    if (!GetClientRect(window, &client)) return pixels;
    const int width = client.right;
    const int height = client.bottom;
    HDC source = GetDC(window);
    HDC memory = CreateCompatibleDC(source);
    HBITMAP bitmap = CreateCompatibleBitmap(source, width, height);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, source, 0, 0, SRCCOPY);
    SelectObject(memory, previous);

    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = -height;  // top-down rows
    info.biPlanes = 1;
    info.biBitCount = 32;
    info.biCompression = BI_RGB;
    std::vector<uint32_t> raw(static_cast<size_t>(width) * height);
    const int rows = GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), raw.data(),
                               reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(window, source);
    if (rows != height) return pixels;
    pixels.width = width;
    pixels.height = height;
    pixels.colours.reserve(raw.size());
    // DIB pixels are 0x00RRGGBB; COLORREF is 0x00BBGGRR.
    for (uint32_t p : raw) pixels.colours.push_back(RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF));
    return pixels;
}


}  // namespace qx::test
