#pragma once
// The system's millisecond tick counter and sleep: the chain's block timers,
// the console's playback check and quit's hand-over to the playback thread.
#include <cstdint>

namespace qx {

// Milliseconds since the system started; wraps after about 49.7 days, so
// compare differences, not values.
uint32_t systemTickCount();

// Suspends the calling thread for at least `milliseconds`.
void sleepMilliseconds(uint32_t milliseconds);

// The tick counter in the shape ChainState::tickCount takes (context unused).
uint32_t systemTickHook(void* context);

}  // namespace qx
