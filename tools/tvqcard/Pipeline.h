// A fixed set of buffers passed between the device thread and one worker
// thread (file I/O, hashing): the producer takes a free buffer, fills it and
// hands it on; the consumer gives it back. Bounded, so neither side runs ahead
// by more than the buffers there are.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "Buffer.h"

struct Chunk {
    Bytes data;
    size_t bytes = 0;  // filled part of data
};

class Pipeline {
public:
    Pipeline(size_t chunks, size_t chunkBytes);
    // A free buffer, nullptr once aborted.
    Chunk *TakeFree();
    void GiveFull(Chunk *c);
    // The next full buffer; nullptr once finished and drained, or aborted.
    Chunk *TakeFull();
    void GiveFree(Chunk *c);
    // The producer has no more: the consumer drains what is there, then stops.
    void Finish();
    // Either side gives up: every wait ends at once.
    void Abort();
    bool Aborted();

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::unique_ptr<Chunk>> all_;
    std::deque<Chunk *> free_, full_;
    bool finished_ = false, aborted_ = false;
};
