#include "params/parameter_table.h"

namespace qx {

double ParameterRecord::value() const {
    if (flag != nullptr) return flag->load() != 0 ? 1.0 : 0.0;
    if (number != nullptr) return number->load();
    return 0.0;
}

void ParameterRecord::assign(double v) const {
    // Values are stored as read, even outside the range: only the display clamps.
    if (flag != nullptr)
        flag->store(v != 0.0 ? 1 : 0);
    else if (number != nullptr)
        number->store(v);
}

std::vector<std::string> ParameterTable::groupNames() const {
    std::vector<std::string> names;
    names.reserve(groups.size());
    for (const ParameterGroup& group : groups) names.push_back(group.name);
    return names;
}

const ParameterRecord* ParameterTable::find(std::string_view key) const {
    if (key.empty()) return nullptr;
    for (const auto& g : groups)
        for (const auto& r : g.records)
            if (r.key == key) return &r;
    return nullptr;
}

ParameterRecord& declareParameter(ParameterGroup& group, ControlKind kind, int32_t decimals, uint32_t controlId,
                                  uint32_t labelId, double minimum, double maximum, double tickSpacing,
                                  double lineStep, double pageStep, Number* number, Flag* flag,
                                  std::string_view key, double defaultValue, int32_t band) {
    ParameterRecord& r = group.records.emplace_back();
    r.kind = kind;
    r.controlId = controlId;
    r.labelId = labelId;
    r.decimals = decimals;
    r.minimum = minimum;
    r.maximum = maximum;
    r.tickSpacing = tickSpacing;
    r.lineStep = lineStep;
    r.pageStep = pageStep;
    r.lastShown = 0.0;
    r.number = number;
    r.flag = flag;
    r.key = std::string(key);
    r.defaultValue = defaultValue;
    r.band = band;

    // The default goes into the variable without a range check: a few defaults
    // lie deliberately outside the slider range.
    switch (kind) {
        case ControlKind::VerticalSlider:
        case ControlKind::HorizontalSlider:
            if (number != nullptr) number->store(defaultValue);
            break;
        case ControlKind::Switch:
            if (flag != nullptr) flag->store(defaultValue > 0.0 ? 1 : 0);
            break;
        case ControlKind::Meter:
            break;  // the engine owns meter values
    }
    return r;
}

}  // namespace qx
