#include "cli/block_queue.h"

#include <algorithm>

namespace qx::cli {

BlockQueue::BlockQueue(std::size_t blocks, std::size_t samples, std::size_t batch)
    : pool_(blocks), ring_(blocks), batch_(std::clamp<std::size_t>(batch, 1, blocks)) {
    free_.reserve(blocks);
    for (Block& b : pool_) {
        b.samples.reserve(samples);
        free_.push_back(&b);
    }
}

Block* BlockQueue::acquire() {
    std::unique_lock lock(mutex_);
    freed_.wait(lock, [&] { return cancelled_ || !free_.empty(); });
    if (cancelled_) return nullptr;
    Block* b = free_.back();
    free_.pop_back();
    return b;
}

void BlockQueue::submit(Block* block) {
    bool wake;
    {
        std::lock_guard lock(mutex_);
        ring_[(head_ + count_++) % ring_.size()] = block;
        wake = count_ >= batch_;
    }
    if (wake) filled_.notify_one();
}

void BlockQueue::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    filled_.notify_one();
}

Block* BlockQueue::take() {
    std::unique_lock lock(mutex_);
    // The first wait takes any block; a consumer that found none sleeps
    // until a batch is there.
    if (count_ == 0) filled_.wait(lock, [&] { return cancelled_ || closed_ || count_ >= batch_; });
    if (cancelled_ || count_ == 0) return nullptr;
    Block* b = ring_[head_];
    head_ = (head_ + 1) % ring_.size();
    --count_;
    return b;
}

void BlockQueue::release(Block* block) {
    bool wake;
    {
        std::lock_guard lock(mutex_);
        free_.push_back(block);
        // A producer waits only when it is a whole pool ahead: waking it when
        // half the pool is free again, or when nothing is left to take, saves a
        // thread switch per block and costs no latency.
        wake = free_.size() == pool_.size() / 2 + 1 || count_ == 0;
    }
    if (wake) freed_.notify_one();
}

void BlockQueue::cancel() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    freed_.notify_all();
    filled_.notify_all();
}

bool BlockQueue::cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

}  // namespace qx::cli
