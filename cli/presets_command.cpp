#include <string_view>

#include "cli/options.h"
#include "params/settings_file.h"

namespace qx::cli {

namespace {

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

// The panel's messages that point at its "Default" button, as the tool says them.
const char* const kToolStartupSlot =
    "The selected preset slot is currently selected as the default startup preset.  Please change the default to "
    "another preset (with 'quorvex preset default N'), then delete this preset.";
const char* const kToolDefaultEmpty =
    "Please select a preset slot that contains a preset (see 'quorvex presets'), then run 'quorvex preset default N'.";

// A refusal or an unanswered question of the preset panel ends the command.
int refuse(std::ostream& err, const std::string& what, const char* message) {
    const std::string_view text = message;
    if (text == kMessageStartupSlot) message = kToolStartupSlot;
    if (text == kMessageDefaultEmpty) message = kToolDefaultEmpty;
    return fail(err, kUsageError, what + ": " + message);
}

int savePresetCommand(Engine& engine, const Options& o, PresetId id, std::ostream& out, std::ostream& err) {
    std::string error;
    if (!prepareEngine(engine, o, err, error)) return fail(err, kUsageError, "preset save: " + error);
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
    if (!engine.loadPreset(o.positional[1], err, error)) return fail(err, kUsageError, "preset show: " + error);
    SettingsDocument document;
    engine.library.composePreset(document, id);
    out << document.text();
    return kOk;
}

}  // namespace

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

}  // namespace qx::cli
