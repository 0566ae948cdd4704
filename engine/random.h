#pragma once
// Seedable uniform generator, 0..32767, identical on every platform so that
// dither and noise are reproducible across the Linux, Win32 and Win64 builds.
#include <cstdint>

namespace qx {

struct Random {
    uint32_t state = 1;

    void seed(uint32_t s) { state = s; }
    int next() {
        state = state * 214013u + 2531011u;
        return static_cast<int>((state >> 16) & 0x7fffu);
    }
};

}  // namespace qx
