#pragma once
// A value shared between the UI thread and the audio thread. Each access is a
// single relaxed atomic load or store: neither thread ever blocks, there is no
// data race, and on x86 it compiles to a plain move. Copying is allowed so a
// whole state record can be copied (e.g. for the response measurement).
#include <atomic>
#include <cstdint>

namespace qx {

template <class T>
class Relaxed {
public:
    static_assert(std::atomic<T>::is_always_lock_free, "shared values must be lock-free");

    constexpr Relaxed() noexcept : value_(T{}) {}
    constexpr Relaxed(T v) noexcept : value_(v) {}
    Relaxed(const Relaxed& other) noexcept : value_(other.load()) {}
    Relaxed& operator=(const Relaxed& other) noexcept { store(other.load()); return *this; }
    Relaxed& operator=(T v) noexcept { store(v); return *this; }

    // Forced inline: a large per-frame function that runs out of inlining
    // budget would otherwise call out for every coefficient it reads.
    [[gnu::always_inline]] T load() const noexcept { return value_.load(std::memory_order_relaxed); }
    void store(T v) noexcept { value_.store(v, std::memory_order_relaxed); }
    T exchange(T v) noexcept { return value_.exchange(v, std::memory_order_relaxed); }
    [[gnu::always_inline]] operator T() const noexcept { return load(); }

private:
    std::atomic<T> value_;
};

using Number = Relaxed<double>;   // slider values and meters
using Flag = Relaxed<uint8_t>;    // switches: 0 or 1

}  // namespace qx
