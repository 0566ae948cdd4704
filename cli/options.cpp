#include "cli/options.h"

namespace qx::cli {

bool wantsHelp(const std::vector<std::string>& args) {
    for (const auto& a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

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
        if (!handled && (accepted & kJson) && a == "--json") o.json = handled = true;
        if (handled) continue;
        if (a.size() > 1 && a[0] == '-') {
            error = "unknown option '" + a + "'";
            return false;
        }
        o.positional.push_back(a);
    }
    return true;
}

bool prepareEngine(Engine& engine, const Options& o, std::ostream& err, std::string& error) {
    std::vector<Setting> settings;
    for (const std::string& text : o.sets) {
        Setting s;
        if (!parseSetting(text, engine.table, s, error)) return false;
        settings.push_back(s);
    }
    if (!o.preset.empty()) {
        if (!engine.loadPreset(o.preset, err, error)) return false;
    } else {
        engine.library.loadPreset(engine.startupPreset());
    }
    applySettings(engine, settings);
    return true;
}

int fail(std::ostream& err, int code, const std::string& message) {
    err << "quorvex: " << message << "\n";
    return code;
}

}  // namespace qx::cli
