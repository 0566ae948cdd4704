#pragma once
// Blocks of audio handed from one of the tool's threads to the next through a
// fixed pool of buffers: the producer waits while every buffer is full, the
// consumer while none is, so memory stays constant whatever the length. A
// submitted block is there for the consumer at once; nothing waits to batch.
// These are the tool's own threads, not the engine's real-time path.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace qx::cli {

struct Block {
    std::vector<int16_t> samples;  // interleaved
    int64_t sourceFrames = 0;      // input frames read for it
};

class BlockQueue {
public:
    // `blocks` buffers, each with room reserved for `samples` samples. A
    // waiting consumer is woken once `batch` blocks (at most `blocks`) are
    // there, or at the end: a batch of 1 passes each block on at once, a
    // larger one saves thread switches where latency does not matter.
    BlockQueue(std::size_t blocks, std::size_t samples, std::size_t batch = 1);
    BlockQueue(const BlockQueue&) = delete;
    BlockQueue& operator=(const BlockQueue&) = delete;

    // Producer: a free buffer to fill; null once cancelled.
    Block* acquire();
    void submit(Block* block);
    // Producer: nothing more comes; the consumer still gets what was submitted.
    void close();

    // Consumer: the next block in order; null once closed and drained, or cancelled.
    Block* take();
    void release(Block* block);

    // Either side gives up: whoever waits, or comes later, gets null.
    void cancel();
    bool cancelled() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable freed_, filled_;
    std::vector<Block> pool_;
    std::vector<Block*> free_;  // a stack: any free buffer will do
    std::vector<Block*> ring_;  // filled buffers in order, head_ first
    std::size_t head_ = 0, count_ = 0;
    const std::size_t batch_;
    bool closed_ = false, cancelled_ = false;
};

}  // namespace qx::cli
