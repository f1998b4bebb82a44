// CDwordQueue, and the port device through the exports: events, digits,
// rings, OpenPort/ClosePort, the port table and the driver stop.
#include <gtest/gtest.h>

#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "common/wait.h"
#include "core/device.h"
#include "core/dword_queue.h"
#include "core/log_writer.h"
#include "core/port_table.h"
#include "core/trace.h"
#include "include/vaxo_dt_qpl.h"
#include "platform/clock.h"

using driver::CDevice;
using driver::CDwordQueue;

namespace {

TEST(DwordQueue, HoldsCapacityLessOneInOrderAcrossWraps) {
    CDwordQueue q;
    ASSERT_TRUE(q.SetCapacity(5));
    uint32_t v = 0;
    for (uint32_t round = 0; round < 3; ++round) {
        for (uint32_t i = 0; i < 6; ++i) q.Push(round * 10 + i);  // the fifth and sixth are dropped
        EXPECT_TRUE(q.LooksNonEmpty());
        for (uint32_t i = 0; i < 4; ++i) {
            ASSERT_TRUE(q.Pop(&v));
            EXPECT_EQ(v, round * 10 + i);
        }
        EXPECT_FALSE(q.Pop(&v));
        EXPECT_FALSE(q.LooksNonEmpty());
        q.Push(1);  // shift the indices by one place for the next round
        q.Push(2);
        ASSERT_TRUE(q.Pop(&v) && q.Pop(&v));
    }
    q.Push(9);
    q.Clear();
    EXPECT_FALSE(q.Pop(&v));

    CDwordQueue none;  // without storage nothing is stored
    EXPECT_FALSE(none.SetCapacity(0));
    none.Push(1);
    EXPECT_FALSE(none.PushPair(1, 2));
    EXPECT_FALSE(none.Pop(&v));
    EXPECT_FALSE(none.PopPair(&v, &v));
    EXPECT_FALSE(none.LooksNonEmpty());
}

TEST(DwordQueue, PairsGoInAndOutWhole) {
    CDwordQueue q;
    ASSERT_TRUE(q.SetCapacity(40));
    int accepted = 0;
    for (uint32_t i = 0; i < 25; ++i) accepted += q.PushPair(i, 100 + i);
    EXPECT_EQ(accepted, 19);
    uint32_t a = 0, b = 0;
    for (uint32_t i = 0; i < 19; ++i) {
        ASSERT_TRUE(q.PopPair(&a, &b));
        EXPECT_EQ(a, i);
        EXPECT_EQ(b, 100 + i);
    }
    EXPECT_FALSE(q.PopPair(&a, &b));
    q.Push(7);  // a lone value is not half a pair
    EXPECT_FALSE(q.PopPair(&a, &b));
    ASSERT_TRUE(q.Pop(&a));
    EXPECT_EQ(a, 7u);
}

// Two ports in the table, an eventfd per port for the host handle, the
// trace level and tick offset restored afterwards.
class Ports : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(driver::g_portCount.load(), 0);
        for (int i = 0; i < 2; ++i) {
            dev_[i] = new CDevice;
            ASSERT_TRUE(driver::AddPort(dev_[i]));
            fd_[i] = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
            ASSERT_GE(fd_[i], 0);
        }
    }
    void TearDown() override {
        driver::DestroyAllPorts();
        for (int fd : fd_) close(fd);
        plat::SetTickOffsetForTests(0);
        driver::g_traceLevel = 2;
    }
    void* Handle(int i) const { return reinterpret_cast<void*>(static_cast<intptr_t>(fd_[i])); }
    // The eventfd counter (read resets it).
    uint64_t Signals(int i) const {
        uint64_t n = 0;
        return read(fd_[i], &n, sizeof n) == sizeof n ? n : 0;
    }

    CDevice* dev_[2] = {};
    int fd_[2] = {-1, -1};
};

TEST_F(Ports, FirstNinetyNineEventsKeptEveryOneSignalled) {
    SetEventHandle(0, Handle(0));
    for (uint32_t i = 0; i < 120; ++i) dev_[0]->PostEvent(1000 + i);
    EXPECT_EQ(Signals(0), 120u);
    EXPECT_TRUE(IsEventPending(0));
    EXPECT_FALSE(IsEventPending(1));
    EXPECT_EQ(GetEvent(1), 0);
    for (int i = 0; i < 99; ++i) ASSERT_EQ(GetEvent(0), 1000 + i);
    EXPECT_EQ(GetEvent(0), KVEVENT_NONE);
    EXPECT_FALSE(IsEventPending(0));
}

TEST_F(Ports, WithoutAHandleEventsAreDroppedAndNotRead) {
    dev_[0]->PostEvent(KVEVENT_RING);
    EXPECT_FALSE(IsEventPending(0));
    SetEventHandle(0, Handle(0));
    dev_[0]->PostEvent(KVEVENT_RING);
    EXPECT_TRUE(IsEventPending(0));
    SetEventHandle(0, nullptr);  // queued before: still not handed out
    EXPECT_EQ(GetEvent(0), 0);
    EXPECT_TRUE(IsEventPending(0));
    dev_[0]->PostEvent(KVEVENT_KEY);
    SetEventHandle(0, Handle(0));
    EXPECT_EQ(GetEvent(0), KVEVENT_RING);
    EXPECT_EQ(GetEvent(0), KVEVENT_NONE);
    EXPECT_EQ(Signals(0), 1u);
}

TEST_F(Ports, DigitsInOrderThirtyNineKeptEachPostsAKeyEventTracedAtLevelOne) {
    testsupport::TempDir dir;
    std::string path = dir.File("events.log");
    ASSERT_TRUE(driver::TheLog().Start(path.c_str()));
    driver::g_traceLevel = 1;
    SetEventHandle(1, Handle(1));
    EXPECT_STREQ(dev_[1]->inputType, "");
    const std::string sent = "0123456789*#ABCD0123456789*#ABCD0123456789*#";  // 44 digits
    for (char c : sent) dev_[1]->DigitReceived(c);
    dev_[1]->DigitReceived(static_cast<char>(0xB5));  // dropped: the queue is full
    for (int i = 0; i < 39; ++i) ASSERT_EQ(GetKey(1), sent[i]) << i;
    EXPECT_EQ(GetKey(1), 0);
    EXPECT_STREQ(dev_[1]->inputType, "T");
    EXPECT_EQ(GetKey(0), 0);
    EXPECT_EQ(Signals(1), sent.size() + 1);
    int keys = 0;
    while (GetEvent(1) == KVEVENT_KEY) ++keys;
    EXPECT_EQ(keys, static_cast<int>(sent.size()) + 1);
    dev_[1]->DigitReceived(static_cast<char>(0xB5));  // a byte above 127 comes back whole
    EXPECT_EQ(static_cast<unsigned char>(GetKey(1)), 0xB5);

    dev_[1]->PostEvent(77);
    dev_[0]->PostEvent(KVEVENT_RING);  // no handle: no line
    driver::g_traceLevel = 2;
    dev_[1]->PostEvent(KVEVENT_RING);  // level 2: no line
    driver::TheLog().Stop();
    std::string log = testsupport::ReadFile(path);
    EXPECT_NE(log.find("   1 :KVEVENT -> KVEVENT_KEY         \r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("   1 :DTMF Received = 5\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("   1 :KVEVENT -> KVEVENT_UNKNOWN\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("KVEVENT_RING"), std::string::npos) << log;
}

TEST_F(Ports, RingsOneOnArrivalAndOneMoreEveryTwoSeconds) {
    EXPECT_EQ(GetRings(0), 0);
    uint32_t now = plat::TickCountMs();
    dev_[0]->ringStart = now != 0 ? now : 1;  // as call control stamps an arrival
    const int steps[][2] = {{0, 1}, {1500, 1}, {2500, 2}, {4510, 3}};  // ms later, rings
    for (const auto& s : steps) {
        plat::SetTickOffsetForTests(s[0]);
        EXPECT_EQ(GetRings(0), s[1]) << s[0];
    }
    dev_[0]->callActive = true;  // answered: the last count stays
    plat::SetTickOffsetForTests(60000);
    EXPECT_EQ(GetRings(0), 3);
    dev_[0]->callActive = false;
    dev_[0]->ringStart = 0;  // cleared by call control
    EXPECT_EQ(GetRings(0), 0);
    EXPECT_EQ(dev_[0]->ringCount.load(), 0);
    dev_[1]->ringStart = plat::TickCountMs() - 6100u;  // unsigned across a wrap too
    EXPECT_EQ(GetRings(1), 4);
}

TEST_F(Ports, OpenOnceResetsMediaCloseOnlyWhenOpen) {
    dev_[0]->SetError("old failure");
    EXPECT_TRUE(OpenPort(0));
    EXPECT_TRUE(dev_[0]->open.load());
    EXPECT_STREQ(GetError(0), "");
    EXPECT_EQ(dev_[0]->wave.open.load(), 1);
    EXPECT_EQ(dev_[0]->wave.recordState.load(), media::kRecordStopped);
    EXPECT_EQ(dev_[0]->wave.format.formatTag, media::kFormatAlaw);

    dev_[0]->wave.format.channels = 2;  // a second open must not reset the format
    dev_[0]->SetError("kept");
    EXPECT_TRUE(OpenPort(0));
    EXPECT_EQ(dev_[0]->wave.format.channels, 2);
    EXPECT_STREQ(GetError(0), "kept");

    ClosePort(0);
    EXPECT_FALSE(dev_[0]->open.load());
    EXPECT_EQ(dev_[0]->wave.open.load(), 0);
    EXPECT_EQ(dev_[0]->wave.recordState.load(), media::kRecordClosed);
    EXPECT_STREQ(GetError(0), "");
    dev_[0]->SetError("after close");
    ClosePort(0);  // closed: nothing happens
    EXPECT_STREQ(GetError(0), "after close");
    EXPECT_TRUE(OpenPort(0));
    EXPECT_EQ(dev_[0]->wave.format.channels, 1);
}

// Records what the driver stop did to a device before destroying it.
struct Witness {
    bool destroyed = false;
    bool wasOpen = true;
    uint8_t mediaOpen = 1;
    int32_t channelState = 0;
};

class WatchedDevice : public CDevice {
public:
    explicit WatchedDevice(Witness* w) : witness_(w) {}
    ~WatchedDevice() override { *witness_ = {true, open.load(), wave.open.load(), channelState.load()}; }

private:
    Witness* witness_;
};

TEST(PortTable, RefusesPortsBeyondTheTableAndStopClosesMarksDownAndDestroysEvery) {
    Witness opened, closed;
    ASSERT_TRUE(driver::AddPort(new WatchedDevice(&opened)));
    ASSERT_TRUE(driver::AddPort(new WatchedDevice(&closed)));
    for (int i = 2; i < driver::kMaxPorts; ++i) ASSERT_TRUE(driver::AddPort(new CDevice));
    std::unique_ptr<CDevice> extra(new CDevice);
    EXPECT_FALSE(driver::AddPort(extra.get()));
    EXPECT_EQ(NoofPorts(), driver::kMaxPorts);
    EXPECT_TRUE(IsPort(driver::kMaxPorts - 1));
    EXPECT_FALSE(IsPort(driver::kMaxPorts));
    EXPECT_EQ(driver::g_ports[driver::kMaxPorts - 1]->portNumber, static_cast<uint32_t>(driver::kMaxPorts - 1));

    driver::g_ports[0]->channelState = driver::kChannelUp;
    ASSERT_TRUE(OpenPort(0));
    driver::DestroyAllPorts();
    EXPECT_EQ(NoofPorts(), 0);
    EXPECT_FALSE(IsPort(0));
    for (Witness* w : {&opened, &closed}) {
        EXPECT_TRUE(w->destroyed);
        EXPECT_FALSE(w->wasOpen);
        EXPECT_EQ(w->mediaOpen, 0);
        EXPECT_EQ(w->channelState, driver::kChannelDown);
    }
    EXPECT_EQ(driver::g_ports[0], nullptr);
    EXPECT_EQ(driver::g_ports[driver::kMaxPorts - 1], nullptr);
}

}  // namespace
