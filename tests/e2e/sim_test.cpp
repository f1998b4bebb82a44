// The card simulator's packet faults, on their own: its fault commands
// (audio-reorder, audio-dup) must do exactly what they say. Discovery, card
// information, keep-alive and the numbered, paced audio stream are
// exercised by every module test in this folder, which fail without them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/audio_engine.h"
#include "sim/load_gen.h"

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

TEST(SimLoadOptions, NonsenseIsRefusedWithTheReason) {
    sim::LoadOptions o;
    std::string error;
    ASSERT_TRUE(sim::ParseLoadOptions("calls=1020 rate=50 hold=20s-40s churn_after=10m churn_hold=500ms-2s "
                                      "dial_share=0.2,digits=12#,audio=silence echo=12:8 clear=mix cause=31 "
                                      "card_loss=2@60s+5s max_calls=1000",
                                      &o, &error))
        << error;
    EXPECT_TRUE(o.calls == 1020 && o.rate == 50 && o.holdMinMs == 20000 && o.holdMaxMs == 40000);
    EXPECT_TRUE(o.churnAfterMs == 600000 && o.churnMinMs == 500 && o.dialShare == 0.2 && o.digits == "12#");
    EXPECT_TRUE(o.echo && o.echoLossDb == 12 && o.echoDelayMs == 8 && o.clear == sim::LoadOptions::Clear::Mix);
    EXPECT_TRUE(o.lossCard == 2 && o.lossAtMs == 60000 && o.lossDownMs == 5000 && o.maxCalls == 1000);
    for (const char* bad : {"calls=-1", "rate=0", "rate=abc", "hold=40s-20s", "hold=0", "dial_share=1.5",
                            "digits=12x", "audio=music", "audio=speech:/no/such/file", "echo=70:8", "echo=6",
                            "clear=both", "cause=0", "cause=128", "card_loss=2@60s", "frobnicate=1", "calls"}) {
        sim::LoadOptions before;
        EXPECT_FALSE(sim::ParseLoadOptions(bad, &before, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
        EXPECT_EQ(before.calls, -1) << "nothing kept from a refused text";
    }
    // The ports the module's own calls use are the last of each trunk, the
    // same rule the load host follows.
    EXPECT_FALSE(sim::ChannelKeptForModule(26, 0.1));
    EXPECT_TRUE(sim::ChannelKeptForModule(27, 0.1));
    EXPECT_FALSE(sim::ChannelKeptForModule(29, 0));
}

}  // namespace
