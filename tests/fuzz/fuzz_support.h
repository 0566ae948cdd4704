#pragma once
// Shared by the fuzz targets: the full parameter table on a heap state, and a
// check that no parameter ever holds a value the engine cannot use.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "params/parameter_table.h"

namespace qx::fuzz {

struct Bench {
    std::unique_ptr<ChainState> state = std::make_unique<ChainState>();
    ParameterTable table = buildParameterTable(*state);

    void requireFiniteValues() const {
        table.forEachKeyed([](const ParameterRecord& r) {
            const double v = r.value();
            if (!std::isfinite(v)) {
                std::fprintf(stderr, "%s holds a non-finite value\n", r.key.c_str());
                std::abort();
            }
            if (r.kind == ControlKind::Switch && v != 0.0 && v != 1.0) {
                std::fprintf(stderr, "switch %s holds %g\n", r.key.c_str(), v);
                std::abort();
            }
        });
    }
};

}  // namespace qx::fuzz
