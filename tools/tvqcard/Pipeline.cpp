#include "Pipeline.h"

Pipeline::Pipeline(size_t chunks, size_t chunkBytes)
{
    for (size_t i = 0; i < chunks; ++i) {
        all_.push_back(std::make_unique<Chunk>());
        all_.back()->data.resize(chunkBytes);
        free_.push_back(all_.back().get());
    }
}

Chunk *Pipeline::TakeFree()
{
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return aborted_ || !free_.empty(); });
    if (aborted_) return nullptr;
    Chunk *c = free_.front();
    free_.pop_front();
    c->bytes = 0;
    return c;
}

void Pipeline::GiveFull(Chunk *c)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (aborted_) free_.push_back(c);
    else full_.push_back(c);
    cv_.notify_all();
}

Chunk *Pipeline::TakeFull()
{
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return aborted_ || finished_ || !full_.empty(); });
    if (aborted_ || full_.empty()) return nullptr;
    Chunk *c = full_.front();
    full_.pop_front();
    return c;
}

void Pipeline::GiveFree(Chunk *c)
{
    std::lock_guard<std::mutex> lock(mu_);
    free_.push_back(c);
    cv_.notify_all();
}

void Pipeline::Finish()
{
    std::lock_guard<std::mutex> lock(mu_);
    finished_ = true;
    cv_.notify_all();
}

void Pipeline::Abort()
{
    std::lock_guard<std::mutex> lock(mu_);
    aborted_ = true;
    cv_.notify_all();
}

bool Pipeline::Aborted()
{
    std::lock_guard<std::mutex> lock(mu_);
    return aborted_;
}
