#include "cli/commands.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ostream>

#include "cli/audio_file.h"
#include "cli/engine_setup.h"
#include "cli/loudness.h"
#include "params/settings_file.h"
#include "engine/chain.h"
#include "engine/response.h"

namespace qx::cli {

namespace {

constexpr int kHostBlock = 576;  // frames per block, as the player hands them over

const char* const kUsage =
    "usage: quorvex COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  process IN OUT [--set KEY=VALUE]...  process an audio file into a 16-bit WAV\n"
    "  params                               list every parameter of the table\n"
    "  response [--set KEY=VALUE]...        measure the chain's frequency response\n"
    "  analyze FILE                         loudness, loudness range and peaks of a file\n"
    "  presets                              list the presets and the start-up preset\n"
    "  preset save|delete|default|show ...  manage the user presets (see 'quorvex preset --help')\n"
    "\n"
    "Run 'quorvex COMMAND --help' for the options of a command.\n";

#define QX_PRESET_OPTIONS                                                                  \
    "  --preset ID      F1-F10, a user slot 1-99, or a preset file's path; without it the\n" \
    "                   start-up preset of the data directory (F1 on a fresh machine)\n"   \
    "  --set KEY=VALUE  set a parameter after the preset (see 'quorvex params'); repeatable\n"
#define QX_DATA_DIR_OPTION                                                                  \
    "  --data-dir DIR   the directory of dsp_Quorvex.ini and the user presets (default\n"    \
    "                   $XDG_CONFIG_HOME/quorvex or ~/.config/quorvex)\n"

const char* const kProcessHelp =
    "usage: quorvex process IN OUT [--preset ID] [--set KEY=VALUE]... [--data-dir DIR]\n"
    "\n"
    "Reads IN (any format libsndfile reads; mono or stereo, 44100 Hz), runs it\n"
    "through the processing chain in blocks of 576 frames as the player does, and\n"
    "writes OUT as 16-bit PCM WAV. OUT appears only when it was written completely.\n"
    "\n" QX_PRESET_OPTIONS QX_DATA_DIR_OPTION;

const char* const kParamsHelp =
    "usage: quorvex params\n"
    "\n"
    "Prints one tab-separated line per keyed parameter, in table order:\n"
    "key, kind (V vertical slider, H horizontal slider, L frequency slider,\n"
    "S switch), decimals, minimum, maximum, default.\n";

const char* const kResponseHelp =
    "usage: quorvex response [--preset ID] [--set KEY=VALUE]... [--data-dir DIR]\n"
    "\n"
    "Measures the chain's frequency response with a -6 dB test sine at 334\n"
    "frequencies from 20 Hz and prints CSV lines 'frequency_hz,peak', the peak as a\n"
    "fraction of full scale (about 0.501 for unity gain). The elapsed time goes to\n"
    "standard error.\n"
    "\n" QX_PRESET_OPTIONS QX_DATA_DIR_OPTION;

const char* const kPresetsHelp =
    "usage: quorvex presets [--data-dir DIR]\n"
    "\n"
    "Lists the factory presets (F1:Enhancer ...), the user presets in their slots\n"
    "(01:Name ...) and the start-up preset (Default: F1).\n"
    "\n" QX_DATA_DIR_OPTION;

const char* const kPresetHelp =
    "usage: quorvex preset save N --name NAME [--preset BASE] [--set KEY=VALUE]... [--yes]\n"
    "       quorvex preset delete N [--yes]\n"
    "       quorvex preset default ID\n"
    "       quorvex preset show ID\n"
    "\n"
    "save     writes user slot N (1-99) with the values of BASE (default: the start-up\n"
    "         preset) and the --set values, named NAME\n"
    "delete   deletes user slot N\n"
    "default  makes ID (F1-F10 or a slot) the start-up preset\n"
    "show     prints the preset text of ID as it would be saved\n"
    "\n"
    "The same rules as the plug-in's preset panel apply; a refusal prints its\n"
    "message and exits with 2. Where the panel would ask a question, --yes answers it.\n"
    "\n"
    "  --preset ID, --set KEY=VALUE  as for 'quorvex process'\n"
    "  --yes                         answer the panel's question with Yes\n" QX_DATA_DIR_OPTION;

const char* const kAnalyzeHelp =
    "usage: quorvex analyze FILE\n"
    "\n"
    "Reads FILE as 'quorvex process' does and prints its integrated loudness\n"
    "(LUFS), loudness range (LU), true peak (dBTP) and sample peak (dBFS).\n";

bool wantsHelp(const std::vector<std::string>& args) {
    for (const auto& a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

// A command's arguments: positional ones and the options it accepts.
struct Options {
    std::vector<std::string> positional;
    std::vector<std::string> sets;  // KEY=VALUE texts, checked against the table later
    std::string preset;
    std::string dataDir;
    std::string name;
    bool hasName = false;
    bool yes = false;
};

enum Accept : unsigned { kSet = 1, kPreset = 2, kDataDir = 4, kName = 8, kYes = 16 };

bool parseOptions(const std::vector<std::string>& args, unsigned accepted, Options& o, std::string& error) {
    struct Valued {
        const char* flag;
        Accept bit;
        std::string* target;
    } valued[] = {{"--preset", kPreset, &o.preset}, {"--data-dir", kDataDir, &o.dataDir}, {"--name", kName, &o.name}};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool handled = false;
        const std::string flag = a.substr(0, a.find('='));
        if ((accepted & kSet) && flag == "--set") {
            if (a.size() > 5) {
                o.sets.push_back(a.substr(6));
            } else if (i + 1 < args.size()) {
                o.sets.push_back(args[++i]);
            } else {
                error = "--set needs KEY=VALUE";
                return false;
            }
            handled = true;
        }
        for (const Valued& v : valued) {
            if (handled || !(accepted & v.bit) || flag != v.flag) continue;
            if (a.size() > flag.size()) {
                *v.target = a.substr(flag.size() + 1);
            } else if (i + 1 < args.size()) {
                *v.target = args[++i];
            } else {
                error = std::string(v.flag) + " needs a value";
                return false;
            }
            if (v.bit == kName) o.hasName = true;
            handled = true;
        }
        if (!handled && (accepted & kYes) && a == "--yes") o.yes = handled = true;
        if (handled) continue;
        if (a.size() > 1 && a[0] == '-') {
            error = "unknown option '" + a + "'";
            return false;
        }
        o.positional.push_back(a);
    }
    return true;
}

// Loads --preset (or the start-up preset, as the plug-in starts), then applies
// --set values; false with the reason on a bad preset or setting.
bool prepareEngine(Engine& engine, const Options& o, std::string& error) {
    std::vector<Setting> settings;
    for (const std::string& text : o.sets) {
        Setting s;
        if (!parseSetting(text, engine.table, s, error)) return false;
        settings.push_back(s);
    }
    if (!o.preset.empty()) {
        if (!engine.loadPreset(o.preset, error)) return false;
    } else {
        engine.library.loadPreset(engine.startupPreset());
    }
    applySettings(engine, settings);
    return true;
}

std::string shortest(double v) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    return std::string(buf, res.ptr);
}

char kindLetter(const ParameterRecord& r) {
    switch (r.kind) {
        case ControlKind::Switch: return 'S';
        case ControlKind::HorizontalSlider: return 'H';
        case ControlKind::Meter: return 'M';
        case ControlKind::VerticalSlider: break;
    }
    return r.isFrequencySlider() ? 'L' : 'V';
}

struct Level {
    double peak = 0.0;  // fraction of full scale
    double rms = 0.0;
};

Level measureLevel(const std::vector<int16_t>& samples) {
    Level level;
    double sum = 0.0;
    for (int16_t s : samples) {
        double v = s / 32768.0;
        level.peak = std::max(level.peak, std::fabs(v));
        sum += v * v;
    }
    if (!samples.empty()) level.rms = std::sqrt(sum / static_cast<double>(samples.size()));
    return level;
}

std::string dbfs(double v) {
    if (v <= 0.0) return "-inf dBFS";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f dBFS", 20.0 * std::log10(v));
    return buf;
}

void drawProgress(std::ostream& err, int64_t done, int64_t total) {
    constexpr int kWidth = 40;
    int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
    int filled = percent * kWidth / 100;
    err << "\rprocessing [" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] " << percent
        << "%" << std::flush;
}

int fail(std::ostream& err, int code, const std::string& message) {
    err << "quorvex: " << message << "\n";
    return code;
}

int runProcess(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool progress) {
    if (wantsHelp(args)) {
        out << kProcessHelp;
        return kOk;
    }
    Options o;
    std::string error;
    if (!parseOptions(args, kSet | kPreset | kDataDir, o, error)) return fail(err, kUsageError, "process: " + error);
    const std::vector<std::string>& files = o.positional;
    if (files.size() != 2) return fail(err, kUsageError, "process: expected IN and OUT (see 'quorvex process --help')");
    Engine engine(o.dataDir);
    if (!prepareEngine(engine, o, error)) return fail(err, kUsageError, "process: " + error);

    Audio audio;
    IoResult read = readAudio(files[0], audio);
    if (read.status != IoStatus::Ok)
        return fail(err, read.status == IoStatus::IoError ? kIoFailure : kUsageError, read.message);

    Level in = measureLevel(audio.samples);
    Loudness inLoudness = measureLoudness(audio.samples, audio.channels, audio.rate);
    const int64_t total = audio.frames();
    int64_t lastShown = -1;
    for (int64_t frame = 0; frame < total; frame += kHostBlock) {
        int32_t n = static_cast<int32_t>(std::min<int64_t>(kHostBlock, total - frame));
        engine.state->outputPeak = 0.0;  // the host clears the peak before each block
        processBlock(audio.samples.data() + frame * audio.channels, n, 16, audio.channels, audio.rate, *engine.state);
        engine.clock.frames += static_cast<uint64_t>(n);
        if (progress && (frame / 44100) != lastShown) {
            lastShown = frame / 44100;
            drawProgress(err, frame + n, total);
        }
    }
    if (progress) {
        drawProgress(err, total, total);
        err << "\n";
    }
    Level outLevel = measureLevel(audio.samples);
    Loudness outLoudness = measureLoudness(audio.samples, audio.channels, audio.rate);

    IoResult written = writeWav(files[1], audio);
    if (written.status != IoStatus::Ok) return fail(err, kIoFailure, written.message);

    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", static_cast<double>(total) / 44100.0);
    out << files[0] << " -> " << files[1] << ": " << total << " frames (" << seconds << " s), "
        << (audio.channels == 1 ? "mono" : "stereo") << "\n";
    out << "  input:  peak " << dbfs(in.peak) << ", RMS " << dbfs(in.rms) << "; " << describeLoudness(inLoudness)
        << "\n";
    out << "  output: peak " << dbfs(outLevel.peak) << ", RMS " << dbfs(outLevel.rms) << "; "
        << describeLoudness(outLoudness) << "\n";
    return kOk;
}

int runParams(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (wantsHelp(args)) {
        out << kParamsHelp;
        return kOk;
    }
    if (!args.empty()) return fail(err, kUsageError, "params: unexpected argument '" + args[0] + "'");
    Engine engine;
    engine.table.forEachKeyed([&](const ParameterRecord& r) {
        out << r.key << '\t' << kindLetter(r) << '\t' << r.decimals << '\t' << shortest(r.minimum) << '\t'
            << shortest(r.maximum) << '\t' << shortest(r.defaultValue) << '\n';
    });
    return kOk;
}

int runResponse(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (wantsHelp(args)) {
        out << kResponseHelp;
        return kOk;
    }
    Options o;
    std::string error;
    if (!parseOptions(args, kSet | kPreset | kDataDir, o, error)) return fail(err, kUsageError, "response: " + error);
    if (!o.positional.empty())
        return fail(err, kUsageError, "response: unexpected argument '" + o.positional[0] + "'");
    Engine engine(o.dataDir);
    if (!prepareEngine(engine, o, error)) return fail(err, kUsageError, "response: " + error);

    auto started = std::chrono::steady_clock::now();
    auto measurement = std::make_unique<ChainState>();
    ResponseCurve curve;
    measureResponse(*engine.state, *measurement, curve);
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    out << "frequency_hz,peak\n";
    char line[64];
    for (int i = 0; i < kResponsePoints; ++i) {
        std::snprintf(line, sizeof line, "%d,%.6f\n", curve.frequencyHz[i], curve.peak[i]);
        out << line;
    }
    char text[64];
    std::snprintf(text, sizeof text, "Time To Complete Chart: %.1f sec\n", elapsed);
    err << text;
    return kOk;
}

int runAnalyze(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (wantsHelp(args)) {
        out << kAnalyzeHelp;
        return kOk;
    }
    if (args.size() != 1) return fail(err, kUsageError, "analyze: expected one FILE (see 'quorvex analyze --help')");
    Audio audio;
    IoResult read = readAudio(args[0], audio);
    if (read.status != IoStatus::Ok)
        return fail(err, read.status == IoStatus::IoError ? kIoFailure : kUsageError, read.message);
    Loudness l = measureLoudness(audio.samples, audio.channels, audio.rate);
    if (!l.valid) return fail(err, kUsageError, args[0] + ": loudness could not be measured");
    char text[256];
    std::snprintf(text, sizeof text,
                  "integrated loudness: %.1f LUFS\nloudness range: %.1f LU\ntrue peak: %.1f dBTP\n"
                  "sample peak: %.1f dBFS\n",
                  l.integratedLufs, l.rangeLu, l.truePeakDbtp, l.samplePeakDbfs);
    out << args[0] << "\n" << text;
    return kOk;
}

int runPresets(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (wantsHelp(args)) {
        out << kPresetsHelp;
        return kOk;
    }
    Options o;
    std::string error;
    if (!parseOptions(args, kDataDir, o, error)) return fail(err, kUsageError, "presets: " + error);
    if (!o.positional.empty())
        return fail(err, kUsageError, "presets: unexpected argument '" + o.positional[0] + "'");
    Engine engine(o.dataDir);
    engine.library.startupPreset = engine.startupPreset();
    for (const PresetListEntry& entry : engine.library.presetList()) {
        const PresetId id = PresetLibrary::presetIdOfEntry(entry);
        if (id >= 1 && engine.library.slotEmpty(id)) continue;
        out << entry.label << "\n";
    }
    out << engine.library.defaultLabel() << "\n";
    return kOk;
}

// A refusal or an unanswered question of the preset panel ends the command.
int refuse(std::ostream& err, const std::string& what, const char* message) {
    return fail(err, kUsageError, what + ": " + message);
}

int savePresetCommand(Engine& engine, const Options& o, PresetId id, std::ostream& out, std::ostream& err) {
    std::string error;
    if (!prepareEngine(engine, o, error)) return fail(err, kUsageError, "preset save: " + error);
    if (o.hasName) engine.library.setPresetName(o.name);
    if (const char* refusal = saveRefusal(engine.library, id)) return refuse(err, "preset save", refusal);
    if (const char* question = saveQuestion(engine.library, id); question && !o.yes)
        return refuse(err, "preset save", (std::string(question) + " (answer with --yes)").c_str());
    engine.directory.ensureExists();
    if (!engine.library.savePreset(id)) return fail(err, kIoFailure, "preset save: " + std::string(kMessageSaveFailed));
    out << "saved " << PresetLibrary::presetLabel(id) << ": " << engine.library.userName(id) << "\n";
    return kOk;
}

int deletePresetCommand(Engine& engine, const Options& o, PresetId id, std::ostream& out, std::ostream& err) {
    if (const char* refusal = deleteRefusal(engine.library, id)) return refuse(err, "preset delete", refusal);
    if (!o.yes)
        return refuse(err, "preset delete", (std::string(kQuestionDelete) + " (answer with --yes)").c_str());
    if (!engine.library.deletePreset(id))
        return fail(err, kIoFailure, "preset delete: " + std::string(kMessageDeleteFailed));
    out << "deleted " << PresetLibrary::presetLabel(id) << "\n";
    return kOk;
}

int defaultPresetCommand(Engine& engine, PresetId id, std::ostream& out, std::ostream& err) {
    if (const char* refusal = defaultRefusal(engine.library, id)) return refuse(err, "preset default", refusal);
    // Window states of the plug-in stay as they were; only the start-up preset changes.
    const std::vector<std::string> names = engine.table.groupNames();
    Settings settings = readSettings(engine.directory, names);
    engine.directory.ensureExists();
    if (!writeSettings(engine.directory, names, settings.windows, id))
        return fail(err, kIoFailure, std::string("preset default: could not write ") + kSettingsFileName);
    engine.library.startupPreset = id;
    out << engine.library.defaultLabel() << "\n";
    return kOk;
}

int showPresetCommand(Engine& engine, const Options& o, PresetId id, std::ostream& out, std::ostream& err) {
    std::string error;
    if (!engine.loadPreset(o.positional[1], error)) return fail(err, kUsageError, "preset show: " + error);
    SettingsDocument document;
    engine.library.composePreset(document, id);
    out << document.text();
    return kOk;
}

int runPreset(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (wantsHelp(args) || args.empty()) {
        (args.empty() ? err : out) << kPresetHelp;
        return args.empty() ? kUsageError : kOk;
    }
    const std::string action = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    const unsigned accepted = action == "save"     ? (kSet | kPreset | kDataDir | kName | kYes)
                              : action == "delete" ? (kDataDir | kYes)
                                                   : kDataDir;
    if (action != "save" && action != "delete" && action != "default" && action != "show")
        return fail(err, kUsageError, "preset: unknown action '" + action + "' (see 'quorvex preset --help')");
    Options o;
    std::string error;
    if (!parseOptions(rest, accepted, o, error)) return fail(err, kUsageError, "preset " + action + ": " + error);
    if (o.positional.size() != 1)
        return fail(err, kUsageError, "preset " + action + ": expected one preset (see 'quorvex preset --help')");
    o.positional.insert(o.positional.begin(), action);
    PresetId id = 0;
    const bool isId = parsePresetId(o.positional[1], id);
    if (!isId && action != "show")
        return fail(err, kUsageError, "preset " + action + ": '" + o.positional[1] + "' is not F1-F10 or a slot 1-99");
    if (action == "save" && !o.hasName && o.preset.empty())
        return fail(err, kUsageError, "preset save: expected --name NAME");

    Engine engine(o.dataDir);
    engine.library.startupPreset = engine.startupPreset();
    if (action == "save") return savePresetCommand(engine, o, id, out, err);
    if (action == "delete") return deletePresetCommand(engine, o, id, out, err);
    if (action == "default") return defaultPresetCommand(engine, id, out, err);
    return showPresetCommand(engine, o, isId ? id : 0, out, err);
}

}  // namespace

int runCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool progress) {
    if (args.empty()) {
        err << kUsage;
        return kUsageError;
    }
    const std::string& command = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h" || command == "help") {
        out << kUsage;
        return kOk;
    }
    if (command == "process") return runProcess(rest, out, err, progress);
    if (command == "params") return runParams(rest, out, err);
    if (command == "response") return runResponse(rest, out, err);
    if (command == "analyze") return runAnalyze(rest, out, err);
    if (command == "presets") return runPresets(rest, out, err);
    if (command == "preset") return runPreset(rest, out, err);
    return fail(err, kUsageError, "unknown command '" + command + "' (see 'quorvex --help')");
}

}  // namespace qx::cli
