#include "cli/engine_setup.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "engine/coefficient_update.h"
#include "engine/latency.h"
#include "params/offline_start.h"
#include "params/settings_document.h"
#include "params/settings_file.h"
#include "params/slider.h"
#include "platform/platform.h"

namespace qx::cli {

namespace {

// The two keys of a preset file that are not parameters.
constexpr const char* kNameKey = "General.Name";
constexpr const char* kBaseKey = "General.BaseFactoryPreset";

}  // namespace

Engine::Engine(const std::string& dataDir)
    : directory(systemPlatform()), library(directory), state(std::make_unique<ChainState>()) {
    if (!dataDir.empty()) directory.setDirectory(dataDir);
    startOfflineEngine(*state, table, library, clock);
}

int32_t Engine::startupPreset() { return readSettings(directory, table.groupNames()).startupPreset; }

bool Engine::saveStartupPreset(PresetId id) {
    const std::vector<std::string> names = table.groupNames();
    const Settings settings = readSettings(directory, names);
    directory.ensureExists();
    return writeSettings(directory, names, settings.windows, id);
}

int32_t Engine::latencyFrames() const { return chainLatencyFrames(state->params, state->bandCount); }

std::string describeLatency(int32_t frames) {
    char text[64];
    std::snprintf(text, sizeof text, "%d frames (%.2f ms)", frames, frames * 1000.0 / kSampleRate);
    return text;
}

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

bool Engine::loadPreset(const std::string& which, std::ostream& err, std::string& error) {
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
    if (!std::filesystem::is_regular_file(which, ec)) {
        error = "preset " + which + ": not F1-F10, a slot 1-99 or a preset file";
        return false;
    }
    SettingsDocument document;
    if (!document.readDocumentAt(directory.platform(), which.c_str())) {
        error = "preset " + which + ": cannot be read";
        return false;
    }
    // A file of other text would load as its base's values without a word;
    // a misspelt key, or a line the reader cannot take, would be ignored without a word.
    const KeyLines lines = scanKeyLines(document.text());
    bool anyKnown = false;
    std::vector<std::string> unknown;
    for (const std::string& key : lines.keys) {
        if (key == kNameKey || key == kBaseKey || table.find(key) != nullptr) {
            anyKnown = true;
        } else if (std::find(unknown.begin(), unknown.end(), key) == unknown.end()) {
            unknown.push_back(key);
        }
    }
    if (!anyKnown) {
        error = "preset " + which + ": holds no key of a preset; not a preset file";
        return false;
    }
    auto name = [&](const char* what, const std::vector<std::string>& items) {
        if (items.empty()) return;
        err << "quorvex: " << which << ": " << what << " ignored:";
        for (std::size_t i = 0; i < items.size(); ++i) err << (i == 0 ? " " : ", ") << items[i];
        err << "\n";
    };
    name("unknown keys", unknown);
    name("lines not of the form 'KEY = VALUE'", lines.malformed);
    library.loadPresetFile(which.c_str());
    return true;
}

KeyLines scanKeyLines(std::string_view text) {
    // The reader finds a key only after a line end and before a space.
    KeyLines found;
    for (std::size_t start = text.find("\r\n"); start != std::string_view::npos;) {
        start += 2;
        const std::size_t end = std::min(text.find("\r\n", start), text.size());
        const std::string_view line = text.substr(start, end - start);
        const std::size_t space = line.find(' ');
        const std::size_t equals = space == std::string_view::npos ? space : line.find_first_not_of(' ', space);
        if (space != 0 && equals != std::string_view::npos && line[equals] == '=') {
            found.keys.emplace_back(line.substr(0, space));
        } else if (line.find('=') != std::string_view::npos) {
            found.malformed.emplace_back(line.substr(0, 48));
            if (line.size() > 48) found.malformed.back().replace(45, 3, "...");
        }
        start = end < text.size() ? end : std::string_view::npos;
    }
    return found;
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
    const ParameterRecord& record = *table.find(key);
    if (record.kind == ControlKind::Switch) {
        if (v != 0.0 && v != 1.0) {
            error = "--set " + text + ": out of range; " + key + " is a switch and takes 0 or 1";
            return false;
        }
    } else {
        const SettingRange range = settingRange(record);
        if (!(v >= range.low && v <= range.high)) {
            error = "--set " + text + ": out of range; " + key + " takes " + describeRange(range);
            return false;
        }
    }
    out = {key, v};
    return true;
}

SettingRange settingRange(const ParameterRecord& record) {
    if (record.isFrequencySlider()) {
        // The frequencies the slider reaches: 20 Hz at its foot, 20 * 2^(M/100) Hz at its top.
        return {frequencyAtStep(0.0), frequencyAtStep(std::trunc(record.maximum)), "Hz"};
    }
    // The unit is the key's suffix; ratios and the layout number have none.
    const std::string_view key = record.key;
    for (const char* unit : {"dB", "msec", "Hz", "%", "Octaves"}) {
        const std::string suffix = std::string(".") + unit;
        if (key.size() > suffix.size() && key.substr(key.size() - suffix.size()) == suffix)
            return {record.minimum, record.maximum, unit};
    }
    return {record.minimum, record.maximum, ""};
}

std::string describeRange(const SettingRange& range) {
    // Rounded inwards to a tenth, so every value the text allows is accepted.
    auto text = [](double v) {
        char buf[64];
        auto result = std::to_chars(buf, buf + sizeof buf, v);
        return std::string(buf, result.ptr);
    };
    const double low = std::ceil(range.low * 10.0 - 1e-9) / 10.0 + 0.0;  // no "-0"
    const double high = std::floor(range.high * 10.0 + 1e-9) / 10.0;
    return text(low) + " to " + text(high) + (range.unit[0] != '\0' ? " " : "") + range.unit;
}

void applySettings(const Engine& engine, const std::vector<Setting>& settings) {
    for (const auto& [key, value] : settings) engine.table.find(key)->assign(value);
    updateCoefficients(*engine.state, true);
}

}  // namespace qx::cli
