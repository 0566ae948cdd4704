#pragma once
// The records of the player's DSP plug-in interface (header version 0x20). The
// player owns the layout: fields, their order and, in the 32-bit build, their
// offsets must match its own declarations exactly.
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace qx {

struct PluginModule;

// All entry points use the C calling convention of the player's interface.
using ConfigFunction = void (*)(PluginModule* module);
using InitFunction = int32_t (*)(PluginModule* module);
using ModifySamplesFunction = int32_t (*)(PluginModule* module, int16_t* samples, int32_t numsamples, int32_t bps,
                                          int32_t nch, int32_t srate);
using QuitFunction = void (*)(PluginModule* module);
using GetModuleFunction = PluginModule* (*)(int32_t which);

struct PluginHeader {
    int32_t version;
    const char* description;
    GetModuleFunction getModule;
};

struct PluginModule {
    const char* description;
    HWND hwndParent;        // filled by the player before init
    HINSTANCE hDllInstance; // filled by the player before init
    ConfigFunction Config;
    InitFunction Init;
    ModifySamplesFunction ModifySamples;
    QuitFunction Quit;
    void* userData;
};

constexpr int32_t kHeaderVersion = 0x20;
// The player looks the header up by this export name, undecorated.
inline constexpr const char* kHeaderExport = "winampDSPGetHeader2";

#if defined(_WIN32) && !defined(_WIN64)
static_assert(offsetof(PluginHeader, version) == 0);
static_assert(offsetof(PluginHeader, description) == 4);
static_assert(offsetof(PluginHeader, getModule) == 8);
static_assert(sizeof(PluginHeader) == 12);
static_assert(offsetof(PluginModule, description) == 0);
static_assert(offsetof(PluginModule, hwndParent) == 4);
static_assert(offsetof(PluginModule, hDllInstance) == 8);
static_assert(offsetof(PluginModule, Config) == 12);
static_assert(offsetof(PluginModule, Init) == 16);
static_assert(offsetof(PluginModule, ModifySamples) == 20);
static_assert(offsetof(PluginModule, Quit) == 24);
static_assert(offsetof(PluginModule, userData) == 28);
static_assert(sizeof(PluginModule) == 32);
#endif

}  // namespace qx
