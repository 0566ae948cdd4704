#include <pthread.h>
#include <sched.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/threads.h"

namespace qx {
namespace {

class Signal {
public:
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        condition_.wait(lock, [this] { return pending_; });
        pending_ = false;
    }
    void wake() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            pending_ = true;
        }
        condition_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable condition_;
    bool pending_ = false;
};

class PosixThread final : public SecondThread {
public:
    ~PosixThread() override { join(); }
    bool start(void (*work)(void*), void* argument) override {
        if (thread_.joinable()) return false;
        try {
            thread_ = std::thread(work, argument);
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }
    void join() override {
        if (thread_.joinable()) thread_.join();
    }
    void wait(Side side) override { signals_[static_cast<int>(side)].wait(); }
    void wake(Side side) override { signals_[static_cast<int>(side)].wake(); }

private:
    std::thread thread_;
    Signal signals_[2];
};

}  // namespace

std::unique_ptr<SecondThread> makeSecondThread() { return std::make_unique<PosixThread>(); }

BatchScheduling::BatchScheduling() {
#ifdef SCHED_BATCH
    sched_param now{};
    if (pthread_getschedparam(pthread_self(), &policy_, &now) != 0 || policy_ != SCHED_OTHER) return;
    priority_ = now.sched_priority;
    const sched_param batch{};
    active_ = pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch) == 0;
#endif
}

BatchScheduling::~BatchScheduling() {
    if (!active_) return;
    sched_param before{};
    before.sched_priority = priority_;
    pthread_setschedparam(pthread_self(), policy_, &before);
}

}  // namespace qx
