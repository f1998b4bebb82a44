// The capture converter: capture lines in, pcap out that a packet analyser
// decodes as Q.921/Q.931.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/wait.h"
#include "host/hdlc_pcap.h"

namespace {

using hostapi::CapturedFrame;

// An I-frame from the user side carrying a Q.931 SETUP, and the CONNECT
// that answers it.
const char* kCapture =
    "O 2026-12-06 14:05:09 0000 00 01 00 00 08 02 00 01 05 04 03 80 90 A3 18 03 A9 83 81 70 04 81 31 30 30 \r\n"
    "I 2026-12-06 14:05:10 0000 02 01 00 02 08 02 80 01 07 18 03 A9 83 81 \r\n";

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

TEST(CaptureConverter, PcapRecordsDecodedAsQ931ByTshark) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.File("t.hdlc"), kCapture);
    auto frames = hostapi::ReadCaptureFile(dir.File("t.hdlc"));
    ASSERT_EQ(2u, frames.size());
    ASSERT_TRUE(hostapi::WritePcap(dir.File("t.pcap"), frames, false));
    std::string pcap = testsupport::ReadFile(dir.File("t.pcap"));
    ASSERT_EQ(24u + 2 * 16 + 2 * 16 + frames[0].bytes.size() + frames[1].bytes.size(), pcap.size());
    EXPECT_EQ('\xD4', pcap[0]);
    EXPECT_EQ(177, static_cast<uint8_t>(pcap[20]));  // LINUX_LAPD

    if (system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
    std::string cmd = "tshark -r " + dir.File("t.pcap") + " -V > " + dir.File("out.txt") + " 2>&1";
    ASSERT_EQ(0, system(cmd.c_str()));
    std::string out = testsupport::ReadFile(dir.File("out.txt"));
    for (const char* text : {"Q.931", "SETUP", "CONNECT"}) EXPECT_NE(std::string::npos, out.find(text)) << out;
}

}  // namespace
