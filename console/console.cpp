#include "console/console.h"

#include <shellapi.h>

#include "console/analysis_windows.h"
#include "console/control_ids.h"
#include "engine/coefficient_update.h"
#include "engine/stage_setups.h"
#include "platform/clock.h"
#include "platform/float_environment.h"

namespace qx {

namespace {

// The console whose windows the dialog procedure serves. There is one plug-in
// per loaded module, so there is at most one console.
Console* activeConsole = nullptr;

struct OpenButton {
    uint32_t controlId;
    int32_t templateId;
};

// Console buttons that open a window: the stage rows' "Open..." buttons,
// "Advanced", the analysis tools and the documentation.
constexpr OpenButton kOpenButtons[] = {
    {QX_IDC_HIGHPASS_OPEN, QX_DLG_HIGHPASS},
    {QX_IDC_STEREO_OPEN, QX_DLG_STEREO},
    {QX_IDC_AGC_OPEN, QX_DLG_AGC},
    {QX_IDC_3BAND_OPEN, QX_DLG_3BAND_EQ},
    {QX_IDC_PEQ_OPEN, QX_DLG_PARAMETRIC_EQ},
    {QX_IDC_PROCESSOR_OPEN, QX_DLG_PROCESSOR},
    {QX_IDC_DYNEQ_OPEN, QX_DLG_DYNAMIC_EQ},
    {QX_IDC_COMPRESSOR_OPEN, QX_DLG_COMPRESSOR},
    {QX_IDC_EXPANDER_OPEN, QX_DLG_EXPANDER},
    {QX_IDC_LIMITER_OPEN, QX_DLG_LIMITER},
    {QX_IDC_SATURATOR_OPEN, QX_DLG_SATURATOR},
    {QX_IDC_10BAND_OPEN, QX_DLG_10BAND_EQ},
    {QX_IDC_FINAL_LIMITER_OPEN, QX_DLG_FINAL_LIMITER},
    {QX_IDC_FINAL_CLIPPER_OPEN, QX_DLG_FINAL_CLIPPER},
    {QX_IDC_LOWPASS_OPEN, QX_DLG_LOWPASS},
    {QX_IDC_ADVANCED, QX_DLG_ADVANCED},
    {QX_IDC_TEST_TONES, QX_DLG_TEST_TONES},
    {QX_IDC_SPECTRUM, QX_DLG_SPECTRUM},
    {QX_IDC_OSCILLOSCOPE, QX_DLG_OSCILLOSCOPE},
    {QX_IDC_HELP, QX_DLG_DOCUMENTATION},
};

bool hasSurface(int32_t templateId) {
    return templateId == QX_DLG_OSCILLOSCOPE || templateId == QX_DLG_SPECTRUM || templateId == QX_DLG_FREQ_RESPONSE;
}

}  // namespace

Console::Console(ChainState& chain, ParameterTable& table, PresetLibrary& library)
    : chain_(chain), table_(table), library_(library), analysis_(std::make_unique<AnalysisWindows>()) {
    hooks_.context = this;
    hooks_.defaultLabelChanged = &Console::defaultLabelHook;
    hooks_.refillWindows = &Console::refillHook;
    activeConsole = this;
}

Console::~Console() {
    // Windows are destroyed by saveAndDestroyAll at quit; a module unloaded
    // without quit cannot touch them from here (wrong thread, loader lock).
    if (activeConsole == this) activeConsole = nullptr;
}

void Console::setHost(HWND owner, HINSTANCE instance) {
    owner_ = owner;
    instance_ = instance;
}

void Console::createGroups(const Settings& settings) {
    groups_.clear();
    // Dialogs keep a pointer to their group: the list never reallocates.
    groups_.reserve(table_.groups.size());
    for (std::size_t k = 0; k < table_.groups.size(); ++k) {
        WindowGroup& group = groups_.emplace_back();
        group.parameters = &table_.groups[k];
        const int32_t cascade = 32 + 20 * static_cast<int32_t>(k);
        restoreWindowState(group, k < settings.windows.size() ? settings.windows[k] : WindowPlacement{false, cascade, cascade});
    }
    chain_.consoleClosed = 1;
}

void Console::restoreWindowState(WindowGroup& group, const WindowPlacement& saved) {
    group.open = saved.show;
    group.x = saved.x;
    group.y = saved.y;
}

HWND Console::consoleWindow() const { return groups_.empty() ? nullptr : groups_.front().window; }

WindowGroup* Console::groupOfWindow(HWND window) {
    if (window == nullptr) return nullptr;
    for (WindowGroup& group : groups_)
        if (group.window == window) return &group;
    return nullptr;
}

const WindowGroup* Console::groupOfWindow(HWND window) const {
    return const_cast<Console*>(this)->groupOfWindow(window);
}

WindowGroup* Console::groupOfTemplate(int32_t templateId) {
    for (WindowGroup& group : groups_)
        if (group.templateId() == templateId) return &group;
    return nullptr;
}

int32_t Console::windowKind(HWND window) const {
    const WindowGroup* group = groupOfWindow(window);
    return group != nullptr ? group->templateId() : 0;
}

void Console::showWindows() {
    for (std::size_t i = 0; i < groups_.size(); ++i) {
        WindowGroup& group = groups_[i];
        const bool head = i == 0;
        if (group.window == nullptr) {
            if (head || group.open) openWindow(group.templateId());
        } else if (head) {
            openWindow(group.templateId());
        }
    }
}

void Console::openWindow(int32_t templateId) {
    WindowGroup* group = groupOfTemplate(templateId);
    if (group == nullptr) return;
    if (group->window != nullptr) {
        ShowWindow(group->window, SW_SHOW);
        SetWindowPos(group->window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        return;
    }
    HWND window = CreateDialogParamA(instance_, MAKEINTRESOURCEA(templateId), owner_, &Console::dialogProcedure,
                                     reinterpret_cast<LPARAM>(group));
    if (window == nullptr) return;
    group->window = window;
    SetWindowPos(window, nullptr, group->x, group->y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(window, SW_SHOW);
}

void Console::closeWindow(HWND window) {
    for (WindowGroup& group : groups_) {
        RECT rect;
        if (group.window != nullptr && GetWindowRect(group.window, &rect)) {
            group.x = rect.left;
            group.y = rect.top;
        }
    }
    WindowGroup* closing = groupOfWindow(window);
    if (closing == nullptr) return;
    closing->open = false;
    // Closing the console takes every window with it; the others keep their
    // open flags and come back with the console.
    const bool everything = closing == &groups_.front();
    for (WindowGroup& group : groups_)
        if (group.window != nullptr && (everything || &group == closing)) destroyGroupWindow(group);
}

void Console::destroyGroupWindow(WindowGroup& group) {
    releaseSurface(group);
    HWND window = group.window;
    group.window = nullptr;
    DestroyWindow(window);
    if (&group == &groups_.front()) chain_.consoleClosed = 1;
}

void Console::windowClosed(WindowGroup& group) {
    releaseSurface(group);
    group.window = nullptr;
    if (&group == &groups_.front()) chain_.consoleClosed = 1;
}

void Console::rememberPosition(WindowGroup& group) {
    RECT rect;
    if (group.window == nullptr || !GetWindowRect(group.window, &rect)) return;
    WindowPlacement placement{group.open, group.x, group.y};
    takeWindowPosition(placement, rect.left, rect.top);
    group.x = placement.x;
    group.y = placement.y;
}

void Console::saveAndDestroyAll(std::vector<std::string>& names, std::vector<WindowPlacement>& placements) {
    names.clear();
    placements.clear();
    for (WindowGroup& group : groups_) {
        WindowPlacement placement{group.open, group.x, group.y};
        RECT rect;
        if (group.window != nullptr && GetWindowRect(group.window, &rect))
            takeWindowPosition(placement, rect.left, rect.top);
        names.push_back(group.name());
        placements.push_back(placement);
        if (group.window != nullptr) destroyGroupWindow(group);
    }
    groups_.clear();
    chain_.consoleClosed = 1;
}

void Console::createSurface(WindowGroup& group) {
    releaseSurface(group);
    HDC windowDc = GetDC(group.window);
    if (windowDc == nullptr) return;
    RECT client{};
    GetClientRect(group.window, &client);
    HDC dc = CreateCompatibleDC(windowDc);
    HBITMAP bitmap = dc != nullptr ? CreateCompatibleBitmap(windowDc, client.right - client.left,
                                                            client.bottom - client.top)
                                   : nullptr;
    ReleaseDC(group.window, windowDc);
    if (dc == nullptr || bitmap == nullptr) {
        // The analysis displays then draw nothing.
        if (bitmap != nullptr) DeleteObject(bitmap);
        if (dc != nullptr) DeleteDC(dc);
        return;
    }
    group.surface.dc = dc;
    group.surface.bitmap = bitmap;
    group.surface.previous = SelectObject(dc, bitmap);
}

void Console::releaseSurface(WindowGroup& group) {
    Surface& surface = group.surface;
    if (surface.dc != nullptr) {
        if (surface.previous != nullptr) SelectObject(surface.dc, surface.previous);
        DeleteDC(surface.dc);
    }
    if (surface.bitmap != nullptr) DeleteObject(surface.bitmap);
    surface = Surface{};
}

void Console::setTextIfChanged(HWND window, int controlId, const char* text) {
    char current[64] = {};
    GetDlgItemTextA(window, controlId, current, sizeof current);
    if (std::string_view(current) != text) SetDlgItemTextA(window, controlId, text);
}

INT_PTR CALLBACK Console::dialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Console* console = activeConsole;
    if (console == nullptr) return FALSE;
    const DefaultFloatEnvironment floats;  // the player's UI thread has its own
    return console->handleMessage(window, message, wParam, lParam);
}

INT_PTR Console::handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        auto* group = reinterpret_cast<WindowGroup*>(lParam);
        if (group == nullptr) return TRUE;
        initialiseWindow(*group, window);
        // The documentation window sets the focus on its text itself.
        return group->templateId() == QX_DLG_DOCUMENTATION ? FALSE : TRUE;
    }
    case WM_CLOSE:
        if (window == consoleWindow()) {
            const LRESULT selection = SendDlgItemMessageA(window, QX_IDC_PRESET_LIST, LB_GETCURSEL, 0, 0);
            rememberedSelection = selection == LB_ERR ? -1 : static_cast<int32_t>(selection);
        }
        closeWindow(window);
        // Handled: the window is gone, there is nothing left to cancel.
        return TRUE;
    case WM_COMMAND: {
        const auto controlId = static_cast<uint32_t>(LOWORD(wParam));
        const auto code = static_cast<uint32_t>(HIWORD(wParam));
        if (window == consoleWindow()) onConsoleCommand(window, controlId, code);
        if (controlId == QX_IDC_DOC_GO && windowKind(window) == QX_DLG_DOCUMENTATION) findInDocumentation(window);
        if (groupOfWindow(window) != nullptr) onControlCommand(window, controlId);
        return 0;
    }
    case WM_TIMER:
        if (window == consoleWindow()) {
            if (wParam == kSlowTimer) onSlowTimer(window);
            if (wParam == kFastTimer) onFastTimer();
        }
        return 0;
    case WM_PAINT:
        // Validated first, so that no background erase follows the picture.
        if (windowKind(window) == QX_DLG_FREQ_RESPONSE) {
            PAINTSTRUCT paint;
            BeginPaint(window, &paint);
            EndPaint(window, &paint);
            analysis_->response.draw(groupOfWindow(window));
        }
        return 0;
    case WM_HSCROLL:
    case WM_VSCROLL: {
        auto* trackbar = reinterpret_cast<HWND>(lParam);
        if (trackbar == nullptr) return 0;
        onSliderMoved(window, trackbar);
        // The filterbank layout changes the band controls of every window at once.
        if (windowKind(window) == QX_DLG_ADVANCED && GetDlgCtrlID(trackbar) == QX_IDC_FILTERBANK_SLIDER) {
            applyFilterbankLayout(chain_, false, chain_.params.processor.narrowBandwidth,
                                  chain_.params.processor.filterbank);
            rebindAll();
        }
        return 0;
    }
    case WM_DESTROY:
        // Whoever destroys the window (the host destroying its main window
        // takes ours with it), its last position is what quit must save.
        if (WindowGroup* group = groupOfWindow(window)) rememberPosition(*group);
        return 0;
    case WM_NCDESTROY:
        // A window destroyed by someone else (its owner) must not stay listed.
        if (WindowGroup* group = groupOfWindow(window)) windowClosed(*group);
        return 0;
    default:
        return 0;
    }
}

void Console::initialiseWindow(WindowGroup& group, HWND window) {
    bindWindow(group, window);
    if (&group == &groups_.front()) {
        SetWindowTextA(window, kConsoleCaption);
        fillPresetList(window, library_.startupPreset);
        if (rememberedSelection >= 0)
            SendDlgItemMessageA(window, QX_IDC_PRESET_LIST, LB_SETCURSEL, static_cast<WPARAM>(rememberedSelection), 0);
        SetTimer(window, kSlowTimer, kSlowTimerMs, nullptr);
        SetTimer(window, kFastTimer, kFastTimerMs, nullptr);
        chain_.consoleClosed = 0;
    }
    if (hasSurface(group.templateId())) createSurface(group);
    if (group.templateId() == QX_DLG_DOCUMENTATION) loadDocumentation(window, instance_);
}

bool Console::onConsoleCommand(HWND window, uint32_t controlId, uint32_t code) {
    for (const OpenButton& button : kOpenButtons) {
        if (button.controlId == controlId) {
            openWindow(button.templateId);
            return true;
        }
    }
    switch (controlId) {
    case QX_IDC_WEBSITE:
        openWebsite(window);
        return true;
    case QX_IDC_FREQ_RESPONSE:
        checkPlaybackAndMeasure(window);
        return true;
    case QX_IDC_PRESET_NAME:
        if (code == EN_CHANGE && !binding_) {
            char name[17] = {};  // the field holds at most 16 characters
            GetDlgItemTextA(window, QX_IDC_PRESET_NAME, name, sizeof name);
            library_.setPresetName(name);
        }
        return true;
    default:
        return onPresetCommand(window, controlId, code);
    }
}

void Console::onSlowTimer(HWND window) {
    blinkPhase_ = !blinkPhase_;
    setTextIfChanged(window, QX_IDC_STATUS,
                     blinkPhase_ && library_.settingsChanged.load() != 0 ? kSettingsChangedText : "");
    // Only what changed since the last tick is redesigned.
    updateCoefficients(chain_, false);
    analysis_->response.draw(groupOfTemplate(QX_DLG_FREQ_RESPONSE));
    library_.pollSelectionFile(&hooks_);
    // The poll may have loaded a preset; the console is still this window.
    setTextIfChanged(window, QX_IDC_CLIP_TEXT, chain_.clipIndicator.load() != 0 ? kHardClipText : "");
    chain_.clipIndicator = 0;
}

void Console::onFastTimer() {
    refreshMeters(nullptr);
    drawScope(groupOfTemplate(QX_DLG_OSCILLOSCOPE), chain_);
    analysis_->spectrum.draw(groupOfTemplate(QX_DLG_SPECTRUM), chain_);
}

void Console::checkPlaybackAndMeasure(HWND window) {
    // The measurement runs the chain on this thread: never while the player
    // is feeding blocks. Unsigned arithmetic, like the tick counter.
    const uint32_t lastBlock = chain_.lastBlockTime.load();
    if (systemTickCount() < lastBlock + kPlaybackQuietMs) {
        MessageBoxA(window, kStopPlaybackText, kMessageCaption, MB_OK | MB_ICONWARNING);
        return;
    }
    openWindow(QX_DLG_FREQ_RESPONSE);
    analysis_->response.measure(groupOfTemplate(QX_DLG_FREQ_RESPONSE), chain_);
}

void Console::openWebsite(HWND window) {
    ShellExecuteA(window, "open", "iexplore", kWebsiteUrl, "", SW_SHOWNORMAL);
}

void Console::defaultLabelHook(void* console) {
    auto* self = static_cast<Console*>(console);
    if (HWND window = self->consoleWindow()) self->showDefaultLabel(window);
}

void Console::refillHook(void* console) { static_cast<Console*>(console)->rebindAll(); }

}  // namespace qx
