#pragma once
// The chain's block timers driven by the audio itself, for hosts without the
// player's tick counter (the tool, the LV2 plug-in): a slow or fast host is
// never taken for a pause.
#include <cstdint>

#include "engine/chain_state.h"

namespace qx {

// Milliseconds of audio played so far, offset so that the first block, like a
// first block after the player started, counts as coming after a pause.
struct PlaybackClock {
    static constexpr uint32_t kStart = 100000;
    uint64_t frames = 0;
    uint32_t now() const { return kStart + static_cast<uint32_t>(frames * 1000 / kSampleRate); }
    static uint32_t tick(void* self) { return static_cast<PlaybackClock*>(self)->now(); }
};

}  // namespace qx
