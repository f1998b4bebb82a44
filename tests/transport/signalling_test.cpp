// The signalling thread of one card link on a local socket pair: the test plays the card. No network is used.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/cpu.h"
#include "common/wait.h"
#include "core/card_link.h"
#include "transport/card_setup.h"
#include "transport/pri_glue.h"
#include "transport/signalling.h"

using namespace transport;

namespace {

constexpr int kDeadlineMs = 8000;
constexpr int kAnyCpu = -1;
std::atomic<bool> g_threadEnded{false};
std::atomic<int> g_idleOnCpu{kAnyCpu};

using testsupport::LastCpu;
using testsupport::OnCpu;

void Signalling(void* card) {
    if (g_idleOnCpu.load() != kAnyCpu) OnCpu(g_idleOnCpu.load(), SCHED_IDLE);
    SignallingThread(card);
    g_threadEnded = true;
}

class SignallingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
        card_.trunkCount = 1;
        card_.portTrunks = 1;
        card_.control = fds_[0];
    }
    void TearDown() override {
        CardClose(card_);
        g_idleOnCpu = kAnyCpu;
        card_.trunkCount = 0;
        card_.portTrunks = kMaxTrunks;
        close(fds_[1]);
    }

    // The card's signalling thread; with a CPU it runs there in the lowest scheduling class.
    void StartThread(int idleOnCpu = kAnyCpu) {
        g_idleOnCpu = idleOnCpu;
        g_threadEnded = false;
        card_.signalling.stop = false;
        ASSERT_TRUE(card_.signalling.thread.Start(Signalling, &card_, plat::ThreadPriority::Normal));
        card_.signalling.started = true;
    }

    // Counts the D-channel frames (FF 10 ...) the module has sent so far.
    int FramesSent() {
        uint8_t buf[4096];
        for (ssize_t n; (n = recv(fds_[1], buf, sizeof buf, MSG_DONTWAIT)) > 0;) out_.insert(out_.end(), buf, buf + n);
        while (out_.size() >= 2) {
            size_t size = out_[1] == 0x10 ? (out_.size() >= 5 ? 6u + (out_[3] | out_[4] << 8) : out_.size() + 1) : 2u;
            if (out_.size() < size) break;
            if (out_[1] == 0x10) ++frames_;
            out_.erase(out_.begin(), out_.begin() + static_cast<long>(size));
        }
        return frames_;
    }

    CardLink& card_ = Card(kMaxCards - 3);
    int fds_[2] = {-1, -1};
    std::vector<uint8_t> out_;
    int frames_ = 0;
};

}  // namespace

// A card that floods the connection and never answers Q.921: the module's link set-up (SABME) still goes out again
// at libpri's T200 period, once a second, instead of waiting for the flood to stop. The flood shares one CPU with
// the signalling thread and always runs first, so the connection never runs dry.
TEST_F(SignallingTest, LibpriTimersKeepTheirPeriodWhileTheCardFloodsTheConnection) {
    const int cpu = LastCpu();
    StartThread(cpu);
    CreateController(card_, 0);  // the first SABME
    card_.open = 1;
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        OnCpu(cpu, SCHED_OTHER);
        std::vector<uint8_t> bytes(65536, 0x00);  // between messages: dropped by the parser
        while (flooding.load()) send(fds_[1], bytes.data(), bytes.size(), MSG_NOSIGNAL);
    });
    bool repeated = testsupport::WaitUntil([&] { return FramesSent() >= 4; }, kDeadlineMs);
    flooding = false;
    flood.join();
    EXPECT_TRUE(repeated) << FramesSent() << " frames: the retransmissions stopped while the card flooded";
}

// CardClose wakes the thread and closes the socket only once the thread has ended: a number closed under it could
// be taken by another socket and read by the ending thread.
TEST_F(SignallingTest, CardCloseClosesTheControlSocketOnlyAfterTheThreadEnded) {
    StartThread();
    const int number = fds_[0];
    std::atomic<bool> endedAtClose{false}, closed{false};
    std::thread watch([&] {
        testsupport::WaitUntil([&] { return fcntl(number, F_GETFD) < 0; }, kDeadlineMs, 0);
        endedAtClose = g_threadEnded.load();
        closed = fcntl(number, F_GETFD) < 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the thread waits on the socket, without limit
    CardClose(card_);
    watch.join();
    EXPECT_TRUE(closed);
    EXPECT_TRUE(endedAtClose);
    EXPECT_TRUE(g_threadEnded);
}
