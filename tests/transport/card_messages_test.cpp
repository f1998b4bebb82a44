// The HDLC frame message limit and the D-channel capture.
#include <gtest/gtest.h>

#include <vector>

#include "common/wait.h"
#include "core/card_link.h"
#include "core/paths.h"
#include "transport/card_messages.h"
#include "transport/hdlc_capture.h"

using namespace transport;

TEST(CardMessages, HdlcFrameFitsUpTo300Bytes) {
    std::vector<uint8_t> frame(301, 0xAB);
    CardMessage m;
    ASSERT_TRUE(CardMessage::HdlcFrame(1, frame.data(), 300, &m));
    EXPECT_EQ(m.size(), kMaxCardMessageBytes);
    EXPECT_EQ(m.data()[2], 1);
    EXPECT_EQ(m.data()[3], 0x2C);
    EXPECT_EQ(m.data()[4], 0x01);
    EXPECT_EQ(m.data()[305], 0xFF);
    EXPECT_FALSE(CardMessage::HdlcFrame(1, frame.data(), 301, &m));
    EXPECT_EQ(m.size(), 0u);

    // Sending needs no open connection to succeed, but refuses what does not fit.
    CardLink& card = Card(kMaxCards - 1);
    EXPECT_TRUE(SendHdlcFrame(card, 0, frame.data(), 300));
    EXPECT_FALSE(SendHdlcFrame(card, 0, frame.data(), 301));
    EXPECT_FALSE(SendHdlcFrame(card, 0, frame.data(), -1));
    EXPECT_FALSE(SendHdlcFrame(card, kMaxTrunks, frame.data(), 3));
}

TEST(HdlcCapture, LineFormatAndLinesAppendedToTheTrunkFileOnlyWhileOn) {
    plat::CalendarTime when{2021, 3, 2, 14, 5, 9, 500};
    const uint8_t frame[] = {0x00, 0x01, 0x7F};
    EXPECT_EQ(FormatCaptureLine('O', when, frame, 3), "O 2021-03-02 14:05:09 0000 00 01 7F \r\n");
    std::vector<uint8_t> longest(298, 0xC3);
    for (size_t n : {0u, 298u}) EXPECT_EQ(FormatCaptureLine('I', when, longest.data(), n).size(), 3 * n + 29) << n;

    testsupport::TempDir dir;
    driver::ModulePaths saved = driver::g_paths;
    snprintf(driver::g_paths.directory, sizeof driver::g_paths.directory, "%s/", dir.path().c_str());
    CardLink& card = Card(kMaxCards - 1);
    card.serial = 4711;
    const std::string file = dir.File("vaxo-4711-2.hdlc");
    testsupport::WriteFile(file, "earlier\r\n");
    OpenCapture(card, 1, true);
    Capture(card, 1, kCaptureIncoming, frame, 3);
    Capture(card, 1, kCaptureOutgoing, frame, 1);
    Capture(card, 0, kCaptureOutgoing, frame, 3);  // trunk 1 (first) has no capture
    CloseCapture(card, 1);
    Capture(card, 1, kCaptureOutgoing, frame, 3);

    std::string text = testsupport::ReadFile(file);
    ASSERT_EQ(text.size(), 9u + (3 * 3 + 29) + (3 * 1 + 29));
    EXPECT_EQ(text.compare(0, 9, "earlier\r\n"), 0);
    EXPECT_EQ(text[9], 'I');
    EXPECT_NE(text.find("0000 00 01 7F \r\nO "), std::string::npos);
    EXPECT_EQ(testsupport::ReadFile(dir.File("vaxo-4711-1.hdlc")), "");
    card.serial = 0;
    driver::g_paths = saved;
}
