#include "params/settings_file.h"

#include <cmath>
#include <cstdio>

#include "params/settings_document.h"

namespace qx {

namespace {

constexpr const char* kStartupKey = "General.StartupPreset";

// Truncation toward zero, kept inside the int32 range whatever the file says.
int32_t truncated(double value) {
    if (!(value > -2147483648.0)) return INT32_MIN;
    if (!(value < 2147483647.0)) return INT32_MAX;
    return static_cast<int32_t>(std::trunc(value));
}

void windowKey(char (&out)[96], const std::string& group, const char* item) {
    std::snprintf(out, sizeof out, "Window.%s.%s", group.c_str(), item);
}

}  // namespace

Settings readSettings(DataDirectory& directory, const std::vector<std::string>& groupNames) {
    Settings settings;
    SettingsDocument document;
    settings.fileFound = document.readDocument(directory, kSettingsFileName);
    settings.startupPreset = truncated(document.readNumber(kStartupKey, 0.0));
    int32_t cascade = 32;
    char key[96];
    for (const std::string& group : groupNames) {
        WindowPlacement& window = settings.windows.emplace_back();
        windowKey(key, group, "Show");
        window.show = document.readNumber(key, 0.0) > 0.5;
        windowKey(key, group, "X");
        window.x = truncated(document.readNumber(key, cascade));
        windowKey(key, group, "Y");
        window.y = truncated(document.readNumber(key, cascade));
        cascade += 20;
    }
    return settings;
}

bool writeSettings(DataDirectory& directory, const std::vector<std::string>& groupNames,
                   const std::vector<WindowPlacement>& windows, int32_t startupPreset) {
    SettingsDocument document;
    document.beginDocument(kSettingsFileName);
    char key[96];
    for (std::size_t i = 0; i < groupNames.size(); ++i) {
        const WindowPlacement window = i < windows.size() ? windows[i] : WindowPlacement{};
        windowKey(key, groupNames[i], "Show");
        document.appendNumber(key, 0, window.show ? 1.0 : 0.0);
        windowKey(key, groupNames[i], "X");
        document.appendNumber(key, 0, window.x);
        windowKey(key, groupNames[i], "Y");
        document.appendNumber(key, 0, window.y);
    }
    document.appendNumber(kStartupKey, 0, startupPreset);
    return document.writeDocument(directory);
}

void takeWindowPosition(WindowPlacement& placement, int32_t left, int32_t top) {
    if (left >= -999 && left <= 7999) placement.x = left;
    if (top >= -999 && top <= 7999) placement.y = top;
}

}  // namespace qx
