#pragma once
// Threads of the host side: a second thread for the measurements that run
// half of the chain on each of two processors.
#include <memory>

#include "base/second_thread.h"

namespace qx {

std::unique_ptr<SecondThread> makeSecondThread();

// While it lives, the calling thread and every thread it starts run as batch
// work where the system has such a class (Linux's SCHED_BATCH): a thread
// that wakes does not preempt a running one. Threads that hand blocks to each
// other on fewer processors than threads then run out their time slices
// instead of interrupting one another at every hand-over. For offline runs;
// a live stream keeps the usual scheduling. A thread under any other policy
// than the usual one is left as it is.
class BatchScheduling {
public:
    BatchScheduling();
    ~BatchScheduling();
    BatchScheduling(const BatchScheduling&) = delete;
    BatchScheduling& operator=(const BatchScheduling&) = delete;
    bool active() const { return active_; }

private:
    bool active_ = false;
    int policy_ = 0, priority_ = 0;  // restored at the end
};

}  // namespace qx
