// Call-control fixture: a back-to-back card (pri_loop.h) and what the host sees; the test's thread is the host's.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "callctl/call_ops.h"
#include "callctl/pri_events.h"
#include "common/wait.h"
#include "driver/info_keys.h"
#include "driver/log_writer.h"
#include "driver/trace.h"
#include "pri_loop.h"

namespace pritest {

constexpr int kSignalMs = 3000;  // deadline for one exchange of messages

// What the far end saw of a call, for WaitCall.
inline bool Alerted(const PeerCall& c) { return c.gotAlerting; }
inline bool GotConnect(const PeerCall& c) { return c.gotConnect; }
inline bool Cleared(const PeerCall& c) { return c.cleared; }
inline bool Done(const PeerCall& c) { return c.done; }

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
    bool WaitCall(int id, const std::function<bool(const PeerCall&)>& pred) {
        return loop_->WaitCall(id, pred, kSignalMs);
    }
    // The newest SETUP from the module on trunk 0 after call `after`, once it arrives; -1 if none does.
    int NextModuleCall(int after = -1) {
        int id = -1;
        Wait([&] { return (id = loop_->LastModuleCall(0)) > after; });
        return id > after ? id : -1;
    }

    static std::string Info(driver::CDevice& port, const char* key) { return driver::GetInfoKey(port, key); }
    static bool Wait(const std::function<bool()>& pred, int timeoutMs = kSignalMs) {
        return testsupport::WaitUntil(pred, timeoutMs);
    }

    // The port's next host event (what GetEvent returns), 0 when none.
    static uint32_t TakeEvent(driver::CDevice& port) {
        uint32_t code = 0;
        return port.eventQueue.Pop(&code) ? code : 0;
    }
    static void DrainEvents(driver::CDevice& port) {
        while (TakeEvent(port) != 0) {}
    }
    // Waits for the port's next host event of this code, dropping others.
    static bool WaitEvent(driver::CDevice& port, uint32_t code) {
        return Wait([&] {
            for (uint32_t got; (got = TakeEvent(port)) != 0;)
                if (got == code) return true;
            return false;
        });
    }

    // Every progress text pending on the port, in order.
    static std::vector<std::string> Progress(driver::CDevice& port) {
        std::vector<std::string> texts;
        for (std::string text = callctl::GetCallProgress(port); !text.empty(); text = callctl::GetCallProgress(port))
            texts.push_back(text);
        return texts;
    }
    // Progress texts read until there are at least `count` of them.
    static std::vector<std::string> ProgressUntil(driver::CDevice& port, size_t count) {
        std::vector<std::string> all;
        Wait([&] {
            std::vector<std::string> more = Progress(port);
            all.insert(all.end(), more.begin(), more.end());
            return all.size() >= count;
        });
        return all;
    }

    // An incoming call on the port's own channel, offered and ringing; the far end's call id.
    int Ring(int trunk, int position, const std::string& calling = "0301234567", const std::string& called = "4711",
             const std::string& redirecting = "") {
        driver::CDevice& port = Port(trunk, position);
        int id = loop_->PlaceCall(trunk, TimeslotOf(position), calling, called, redirecting);
        EXPECT_GE(id, 0);
        EXPECT_TRUE(Wait([&] { return port.ringCount.load() == 1; })) << "no ring";
        EXPECT_TRUE(WaitCall(id, Alerted));
        return id;
    }
    // An incoming call answered by the host.
    int Connected(int trunk, int position) {
        int id = Ring(trunk, position);
        EXPECT_TRUE(callctl::Answer(Port(trunk, position)));
        return id;
    }

    std::unique_ptr<PriLoop> loop_;
};

// The trace lines written while it lives (earlier lines go to a file of their own).
class TraceCapture {
public:
    TraceCapture() {
        driver::TheLog().Start(dir_.File("before.log").c_str());
        driver::TheLog().Stop();
        driver::TheLog().Start(dir_.File("trace.log").c_str());
    }
    ~TraceCapture() { driver::TheLog().Stop(); }
    // Stops the writer (so every line is out) and returns the file.
    std::string Text() {
        driver::TheLog().Stop();
        return testsupport::ReadFile(dir_.File("trace.log"));
    }

private:
    testsupport::TempDir dir_;
};

}  // namespace pritest
