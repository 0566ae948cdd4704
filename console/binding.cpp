// Binding of dialog controls to parameter records: filling a window from the
// values, turning trackbar moves and check box clicks back into values, and
// keeping the meters current.
#include <windows.h>
#include <commctrl.h>

#include "console/console.h"
#include "console/control_ids.h"
#include "params/slider.h"

namespace qx {

namespace {

void setText(HWND control, const std::string& text) {
    if (control != nullptr) SetWindowTextA(control, text.c_str());
}

void showControl(HWND control, bool shown) {
    if (control != nullptr) ShowWindow(control, shown ? SW_SHOW : SW_HIDE);
}

void setUpSlider(HWND control, HWND label, const ParameterRecord& record) {
    if (control == nullptr) return;
    const SliderRange range = sliderRange(record);
    const double value = record.value();
    SendMessageA(control, TBM_SETRANGEMIN, FALSE, 0);
    SendMessageA(control, TBM_SETRANGEMAX, FALSE, range.range);
    if (range.tickFrequency > 0) SendMessageA(control, TBM_SETTICFREQ, range.tickFrequency, 0);
    SendMessageA(control, TBM_SETLINESIZE, 0, range.lineSize);
    SendMessageA(control, TBM_SETPAGESIZE, 0, range.pageSize);
    SendMessageA(control, TBM_SETPOS, TRUE, sliderPosition(record, value));
    setText(label, valueText(record, value));
}

void showMeter(HWND window, ParameterRecord& record, double value) {
    SendDlgItemMessageA(window, static_cast<int>(record.controlId), PBM_SETPOS,
                        static_cast<WPARAM>(meterPosition(record, value)), 0);
    if (record.labelId != 0) setText(GetDlgItem(window, static_cast<int>(record.labelId)), valueText(record, value));
    record.lastShown = value;
}

}  // namespace

void Console::bindWindow(WindowGroup& group, HWND window) {
    binding_ = true;
    group.window = window;
    group.open = true;

    for (int band = 0; band < static_cast<int>(chain_.bandLabels.size()); ++band) {
        HWND label = GetDlgItem(window, QX_IDC_BAND_LABEL_FIRST + band);
        if (label != nullptr) SetWindowTextA(label, chain_.bandLabels[band].data());
    }
    if (group.templateId() == QX_DLG_CONSOLE) {
        SendDlgItemMessageA(window, QX_IDC_PRESET_NAME, EM_LIMITTEXT, 16, 0);
        SetDlgItemTextA(window, QX_IDC_PRESET_NAME, std::string(library_.presetName()).c_str());
    } else if (group.templateId() == QX_DLG_DOCUMENTATION) {
        SendDlgItemMessageA(window, QX_IDC_DOC_FIND, EM_LIMITTEXT, 64, 0);
    }

    const int32_t bandCount = chain_.bandCount;
    for (ParameterRecord& record : group.parameters->records) {
        HWND control = GetDlgItem(window, static_cast<int>(record.controlId));
        HWND label = record.labelId != 0 ? GetDlgItem(window, static_cast<int>(record.labelId)) : nullptr;
        const bool shown = record.shownWithBandCount(bandCount);
        showControl(control, shown);
        showControl(label, shown);
        switch (record.kind) {
        case ControlKind::VerticalSlider:
        case ControlKind::HorizontalSlider:
            setUpSlider(control, label, record);
            break;
        case ControlKind::Switch:
            CheckDlgButton(window, static_cast<int>(record.controlId), record.value() != 0.0 ? BST_CHECKED : BST_UNCHECKED);
            break;
        case ControlKind::Meter:
            if (control != nullptr) SendMessageA(control, PBM_SETRANGE32, 0, 1000);
            break;
        }
    }
    refreshMeters(window);
    binding_ = false;
}

void Console::onSliderMoved(HWND window, HWND trackbar) {
    WindowGroup* group = groupOfWindow(window);
    if (group == nullptr) return;
    const auto controlId = static_cast<uint32_t>(GetDlgCtrlID(trackbar));
    for (ParameterRecord& record : group->parameters->records) {
        if (record.controlId != controlId) continue;
        if (record.kind != ControlKind::VerticalSlider && record.kind != ControlKind::HorizontalSlider) return;
        const auto position = static_cast<int32_t>(SendMessageA(trackbar, TBM_GETPOS, 0, 0));
        const double value = sliderValue(record, position);
        record.assign(value);
        if (record.labelId != 0) setText(GetDlgItem(window, static_cast<int>(record.labelId)), valueText(record, value));
        // Nothing is recomputed here: the slow timer's coefficient update follows.
        if (group->parameters->marksChanges) library_.settingsChanged = 1;
        return;
    }
}

void Console::onControlCommand(HWND window, uint32_t controlId) {
    if (binding_) return;  // filling the controls is not an edit
    WindowGroup* group = groupOfWindow(window);
    if (group == nullptr || controlId == 0) return;
    // A click on a value label selects its slider for the keyboard.
    for (const ParameterRecord& record : group->parameters->records) {
        if (record.labelId == controlId) {
            SetFocus(GetDlgItem(window, static_cast<int>(record.controlId)));
            return;
        }
    }
    for (const ParameterRecord& record : group->parameters->records) {
        if (record.controlId != controlId || record.kind != ControlKind::Switch) continue;
        const bool checked = IsDlgButtonChecked(window, static_cast<int>(controlId)) == BST_CHECKED;
        record.assign(checked ? 1.0 : 0.0);
        if (group->parameters->marksChanges) library_.settingsChanged = 1;
        return;
    }
}

void Console::refreshMeters(HWND window) {
    for (WindowGroup& group : groups_) {
        if (group.window == nullptr || (window != nullptr && group.window != window)) continue;
        for (ParameterRecord& record : group.parameters->records) {
            if (record.kind != ControlKind::Meter || record.number == nullptr) continue;
            const double value = record.number->load();
            // Idle meters cost no window messages.
            if (window == nullptr && value == record.lastShown) continue;
            showMeter(group.window, record, value);
        }
    }
}

void Console::rebindAll() {
    for (WindowGroup& group : groups_)
        if (group.window != nullptr) bindWindow(group, group.window);
}

}  // namespace qx
