#include <windows.h>

#include <cfenv>

#include "platform/threads.h"

namespace qx {
namespace {

class Win32Thread final : public SecondThread {
public:
    Win32Thread() {
        // Auto-reset events: a wake with nobody waiting stays pending for one wait.
        for (HANDLE& event : events_) event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    ~Win32Thread() override {
        join();
        for (HANDLE event : events_)
            if (event != nullptr) CloseHandle(event);
    }
    bool start(void (*work)(void*), void* argument) override {
        if (handle_ != nullptr || events_[0] == nullptr || events_[1] == nullptr) return false;
        work_ = work;
        argument_ = argument;
        std::fegetenv(&environment_);
        handle_ = CreateThread(nullptr, 0, &Win32Thread::entry, this, 0, nullptr);
        return handle_ != nullptr;
    }
    void join() override {
        if (handle_ == nullptr) return;
        WaitForSingleObject(handle_, INFINITE);
        CloseHandle(handle_);
        handle_ = nullptr;
    }
    void wait(Side side) override { WaitForSingleObject(events_[static_cast<int>(side)], INFINITE); }
    void wake(Side side) override { SetEvent(events_[static_cast<int>(side)]); }

private:
    static DWORD WINAPI entry(LPVOID self) {
        auto* thread = static_cast<Win32Thread*>(self);
        // A new Windows thread starts with the x87 unit at double precision,
        // while the program's main thread runs at extended precision; the C
        // library's pow, exp and log work on that unit here, so the work gets
        // its starter's floating-point settings and computes the same bits.
        std::fesetenv(&thread->environment_);
        thread->work_(thread->argument_);
        return 0;
    }
    HANDLE handle_ = nullptr;
    HANDLE events_[2] = {nullptr, nullptr};
    void (*work_)(void*) = nullptr;
    void* argument_ = nullptr;
    std::fenv_t environment_{};
};

}  // namespace

std::unique_ptr<SecondThread> makeSecondThread() { return std::make_unique<Win32Thread>(); }

// The plug-in runs on the player's threads; their scheduling is the player's.
BatchScheduling::BatchScheduling() = default;
BatchScheduling::~BatchScheduling() = default;

}  // namespace qx
