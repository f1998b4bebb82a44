// Call-control fixture: a back-to-back card (pri_loop.h) and what the host sees; the test's thread is the host's.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "callctl/call_ops.h"
#include "callctl/port_call.h"
#include "common/cpu.h"
#include "common/trace_capture.h"
#include "core/trace.h"
#include "module/info_keys.h"
#include "pri_loop.h"

namespace pritest {

constexpr int kSignalMs = 3000;  // deadline for one exchange of messages
using Texts = std::vector<std::string>;
using callctl::Answer, callctl::Dial, callctl::GetCallProgress, callctl::Hangup, callctl::IsCallActive;
using callctl::QueueProgress, driver::DeviceSpecificCommand, driver::SetInfoKey;

class CallTest : public ::testing::Test {
protected:
    void SetUp() override { Start(); }
    void TearDown() override {
        loop_.reset();
        driver::g_traceLevel = 2;
        callctl::SetMaxIncomingCalls(-1);
    }

    void Start(int trunks = 1, bool moduleIsNetwork = false) {
        loop_.reset();
        loop_.reset(new PriLoop(trunks, moduleIsNetwork));
        ASSERT_TRUE(loop_->LinksUp(5000)) << "D-channels did not come up";
    }

    PriLoop& loop() { return *loop_; }
    driver::CDevice& Port(int trunk, int position) { return loop_->Port(trunk, position); }
    static std::string Info(driver::CDevice& port, const char* key) { return driver::GetInfoKey(port, key); }
    static bool Wait(const std::function<bool()>& pred, int timeoutMs = kSignalMs) {
        return testsupport::WaitUntil(pred, timeoutMs);
    }
    // Until the far end has seen this of the call, e.g. &PeerCall::gotAlerting.
    bool WaitCall(int id, bool PeerCall::*seen) { return Wait([&] { return loop_->Call(id).*seen; }); }
    // The cause of the module's first clearing message once the far end has seen `until`, -1 if it does not.
    int CauseOf(int id, bool PeerCall::*until = &PeerCall::cleared) {
        return WaitCall(id, until) ? loop_->Call(id).cause : -1;
    }
    static bool WaitIdle(driver::CDevice& port) { return Wait([&] { return port.callHandle.load() == nullptr; }); }
    // The newest SETUP from the module on trunk 0 after call `after`, once it arrives; -1 if none does.
    int NextModuleCall(int after = -1) {
        return Wait([&] { return loop_->LastModuleCall(0) > after; }) ? loop_->LastModuleCall(0) : -1;
    }

    // The port's next host event (what GetEvent returns), 0 when none.
    static uint32_t TakeEvent(driver::CDevice& port) {
        uint32_t code = 0;
        return port.eventQueue.Pop(&code) ? code : 0;
    }
    static void DrainEvents(driver::CDevice& port) { while (TakeEvent(port) != 0) {} }
    // Waits for the port's next host event of this code, dropping others.
    static bool WaitEvent(driver::CDevice& port, uint32_t code) {
        return Wait([&] {
            for (uint32_t got; (got = TakeEvent(port)) != 0;)
                if (got == code) return true;
            return false;
        });
    }

    // Every progress text pending on the port, in order; with a count, read until there are that many.
    static Texts Progress(driver::CDevice& port, size_t count = 0) {
        Texts all;
        Wait([&] {
            for (std::string t = callctl::GetCallProgress(port); !t.empty(); t = callctl::GetCallProgress(port))
                all.push_back(t);
            return all.size() >= count;
        });
        return all;
    }

    // An incoming call on the port's own channel, offered and ringing; the far end's call id.
    int Ring(int trunk, int position, const std::string& calling = "0301234567", const std::string& redirecting = "") {
        int id = loop_->PlaceCall(trunk, TimeslotOf(position), calling, "4711", redirecting);
        EXPECT_GE(id, 0);
        EXPECT_TRUE(Wait([&] { return Port(trunk, position).ringCount.load() == 1; })) << "no ring";
        EXPECT_TRUE(WaitCall(id, &PeerCall::gotAlerting));
        return id;
    }
    // The host's view of the port's call, e.g. "idle rings=0 CLI=" or "call active rings=1 CLI=0301234567".
    static std::string State(driver::CDevice& port) {
        return std::string(port.callHandle.load() ? "call" : "idle") + (callctl::IsCallActive(port) ? " active" : "") +
               " rings=" + std::to_string(port.Rings()) + " CLI=" + Info(port, "CLI");
    }
    // An incoming call answered by the host.
    int Connected(int trunk, int position) {
        int id = Ring(trunk, position);
        EXPECT_TRUE(callctl::Answer(Port(trunk, position)));
        return id;
    }

    // `host` races the frames held back from the module (PriLoop::HoldModuleFrames) on one CPU: the host runs in the
    // lowest scheduling class and the delivery, in the ordinary one, takes over the moment it can. With onHostFrame
    // the delivery starts when the host sends a frame, which it does under the trunk lock, so the delivery gets the
    // lock the moment the host lets it go; otherwise it starts 20 ms into the host's run, wherever the host is.
    void RaceHeldFrames(bool onHostFrame, const std::function<void()>& host) {
        const int cpu = testsupport::LastCpu();
        const uint64_t writes = loop_->ModuleWrites();
        std::thread network([&] {
            testsupport::OnCpu(cpu, SCHED_OTHER);
            if (onHostFrame)
                loop_->WaitModuleWrite(writes, kSignalMs);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            loop_->DeliverHeld();
        });
        std::thread hostThread([&] {
            testsupport::OnCpu(cpu, SCHED_IDLE);
            host();
        });
        network.join();
        hostThread.join();
    }

    std::unique_ptr<PriLoop> loop_;
};

using testsupport::TraceCapture;

}  // namespace pritest
