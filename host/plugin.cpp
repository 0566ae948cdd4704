// The plug-in as the player sees it: the exported header, the one module and
// its four entry points, and the order in which start-up and shut-down run.
#include <atomic>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "console/console.h"
#include "engine/chain.h"
#include "engine/coefficient_update.h"
#include "engine/stage_setups.h"
#include "host/plugin_interface.h"
#include "params/data_directory.h"
#include "params/parameter_table.h"
#include "params/preset_library.h"
#include "params/settings_document.h"
#include "params/settings_file.h"
#include "platform/clock.h"
#include "platform/float_environment.h"
#include "platform/platform.h"

namespace qx {

namespace {

inline constexpr const char* kNotRunningText =
    "Quorvex is not running.  Please select / run the plugin before attempting to configure.";
inline constexpr const char* kConfigurationCaption = "Quorvex Configuration";
constexpr uint32_t kHandOverMs = 100;

// Everything init creates, allocated once and kept until the module unloads.
struct Plugin {
    std::unique_ptr<ChainState> chain = std::make_unique<ChainState>();
    ParameterTable table;
    DataDirectory directory{systemPlatform()};
    PresetLibrary library{directory};
    std::unique_ptr<Console> console;
    Flag initialized;
    Flag stopping;  // set by quit; the playback thread then passes blocks through
};

bool initDone = false;  // the once-flag: never cleared while the module is loaded
std::unique_ptr<Plugin> plugin;
// The playback thread's view: published only when init has finished.
std::atomic<Plugin*> playing{nullptr};

void config(PluginModule* module);
int32_t init(PluginModule* module);
int32_t modifySamples(PluginModule* module, int16_t* samples, int32_t numsamples, int32_t bps, int32_t nch,
                      int32_t srate);
void quit(PluginModule* module);
PluginModule* getModule(int32_t which);

PluginModule theModule = {kProductVersion, nullptr, nullptr, &config, &init, &modifySamples, &quit, nullptr};
PluginHeader theHeader = {kHeaderVersion, kProductVersion, &getModule};

PluginModule* getModule(int32_t which) { return which == 0 ? &theModule : nullptr; }

int32_t init(PluginModule* module) {
    const DefaultFloatEnvironment floats;
    if (initDone) return 0;
    auto created = std::make_unique<Plugin>();
    Plugin& p = *created;
    ChainState& chain = *p.chain;
    chain.random.seed(static_cast<uint32_t>(std::time(nullptr)));

    HWND owner = module != nullptr ? module->hwndParent : nullptr;
    HINSTANCE instance = module != nullptr ? module->hDllInstance : nullptr;
    // Factory presets are resources of this module.
    setResourceModule(instance);
    p.console = std::make_unique<Console>(chain, p.table, p.library);
    p.console->setHost(owner, instance);
    p.console->rememberedSelection = -1;

    p.library.scanLibrary();
    // Declares every parameter (each takes its default) in the fixed group order.
    p.table = buildParameterTable(chain);
    const Settings settings = readSettings(p.directory, p.table.groupNames());
    p.library.startupPreset = settings.startupPreset;
    p.console->createGroups(settings);
    designAtStartup(chain);
    p.library.bind(&p.table, &chain, &updateCoefficients);
    p.library.loadPreset(settings.startupPreset);

    chain.tickCount = &systemTickHook;
    // Until a console window exists the playback thread polls the selection file.
    chain.pollContext = &p.library;
    chain.pollSelection = &PresetLibrary::pollHook;

    p.initialized = 1;
    initDone = true;
    plugin = std::move(created);
    playing.store(plugin.get(), std::memory_order_release);

    const bool consoleWasOpen = !settings.windows.empty() && settings.windows.front().show;
    if (consoleWasOpen || !settings.fileFound) config(module);
    return 0;
}

void config(PluginModule* module) {
    const DefaultFloatEnvironment floats;
    Plugin* p = plugin.get();
    HWND owner = module != nullptr ? module->hwndParent : nullptr;
    if (p == nullptr || !p->initialized) {
        MessageBoxA(owner, kNotRunningText, kConfigurationCaption, MB_OK | MB_ICONWARNING);
        return;
    }
    p->console->setHost(owner, module != nullptr ? module->hDllInstance : nullptr);
    p->console->showWindows();
}

int32_t modifySamples(PluginModule*, int16_t* samples, int32_t numsamples, int32_t bps, int32_t nch, int32_t srate) {
    Plugin* p = playing.load(std::memory_order_acquire);
    if (p == nullptr || p->stopping) return numsamples;
    const DefaultFloatEnvironment floats;
    // The console shows the peak of the latest block.
    p->chain->outputPeak = 0.0;
    return processBlock(samples, numsamples, bps, nch, srate, *p->chain);
}

void quit(PluginModule*) {
    const DefaultFloatEnvironment floats;
    Plugin* p = plugin.get();
    if (p == nullptr || !p->initialized) return;
    // The only hand-over between the threads: a block in progress finishes,
    // later blocks pass through untouched.
    p->stopping = 1;
    sleepMilliseconds(kHandOverMs);
    p->chain->pollSelection = nullptr;

    std::vector<std::string> names;
    std::vector<WindowPlacement> placements;
    p->console->saveAndDestroyAll(names, placements);
    p->table.groups.clear();  // the groups go with their windows
    writeSettings(p->directory, names, placements, p->library.startupPreset);
    p->initialized = 0;
}

}  // namespace

}  // namespace qx

extern "C" __declspec(dllexport) qx::PluginHeader* winampDSPGetHeader2() { return &qx::theHeader; }
