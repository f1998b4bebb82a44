// The bridge from libpri events to card events and port call state. Runs on
// the card's signalling thread with the trunk's lock held.
#pragma once
#include <cstdint>

#include "core/pri_api.h"  // pri_event is an unnamed union: no forward declaration

namespace driver {
class CDevice;
}
namespace transport {
struct CardLink;
}

namespace callctl {

// Driver codes of call events.
enum CallEvent : uint32_t {
    kCallRestart = 0x301,
    kCallRing = 0x302,
    kCallHangup = 0x303,
    kCallHangupReq = 0x304,
    kCallConnectAck = 0x305,
    kCallHangupAck = 0x306,
    kCallInfo = 0x307,
    kCallAlerting = 0x309,
    kCallProceeding = 0x30A,
    kCallAnswer = 0x30B,
    kCallProgress = 0x30C,
    kCallRestartAck = 0x30D,
};

// Hands one libpri event of a trunk to the card's callbacks.
void PriEventBridge(transport::CardLink& card, int trunk, pri_event* event);

// The PRI event callback registered for every card (context: first port).
void PriEventCallback(uint16_t trunk, uint16_t channel, uint32_t code, uint32_t context, struct pri* controller,
                      pri_event* event);

// libpri's message handler: one unconditional trace line per message.
void PriMessage(struct pri* controller, char* text);
void PriError(struct pri* controller, char* text);

// Forgets the port's call without telling libpri; nothing is queued.
void PortCallReset(driver::CDevice& port, int32_t cause);

// The line under the port went away (its D-channel or its card is down).
// A call the port held is released in libpri and forgotten, and the host
// gets its one disconnect entry with the progress event posted here (which
// is posted also without a call); its B-channel is restarted once the line
// is back, so the network lets go of the call too. Takes the trunk lock.
void EndCallOnLineLoss(driver::CDevice& port);
// The port's D-channel is up again: sends the RESTART that a call ended by
// EndCallOnLineLoss left due. It stays due until the network acknowledges
// it: a RESTART sent while the peer was still setting up its side of the
// link is lost with the link's reset. Takes the trunk lock.
void RestartLostChannel(driver::CDevice& port);
// Sends a due RESTART again when the last one went unanswered for
// kRestartRetryMs, at most kRestartAttempts in all. Takes the trunk lock.
void RepeatLostChannelRestart(driver::CDevice& port);

// The Hangup a host owes for a call the far end or the line ended. A host
// answers the disconnect of a call with Hangup; when a new call rings on the
// port before that Hangup comes, the Hangup is taken for the ended call and
// the new one keeps ringing (the host has its RING still to handle).
// Answer, Reject and Dial mean the host has moved on: nothing is owed then.
// NoteHostRelease: the host's Hangup releases `call` (its end owes nothing).
// Any thread; the call operations use them under the trunk lock.
void NoteHostRelease(const driver::CDevice& port, q931_call* call);
bool TakeOwedHangup(const driver::CDevice& port);
void ForgetOwedHangup(const driver::CDevice& port);

// Channel-less incoming calls (the network left the B-channel to us) that
// ports hold right now; only these count against the limit. A call stops
// counting when its port lets go of it, however that happens.
int32_t IncomingCallCount();
// The driver-wide limit of such calls; 0 or less means no limit.
void SetMaxIncomingCalls(int32_t limit);
int32_t MaxIncomingCalls();

}  // namespace callctl
