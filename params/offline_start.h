#pragma once
// How the hosts without the player (the tool, the LV2 plug-in) start the
// engine: as the player does, with the data directory's user slots as they are
// now and the block timers driven by the audio itself.
#include "engine/chain_state.h"
#include "engine/playback_clock.h"
#include "params/parameter_table.h"
#include "params/preset_library.h"

namespace qx {

// Seeds the generator, scans the library, builds `table` over `state` and
// binds both to the library, designs every filter and sets `clock` as the
// tick counter.
void startOfflineEngine(ChainState& state, ParameterTable& table, PresetLibrary& library, PlaybackClock& clock);

}  // namespace qx
