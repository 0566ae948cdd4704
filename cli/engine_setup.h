#pragma once
// The engine as the tool hosts it, started the way the plug-in starts: the
// preset library scanned, the settings file read for the start-up preset, the
// parameter table built, the filters designed, and a preset loaded. A playback
// clock driven by the audio itself stands in for the system tick counter.
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/chain_state.h"
#include "params/data_directory.h"
#include "params/parameter_table.h"
#include "engine/playback_clock.h"
#include "params/preset_library.h"

namespace qx::cli {

struct Engine {
    DataDirectory directory;
    PresetLibrary library;
    std::unique_ptr<ChainState> state;
    ParameterTable table;
    PlaybackClock clock;

    // `dataDir` empty: the platform's own data directory.
    explicit Engine(const std::string& dataDir = "");
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // The start-up preset of the settings file (F1 when there is none).
    int32_t startupPreset();
    // Loads "F1".."F10", a slot "1".."99" (must hold a preset) or a preset
    // file's path; false with a one-line reason otherwise. A file that holds
    // no key of a preset is refused; the keys of a file that no parameter has
    // are named in one line on `err`.
    bool loadPreset(const std::string& which, std::ostream& err, std::string& error);
    // Makes `id` the start-up preset in the settings file, keeping the
    // plug-in's window states; false when the file cannot be written.
    bool saveStartupPreset(PresetId id);
    // The chain's delay in frames at 44100 Hz for the values in force.
    int32_t latencyFrames() const;
};

// "44103 frames (1000.07 ms)" of a delay in frames at 44100 Hz.
std::string describeLatency(int32_t frames);

using Setting = std::pair<std::string, double>;

// What `--set` accepts for a slider: its range in the unit of the value.
struct SettingRange {
    double low = 0.0;
    double high = 0.0;
    const char* unit = "";  // "Hz", "dB", "msec", "%", "Octaves" or none
};
SettingRange settingRange(const ParameterRecord& record);
// "20 to 20480 Hz"
std::string describeRange(const SettingRange& range);

// Parses "KEY=VALUE" and checks the value against what the parameter takes: a
// switch 0 or 1, a slider its range (settingRange); on failure returns false
// with a one-line reason.
bool parseSetting(const std::string& text, const ParameterTable& table, Setting& out, std::string& error);
// The lines of a document after its first line: the keys of its
// "KEY<spaces>= VALUE" lines, and the other lines that hold an "=".
struct KeyLines {
    std::vector<std::string> keys;
    std::vector<std::string> malformed;
};
KeyLines scanKeyLines(std::string_view text);
// Strict number parse: the whole text must be a finite number.
bool parseNumber(const std::string& text, double& out);
// "F1".."F10" or "1".."99"; false for anything else.
bool parsePresetId(const std::string& text, PresetId& id);

// Assigns the settings, then runs the full coefficient update like a preset load.
void applySettings(const Engine& engine, const std::vector<Setting>& settings);

}  // namespace qx::cli
