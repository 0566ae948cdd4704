#include <time.h>

#include <cerrno>

#include "platform/clock.h"

namespace qx {

uint32_t systemTickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void sleepMilliseconds(uint32_t milliseconds) {
    timespec rest{static_cast<time_t>(milliseconds / 1000u), static_cast<long>(milliseconds % 1000u) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

uint32_t systemTickHook(void*) { return systemTickCount(); }

}  // namespace qx
