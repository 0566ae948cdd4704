#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/clock.h"

namespace qx {

uint32_t systemTickCount() { return GetTickCount(); }

void sleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

uint32_t systemTickHook(void*) { return GetTickCount(); }

}  // namespace qx
