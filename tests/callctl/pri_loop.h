// Back-to-back ISDN for call-control tests and the call benchmark: an
// in-process card link whose trunks run real libpri controllers, wired
// frame by frame to peer libpri controllers that play the far end. Nothing
// goes on the network. A pump thread carries the frames and runs the
// timers of both sides; it holds a trunk's lock while it works on that
// trunk's controller, as the card's signalling thread does. Test threads
// drive the far end through the methods below.
#pragma once
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "callctl/pri_events.h"
#include "driver/device.h"
#include "driver/port_table.h"
#include "transport/card_link.h"
#include "transport/pri_api.h"

namespace pritest {

constexpr int kPeerFdBase = 100;          // peer controllers' descriptors: 100 + trunk
constexpr int kPortsPerTrunk = transport::kChannelsPerTrunk;
constexpr int kAnyChannel = -1;           // PlaceCall: the SETUP leaves the channel to the module
constexpr int kNoChannelIe = 0;           // PlaceCall: the SETUP names no channel at all
constexpr int kBusyCause = 17;

// Timeslot of a trunk's port position 0..29.
inline int TimeslotOf(int position) { return position < 15 ? position + 1 : position + 2; }

// What the far end saw of one call.
struct PeerCall {
    int id = -1;
    int trunk = 0;
    int channel = -1;
    bool fromModule = false;  // the module placed it
    std::string calling, called, redirecting;
    bool gotSetupAck = false, gotProceeding = false, gotAlerting = false, alertingInband = false;
    bool gotConnect = false, gotConnectAck = false;
    bool cleared = false;
    int cause = -1;           // cause of the module's first clearing message, -1 none
    bool done = false;        // libpri has let go of the call
    q931_call* call = nullptr;
};

enum class Policy { Ignore, Proceed, Alert, Answer, Busy };

struct LoopOptions {
    int trunks = 1;
    bool moduleIsNetwork = false;
    int switchType = PRI_SWITCH_EUROISDN_E1;
    bool openPorts = true;
    uint32_t cardIndex = 0;
};

class PriLoop;
inline PriLoop*& ActiveLoop() {
    static PriLoop* loop = nullptr;
    return loop;
}

class PriLoop {
public:
    explicit PriLoop(const LoopOptions& options) : options_(options) {
        ActiveLoop() = this;
        eventFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        card_.cardIndex = options.cardIndex;
        card_.trunkCount.store(options.trunks);
        card_.firstPort = static_cast<uint32_t>(driver::g_portCount.load());
        card_.priEventContext = card_.firstPort;
        transport::g_cards[options.cardIndex] = &card_;
        AddPorts();
        pri_set_message(&PriLoop::Message);
        pri_set_error(&PriLoop::Message);
        for (int t = 0; t < options.trunks; ++t) MakeControllers(t);
        card_.priEventCallback.store(&callctl::PriEventCallback);
        pump_ = std::thread([this] { Pump(); });
    }

    ~PriLoop() {
        stop_.store(true);
        wake_.notify_all();
        pump_.join();
        card_.priEventCallback.store(nullptr);
        for (int t = 0; t < options_.trunks; ++t) {
            plat::LockGuard guard(card_.trunks[t].lock);
            card_.trunks[t].controller = nullptr;  // libpri 1.6 has no way to free a controller
        }
        driver::DestroyAllPorts();
        transport::g_cards[options_.cardIndex] = nullptr;
        if (eventFd_ >= 0) close(eventFd_);
        ActiveLoop() = nullptr;
    }

    transport::CardLink& card() { return card_; }
    driver::CDevice& Port(int trunk, int position) {
        return *driver::g_ports[card_.firstPort + trunk * kPortsPerTrunk + position];
    }
    int PortNumber(int trunk, int position) const {
        return static_cast<int>(card_.firstPort) + trunk * kPortsPerTrunk + position;
    }

    bool LinksUp(int timeoutMs) {
        return WaitFor([this] {
            for (int t = 0; t < options_.trunks; ++t)
                if (!moduleUp_[t].load() || !peerUp_[t].load()) return false;
            return true;
        }, timeoutMs);
    }

    // ---- the far end ----

    // A SETUP from the far end; channel kAnyChannel leaves the choice to the
    // module, kNoChannelIe names none. Returns the call's id.
    int PlaceCall(int trunk, int channel, const std::string& calling, const std::string& called,
                  const std::string& redirecting = "") {
        std::lock_guard<std::recursive_mutex> guard(peerMutex_);
        struct pri* peer = peers_[trunk];
        q931_call* call = pri_new_call(peer);
        if (call == nullptr) return -1;
        struct pri_sr* sr = pri_sr_new();
        if (channel == kAnyChannel) pri_sr_set_channel(sr, 0xFF, 0, 0);
        else if (channel != kNoChannelIe) pri_sr_set_channel(sr, channel, 1, 0);
        pri_sr_set_bearer(sr, PRI_TRANS_CAP_SPEECH, PRI_LAYER_1_ALAW);
        std::string callingCopy = calling, calledCopy = called, redirectingCopy = redirecting;
        pri_sr_set_called(sr, &calledCopy[0], PRI_NATIONAL_ISDN, 1);
        pri_sr_set_caller(sr, &callingCopy[0], nullptr, PRI_NATIONAL_ISDN, PRES_ALLOWED_USER_NUMBER_PASSED_SCREEN);
        if (!redirecting.empty())
            pri_sr_set_redirecting(sr, &redirectingCopy[0], PRI_NATIONAL_ISDN, PRES_ALLOWED_USER_NUMBER_PASSED_SCREEN,
                                   PRI_REDIR_UNCONDITIONAL);
        int result = pri_setup(peer, call, sr);
        pri_sr_free(sr);
        if (result < 0) return -1;
        PeerCall record;
        record.id = static_cast<int>(calls_.size());
        record.trunk = trunk;
        record.channel = channel;
        record.calling = calling;
        record.called = called;
        record.redirecting = redirecting;
        record.call = call;
        calls_.push_back(record);
        Wake();
        return record.id;
    }

    bool Proceed(int id) { return Act(id, [](struct pri* p, PeerCall& c) { return pri_proceeding(p, c.call, c.channel, 0); }); }
    bool Alert(int id) { return Act(id, [](struct pri* p, PeerCall& c) { return pri_acknowledge(p, c.call, c.channel, 0); }); }
    bool Progress(int id) { return Act(id, [](struct pri* p, PeerCall& c) { return pri_progress(p, c.call, c.channel, 1); }); }
    bool Answer(int id) { return Act(id, [](struct pri* p, PeerCall& c) { return pri_answer(p, c.call, c.channel, 0); }); }
    // DISCONNECT (RELEASE COMPLETE before the call was answered to).
    bool Disconnect(int id, int cause) {
        return Act(id, [cause](struct pri* p, PeerCall& c) { return pri_hangup(p, c.call, cause); });
    }

    void SetPolicy(int trunk, Policy policy, int busyCause = kBusyCause) {
        std::lock_guard<std::recursive_mutex> guard(peerMutex_);
        policy_[trunk] = policy;
        busyCause_[trunk] = busyCause;
    }
    // The far end neither answers the module's DISCONNECT nor releases.
    void SetIgnoreClearing(bool on) { ignoreClearing_.store(on); }
    void SetWithholdConnectAck(bool on) { withholdConnectAck_.store(on); }

    std::vector<PeerCall> Calls() {
        std::lock_guard<std::recursive_mutex> guard(peerMutex_);
        return calls_;
    }
    PeerCall Call(int id) {
        std::lock_guard<std::recursive_mutex> guard(peerMutex_);
        return id >= 0 && id < static_cast<int>(calls_.size()) ? calls_[id] : PeerCall();
    }
    // The newest call the module placed on the trunk, or -1.
    int LastModuleCall(int trunk) {
        std::lock_guard<std::recursive_mutex> guard(peerMutex_);
        for (int i = static_cast<int>(calls_.size()) - 1; i >= 0; --i)
            if (calls_[i].fromModule && calls_[i].trunk == trunk) return i;
        return -1;
    }
    int SetupsFromModule() {
        std::lock_guard<std::recursive_mutex> guard(peerMutex_);
        int n = 0;
        for (const PeerCall& c : calls_) n += c.fromModule ? 1 : 0;
        return n;
    }
    bool WaitCall(int id, const std::function<bool(const PeerCall&)>& pred, int timeoutMs) {
        return WaitFor([&] { return pred(Call(id)); }, timeoutMs);
    }
    std::vector<int> Restarts(int trunk) {
        std::lock_guard<std::recursive_mutex> guard(peerMutex_);
        return restarts_[trunk];
    }
    // Hook run on the pump thread for every far-end event, before the far end
    // reacts to it (the benchmark takes its time stamps here).
    void SetPeerHook(std::function<void(int trunk, const pri_event&)> hook) {
        std::lock_guard<std::recursive_mutex> guard(peerMutex_);
        peerHook_ = std::move(hook);
    }

    // ---- the module's host side ----

    // Pops the port's next host event (what GetEvent returns).
    static uint32_t TakeEvent(driver::CDevice& port) {
        uint32_t code = 0;
        return port.eventQueue.Pop(&code) ? code : 0;
    }
    static std::vector<uint32_t> DrainEvents(driver::CDevice& port) {
        std::vector<uint32_t> codes;
        for (uint32_t code; port.eventQueue.Pop(&code);) codes.push_back(code);
        return codes;
    }

    static bool WaitFor(const std::function<bool()>& pred, int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (pred()) return true;
            if (std::chrono::steady_clock::now() >= deadline) return pred();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

private:
    struct Frame {
        int trunk;
        bool toPeer;
        std::vector<uint8_t> bytes;
    };

    void AddPorts() {
        for (int t = 0; t < options_.trunks; ++t) {
            for (int position = 0; position < kPortsPerTrunk; ++position) {
                auto* port = new driver::CDevice;
                port->cardIndex = options_.cardIndex;
                port->trunkIndex = static_cast<uint32_t>(t);
                port->timeslot = static_cast<uint32_t>(TimeslotOf(position));
                port->hostEvent.store(reinterpret_cast<void*>(static_cast<intptr_t>(eventFd_)));
                port->channelState.store(driver::kChannelUp);
                if (!driver::AddPort(port)) {
                    delete port;
                    return;
                }
                if (options_.openPorts) port->open.store(true);
            }
        }
    }

    void MakeControllers(int t) {
        int moduleNode = options_.moduleIsNetwork ? PRI_NETWORK : PRI_CPE;
        int peerNode = options_.moduleIsNetwork ? PRI_CPE : PRI_NETWORK;
        {
            plat::LockGuard guard(card_.trunks[t].lock);
            card_.trunks[t].clientType = options_.moduleIsNetwork ? 1 : 2;
            card_.trunks[t].switchType = options_.switchType;
            struct pri* module = pri_new_cb(t, moduleNode, options_.switchType, &PriLoop::Read, &PriLoop::Write, &card_);
            Configure(module);
            card_.trunks[t].controller = module;
        }
        std::lock_guard<std::recursive_mutex> guard(peerMutex_);
        struct pri* peer = pri_new_cb(kPeerFdBase + t, peerNode, options_.switchType, &PriLoop::Read, &PriLoop::Write, this);
        Configure(peer);
        peers_[t] = peer;
    }

    static void Configure(struct pri* controller) {
        if (controller == nullptr) return;
        pri_hangup_fix_enable(controller, 1);
        pri_aoc_events_enable(controller, 1);
        pri_connect_ack_enable(controller, 1);
    }

    static void Message(struct pri* controller, char* text) {
        if (controller != nullptr && pri_fd(controller) < kPeerFdBase) callctl::PriMessage(controller, text);
    }

    // libpri writes a frame followed by two check-sequence bytes.
    static int Write(struct pri* controller, void* buffer, int length) {
        PriLoop* loop = ActiveLoop();
        if (loop == nullptr || length < 2) return length;
        int fd = pri_fd(controller);
        Frame frame;
        frame.toPeer = fd < kPeerFdBase;
        frame.trunk = frame.toPeer ? fd : fd - kPeerFdBase;
        frame.bytes.assign(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
        {
            std::lock_guard<std::mutex> guard(loop->framesMutex_);
            loop->frames_.push_back(std::move(frame));
        }
        loop->Wake();
        return length;
    }

    // Hands libpri the frame the pump set aside for it.
    static int Read(struct pri* controller, void* buffer, int length) {
        PriLoop* loop = ActiveLoop();
        if (loop == nullptr || loop->reading_ == nullptr) return 0;
        int n = static_cast<int>(loop->reading_->size());
        if (n > length) n = length;
        memcpy(buffer, loop->reading_->data(), static_cast<size_t>(n));
        loop->reading_ = nullptr;
        return n;
    }

    void Wake() {
        {
            std::lock_guard<std::mutex> guard(framesMutex_);
            wakeups_++;
        }
        wake_.notify_all();
    }

    void Pump() {
        while (!stop_.load()) {
            std::deque<Frame> batch;
            {
                std::unique_lock<std::mutex> lock(framesMutex_);
                if (frames_.empty() && wakeups_ == 0)
                    wake_.wait_for(lock, std::chrono::milliseconds(2));
                batch.swap(frames_);
                wakeups_ = 0;
            }
            for (Frame& frame : batch) Deliver(frame);
            for (int t = 0; t < options_.trunks; ++t) RunTimers(t);
        }
    }

    void Deliver(Frame& frame) {
        if (frame.toPeer) {
            std::lock_guard<std::recursive_mutex> guard(peerMutex_);
            reading_ = &frame.bytes;
            pri_event* event = pri_check_event(peers_[frame.trunk]);
            reading_ = nullptr;
            if (event != nullptr) OnPeerEvent(frame.trunk, event);
            return;
        }
        transport::TrunkLink& trunk = card_.trunks[frame.trunk];
        plat::LockGuard guard(trunk.lock);
        if (trunk.controller == nullptr) return;
        reading_ = &frame.bytes;
        pri_event* event = pri_check_event(trunk.controller);
        reading_ = nullptr;
        if (event != nullptr) OnModuleEvent(frame.trunk, event);
    }

    void RunTimers(int t) {
        {
            transport::TrunkLink& trunk = card_.trunks[t];
            plat::LockGuard guard(trunk.lock);
            for (int i = 0; trunk.controller != nullptr && i < 4; ++i) {
                pri_event* event = pri_schedule_run(trunk.controller);
                if (event == nullptr) break;
                OnModuleEvent(t, event);
            }
        }
        std::lock_guard<std::recursive_mutex> guard(peerMutex_);
        for (int i = 0; i < 4; ++i) {
            pri_event* event = pri_schedule_run(peers_[t]);
            if (event == nullptr) break;
            OnPeerEvent(t, event);
        }
    }

    void OnModuleEvent(int t, pri_event* event) {
        if (event->e == PRI_EVENT_DCHAN_UP) moduleUp_[t].store(true);
        if (event->e == PRI_EVENT_DCHAN_DOWN) moduleUp_[t].store(false);
        callctl::PriEventBridge(card_, t, event);
    }

    PeerCall* Find(q931_call* call) {
        for (PeerCall& c : calls_)
            if (c.call == call && !c.done) return &c;
        return nullptr;
    }

    template <typename Action>
    bool Act(int id, Action action) {
        std::lock_guard<std::recursive_mutex> guard(peerMutex_);
        if (id < 0 || id >= static_cast<int>(calls_.size()) || calls_[id].done) return false;
        PeerCall& c = calls_[id];
        bool ok = action(peers_[c.trunk], c) >= 0;
        Wake();
        return ok;
    }

    void Cleared(PeerCall* c, int cause) {
        if (c == nullptr || c->cleared) return;
        c->cleared = true;
        c->cause = cause;
    }

    // The far end's side of every call: records what it sees and reacts as
    // its trunk's policy says.
    void OnPeerEvent(int t, pri_event* event) {
        if (peerHook_) peerHook_(t, *event);
        struct pri* peer = peers_[t];
        switch (event->e) {
        case PRI_EVENT_DCHAN_UP: peerUp_[t].store(true); break;
        case PRI_EVENT_DCHAN_DOWN: peerUp_[t].store(false); break;
        case PRI_EVENT_RING: OnPeerRing(t, event->ring); break;
        case PRI_EVENT_SETUP_ACK:
            if (PeerCall* c = Find(event->setup_ack.call)) {
                c->gotSetupAck = true;
                c->channel = event->setup_ack.channel & 0xFF;
            }
            break;
        case PRI_EVENT_PROCEEDING:
            if (PeerCall* c = Find(event->proceeding.call)) {
                c->gotProceeding = true;
                c->channel = event->proceeding.channel & 0xFF;
            }
            break;
        case PRI_EVENT_RINGING:
            if (PeerCall* c = Find(event->ringing.call)) {
                c->gotAlerting = true;
                c->alertingInband = (event->ringing.progressmask & PRI_PROG_INBAND_AVAILABLE) != 0;
            }
            break;
        case PRI_EVENT_ANSWER:
            if (PeerCall* c = Find(event->answer.call)) c->gotConnect = true;
            if (!withholdConnectAck_.load()) pri_connect_ack(peer, event->answer.call, event->answer.channel);
            break;
        case PRI_EVENT_CONNECT_ACK:
            if (PeerCall* c = Find(event->connect_ack.call)) c->gotConnectAck = true;
            break;
        case PRI_EVENT_HANGUP_REQ:
            Cleared(Find(event->hangup.call), event->hangup.cause);
            if (!ignoreClearing_.load()) pri_hangup(peer, event->hangup.call, event->hangup.cause);
            break;
        case PRI_EVENT_HANGUP:
            if (PeerCall* c = Find(event->hangup.call)) {
                Cleared(c, event->hangup.cause);
                c->done = true;
            }
            pri_hangup(peer, event->hangup.call, event->hangup.cause);
            break;
        case PRI_EVENT_HANGUP_ACK:
            if (PeerCall* c = Find(event->hangup.call)) {
                Cleared(c, event->hangup.cause);
                c->done = true;
            }
            break;
        case PRI_EVENT_RESTART: restarts_[t].push_back(event->restart.channel & 0xFF); break;
        default: break;
        }
    }

    void OnPeerRing(int t, const pri_event_ring& ring) {
        PeerCall record;
        record.id = static_cast<int>(calls_.size());
        record.trunk = t;
        record.channel = ring.channel & 0xFF;
        record.fromModule = true;
        record.calling = ring.callingnum;
        record.called = ring.callednum;
        record.call = ring.call;
        calls_.push_back(record);
        struct pri* peer = peers_[t];
        Policy policy = policy_[t];
        if (policy == Policy::Ignore) return;
        pri_proceeding(peer, ring.call, ring.channel, 0);
        if (policy == Policy::Busy) {
            pri_hangup(peer, ring.call, busyCause_[t]);
            return;
        }
        if (policy == Policy::Proceed) return;
        pri_acknowledge(peer, ring.call, ring.channel, 0);
        if (policy == Policy::Answer) pri_answer(peer, ring.call, ring.channel, 0);
    }

    LoopOptions options_;
    transport::CardLink card_;
    int eventFd_ = -1;
    struct pri* peers_[transport::kMaxTrunks] = {};
    std::atomic<bool> moduleUp_[transport::kMaxTrunks] = {};
    std::atomic<bool> peerUp_[transport::kMaxTrunks] = {};

    std::recursive_mutex peerMutex_;  // the peer controllers and everything below
    std::vector<PeerCall> calls_;
    Policy policy_[transport::kMaxTrunks] = {};
    int busyCause_[transport::kMaxTrunks] = {};
    std::vector<int> restarts_[transport::kMaxTrunks];
    std::function<void(int, const pri_event&)> peerHook_;
    std::atomic<bool> ignoreClearing_{false};
    std::atomic<bool> withholdConnectAck_{false};

    std::mutex framesMutex_;
    std::condition_variable wake_;
    std::deque<Frame> frames_;
    int wakeups_ = 0;
    const std::vector<uint8_t>* reading_ = nullptr;  // the pump's frame in hand
    std::atomic<bool> stop_{false};
    std::thread pump_;
};

}  // namespace pritest
