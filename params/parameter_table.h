#pragma once
// The parameter table: one record per slider, switch and meter of every window,
// binding a value variable to its key, range, default, precision and controls.
// Built once at start-up; walked in group order, records in declaration order.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/chain_state.h"

namespace qx {

enum class ControlKind : int32_t {
    VerticalSlider = 0,
    HorizontalSlider = 1,
    Switch = 2,
    Meter = 3,
};

struct ParameterRecord {
    ControlKind kind = ControlKind::VerticalSlider;
    uint32_t controlId = 0;
    uint32_t labelId = 0;
    int32_t decimals = 0;  // -1: logarithmic frequency slider
    double minimum = 0.0;
    double maximum = 0.0;
    double tickSpacing = 0.0;
    double lineStep = 0.0;
    double pageStep = 0.0;
    double lastShown = 0.0;       // meters: the value shown last
    Number* number = nullptr;     // sliders and meters
    Flag* flag = nullptr;         // switches
    std::string key;              // empty for display-only bindings
    double defaultValue = 0.0;
    int32_t band = 0;             // 0, or the filterbank band 1..10

    bool isFrequencySlider() const { return decimals < 0; }
    // Controls of bands above the filterbank's band count are hidden; band 0 always shows.
    bool shownWithBandCount(int32_t bandCount) const { return band <= bandCount; }
    // The stored value as a double (a switch reads 0 or 1).
    double value() const;
    // Stores a value read from a file or given on a command line: sliders take
    // it as it is, a switch turns on for any non-zero value.
    void assign(double v) const;
};

struct ParameterGroup {
    std::string name;         // window name, e.g. "10_Band_Compressor"
    int32_t templateId = 0;   // dialog template
    bool marksChanges = false;
    std::vector<ParameterRecord> records;
};

struct ParameterTable {
    std::vector<ParameterGroup> groups;  // creation order

    // The group names in creation order (the settings file's window keys).
    std::vector<std::string> groupNames() const;
    // Linear search by key; null when no keyed record has it.
    const ParameterRecord* find(std::string_view key) const;
    // Calls f(record) for every keyed record, in file order.
    template <class F>
    void forEachKeyed(F&& f) const {
        for (const auto& g : groups)
            for (const auto& r : g.records)
                if (!r.key.empty()) f(r);
    }
};

// Adds a record at the end of the group and stores the default into the
// variable: sliders take it, a switch is on when it is > 0, meters are untouched.
ParameterRecord& declareParameter(ParameterGroup& group, ControlKind kind, int32_t decimals, uint32_t controlId,
                                  uint32_t labelId, double minimum, double maximum, double tickSpacing,
                                  double lineStep, double pageStep, Number* number, Flag* flag,
                                  std::string_view key, double defaultValue, int32_t band);

// Creates the 22 groups in their fixed order and declares every parameter and
// display binding of the catalogue into them, bound to `state`.
ParameterTable buildParameterTable(ChainState& state);

}  // namespace qx
