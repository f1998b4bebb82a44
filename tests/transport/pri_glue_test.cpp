// A trunk's libpri controller fed frames through the read callback; no connection is open, nothing is sent.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/wait.h"
#include "core/card_link.h"
#include "core/paths.h"
#include "transport/hdlc_capture.h"
#include "transport/pri_glue.h"

using namespace transport;

namespace {

int g_libpriComplaints = 0;
void CountComplaint(struct pri*, char*) { ++g_libpriComplaints; }

class PriGlueTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = driver::g_paths;
        snprintf(driver::g_paths.directory, sizeof driver::g_paths.directory, "%s/", dir_.path().c_str());
        card_.serial = 99;
        pri_set_error(CountComplaint);
        pri_set_message(CountComplaint);
        g_libpriComplaints = 0;
    }
    void TearDown() override {
        ReleaseController(card_, 0);
        CloseCapture(card_, 0);
        card_.serial = 0;
        pri_set_error(nullptr);
        pri_set_message(nullptr);
        driver::g_paths = saved_;
    }

    testsupport::TempDir dir_;
    driver::ModulePaths saved_;
    CardLink& card_ = Card(kMaxCards - 2);
};

// SABME with command address of TEI 0, as the network side sends it, and two check bytes.
const uint8_t kSabme[] = {0x02, 0x01, 0x7F, 0x00, 0x00};

}  // namespace

TEST_F(PriGlueTest, ShortFramesNeverReachLibpri) {
    CreateController(card_, 0);
    ASSERT_NE(card_.trunks[0].controller, nullptr);
    for (size_t n = 0; n < kMinFrameBytes; ++n) ReceiveFrame(card_, 0, kSabme, n);
    EXPECT_EQ(g_libpriComplaints, 0);

    // The same short frame handed over directly makes libpri complain.
    TrunkLink& t = card_.trunks[0];
    t.pendingFrame = kSabme;
    t.pendingLength = 3;
    pri_check_event(t.controller);
    EXPECT_GT(g_libpriComplaints, 0);
}

TEST_F(PriGlueTest, CaptureShowsEachReceivedFrameBeforeTheReplyItCaused) {
    OpenCapture(card_, 0, true);
    CreateController(card_, 0);  // the user side asks for the link at once: "O"
    ASSERT_NE(card_.trunks[0].controller, nullptr);
    ReceiveFrame(card_, 0, kSabme, sizeof kSabme);  // answered with UA: "O"

    std::string text = testsupport::ReadFile(CaptureFileName(99, 0));
    size_t first = text.find("\r\n");
    ASSERT_NE(first, std::string::npos);
    std::string rest = text.substr(first + 2);
    EXPECT_EQ(text[0], 'O');
    ASSERT_GE(rest.size(), 2u * (3 * 3 + 29));
    EXPECT_EQ(rest.compare(0, 2, "I "), 0) << rest;
    EXPECT_NE(rest.find(" 0000 02 01 7F \r\nO "), std::string::npos) << "check bytes are not captured";
}

TEST_F(PriGlueTest, ReleaseTakesTheControllerOutAndTimersStopWithIt) {
    CreateController(card_, 0);
    ASSERT_NE(card_.trunks[0].controller, nullptr);
    EXPECT_GE(NextTimerMs(card_, 100), 0) << "the link request runs a retransmission timer";
    EXPECT_LE(NextTimerMs(card_, 100), 100);
    ReleaseController(card_, 0);
    EXPECT_EQ(card_.trunks[0].controller, nullptr);
    EXPECT_EQ(NextTimerMs(card_, 100), -1);
    ReceiveFrame(card_, 0, kSabme, sizeof kSabme);  // dropped: no controller
    RunTimers(card_);
}
