// The card simulator's packet faults, on their own: the media tests need
// them to happen exactly as asked. Discovery, card information, keep-alive
// and the numbered, paced audio stream are exercised by every module test
// in this folder, which fail without them.
#include <gtest/gtest.h>

#include <vector>

#include "sim/audio_engine.h"

namespace {

TEST(SimAudio, ReorderAndRepeatShapeTheNextPackets) {
    sim::AudioEngine e(1, 45);
    auto next = [&] {
        std::vector<sim::AudioEngine::Datagram> d;
        e.NextPackets(&d);
        std::vector<uint32_t> numbers;
        for (const auto& p : d) numbers.push_back(p[2] | (p[3] << 8) | (p[4] << 16) | (uint32_t(p[5]) << 24));
        return numbers;
    };
    e.ReorderNextPair();
    EXPECT_EQ(next(), std::vector<uint32_t>{}) << "the first of the pair is held back";
    EXPECT_EQ(next(), (std::vector<uint32_t>{1, 0}));
    e.RepeatNextPacket(2);
    EXPECT_EQ(next(), (std::vector<uint32_t>{2, 2, 2}));
    EXPECT_EQ(next(), std::vector<uint32_t>{3});
}

}  // namespace
