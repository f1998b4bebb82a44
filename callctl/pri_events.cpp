// The PRI event callback: call events of a trunk become port call state,
// progress entries and host events. Runs on the card's signalling thread
// with the trunk's lock held; PortCallReset also runs on host threads.
//
// A port follows its own call only: an event about a call that the port no
// longer holds (it was reset locally, or a new call took the port) never
// changes the port's state, so a late event of an old call cannot clear or
// alter the next one. A call the port let go of by a local reset (a timeout
// of Answer or Hangup, Reject, ResetChannel, the line going down) gets no
// disconnect entry and no host event when libpri finishes it later; its end
// only wakes a Reject still waiting for it.
#include "callctl/pri_events.h"

#include <atomic>
#include <cstring>
#include <string>

#include "callctl/port_call.h"
#include "core/card_link.h"
#include "core/device.h"
#include "core/port_table.h"
#include "core/trace.h"
#include "platform/clock.h"
#include "platform/lock.h"

namespace callctl {

namespace {

using driver::CDevice;

constexpr uint16_t kNoChannel = 0xFFFF;      // the SETUP lets us choose the B-channel
constexpr uint16_t kDChannel = driver::kDChannelTimeslot;
constexpr uint16_t kHighestTimeslot = driver::kTimeslotsPerTrunk - 1;
constexpr uint32_t kChannelsPerTrunk = driver::kChannelsPerTrunk;
constexpr size_t kInbandMaxCliLength = 1;    // callers this short hear in-band ringback
constexpr const char* kEmptyText = "";

// Limit on channel-less incoming calls at once; 0 or less means none.
std::atomic<int32_t> g_maxIncoming{-1};

// Per port number: the channel-less incoming call that counts against the
// limit for as long as the port holds it.
std::atomic<q931_call*> g_countedCall[driver::kMaxPorts];
// Per port number: a call the port let go of by a local reset while libpri
// still had it; its end wakes a waiting Reject.
std::atomic<q931_call*> g_releasedCall[driver::kMaxPorts];
// Per port number: the line went away under a call; the network is to be
// told with a RESTART of the B-channel once the line is back, until it
// acknowledges it. When the last was sent and how many were.
std::atomic<bool> g_restartDue[driver::kMaxPorts];
std::atomic<uint32_t> g_restartSentMs[driver::kMaxPorts];
std::atomic<uint32_t> g_restartsSent[driver::kMaxPorts];
constexpr uint32_t kRestartRetryMs = 2000;  // RESTART ACKNOWLEDGE not seen this long: sent again
constexpr uint32_t kRestartAttempts = 3;
// Per port number: the call a host Hangup is releasing (its end is the
// host's own doing), and whether the far end (or the line) ended a call the
// host has not hung up yet.
std::atomic<q931_call*> g_hostReleasing[driver::kMaxPorts];
std::atomic<bool> g_hangupOwed[driver::kMaxPorts];
// Makes the check of the limit and the taking of a port one step, across
// the signalling threads of all cards.
plat::RecursiveLock g_countLock;

std::string EventText(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

// Timeslot of a trunk's port position 0..29.
int ChannelOfPosition(uint32_t position) {
    uint32_t channel = position + 1;
    return static_cast<int>(channel >= kDChannel ? channel + 1 : channel);
}

// The port of a B-channel of the card's trunk, or null. Channels beyond the
// trunk's 31 timeslots (span bits included) would land on another trunk's
// ports and are ignored.
CDevice* PortOfChannel(uint32_t trunk, uint16_t channel, uint32_t firstPort) {
    if (channel == 0 || channel == kDChannel || channel > kHighestTimeslot) return nullptr;
    uint32_t position = channel > kDChannel ? channel - 2u : channel - 1u;
    uint64_t number = uint64_t{position} + firstPort + uint64_t{kChannelsPerTrunk} * trunk;
    if (number >= static_cast<uint64_t>(driver::kMaxPorts)) return nullptr;
    return driver::LookupPort(static_cast<int>(number));
}

CDevice* LookupNumber(uint64_t number) {
    return number < static_cast<uint64_t>(driver::kMaxPorts) ? driver::LookupPort(static_cast<int>(number)) : nullptr;
}

void ResetInfo(CDevice& port, int32_t cause) {
    plat::LockGuard info(port.infoLock);
    port.clearingCause.store(cause);
    port.cli.clear();
    port.dli.clear();
    port.rli.clear();
    port.ani.clear();
    port.inputType = kEmptyText;
    port.digitQueue.Clear();
}

void ResetCallFields(CDevice& port) {
    port.callHandle.store(nullptr);
    port.ringCount.store(0);
    port.ringStart.store(0);
    port.callActive.store(false);
}

// A call of the port ended; unless the host's own Hangup ended it, the
// host owes it a Hangup.
void NoteCallEnded(const CDevice& port, q931_call* call) {
    q931_call* releasing = g_hostReleasing[port.portNumber].exchange(nullptr);
    if (call != nullptr && call != releasing) g_hangupOwed[port.portNumber].store(true);
}

// The port's call was cleared: reset it and tell the host.
void ReportClearing(CDevice& port, int32_t cause) {
    NoteCallEnded(port, port.callHandle.load());
    g_countedCall[port.portNumber].store(nullptr);
    g_releasedCall[port.portNumber].store(nullptr);
    ResetInfo(port, cause);
    plat::LockGuard call(port.callLock);
    ResetCallFields(port);
    QueueProgress(port, kProgressDisconnected, static_cast<uint32_t>(cause));
    port.PostEvent(driver::kEventCallProgress);
    port.callEvent.Set();
}

void Hangup(transport::TrunkLink* trunk, struct pri* controller, q931_call* call, int cause) {
    if (controller == nullptr || call == nullptr) return;
    TrunkGuard guard(trunk);
    pri_hangup(controller, call, cause);
}

// ---- incoming calls ----

// Offers the call to the port: CALL PROCEEDING, ALERTING, ring, host event.
void OfferToPort(CDevice& port, struct pri* controller, const pri_event_ring& ring, int channel) {
    if (port.callHandle.load() != ring.call) {
        NoteNewCall(port);
        port.callHandle.store(ring.call);
    }
    port.callActive.store(false);
    bool inband;
    {
        plat::LockGuard info(port.infoLock);
        port.cli = EventText(ring.callingnum, sizeof ring.callingnum);
        port.dli = EventText(ring.callednum, sizeof ring.callednum);
        port.rli = EventText(ring.redirectingnum, sizeof ring.redirectingnum);
        port.ani = EventText(ring.callingani, sizeof ring.callingani);
        port.callType = kCallTypeVoice;
        inband = port.cli.size() <= kInbandMaxCliLength;
    }
    if (controller != nullptr) {
        TrunkGuard guard(TrunkOf(port));
        pri_proceeding(controller, ring.call, channel, 0);
        pri_acknowledge(controller, ring.call, channel, inband ? 1 : 0);
    }
    {
        plat::LockGuard callGuard(port.callLock);  // GetRings writes the count back under it
        uint32_t now = plat::TickCountMs();
        port.ringStart.store(now != 0 ? now : 1);
        port.ringCount.store(1);
    }
    port.PostEvent(driver::kEventRing);
}

void OnRing(CDevice& port, struct pri* controller, const pri_event_ring& ring, int channel) {
    if (!port.allowIncoming.load()) {
        Hangup(TrunkOf(port), controller, ring.call, kCauseChannelUnavailable);
        return;
    }
    OfferToPort(port, controller, ring, channel);
}

// The first port of the trunk that can take a call, and its position.
CDevice* FreePortOfTrunk(uint64_t trunkFirst, uint32_t* position) {
    for (uint32_t i = 0; i < kChannelsPerTrunk; ++i) {
        CDevice* port = LookupNumber(trunkFirst + i);
        if (port != nullptr && port->callHandle.load() == nullptr && port->open.load() &&
            port->allowIncoming.load()) {
            *position = i;
            return port;
        }
    }
    return nullptr;
}

// Gives the port the call unless the limit is reached; countBefore is the
// number of counted calls before this one.
bool TakeCountedPort(CDevice& port, q931_call* call, int32_t* countBefore) {
    plat::LockGuard guard(g_countLock);
    *countBefore = IncomingCallCount();
    int32_t limit = g_maxIncoming.load();
    if (limit >= 1 && *countBefore >= limit) return false;
    NoteNewCall(port);
    port.callHandle.store(call);
    g_countedCall[port.portNumber].store(call);
    return true;
}

// A SETUP that leaves the B-channel to us: the first free open port of the
// trunk takes it, within the limit of channel-less calls.
void OnChannellessRing(uint16_t trunk, uint32_t firstPort, struct pri* controller, const pri_event_ring& ring) {
    uint64_t trunkFirst = uint64_t{firstPort} + uint64_t{kChannelsPerTrunk} * trunk;
    uint32_t position = 0;
    CDevice* chosen = FreePortOfTrunk(trunkFirst, &position);
    CDevice* known = chosen != nullptr ? chosen : LookupNumber(trunkFirst);
    if (known == nullptr) known = LookupNumber(firstPort);
    transport::TrunkLink* link = known != nullptr ? TrunkOf(*known) : nullptr;
    unsigned cardIndex = known != nullptr ? known->cardIndex : 0;
    if (chosen == nullptr) {
        Hangup(link, controller, ring.call, kCauseChannelUnavailable);
        VAXO_TRACE(2, driver::kGeneralPort, "Card %u: Trunk %u - New Call aborted due to BCHANNEL unavailable",
                   cardIndex, unsigned{trunk});
        return;
    }
    int32_t count = 0;
    if (!TakeCountedPort(*chosen, ring.call, &count)) {
        Hangup(link, controller, ring.call, kCauseChannelUnavailable);
        VAXO_TRACE(1, driver::kGeneralPort,
                   "Card %u: Trunk %u - New Call aborted due to NoofISDNCalls(%d) >= MaxISDNCalls(%d) ", cardIndex,
                   unsigned{trunk}, count, g_maxIncoming.load());
        return;
    }
    int channel = ChannelOfPosition(position);
    if (controller != nullptr) {
        TrunkGuard guard(link);
        pri_need_more_info(controller, ring.call, channel, kNonIsdn);
    }
    OfferToPort(*chosen, controller, ring, channel);
}

// ---- progress of the port's call ----

bool HoldsCall(const CDevice& port, q931_call* call) { return call != nullptr && port.callHandle.load() == call; }

void ReportProgress(CDevice& port, uint32_t code) {
    QueueProgress(port, code, 0);
    port.PostEvent(driver::kEventCallProgress);
}

void OnAlerting(CDevice& port, struct pri* controller, const pri_event_ringing& ringing) {
    VAXO_TRACE(1, static_cast<int>(port.portNumber), "Call Status Alerting");
    if (!HoldsCall(port, ringing.call)) return;
    transport::TrunkLink* trunk = TrunkOf(port);
    if (trunk != nullptr && trunk->hangupOnAlerting && port.callActive.load()) {
        Hangup(trunk, controller, ringing.call, kCauseNormalClearing);
        return;
    }
    ReportProgress(port, kProgressAlerting);
}

void OnProceeding(CDevice& port, const pri_event_proceeding& proceeding, const char* trace, uint32_t code) {
    VAXO_TRACE(1, static_cast<int>(port.portNumber), "%s", trace);
    if (!HoldsCall(port, proceeding.call)) return;
    ReportProgress(port, code);
}

// Numbers that libpri reports publicly with a connection: the connected
// party (the remote end) and a redirecting party, each only when present.
// The network-provided calling number the SETUP carried, if any, is the CLI
// of the connected call.
void TakeConnectionNumbers(CDevice& port, const struct pri_subcommands* subcmds, bool remoteIsCaller) {
    plat::LockGuard info(port.infoLock);
    port.callType = kCallTypeVoice;
    if (!port.ani.empty()) port.cli = port.ani;
    if (subcmds == nullptr) return;
    int count = subcmds->counter_subcmd < PRI_MAX_SUBCOMMANDS ? subcmds->counter_subcmd : PRI_MAX_SUBCOMMANDS;
    for (int i = 0; i < count; ++i) {
        const struct pri_subcommand& sub = subcmds->subcmd[i];
        if (sub.cmd == PRI_SUBCMD_CONNECTED_LINE && remoteIsCaller && port.ani.empty()) {
            const struct pri_party_number& number = sub.u.connected_line.id.number;
            if (number.valid && number.str[0] != '\0') port.cli = EventText(number.str, sizeof number.str);
        } else if (sub.cmd == PRI_SUBCMD_REDIRECTING) {
            const struct pri_party_number& number = sub.u.redirecting.from.number;
            if (number.valid && number.str[0] != '\0') port.rli = EventText(number.str, sizeof number.str);
        }
    }
}

// CONNECT for the port's call.
void OnAnswer(CDevice& port, const pri_event_answer& answer) {
    if (!HoldsCall(port, answer.call)) return;
    bool incoming = port.ringCount.load() >= 1;
    if (incoming) TakeConnectionNumbers(port, answer.subcmds, true);
    port.callActive.store(true);
    if (!incoming) ReportProgress(port, kProgressConnected);
    port.callEvent.Set();
}

// CONNECT ACKNOWLEDGE after the module answered (or connected).
void OnConnectAck(CDevice& port, const struct pri_event_connect_ack& ack) {
    if (!HoldsCall(port, ack.call)) return;
    TakeConnectionNumbers(port, ack.subcmds, false);
    port.callActive.store(true);
    if (port.ringCount.load() == 0) QueueProgress(port, kProgressConnected, 0);
    port.PostEvent(driver::kEventCallProgress);
    port.callEvent.Set();
}

// DISCONNECT (request), RELEASE (hangup) or the completion of our own
// release (ack). libpri's side of the call is always finished here: the call
// named by the event is released or freed, never another call of the port.
void OnClearing(CDevice& port, uint32_t code, struct pri* controller, const pri_event_hangup& hangup) {
    q931_call* call = hangup.call;
    bool own = HoldsCall(port, call);
    // After HANGUP_ACK libpri has freed the call already.
    if (code != kCallHangupAck) Hangup(TrunkOf(port), controller, call, kCauseNormalClearing);
    if (own) {
        ReportClearing(port, hangup.cause);
    } else if (call != nullptr && g_releasedCall[port.portNumber].compare_exchange_strong(call, nullptr)) {
        port.callEvent.Set();
    }
}

// A RESTART of the port's B-channel: the network has let go of the call,
// so libpri's record of it goes without a message (a DISCONNECT would only
// draw an unknown-call answer, or none when ours was already out) and the
// host gets the call's one disconnect entry at once.
void OnRestart(CDevice& port, struct pri* controller) {
    q931_call* call = port.callHandle.load();
    if (call == nullptr) return;
    if (controller != nullptr) {
        TrunkGuard guard(TrunkOf(port));
        pri_destroycall(controller, call);
    }
    ReportClearing(port, kCauseNormalClearing);
}

// The network acknowledged a RESTART of the port's B-channel.
void OnRestartAck(CDevice& port) { g_restartDue[port.portNumber].store(false); }

// Sends the RESTART of a lost call's channel; the last attempt ends the
// wait. Never while the port holds a call: that call has the channel now.
void SendLostChannelRestart(CDevice& port) {
    transport::TrunkLink* trunk = TrunkOf(port);
    TrunkGuard guard(trunk);
    struct pri* controller = ControllerOf(trunk);
    if (controller == nullptr) return;
    if (port.callHandle.load() != nullptr) {
        g_restartDue[port.portNumber].store(false);
        return;
    }
    pri_reset(controller, static_cast<int>(port.timeslot));
    g_restartSentMs[port.portNumber].store(plat::TickCountMs());
    if (g_restartsSent[port.portNumber].fetch_add(1) + 1 >= kRestartAttempts)
        g_restartDue[port.portNumber].store(false);
}

// A RESTART without a channel (all interfaces) restarts every B-channel of
// the trunk; each port's call then clears as for a restart of its channel.
void OnTrunkRestart(uint16_t trunk, uint32_t firstPort, struct pri* controller) {
    uint64_t trunkFirst = uint64_t{firstPort} + uint64_t{kChannelsPerTrunk} * trunk;
    for (uint32_t i = 0; i < kChannelsPerTrunk; ++i) {
        CDevice* port = LookupNumber(trunkFirst + i);
        if (port != nullptr && port->callHandle.load() != nullptr) OnRestart(*port, controller);
    }
}

}  // namespace

void NoteNewCall(const driver::CDevice& port) {
    g_countedCall[port.portNumber].store(nullptr);
    g_releasedCall[port.portNumber].store(nullptr);
    g_restartDue[port.portNumber].store(false);  // the channel carries a call again
}

void PriEventCallback(uint16_t trunk, uint16_t channel, uint32_t code, uint32_t context, struct pri* controller,
                      pri_event* event) {
    if (event == nullptr || trunk >= transport::kMaxTrunks) return;
    if (code == kCallRing && channel == kNoChannel) {
        OnChannellessRing(trunk, context, controller, event->ring);
        return;
    }
    if (code == kCallRestart && channel == kNoChannel) {
        OnTrunkRestart(trunk, context, controller);
        return;
    }
    CDevice* port = PortOfChannel(trunk, channel, context);
    if (port == nullptr) return;
    switch (code) {
    case kCallRestart: OnRestart(*port, controller); break;
    case kCallRestartAck: OnRestartAck(*port); break;
    case kCallRing: OnRing(*port, controller, event->ring, channel); break;
    case kCallAlerting: OnAlerting(*port, controller, event->ringing); break;
    case kCallProceeding: OnProceeding(*port, event->proceeding, "Call Proceeding", kProgressProceeding); break;
    case kCallProgress: OnProceeding(*port, event->proceeding, "Call Progress", kProgressProgress); break;
    case kCallAnswer: OnAnswer(*port, event->answer); break;
    case kCallConnectAck: OnConnectAck(*port, event->connect_ack); break;
    case kCallHangup:
    case kCallHangupReq:
    case kCallHangupAck: OnClearing(*port, code, controller, event->hangup); break;
    default: break;  // INFORMATION: nothing to do
    }
}

void PortCallReset(driver::CDevice& port, int32_t cause) {
    q931_call* old = port.callHandle.load();
    if (old != nullptr) g_releasedCall[port.portNumber].store(old);
    g_countedCall[port.portNumber].store(nullptr);
    ResetInfo(port, cause);
    plat::LockGuard call(port.callLock);
    ResetCallFields(port);
}

void EndCallOnLineLoss(CDevice& port) {
    transport::TrunkLink* trunk = TrunkOf(port);
    TrunkGuard guard(trunk);
    q931_call* call = port.callHandle.load();
    NoteNewCall(port);
    if (call != nullptr) {
        g_restartsSent[port.portNumber].store(0);
        g_restartDue[port.portNumber].store(true);
        Hangup(trunk, ControllerOf(trunk), call, kCauseDestinationOutOfOrder);
    }
    NoteCallEnded(port, call);
    ResetInfo(port, kCauseDestinationOutOfOrder);
    plat::LockGuard lock(port.callLock);
    ResetCallFields(port);
    if (call != nullptr) QueueProgress(port, kProgressDisconnected, kCauseDestinationOutOfOrder);
    port.PostEvent(driver::kEventCallProgress);
    port.callEvent.Set();  // an Answer or Hangup waiting on the call returns now
}

void RestartLostChannel(CDevice& port) {
    if (g_restartDue[port.portNumber].load()) SendLostChannelRestart(port);
}

void RepeatLostChannelRestart(CDevice& port) {
    if (!g_restartDue[port.portNumber].load() || g_restartsSent[port.portNumber].load() == 0) return;
    if (plat::TickCountMs() - g_restartSentMs[port.portNumber].load() < kRestartRetryMs) return;
    SendLostChannelRestart(port);
}

void NoteHostRelease(const CDevice& port, q931_call* call) { g_hostReleasing[port.portNumber].store(call); }

bool TakeOwedHangup(const CDevice& port) { return g_hangupOwed[port.portNumber].exchange(false); }

void ForgetOwedHangup(const CDevice& port) { g_hangupOwed[port.portNumber].store(false); }

int32_t IncomingCallCount() {
    int32_t ports = driver::g_portCount.load();
    int32_t count = 0;
    for (int32_t i = 0; i < ports && i < driver::kMaxPorts; ++i) {
        q931_call* counted = g_countedCall[i].load();
        CDevice* port = counted != nullptr ? driver::LookupPort(i) : nullptr;
        if (port != nullptr && port->callHandle.load() == counted) ++count;
    }
    return count;
}

void SetMaxIncomingCalls(int32_t limit) { g_maxIncoming.store(limit); }
int32_t MaxIncomingCalls() { return g_maxIncoming.load(); }

}  // namespace callctl
