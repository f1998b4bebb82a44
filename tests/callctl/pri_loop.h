// Back-to-back ISDN in process: the card's libpri controllers wired frame by frame to peer controllers that play the
// far end. A pump thread carries frames and runs timers, under a trunk's lock as the signalling thread does.
#pragma once
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "callctl/pri_events.h"
#include "common/wait.h"
#include "core/card_link.h"
#include "core/device.h"
#include "core/port_table.h"
#include "core/pri_api.h"

namespace pritest {

constexpr int kPeerFdBase = 100;  // peer controllers' descriptors: 100 + trunk
constexpr int kPortsPerTrunk = transport::kChannelsPerTrunk;
constexpr int kAnyChannel = -1;   // PlaceCall: the SETUP leaves the channel to the module
constexpr int kNoChannelIe = 0;   // PlaceCall: the SETUP names no channel at all

// Timeslot of a trunk's port position 0..29.
inline int TimeslotOf(int position) { return position < 15 ? position + 1 : position + 2; }

// What the far end saw of one call.
struct PeerCall {
    int trunk, channel;
    bool fromModule;  // the module placed it
    std::string calling, called;
    q931_call* call;
    bool gotSetupAck = false, gotProceeding = false, gotAlerting = false, alertingInband = false;
    bool gotConnect = false, gotConnectAck = false, cleared = false;
    int cause = -1;     // cause of the module's first clearing message, -1 none
    bool done = false;  // libpri has let go of the call
};

// How the far end answers the module's SETUP; Busy clears with cause 17.
enum class Policy { Ignore, Proceed, Answer, Busy };

class PriLoop;
inline PriLoop* g_loop = nullptr;  // the one loop libpri's callbacks reach
inline thread_local const std::vector<uint8_t>* t_reading = nullptr;  // the frame this thread hands libpri

class PriLoop {
public:
    PriLoop(int trunks, bool moduleIsNetwork) : trunks_(trunks) {
        g_loop = this;
        eventFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        card_.trunkCount.store(trunks);
        card_.firstPort = card_.priEventContext = static_cast<uint32_t>(driver::g_portCount.load());
        transport::g_cards[0] = &card_;
        for (int i = 0; i < trunks * kPortsPerTrunk; ++i) {
            auto* port = new driver::CDevice;
            port->trunkIndex = static_cast<uint32_t>(i / kPortsPerTrunk);
            port->timeslot = static_cast<uint32_t>(TimeslotOf(i % kPortsPerTrunk));
            port->hostEvent.store(reinterpret_cast<void*>(static_cast<intptr_t>(eventFd_)));
            port->channelState.store(driver::kChannelUp);
            port->open.store(true);
            if (!driver::AddPort(port)) delete port;
        }
        pri_set_message(&PriLoop::Message);
        pri_set_error(&PriLoop::Message);
        for (int t = 0; t < trunks; ++t) {
            plat::LockGuard guard(card_.trunks[t].lock);
            card_.trunks[t].clientType = moduleIsNetwork ? 1 : 2;
            card_.trunks[t].switchType = PRI_SWITCH_EUROISDN_E1;
            card_.trunks[t].controller = NewController(t, moduleIsNetwork ? PRI_NETWORK : PRI_CPE, &card_);
            peers_[t] = NewController(kPeerFdBase + t, moduleIsNetwork ? PRI_CPE : PRI_NETWORK, this);
        }
        card_.priEventCallback.store(&callctl::PriEventCallback);
        pump_ = std::thread([this] { Pump(); });
    }

    ~PriLoop() {
        stop_.store(true);
        pump_.join();
        card_.priEventCallback.store(nullptr);
        for (int t = 0; t < trunks_; ++t) {
            plat::LockGuard guard(card_.trunks[t].lock);
            card_.trunks[t].controller = nullptr;  // libpri 1.6 has no way to free a controller
        }
        driver::DestroyAllPorts();
        transport::g_cards[0] = nullptr;
        if (eventFd_ >= 0) close(eventFd_);
        g_loop = nullptr;
    }

    transport::CardLink& card() { return card_; }
    driver::CDevice& Port(int trunk, int position) {
        return *driver::g_ports[card_.firstPort + trunk * kPortsPerTrunk + position];
    }
    bool LinksUp(int timeoutMs) {
        return testsupport::WaitUntil([this] {
            for (int t = 0; t < trunks_; ++t)
                if (!moduleUp_[t].load() || !peerUp_[t].load()) return false;
            return true;
        }, timeoutMs);
    }

    // ---- the far end ----

    // A SETUP from the far end on a channel, kAnyChannel or kNoChannelIe; the call's id.
    int PlaceCall(int trunk, int channel, std::string calling, std::string called, std::string redirecting = "") {
        std::lock_guard<std::recursive_mutex> guard(peerMutex_);
        q931_call* call = pri_new_call(peers_[trunk]);
        struct pri_sr* sr = call != nullptr ? pri_sr_new() : nullptr;
        if (sr == nullptr) return -1;
        if (channel != kNoChannelIe) pri_sr_set_channel(sr, channel == kAnyChannel ? 0xFF : channel, channel > 0, 0);
        pri_sr_set_bearer(sr, PRI_TRANS_CAP_SPEECH, PRI_LAYER_1_ALAW);
        pri_sr_set_called(sr, &called[0], PRI_NATIONAL_ISDN, 1);
        pri_sr_set_caller(sr, &calling[0], nullptr, PRI_NATIONAL_ISDN, PRES_ALLOWED_USER_NUMBER_PASSED_SCREEN);
        if (!redirecting.empty())
            pri_sr_set_redirecting(sr, &redirecting[0], PRI_NATIONAL_ISDN, PRES_ALLOWED_USER_NUMBER_PASSED_SCREEN,
                                   PRI_REDIR_UNCONDITIONAL);
        int result = pri_setup(peers_[trunk], call, sr);
        pri_sr_free(sr);
        if (result < 0) return -1;
        calls_.push_back({trunk, channel, false, calling, called, call});
        return static_cast<int>(calls_.size()) - 1;
    }

    bool Alert(int id) { return Act(id, [](pri* p, PeerCall& c) { return pri_acknowledge(p, c.call, c.channel, 0); }); }
    bool Answer(int id) { return Act(id, [](pri* p, PeerCall& c) { return pri_answer(p, c.call, c.channel, 0); }); }
    // DISCONNECT (RELEASE COMPLETE before the call was answered to).
    bool Disconnect(int id, int cause) { return Act(id, [=](pri* p, PeerCall& c) { return pri_hangup(p, c.call, cause); }); }

    std::atomic<Policy> policy[transport::kMaxTrunks] = {};  // per trunk
    std::atomic<bool> ignoreClearing{false};  // the far end neither answers the module's DISCONNECT nor releases
    std::atomic<bool> withholdConnectAck{false};

    PeerCall Call(int id) {
        std::lock_guard<std::recursive_mutex> guard(peerMutex_);
        return id >= 0 && id < static_cast<int>(calls_.size()) ? calls_[id] : PeerCall{};
    }
    // The newest call the module placed on the trunk, or -1.
    int LastModuleCall(int trunk) {
        std::lock_guard<std::recursive_mutex> guard(peerMutex_);
        int i = static_cast<int>(calls_.size()) - 1;
        while (i >= 0 && !(calls_[i].fromModule && calls_[i].trunk == trunk)) --i;
        return i;
    }
    // RESTART from the far end for one channel of the trunk.
    bool RestartChannel(int trunk, int channel) {
        std::lock_guard<std::recursive_mutex> guard(peerMutex_);
        return pri_reset(peers_[trunk], channel) >= 0;
    }
    std::vector<int> Restarts(int trunk) {
        std::lock_guard<std::recursive_mutex> guard(peerMutex_);
        return restarts_[trunk];
    }

    // Frames for the module's controllers are kept back, and its timers stand still, until DeliverHeld.
    void HoldModuleFrames() {
        std::lock_guard<std::mutex> guard(framesMutex_);
        hold_ = true;
    }
    // Hands the kept frames to the module on the calling thread, then lets the pump carry on.
    void DeliverHeld() {
        {
            std::lock_guard<std::mutex> guard(framesMutex_);
            for (auto it = frames_.begin(); it != frames_.end();) {
                if (it->first >= kPeerFdBase) {
                    ++it;
                    continue;
                }
                held_.push_back(std::move(*it));
                it = frames_.erase(it);
            }
        }
        for (;;) {
            std::deque<std::pair<int, std::vector<uint8_t>>> batch;
            {
                std::lock_guard<std::mutex> guard(framesMutex_);
                if (held_.empty()) {
                    hold_ = false;
                    return;
                }
                batch.swap(held_);
            }
            for (auto& frame : batch) Deliver(frame);
        }
    }
    // Frames the module has sent so far; waits until there are more than `seen`.
    uint64_t ModuleWrites() {
        std::lock_guard<std::mutex> guard(framesMutex_);
        return moduleWrites_;
    }
    bool WaitModuleWrite(uint64_t seen, int timeoutMs) {
        std::unique_lock<std::mutex> lock(framesMutex_);
        return written_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return moduleWrites_ > seen; });
    }
    // Rewrites the far end's frames (Q.921 header first, two check bytes last) before the module gets them.
    void FilterPeerFrames(std::function<void(std::vector<uint8_t>&)> filter) {
        std::lock_guard<std::mutex> guard(framesMutex_);
        peerFilter_ = std::move(filter);
    }

private:
    static struct pri* NewController(int fd, int node, void* userdata) {
        pri* controller = pri_new_cb(fd, node, PRI_SWITCH_EUROISDN_E1, &PriLoop::Read, &PriLoop::Write, userdata);
        if (controller == nullptr) return nullptr;
        pri_hangup_fix_enable(controller, 1);
        pri_aoc_events_enable(controller, 1);
        pri_connect_ack_enable(controller, 1);
        return controller;
    }

    static void Message(struct pri* controller, char* text) {
        if (controller != nullptr && pri_fd(controller) < kPeerFdBase) callctl::PriMessage(controller, text);
    }

    // libpri writes a frame followed by two check-sequence bytes; it goes to the other side's controller.
    static int Write(struct pri* controller, void* buffer, int length) {
        if (g_loop == nullptr || length < 2) return length;
        int fd = pri_fd(controller);
        const uint8_t* bytes = static_cast<uint8_t*>(buffer);
        std::lock_guard<std::mutex> guard(g_loop->framesMutex_);
        std::vector<uint8_t> frame(bytes, bytes + length);
        if (fd >= kPeerFdBase && g_loop->peerFilter_) g_loop->peerFilter_(frame);
        if (fd < kPeerFdBase) {
            ++g_loop->moduleWrites_;
            g_loop->written_.notify_all();
        }
        g_loop->frames_.emplace_back(fd < kPeerFdBase ? fd + kPeerFdBase : fd - kPeerFdBase, std::move(frame));
        return length;
    }

    // Hands libpri the frame the pump set aside for it.
    static int Read(struct pri*, void* buffer, int length) {
        if (t_reading == nullptr) return 0;
        int n = std::min(static_cast<int>(t_reading->size()), length);
        memcpy(buffer, t_reading->data(), static_cast<size_t>(n));
        t_reading = nullptr;
        return n;
    }

    void Deliver(std::pair<int, std::vector<uint8_t>>& frame) {
        t_reading = &frame.second;
        Run(frame.first % kPeerFdBase, frame.first >= kPeerFdBase, pri_check_event);
        t_reading = nullptr;
    }

    // A frame for the module while frames are held is kept back (true).
    bool Keep(std::pair<int, std::vector<uint8_t>>& frame) {
        if (frame.first >= kPeerFdBase) return false;
        std::lock_guard<std::mutex> guard(framesMutex_);
        if (!hold_) return false;
        held_.push_back(std::move(frame));
        return true;
    }

    // Frames are delivered, then every controller's timers run (a few events each), every 2 ms at most.
    void Pump() {
        while (!stop_.load()) {
            std::deque<std::pair<int, std::vector<uint8_t>>> batch;
            {
                std::lock_guard<std::mutex> lock(framesMutex_);
                batch.swap(frames_);
            }
            if (batch.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            for (auto& frame : batch)
                if (!Keep(frame)) Deliver(frame);
            bool held = Holding();
            for (int t = 0; t < trunks_; ++t)
                for (bool peer : {false, true})
                    for (int i = 0; i < 4 && (peer || !held); ++i) Run(t, peer, pri_schedule_run);
        }
    }

    // One libpri step on a trunk's module or peer controller, its event handled under that side's lock.
    void Run(int t, bool peer, pri_event* (*step)(struct pri*)) {
        if (peer) {
            std::lock_guard<std::recursive_mutex> guard(peerMutex_);
            if (pri_event* event = step(peers_[t])) OnPeerEvent(t, event);
            return;
        }
        plat::LockGuard guard(card_.trunks[t].lock);
        if (card_.trunks[t].controller == nullptr) return;
        if (pri_event* event = step(card_.trunks[t].controller)) {
            if (event->e == PRI_EVENT_DCHAN_UP || event->e == PRI_EVENT_DCHAN_DOWN)
                moduleUp_[t].store(event->e == PRI_EVENT_DCHAN_UP);
            callctl::PriEventBridge(card_, t, event);
        }
    }

    // Runs fn on the far end's record of a call that libpri still has.
    template <typename Fn>
    void On(q931_call* call, Fn fn) {
        for (PeerCall& c : calls_)
            if (c.call == call && !c.done) return fn(c);
    }

    template <typename Action>
    bool Act(int id, Action action) {
        std::lock_guard<std::recursive_mutex> guard(peerMutex_);
        if (id < 0 || id >= static_cast<int>(calls_.size()) || calls_[id].done) return false;
        return action(peers_[calls_[id].trunk], calls_[id]) >= 0;
    }

    void Cleared(const pri_event_hangup& hangup, bool done) {
        On(hangup.call, [&](PeerCall& c) {
            if (!c.cleared) c.cause = hangup.cause;
            c.cleared = true;
            c.done = done;
        });
    }

    // The far end's side of every call: records what it sees and reacts as its trunk's policy says.
    void OnPeerEvent(int t, pri_event* event) {
        struct pri* peer = peers_[t];
        auto got = [&](q931_call* call, bool PeerCall::*flag, int channel = -1) {
            On(call, [&](PeerCall& c) {
                c.*flag = true;
                if (channel >= 0) c.channel = channel & 0xFF;
            });
        };
        switch (event->e) {
        case PRI_EVENT_DCHAN_UP:
        case PRI_EVENT_DCHAN_DOWN: peerUp_[t].store(event->e == PRI_EVENT_DCHAN_UP); break;
        case PRI_EVENT_RING: OnPeerRing(t, event->ring); break;
        case PRI_EVENT_SETUP_ACK: got(event->setup_ack.call, &PeerCall::gotSetupAck, event->setup_ack.channel); break;
        case PRI_EVENT_PROCEEDING: got(event->proceeding.call, &PeerCall::gotProceeding, event->proceeding.channel); break;
        case PRI_EVENT_RINGING:
            On(event->ringing.call, [&](PeerCall& c) {
                c.gotAlerting = true;
                c.alertingInband = (event->ringing.progressmask & PRI_PROG_INBAND_AVAILABLE) != 0;
            });
            break;
        case PRI_EVENT_ANSWER:
            got(event->answer.call, &PeerCall::gotConnect);
            if (!withholdConnectAck.load()) pri_connect_ack(peer, event->answer.call, event->answer.channel);
            break;
        case PRI_EVENT_CONNECT_ACK: got(event->connect_ack.call, &PeerCall::gotConnectAck); break;
        case PRI_EVENT_HANGUP_REQ:
        case PRI_EVENT_HANGUP:
            Cleared(event->hangup, event->e == PRI_EVENT_HANGUP);
            if (event->e == PRI_EVENT_HANGUP || !ignoreClearing.load())
                pri_hangup(peer, event->hangup.call, event->hangup.cause);
            break;
        case PRI_EVENT_HANGUP_ACK: Cleared(event->hangup, true); break;
        case PRI_EVENT_RESTART: restarts_[t].push_back(event->restart.channel & 0xFF); break;
        default: break;
        }
    }

    void OnPeerRing(int t, const pri_event_ring& ring) {
        calls_.push_back({t, ring.channel & 0xFF, true, ring.callingnum, ring.callednum, ring.call});
        Policy how = policy[t].load();
        if (how == Policy::Ignore) return;
        pri_proceeding(peers_[t], ring.call, ring.channel, 0);
        if (how == Policy::Busy) pri_hangup(peers_[t], ring.call, 17);
        if (how == Policy::Answer && pri_acknowledge(peers_[t], ring.call, ring.channel, 0) >= 0)
            pri_answer(peers_[t], ring.call, ring.channel, 0);
    }

    const int trunks_;
    transport::CardLink card_;
    int eventFd_ = -1;
    struct pri* peers_[transport::kMaxTrunks] = {};
    std::atomic<bool> moduleUp_[transport::kMaxTrunks] = {}, peerUp_[transport::kMaxTrunks] = {};

    std::recursive_mutex peerMutex_;  // the peer controllers and everything below
    std::vector<PeerCall> calls_;
    std::vector<int> restarts_[transport::kMaxTrunks];

    bool Holding() {
        std::lock_guard<std::mutex> guard(framesMutex_);
        return hold_;
    }

    std::mutex framesMutex_;  // the frames below, hold_, peerFilter_ and moduleWrites_
    std::condition_variable written_;
    uint64_t moduleWrites_ = 0;
    std::deque<std::pair<int, std::vector<uint8_t>>> frames_, held_;  // receiving descriptor, bytes
    bool hold_ = false;
    std::function<void(std::vector<uint8_t>&)> peerFilter_;
    std::atomic<bool> stop_{false};
    std::thread pump_;
};

}  // namespace pritest
