#pragma once
// The settings file "dsp_Quorvex.ini": the start-up preset and, per window
// group, whether its window was open and where it stood. Parameter values are
// never kept here; they come from the start-up preset.
#include <cstdint>
#include <string>
#include <vector>

#include "params/data_directory.h"

namespace qx {

inline constexpr const char* kSettingsFileName = "dsp_Quorvex.ini";

struct WindowPlacement {
    bool show = false;
    int32_t x = 0;
    int32_t y = 0;
};

struct Settings {
    bool fileFound = false;     // a missing file opens the console by itself
    int32_t startupPreset = 0;  // F1 when unset
    std::vector<WindowPlacement> windows;  // one per group, table order
};

// Reads the settings for the groups named, in table order. Missing values
// fall back: Show off, positions cascading from 32 by 20 per group.
Settings readSettings(DataDirectory& directory, const std::vector<std::string>& groupNames);

// Writes a fresh settings file; false when it could not be written.
bool writeSettings(DataDirectory& directory, const std::vector<std::string>& groupNames,
                   const std::vector<WindowPlacement>& windows, int32_t startupPreset);

// Takes a window's screen position into its placement, each coordinate only
// when it lies in -999..7999 (a minimised or off-screen window keeps the last one).
void takeWindowPosition(WindowPlacement& placement, int32_t left, int32_t top);

}  // namespace qx
