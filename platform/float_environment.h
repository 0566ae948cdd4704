#pragma once
// Hosts call us on threads whose floating-point settings they chose: x87
// precision lowered to double (the Windows default for new threads and for
// programs built with Microsoft's compiler), denormals flushed to zero (common
// on audio threads). The C library's pow, exp and log on Windows run on the
// x87 unit, and flushed denormals change filter tails, so the same settings
// would not give the same bits everywhere. Each entry from a host therefore
// runs under the program's default settings and gives the host its own back.
#include <cfenv>
#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

namespace qx {

class DefaultFloatEnvironment {
public:
    DefaultFloatEnvironment() {
        std::fegetenv(&saved_);
        std::fesetenv(FE_DFL_ENV);
#if defined(__SSE2__)
        // Not every C library's default resets the SSE control register:
        // round to nearest, exceptions masked, denormals kept.
        savedSse_ = _mm_getcsr();
        _mm_setcsr(kDefaultSse);
#endif
    }
    ~DefaultFloatEnvironment() {
        std::fesetenv(&saved_);
#if defined(__SSE2__)
        _mm_setcsr(savedSse_);
#endif
    }
    DefaultFloatEnvironment(const DefaultFloatEnvironment&) = delete;
    DefaultFloatEnvironment& operator=(const DefaultFloatEnvironment&) = delete;

private:
    std::fenv_t saved_{};
#if defined(__SSE2__)
    static constexpr unsigned kDefaultSse = 0x1f80;
    unsigned savedSse_ = 0;
#endif
};

}  // namespace qx
