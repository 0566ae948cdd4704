#pragma once
// The console: the plug-in's main window and everything its windows share —
// the window list (one group per window, in the parameter table's order), the
// single dialog procedure, opening, closing and placing windows, binding the
// controls to parameters, and the two timers that drive all periodic work of
// the user interface. Runs on the player's user-interface thread only.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/chain_state.h"
#include "params/parameter_table.h"
#include "params/preset_library.h"
#include "params/settings_file.h"

namespace qx {

struct AnalysisWindows;

inline constexpr const char* kConsoleCaption = "Quorvex v1.81";
inline constexpr const char* kMessageCaption = "Quorvex";
inline constexpr const char* kSettingsChangedText = "Settings Changed";
inline constexpr const char* kHardClipText = "Hard Clip";
inline constexpr const char* kStopPlaybackText = "You must stop playback before using this function";
inline constexpr const char* kWebsiteUrl = "https://quorvex.example.org/";

constexpr UINT_PTR kSlowTimer = 1;  // status, coefficients, selection file, clip text
constexpr UINT_PTR kFastTimer = 2;  // meters and analysis displays
constexpr UINT kSlowTimerMs = 700;
constexpr UINT kFastTimerMs = 50;
// "Frq Resp." refuses while a block arrived less than this long ago.
constexpr uint32_t kPlaybackQuietMs = 1000;

// Off-screen drawing surface of the analysis windows.
struct Surface {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ previous = nullptr;
};

// One window of the list: its parameters and its window state.
struct WindowGroup {
    ParameterGroup* parameters = nullptr;
    HWND window = nullptr;  // null while closed
    Surface surface;
    int32_t x = 0;
    int32_t y = 0;
    bool open = false;  // persisted as "Show"

    int32_t templateId() const { return parameters->templateId; }
    const std::string& name() const { return parameters->name; }
};

class Console {
public:
    Console(ChainState& chain, ParameterTable& table, PresetLibrary& library);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // The player's main window (owner of every window) and the module whose
    // dialog templates are used.
    void setHost(HWND owner, HINSTANCE instance);

    // Creates one window group per parameter group, in table order, each with
    // its saved window state. Without a console window the chain polls the
    // selection file itself from now on.
    void createGroups(const Settings& settings);
    // The saved open flag and position of group k (cascading defaults are
    // already in `saved` when the file lacked them).
    static void restoreWindowState(WindowGroup& group, const WindowPlacement& saved);

    // The config entry: opens the console and every window that was open;
    // an open console is raised.
    void showWindows();
    // Raises the window of a template when it exists, else creates it at its
    // saved position. Unknown templates do nothing.
    void openWindow(int32_t templateId);
    // Stores every open window's position, clears the closing window's open
    // flag and destroys it; closing the console destroys every window.
    void closeWindow(HWND window);
    // Template id of the group that owns the window, 0 when none does.
    int32_t windowKind(HWND window) const;
    // Takes the window's position (within the storable range) into its group.
    void rememberPosition(WindowGroup& group);
    // Quit: takes each open window's position, destroys every window and
    // empties the list; returns the names and window states to be saved.
    void saveAndDestroyAll(std::vector<std::string>& names, std::vector<WindowPlacement>& placements);

    // Binding of controls to parameter records.
    void bindWindow(WindowGroup& group, HWND window);
    void onSliderMoved(HWND window, HWND trackbar);
    void onControlCommand(HWND window, uint32_t controlId);
    // Meters of every open window, changed values only (null), or all meters
    // of one window.
    void refreshMeters(HWND window);
    // Binds every open window again (after a preset load or a layout change).
    void rebindAll();

    // Preset column of the console.
    void fillPresetList(HWND window, PresetId marked);
    void showDefaultLabel(HWND window);
    // Load, Save, Delete, Default and a double-click in the list; false for
    // other controls.
    bool onPresetCommand(HWND window, uint32_t controlId, uint32_t code);

    const std::vector<WindowGroup>& groups() const { return groups_; }
    HWND consoleWindow() const;

    // The list position selected when the console last closed, -1 for none.
    int32_t rememberedSelection = -1;

    static INT_PTR CALLBACK dialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

private:
    INT_PTR handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void initialiseWindow(WindowGroup& group, HWND window);
    bool onConsoleCommand(HWND window, uint32_t controlId, uint32_t code);
    void onSlowTimer(HWND window);
    void onFastTimer();
    void checkPlaybackAndMeasure(HWND window);
    void openWebsite(HWND window);
    void windowClosed(WindowGroup& group);
    void destroyGroupWindow(WindowGroup& group);
    void setTextIfChanged(HWND window, int controlId, const char* text);

    // The common start of every preset command: the selected entry's preset
    // into selected_, or the no-selection message and false.
    bool selectedPreset(HWND window);
    void loadSelected(HWND window);
    void saveSelected(HWND window);
    void deleteSelected(HWND window);
    void makeSelectedDefault(HWND window);

    void createSurface(WindowGroup& group);
    static void releaseSurface(WindowGroup& group);

    WindowGroup* groupOfWindow(HWND window);
    const WindowGroup* groupOfWindow(HWND window) const;
    WindowGroup* groupOfTemplate(int32_t templateId);

    static void defaultLabelHook(void* console);
    static void refillHook(void* console);

    ChainState& chain_;
    ParameterTable& table_;
    PresetLibrary& library_;
    HWND owner_ = nullptr;
    HINSTANCE instance_ = nullptr;
    std::vector<WindowGroup> groups_;
    std::unique_ptr<AnalysisWindows> analysis_;
    ConsoleHooks hooks_;
    bool blinkPhase_ = false;
    PresetId selected_ = 0;  // the entry a preset command acts on
    bool binding_ = false;  // set while controls are filled: their notifications are not edits
};

}  // namespace qx
