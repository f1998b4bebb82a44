// Lock-free rings and block pools of the audio path. Every ring has exactly
// one producer thread and one consumer thread (the two media threads of a
// card, or the audio receive thread on both sides); set-up and release run
// while neither thread is running.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace media {

// The lowest bit of a send block pointer in a ring marks the last block of
// a play (blocks are 16-byte aligned).
constexpr uintptr_t kPlayMarkBit = 1;

inline uintptr_t RingItem(uint8_t* block, bool mark) {
    return reinterpret_cast<uintptr_t>(block) | (mark ? kPlayMarkBit : 0);
}
inline uint8_t* RingBlock(uintptr_t item) { return reinterpret_cast<uint8_t*>(item & ~kPlayMarkBit); }
inline bool RingMark(uintptr_t item) { return (item & kPlayMarkBit) != 0; }

// Single-producer, single-consumer ring of block pointers. A push writes the
// element, then a full barrier, then the index; a pop reads the element,
// then a full barrier, then advances its index.
class BlockRing {
public:
    BlockRing() = default;
    virtual ~BlockRing();
    BlockRing(const BlockRing&) = delete;
    BlockRing& operator=(const BlockRing&) = delete;

    // Set-up time: storage for capacity slots (capacity - 1 usable). False,
    // and no storage, when the allocation fails.
    bool Init(uint32_t capacity);
    void Release();

    // Producer only. False when full (or never set up).
    bool Push(uintptr_t item) {
        if (capacity_ == 0) return false;
        const uint32_t w = write_.load(std::memory_order_relaxed);
        const uint32_t next = w + 1 == capacity_ ? 0 : w + 1;
        if (next == read_.load(std::memory_order_acquire)) return false;
        slots_[w] = item;
        std::atomic_thread_fence(std::memory_order_seq_cst);
        write_.store(next, std::memory_order_release);
        return true;
    }

    // Consumer only. False when empty (or never set up).
    bool Pop(uintptr_t* item) {
        if (capacity_ == 0) return false;
        const uint32_t r = read_.load(std::memory_order_relaxed);
        if (r == write_.load(std::memory_order_acquire)) return false;
        *item = slots_[r];
        std::atomic_thread_fence(std::memory_order_seq_cst);
        read_.store(r + 1 == capacity_ ? 0 : r + 1, std::memory_order_release);
        return true;
    }

    bool Empty() const {
        return read_.load(std::memory_order_acquire) == write_.load(std::memory_order_acquire);
    }
    uint32_t capacity() const { return capacity_; }

private:
    uintptr_t* slots_ = nullptr;
    uint32_t capacity_ = 0;
    alignas(64) std::atomic<uint32_t> read_{0};
    alignas(64) std::atomic<uint32_t> write_{0};
};

// Words in front of every pool block, written by its producer before the
// push and read by its consumer after the pop.
struct BlockHeader {
    uint32_t flushGeneration;  // send blocks: the channel's flush generation at the fill
    uint32_t markNumber;       // send blocks carrying the play mark: their number
};

// count blocks of blockBytes in one zeroed allocation, with a data ring
// (filled blocks, producer to consumer) and a free ring (empty blocks, back)
// of capacity count + 2.
class BlockPool {
public:
    static constexpr size_t kHeaderBytes = 16;  // a BlockHeader, keeps blocks 16-byte aligned

    BlockPool() = default;
    virtual ~BlockPool();
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    // Releases any earlier storage, then allocates and puts every block in
    // the free ring. False, with nothing kept, when an allocation fails.
    bool Setup(uint32_t count, uint32_t blockBytes);
    void Release();

    uint32_t count() const { return count_; }
    uint32_t blockBytes() const { return blockBytes_; }
    bool Owns(const uint8_t* block) const;

    // Only for blocks of a pool (never the idle or scratch blocks).
    static BlockHeader& Header(uint8_t* block) {
        return *reinterpret_cast<BlockHeader*>(block - kHeaderBytes);
    }

    BlockRing data;
    BlockRing free;

private:
    uint8_t* storage_ = nullptr;
    size_t stride_ = 0;
    uint32_t count_ = 0;
    uint32_t blockBytes_ = 0;
};

}  // namespace media
