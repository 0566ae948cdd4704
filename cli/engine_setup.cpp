#include "cli/engine_setup.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "filters/coefficient_update.h"
#include "filters/stage_setups.h"

namespace qx::cli {

Engine::Engine() : state(std::make_unique<ChainState>()) {
    state->random.seed(1);
    table = buildParameterTable(*state);
    designAtStartup(*state);
    state->tickCount = &PlaybackClock::tick;
    state->tickContext = &clock;
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
