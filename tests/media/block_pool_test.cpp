// Block rings and pools: ordering, bounds, the play mark and two threads
// passing blocks round a data ring and a free ring.
#include <gtest/gtest.h>

#include <set>
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
    ASSERT_TRUE(ring.Init(4));
    for (uintptr_t round = 0; round < 3; ++round) {  // wraps the indices
        EXPECT_TRUE(ring.Push(16 + round));
        EXPECT_TRUE(ring.Push(32 + round));
        EXPECT_TRUE(ring.Push(48 + round));
        EXPECT_FALSE(ring.Push(64)) << "capacity 4 holds 3";
        ASSERT_TRUE(ring.Pop(&item));
        EXPECT_EQ(item, 16 + round);
        ASSERT_TRUE(ring.Pop(&item));
        EXPECT_EQ(item, 32 + round);
        ASSERT_TRUE(ring.Pop(&item));
        EXPECT_EQ(item, 48 + round);
        EXPECT_FALSE(ring.Pop(&item));
        EXPECT_TRUE(ring.Empty());
    }
    EXPECT_FALSE(BlockRing().Init(1));
}

TEST(BlockPool, StartsWithEveryBlockFreeAndZeroed) {
    BlockPool pool;
    ASSERT_TRUE(pool.Setup(5, 160));
    std::set<uint8_t*> seen;
    uintptr_t item;
    while (pool.free.Pop(&item)) {
        uint8_t* block = media::RingBlock(item);
        EXPECT_FALSE(media::RingMark(item));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u);
        EXPECT_TRUE(pool.Owns(block));
        for (int i = 0; i < 160; ++i) ASSERT_EQ(block[i], 0);
        EXPECT_EQ(BlockPool::Header(block).flushGeneration, 0u);
        seen.insert(block);
    }
    EXPECT_EQ(seen.size(), 5u);
    EXPECT_TRUE(pool.data.Empty());
    EXPECT_EQ(pool.data.capacity(), 7u);  // count + 2

    // Blocks do not overlap, header words included.
    for (uint8_t* b : seen) {
        auto next = seen.upper_bound(b);
        if (next != seen.end()) {
            EXPECT_GE(*next - b, 160 + 16);
        }
    }
    static uint8_t outside[32];
    EXPECT_FALSE(pool.Owns(outside));
    EXPECT_FALSE(pool.Owns(*seen.begin() + 1));

    // Setting up again starts afresh; nothing, or zero blocks, fails cleanly.
    ASSERT_TRUE(pool.Setup(2, 1522));
    int n = 0;
    while (pool.free.Pop(&item)) ++n;
    EXPECT_EQ(n, 2);
    EXPECT_FALSE(pool.Setup(0, 160));
    EXPECT_EQ(pool.count(), 0u);
    EXPECT_FALSE(pool.free.Pop(&item));
}

// The two media threads' pattern: one fills and passes blocks on the data
// ring, the other consumes them and hands them back on the free ring. Every
// block arrives with what was written into it, in order.
TEST(BlockPool, TwoThreadsPassBlocksRoundWithoutLocks) {
    BlockPool pool;
    ASSERT_TRUE(pool.Setup(8, 160));
    constexpr uint32_t kBlocks = 200000;
    std::thread producer([&] {
        uint32_t next = 0;
        while (next < kBlocks) {
            uintptr_t item;
            if (!pool.free.Pop(&item)) {
                std::this_thread::yield();
                continue;
            }
            uint8_t* block = media::RingBlock(item);
            for (int i = 0; i < 160; ++i) block[i] = static_cast<uint8_t>(next + i);
            BlockPool::Header(block).markNumber = next;
            ASSERT_TRUE(pool.data.Push(media::RingItem(block, next % 3 == 0)));
            ++next;
        }
    });
    uint32_t expected = 0;
    bool intact = true;
    while (expected < kBlocks) {
        uintptr_t item;
        if (!pool.data.Pop(&item)) {
            std::this_thread::yield();
            continue;
        }
        uint8_t* block = media::RingBlock(item);
        intact = intact && BlockPool::Header(block).markNumber == expected &&
                 media::RingMark(item) == (expected % 3 == 0) && block[0] == static_cast<uint8_t>(expected) &&
                 block[159] == static_cast<uint8_t>(expected + 159);
        ASSERT_TRUE(pool.free.Push(media::RingItem(block, false)));
        ++expected;
    }
    producer.join();
    EXPECT_TRUE(intact);
}

}  // namespace
