#pragma once
// The engine as the tool hosts it: a heap-allocated state, the parameter table
// bound to it, and a playback clock driven by the audio itself.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/chain_state.h"
#include "params/parameter_table.h"

namespace qx::cli {

// Milliseconds of audio played so far, offset so that the first block, like a
// first block after the player started, counts as coming after a pause.
struct PlaybackClock {
    static constexpr uint32_t kStart = 100000;
    uint64_t frames = 0;
    uint32_t now() const { return kStart + static_cast<uint32_t>(frames * 1000 / 44100); }
    static uint32_t tick(void* self) { return static_cast<PlaybackClock*>(self)->now(); }
};

struct Engine {
    std::unique_ptr<ChainState> state;
    ParameterTable table;
    PlaybackClock clock;

    Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
};

using Setting = std::pair<std::string, double>;

// Parses "KEY=VALUE"; on failure returns false with a one-line reason.
bool parseSetting(const std::string& text, const ParameterTable& table, Setting& out, std::string& error);
// Strict number parse: the whole text must be a finite number.
bool parseNumber(const std::string& text, double& out);

// Assigns the settings, then runs the full coefficient update like a preset load.
void applySettings(const Engine& engine, const std::vector<Setting>& settings);

}  // namespace qx::cli
