#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>

namespace tramblix {

// One memory budget for a whole run, shared by the pictures its workers hold at once: a worker
// waits for room rather than failing. A worker holding a share never waits (MemoryShare), so
// whoever waits holds nothing and the holders always finish: no deadlock.
class MemoryPool {
public:
    // `stop`: a run stopped meanwhile ends every wait at once, unsuccessfully.
    explicit MemoryPool(std::uint64_t total, std::stop_token stop = {});
    MemoryPool(const MemoryPool&) = delete;
    MemoryPool& operator=(const MemoryPool&) = delete;

    std::uint64_t total() const { return total_; }
    // Waits until `bytes` fit beside what the others hold; false at once when they never can
    // (more than the total), or when the run is stopped while waiting.
    bool Acquire(std::uint64_t bytes);
    // Takes up to `bytes` without waiting, nothing while anyone waits; returns what it took.
    std::uint64_t TakeFree(std::uint64_t bytes);
    void Release(std::uint64_t bytes);

private:
    const std::uint64_t total_;
    std::stop_token stop_;
    std::mutex mutex_;
    std::condition_variable_any room_;
    std::uint64_t used_ = 0;
    std::uint64_t nextTicket_ = 0;  // waiters are served in the order they came
    std::uint64_t serving_ = 0;
};

// What one picture holds of a pool while it is compressed, given back when it goes out of scope.
// Without a pool it holds nothing and never waits.
class MemoryShare {
public:
    explicit MemoryShare(MemoryPool* pool) : pool_(pool) {}
    ~MemoryShare();
    MemoryShare(const MemoryShare&) = delete;
    MemoryShare& operator=(const MemoryShare&) = delete;

    // At least `bytes` held. More is taken at once when it is free; otherwise what is held goes
    // back first and the whole is waited for (never waiting while holding). False when the run
    // was stopped meanwhile or `bytes` exceed the pool.
    bool Hold(std::uint64_t bytes);
    // Grows towards `bytes` with what is free now, without waiting; returns what is held then
    // (`bytes` itself without a pool).
    std::uint64_t HoldUpTo(std::uint64_t bytes);

private:
    MemoryPool* pool_;
    std::uint64_t held_ = 0;
};

// Makes every buffer of a picture's size go back to the system when freed. glibc otherwise
// raises its threshold for mapping large blocks after the first is freed, and later pictures'
// buffers then stay in each worker thread's heap: the workers' peaks add up whatever the pool
// allows (at -j2, 1.16 GB against 0.62 GB). Elsewhere nothing to do.
void ReturnLargeBuffersToTheSystem();

}  // namespace tramblix
