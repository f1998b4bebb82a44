// Block rings and pools: order, bounds, and two threads passing blocks round
// a data ring and a free ring.
#include <gtest/gtest.h>

#include <thread>

#include "media/block_ring.h"

namespace {

using media::BlockPool;
using media::BlockRing;

TEST(BlockRing, KeepsOrderAndOneSlotFree) {
    BlockRing ring;
    uintptr_t item = 0;
    EXPECT_FALSE(ring.Push(8));  // never set up: nothing goes in or out
    EXPECT_FALSE(ring.Pop(&item));
    EXPECT_FALSE(BlockRing().Init(1));
    ASSERT_TRUE(ring.Init(4));
    for (uintptr_t round = 0; round < 3; ++round) {  // wraps the indices
        for (uintptr_t k = 1; k <= 3; ++k) EXPECT_TRUE(ring.Push(16 * k + round));
        EXPECT_FALSE(ring.Push(64)) << "capacity 4 holds 3";
        for (uintptr_t k = 1; k <= 3; ++k) EXPECT_TRUE(ring.Pop(&item) && item == 16 * k + round) << k;
        EXPECT_FALSE(ring.Pop(&item));
    }
}

// Pops an item from a ring, yielding while it is empty.
uint8_t* Take(BlockRing& ring, uintptr_t* item) {
    while (!ring.Pop(item)) std::this_thread::yield();
    return media::RingBlock(*item);
}

// The two media threads' pattern: every block arrives with what was written
// into it and its mark, in order.
TEST(BlockPool, TwoThreadsPassBlocksRoundWithoutLocks) {
    BlockPool pool;
    ASSERT_TRUE(pool.Setup(8, 160));
    constexpr uint32_t kBlocks = 200000;
    std::thread producer([&] {
        uintptr_t item;
        for (uint32_t next = 0; next < kBlocks; ++next) {
            uint8_t* block = Take(pool.free, &item);
            for (int i = 0; i < 160; ++i) block[i] = static_cast<uint8_t>(next + i);
            BlockPool::Header(block).markNumber = next;
            ASSERT_TRUE(pool.data.Push(media::RingItem(block, next % 3 == 0)));
        }
    });
    bool intact = true;
    uintptr_t item;
    for (uint32_t expected = 0; expected < kBlocks; ++expected) {
        uint8_t* block = Take(pool.data, &item);
        intact = intact && BlockPool::Header(block).markNumber == expected && media::RingMark(item) == (expected % 3 == 0) &&
                 block[0] == static_cast<uint8_t>(expected) && block[159] == static_cast<uint8_t>(expected + 159);
        ASSERT_TRUE(pool.free.Push(media::RingItem(block, false)));
    }
    producer.join();
    EXPECT_TRUE(intact);
}

}  // namespace
