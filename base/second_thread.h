#pragma once
// A second thread that a long computation of the portable code may borrow.
// The host side creates it (platform/threads.h), so nothing here needs an
// operating-system header.

namespace qx {

class SecondThread {
public:
    // Who waits: the work on the second thread, or the thread that started it.
    enum class Side { Worker = 0, Caller = 1 };

    virtual ~SecondThread() = default;
    // Runs work(argument) on the thread; false when it could not be started.
    virtual bool start(void (*work)(void*), void* argument) = 0;
    // Returns once the work has returned.
    virtual void join() = 0;
    // One wake-up signal per side that keeps a single pending call: wait
    // returns once wake(side) was called since the last wait(side) returned.
    // A waiter re-checks its condition in a loop, so no wake-up is lost.
    virtual void wait(Side side) = 0;
    virtual void wake(Side side) = 0;
};

}  // namespace qx
