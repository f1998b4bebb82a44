// The capture converter's reading of capture lines. Its pcap output, decoded
// as Q.931 by a packet analyser, is checked on a real capture by
// tests/host/ivr_flow_test.sh.
#include <gtest/gtest.h>

#include <vector>

#include "host/hdlc_pcap.h"

namespace {

using hostapi::CapturedFrame;

TEST(CaptureConverter, ParsesLinesAndSkipsOthers) {
    CapturedFrame f;
    ASSERT_TRUE(hostapi::ParseCaptureLine("O 2021-03-02 14:05:09 0000 02 01 7F \r", &f));
    EXPECT_TRUE(f.outgoing);
    EXPECT_EQ((std::vector<uint8_t>{0x02, 0x01, 0x7F}), f.bytes);
    ASSERT_TRUE(hostapi::ParseCaptureLine("I 2021-03-02 14:05:09 0000 AB \r", &f));
    EXPECT_FALSE(f.outgoing);
    EXPECT_FALSE(hostapi::ParseCaptureLine("X 2021-03-02 14:05:09 0000 02 \r", &f));
    EXPECT_FALSE(hostapi::ParseCaptureLine("garbage", &f));
    EXPECT_FALSE(hostapi::ParseCaptureLine("O 2021-03-02 14:05:09 0000 \r", &f));
}

}  // namespace
