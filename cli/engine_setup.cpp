#include "cli/engine_setup.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "engine/coefficient_update.h"
#include "engine/stage_setups.h"
#include "params/settings_file.h"
#include "platform/platform.h"

namespace qx::cli {

Engine::Engine(const std::string& dataDir)
    : directory(systemPlatform()), library(directory), state(std::make_unique<ChainState>()) {
    if (!dataDir.empty()) directory.setDirectory(dataDir);
    state->random.seed(1);
    library.scanLibrary();
    table = buildParameterTable(*state);
    library.bind(&table, state.get(), &updateCoefficients);
    designAtStartup(*state);
    state->tickCount = &PlaybackClock::tick;
    state->tickContext = &clock;
}

int32_t Engine::startupPreset() { return readSettings(directory, table.groupNames()).startupPreset; }

bool parsePresetId(const std::string& text, PresetId& id) {
    const bool factory = !text.empty() && (text[0] == 'F' || text[0] == 'f');
    const std::string digits = factory ? text.substr(1) : text;
    if (digits.empty() || digits.size() > 2 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int n = std::stoi(digits);
    if (factory) {
        if (n < 1 || n > kFactoryPresetCount) return false;
        id = 1 - n;
    } else {
        if (n < 1 || n > kUserSlotCount) return false;
        id = n;
    }
    return true;
}

bool Engine::loadPreset(const std::string& which, std::string& error) {
    PresetId id = 0;
    if (parsePresetId(which, id)) {
        if (id >= 1 && library.slotEmpty(id)) {
            error = "preset " + which + ": " + kMessageSlotEmpty;
            return false;
        }
        library.loadPreset(id);
        return true;
    }
    std::error_code ec;
    if (std::filesystem::is_regular_file(which, ec)) {
        library.loadPresetFile(which.c_str());
        return true;
    }
    error = "preset " + which + ": not F1-F10, a slot 1-99 or a preset file";
    return false;
}

bool parseNumber(const std::string& text, double& out) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(v)) return false;
    out = v;
    return true;
}

bool parseSetting(const std::string& text, const ParameterTable& table, Setting& out, std::string& error) {
    auto eq = text.find('=');
    if (eq == std::string::npos) {
        error = "--set " + text + ": expected KEY=VALUE";
        return false;
    }
    std::string key = text.substr(0, eq);
    std::string value = text.substr(eq + 1);
    if (!table.find(key)) {
        error = "--set " + text + ": unknown parameter key '" + key + "'";
        return false;
    }
    double v = 0.0;
    if (!parseNumber(value, v)) {
        error = "--set " + text + ": '" + value + "' is not a number";
        return false;
    }
    out = {key, v};
    return true;
}

void applySettings(const Engine& engine, const std::vector<Setting>& settings) {
    for (const auto& [key, value] : settings) engine.table.find(key)->assign(value);
    updateCoefficients(*engine.state, true);
}

}  // namespace qx::cli
