// Media statistics as a host reads them through GetInfo: faults of the
// card's stream, the tick lateness percentile, the canceller's ERLE.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "media/card_media.h"
#include "media_rig.h"
#include "module/info_keys.h"

namespace {

using mediatest::MediaRig;

std::string Info(driver::CDevice& port, const char* key) { return driver::GetInfoKey(port, key); }

TEST(MediaStatistics, StreamFaultsAreCountedPerCard) {
    MediaRig rig(1, 4);
    ASSERT_TRUE(rig.ok());
    driver::CDevice& port = rig.Port(0, 1);
    for (uint32_t q = 0; q < 3; ++q) rig.Deliver(rig.MakePacket(q, q == 0 ? 1 : 0));
    rig.Deliver(rig.MakePacket(5));        // 3 and 4 missing: a re-sync
    rig.Deliver(rig.MakePacket(5));        // repeated
    rig.Deliver(rig.MakePacket(6, 0, 3));  // the card lost three of ours
    EXPECT_EQ(Info(port, "AUDIORXPACKETS"), "5");
    EXPECT_EQ(Info(port, "audiolost"), "2");
    EXPECT_EQ(Info(port, "AUDIODUPLICATES"), "1");
    EXPECT_EQ(Info(port, "AUDIORESYNCS"), "1");
    EXPECT_EQ(Info(port, "AUDIOCARDLOST"), "3");
    EXPECT_EQ(Info(port, "AUDIOTXPACKETS"), std::to_string(rig.sent().size()));
    EXPECT_EQ(Info(rig.Port(0, 31), "AUDIOLOST"), "2");  // any port answers for its card
    media::CountDroppedBlock(rig.card().cardIndex);
    EXPECT_EQ(Info(port, "AUDIODROPPED"), "1");
    EXPECT_EQ(Info(port, "NOSUCHSTATISTIC"), "");
}

TEST(MediaStatistics, TickLatenessPercentileAndLateCycles) {
    MediaRig rig(1, 4);
    ASSERT_TRUE(rig.ok());
    driver::CDevice& port = rig.Port(0, 1);
    EXPECT_EQ(Info(port, "TICKLATEP99"), "0");  // no cycle yet
    auto& stats = rig.media().stats;
    stats.tickLateness[3] = 98;   // 300-399 us
    stats.tickLateness[25] = 2;   // 2.5 ms
    stats.tickCycles = 100;
    stats.tickLateMaxUs = 2543;
    EXPECT_EQ(Info(port, "TICKLATEP99"), "2600");
    EXPECT_EQ(Info(port, "TICKLATE"), "2");
    EXPECT_EQ(Info(port, "TICKLATEMAX"), "2543");
    stats.tickLateness[3] = 99, stats.tickLateness[media::kTickLatenessBuckets - 1] = 1;
    stats.tickLateness[25] = 0;
    EXPECT_EQ(Info(port, "TICKLATEP99"), "400");
}

TEST(MediaStatistics, ErleOnlyWhileTheCancellerRuns) {
    MediaRig rig(1, 4);
    ASSERT_TRUE(rig.ok());
    driver::CDevice& port = rig.Port(0, 5);
    rig.Run(200);
    EXPECT_EQ(Info(port, "ECHOERLE"), "");
    EXPECT_EQ(Info(port, "DIGITSDETECTED"), "0");
    media::CreateEchoCancellers(rig.card(), 0, 32);
    rig.card().trunks[0].echoCanceller = true;
    rig.SetSource(5, mediatest::Pattern(8000, 5));  // loud noise, no echo of ours: about 0 dB
    rig.Run(500);
    const std::string erle = Info(port, "ECHOERLE");
    ASSERT_FALSE(erle.empty());
    EXPECT_LT(std::fabs(std::atof(erle.c_str())), 6.0) << erle;
    rig.card().trunks[0].echoCanceller = false;
    rig.Run(100);
    EXPECT_EQ(Info(port, "ECHOERLE"), "");
}

}  // namespace
