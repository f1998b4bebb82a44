// Test fixture for call control: a back-to-back card (pri_loop.h) with its
// ports, and helpers to read what the host would see. The test's thread is
// the host's thread.
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

constexpr int kLinkUpMs = 5000;
constexpr int kSignalMs = 3000;  // deadline for one exchange of messages

class CallTest : public ::testing::Test {
protected:
    void SetUp() override { Start(LoopOptions()); }
    void TearDown() override {
        loop_.reset();
        driver::g_traceLevel = kDefaultTraceLevel;
        callctl::SetMaxIncomingCalls(-1);
    }

    void Start(const LoopOptions& options) {
        loop_.reset();
        loop_.reset(new PriLoop(options));
        ASSERT_TRUE(loop_->LinksUp(kLinkUpMs)) << "D-channels did not come up";
    }

    PriLoop& loop() { return *loop_; }
    driver::CDevice& Port(int trunk, int position) { return loop_->Port(trunk, position); }

    static std::string Info(driver::CDevice& port, const char* key) {
        const char* reply = driver::GetInfoKey(port, key);
        return reply != nullptr ? reply : "<null>";
    }

    static bool Wait(const std::function<bool()>& pred, int timeoutMs = kSignalMs) {
        return testsupport::WaitUntil(pred, timeoutMs);
    }

    // Waits for the port's next host event of this code, dropping others.
    static bool WaitEvent(driver::CDevice& port, uint32_t code, int timeoutMs = kSignalMs) {
        return Wait([&] {
            for (uint32_t got; (got = PriLoop::TakeEvent(port)) != 0;)
                if (got == code) return true;
            return false;
        }, timeoutMs);
    }

    // Every progress text pending on the port, in order.
    static std::vector<std::string> Progress(driver::CDevice& port) {
        std::vector<std::string> texts;
        for (;;) {
            std::string text = callctl::GetCallProgress(port);
            if (text.empty()) return texts;
            texts.push_back(text);
        }
    }

    // Progress texts read until there are at least `count` of them.
    static std::vector<std::string> ProgressUntil(driver::CDevice& port, size_t count, int timeoutMs = kSignalMs) {
        std::vector<std::string> all;
        Wait([&] {
            std::vector<std::string> more = Progress(port);
            all.insert(all.end(), more.begin(), more.end());
            return all.size() >= count;
        }, timeoutMs);
        return all;
    }

    // An incoming call from the far end on the port's own channel, offered
    // and ringing; returns the far end's call id.
    int Ring(int trunk, int position, const std::string& calling = "0301234567", const std::string& called = "4711",
             const std::string& redirecting = "") {
        driver::CDevice& port = Port(trunk, position);
        int id = loop_->PlaceCall(trunk, TimeslotOf(position), calling, called, redirecting);
        EXPECT_GE(id, 0);
        EXPECT_TRUE(Wait([&] { return port.ringCount.load() == 1; })) << "no ring";
        EXPECT_TRUE(loop_->WaitCall(id, [](const PeerCall& c) { return c.gotAlerting; }, kSignalMs));
        return id;
    }

    // An incoming call answered by the host.
    int Connected(int trunk, int position) {
        int id = Ring(trunk, position);
        EXPECT_TRUE(callctl::Answer(Port(trunk, position)));
        return id;
    }

    static constexpr int kDefaultTraceLevel = 2;
    std::unique_ptr<PriLoop> loop_;
};

// The trace lines written while it lives (the log writer runs on a file of
// its own; lines from before go elsewhere).
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
