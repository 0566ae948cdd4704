#include "params/offline_start.h"

#include "engine/coefficient_update.h"
#include "engine/stage_setups.h"

namespace qx {

void startOfflineEngine(ChainState& state, ParameterTable& table, PresetLibrary& library, PlaybackClock& clock) {
    state.random.seed(1);
    library.scanLibrary();
    table = buildParameterTable(state);
    library.bind(&table, &state, &updateCoefficients);
    designAtStartup(state);
    state.tickCount = &PlaybackClock::tick;
    state.tickContext = &clock;
}

}  // namespace qx
