#include "engine/memory_pool.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <utility>

namespace tramblix {

MemoryPool::MemoryPool(std::uint64_t total, std::stop_token stop) : total_(total), stop_(std::move(stop))
{}

bool MemoryPool::Acquire(std::uint64_t bytes)
{
    if (bytes > total_)
        return false;
    std::unique_lock lock(mutex_);
    // First come, first served: a large picture is not starved by a stream of small ones.
    const std::uint64_t ticket = nextTicket_++;
    if (!room_.wait(lock, stop_, [&] { return ticket == serving_ && used_ + bytes <= total_; }))
        return false;
    used_ += bytes;
    ++serving_;
    lock.unlock();
    room_.notify_all();  // the next in line may fit too
    return true;
}

std::uint64_t MemoryPool::TakeFree(std::uint64_t bytes)
{
    const std::lock_guard lock(mutex_);
    if (serving_ != nextTicket_)
        return 0;  // someone waits: the room is theirs
    const std::uint64_t taken = std::min(bytes, total_ - used_);
    used_ += taken;
    return taken;
}

void MemoryPool::Release(std::uint64_t bytes)
{
    {
        const std::lock_guard lock(mutex_);
        used_ -= std::min(bytes, used_);
    }
    room_.notify_all();
}

void ReturnLargeBuffersToTheSystem()
{
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

MemoryShare::~MemoryShare()
{
    if (pool_ != nullptr && held_ > 0)
        pool_->Release(held_);
}

bool MemoryShare::Hold(std::uint64_t bytes)
{
    if (pool_ == nullptr || bytes <= held_)
        return true;
    if (bytes > pool_->total())
        return false;
    held_ += pool_->TakeFree(bytes - held_);
    if (held_ >= bytes)
        return true;
    pool_->Release(std::exchange(held_, 0));
    if (!pool_->Acquire(bytes))
        return false;
    held_ = bytes;
    return true;
}

std::uint64_t MemoryShare::HoldUpTo(std::uint64_t bytes)
{
    if (pool_ == nullptr)
        return bytes;
    if (bytes > held_)
        held_ += pool_->TakeFree(bytes - held_);
    return held_;
}

}  // namespace tramblix
