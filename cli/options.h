#pragma once
// Pieces every command shares: option parsing, the one-line failure, the
// engine prepared from --preset and --set, and the help texts of those options.
#include <ostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/engine_setup.h"

namespace qx::cli {

constexpr int kHostBlock = 576;  // frames per block, as the player hands them over

#define QX_PRESET_OPTIONS                                                                  \
    "  --preset ID      F1-F10, a user slot 1-99, or a preset file's path; without it the\n" \
    "                   start-up preset of the data directory (F1 on a fresh machine)\n"   \
    "  --set KEY=VALUE  set a parameter after the preset (see 'quorvex params'); repeatable;\n" \
    "                   a switch takes 0 or 1, a frequency slider hertz from 20 Hz to the\n" \
    "                   top of its slider, any other slider its minimum to maximum\n"
#define QX_DATA_DIR_OPTION                                                                  \
    "  --data-dir DIR   the directory of dsp_Quorvex.ini and the user presets (default\n"    \
    "                   $XDG_CONFIG_HOME/quorvex or ~/.config/quorvex)\n"

bool wantsHelp(const std::vector<std::string>& args);

// A command's arguments: positional ones and the options it accepts.
struct Options {
    std::vector<std::string> positional;
    std::vector<std::string> sets;  // KEY=VALUE texts, checked against the table later
    std::string preset;
    std::string dataDir;
    std::string name;
    bool hasName = false;
    bool yes = false;
    bool json = false;
    std::string raw;   // --raw RATE:CHANNELS
    std::string rate;  // --rate HZ
    std::string remote;       // --remote ADDR:PORT
    std::string remoteToken;  // --remote-token TOKEN
    bool keepLatency = false;
    bool follow = false;
};

enum Accept : unsigned {
    kSet = 1,
    kPreset = 2,
    kDataDir = 4,
    kName = 8,
    kYes = 16,
    kStream = 32,  // --raw, --rate, --keep-latency, --follow, --remote, --remote-token
    kJson = 64,
};

bool parseOptions(const std::vector<std::string>& args, unsigned accepted, Options& o, std::string& error);

// Loads --preset (or the start-up preset, as the plug-in starts), then applies
// --set values; false with the reason on a bad preset or setting. Notices (the
// unknown keys of a preset file) go to `err`.
bool prepareEngine(Engine& engine, const Options& o, std::ostream& err, std::string& error);

// Prints "quorvex: MESSAGE" and returns `code`.
int fail(std::ostream& err, int code, const std::string& message);

// The commands, one file each.
int runProcess(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool progress);
int runParams(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runResponse(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runSpectrum(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runAnalyze(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runPresets(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runPreset(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace qx::cli
