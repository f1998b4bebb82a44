// Bounded first-in-first-out queue of 32-bit values with its own lock; any
// thread may push or pop. Holds at most capacity - 1 values.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/lock.h"

namespace driver {

class CDwordQueue {
public:
    CDwordQueue() = default;
    virtual ~CDwordQueue();
    CDwordQueue(const CDwordQueue&) = delete;
    CDwordQueue& operator=(const CDwordQueue&) = delete;

    // Allocates capacity zeroed slots; false (and no storage) on failure.
    bool SetCapacity(uint32_t capacity);
    bool HasStorage() const { return storage_ != nullptr; }

    // Drops the value when full (or without storage).
    void Push(uint32_t value);
    // Pushes both values as one unit, or neither when two do not fit.
    bool PushPair(uint32_t first, uint32_t second);
    bool Pop(uint32_t* value);
    // Takes two values as one unit; false (nothing taken) with fewer.
    bool PopPair(uint32_t* first, uint32_t* second);
    void Clear();
    // Reads the indices without the lock (IsEventPending).
    bool LooksNonEmpty() const;

private:
    uint32_t Next(uint32_t index) const { return (index + 1) % capacity_; }
    uint32_t CountLocked() const;

    plat::RecursiveLock lock_;
    uint32_t* storage_ = nullptr;
    // Written under the lock; atomic so that LooksNonEmpty may read them
    // without it.
    std::atomic<uint32_t> head_{0};
    std::atomic<uint32_t> tail_{0};
    uint32_t capacity_ = 0;
};

}  // namespace driver
