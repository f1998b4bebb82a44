// Answer, Hangup, Reject, Dial and IsCallActive on a port. Host threads;
// libpri is driven under the port's trunk lock and the outcome is awaited on
// the port's call event with no lock held, so the signalling thread can
// report meanwhile. A wait that ends without an answer resets the port only
// while it still holds the call the operation worked on.
#include "callctl/call_ops.h"

#include <string>

#include "callctl/port_call.h"
#include "callctl/pri_events.h"
#include "core/card_link.h"
#include "core/device.h"
#include "core/trace.h"
#include "platform/lock.h"

namespace callctl {

namespace {

using driver::CDevice;

constexpr uint32_t kAnswerWaitMs = 5000;
constexpr uint32_t kHangupWaitMs = 10000;
constexpr uint32_t kRejectWaitMs = 3000;
constexpr int32_t kNetworkSide = 1;     // ClientType: the module is the network (NT)
constexpr int kExclusive = 1;           // the SETUP's channel is not negotiable
constexpr int kNumberComplete = 1;      // the called number is complete
constexpr int kCallerPlan = 0x21;       // national number, ISDN/telephony plan
constexpr int kCallerPresentation = 0x01;  // allowed, user provided, passed screening

constexpr const char* kAnswerFailed = "Answer() -> Answer() failed in Q931 Connect().";
constexpr const char* kAnswerRemoteDisconnect = "Answer() -> Remote side disconnect received.";
constexpr const char* kHangupNoCall = "Hangup()-> Call is already released. hCall is NULL.";
constexpr const char* kHangupFailed = "Hangup()-> Failed in Q931 release()";
constexpr const char* kDialInUse = "Dial() -> call handle in use";
constexpr const char* kDialNewCallFailed = "Dial() -> new call failed";
constexpr const char* kDialSetupFailed = "Dial() -> new call setup failed";

int PortColumn(const CDevice& port) { return static_cast<int>(port.portNumber); }

// Copies an error into the port's error text and, at trace level 2, the log.
void AnswerError(CDevice& port, const char* text) {
    port.SetError(text);
    VAXO_TRACE(2, PortColumn(port), "%s", text);
}

// Sends CONNECT for the port's call; the call answered, or null after the
// port was reset because CONNECT could not be sent. On the network side the
// call is active once CONNECT is out; that is noted before the trunk lock
// goes, so a clearing handled right after it finds the call active and
// resets it.
q931_call* SendConnect(CDevice& port, transport::TrunkLink* trunk) {
    TrunkGuard guard(trunk);
    port.progressQueue.Clear();
    q931_call* call = port.callHandle.load();
    struct pri* controller = ControllerOf(trunk);
    if (controller != nullptr && call != nullptr &&
        pri_answer(controller, call, static_cast<int>(port.timeslot), kNonIsdn) >= 0) {
        if (trunk->clientType == kNetworkSide) {
            port.callActive.store(true);
            port.PostEvent(driver::kEventCallProgress);
            port.callEvent.Set();
        }
        return call;
    }
    PortCallReset(port, kCauseNormalClearing);
    return nullptr;
}

// True when this Hangup is the one the host owes for a call the far end
// ended, while a new incoming call rings on the port: that call is left
// ringing (see TakeOwedHangup). Consumes what is owed either way.
bool KeepsNewCallRinging(CDevice& port, transport::TrunkLink* trunk) {
    TrunkGuard guard(trunk);
    const bool owed = TakeOwedHangup(port);
    return owed && port.callHandle.load() != nullptr && !port.callActive.load() && port.ringCount.load() >= 1;
}

// Releases the port's call with `cause`; the call released, or null when
// the port had none. *sent tells whether libpri took the release.
q931_call* SendRelease(CDevice& port, transport::TrunkLink* trunk, int cause, bool* sent) {
    TrunkGuard guard(trunk);
    q931_call* call = port.callHandle.load();
    *sent = false;
    if (call == nullptr) return nullptr;
    NoteHostRelease(port, call);
    port.callEvent.Reset();
    struct pri* controller = ControllerOf(trunk);
    *sent = controller != nullptr && pri_hangup(controller, call, cause) >= 0;
    return call;
}

// The libpri SETUP of Dial, under the trunk lock; false when not sent.
bool SendSetup(struct pri* controller, q931_call* call, const CDevice& port, const std::string& number,
               const std::string& caller, int32_t numberType) {
    struct pri_sr* request = pri_sr_new();
    if (request == nullptr) return false;
    // libpri keeps the text pointers until pri_setup copies them.
    std::string called = number;
    std::string calling = caller;
    pri_sr_set_channel(request, static_cast<int>(port.timeslot), kExclusive, 0);
    pri_sr_set_bearer(request, PRI_TRANS_CAP_SPEECH, PRI_LAYER_1_ALAW);
    pri_sr_set_called(request, &called[0], numberType, kNumberComplete);
    pri_sr_set_caller(request, &calling[0], nullptr, kCallerPlan, kCallerPresentation);
    int result = pri_setup(controller, call, request);
    pri_sr_free(request);
    return result >= 0;
}

// The port's call fields for a new outgoing call; returns the calling number.
std::string PrepareOutgoing(CDevice& port, const char* number) {
    plat::LockGuard info(port.infoLock);
    port.cli = port.dialCli;
    port.dli = number;
    port.rli.clear();
    port.ani.clear();
    port.callType = kCallTypeVoice;
    return port.dialCli;
}

}  // namespace

bool Answer(CDevice& port) {
    port.ClearError();
    ForgetOwedHangup(port);
    if (port.callActive.load()) return true;
    port.callEvent.Reset();
    transport::TrunkLink* trunk = TrunkOf(port);
    q931_call* call = SendConnect(port, trunk);
    if (call == nullptr) {
        AnswerError(port, kAnswerFailed);
        return false;
    }
    port.callEvent.Wait(kAnswerWaitMs);
    port.callEvent.Reset();
    if (port.callActive.load()) return true;
    if (port.callHandle.load() != call) {
        AnswerError(port, kAnswerRemoteDisconnect);
        return false;
    }
    // No confirmation in time: forget the call, send nothing.
    if (!ResetIfHolding(port, call, kCauseNormalClearing)) AnswerError(port, kAnswerRemoteDisconnect);
    return false;
}

bool Hangup(CDevice& port) {
    transport::TrunkLink* trunk = TrunkOf(port);
    if (KeepsNewCallRinging(port, trunk)) {
        VAXO_TRACE(1, PortColumn(port), "Hangup() taken for the call the far end cleared; the new call rings on");
        driver::Logf(PortColumn(port), "%s", kHangupNoCall);
        return true;
    }
    {
        plat::LockGuard callGuard(port.callLock);
        port.ringCount.store(0);
        port.ringStart.store(0);
    }
    bool sent = false;
    q931_call* call = SendRelease(port, trunk, kCauseNormalClearing, &sent);
    if (call == nullptr) {
        driver::Logf(PortColumn(port), "%s", kHangupNoCall);
        return true;
    }
    if (!sent) {
        driver::Logf(PortColumn(port), "%s", kHangupFailed);
        ResetIfHolding(port, call, kCauseNormalClearing);
        return true;
    }
    port.callEvent.Wait(kHangupWaitMs);
    port.callEvent.Reset();
    // No release reported in time: the port forgets the call itself.
    ResetIfHolding(port, call, kCauseNormalClearing);
    return true;
}

bool Reject(CDevice& port) {
    port.ClearError();
    ForgetOwedHangup(port);
    if (port.callActive.load()) return true;
    transport::TrunkLink* trunk = TrunkOf(port);
    {
        TrunkGuard guard(trunk);
        q931_call* call = port.callHandle.load();
        struct pri* controller = ControllerOf(trunk);
        if (controller != nullptr && call != nullptr) pri_hangup(controller, call, kCauseCallRejected);
        PortCallReset(port, kCauseNormalClearing);
    }
    port.callEvent.Wait(kRejectWaitMs);
    port.callEvent.Reset();
    return true;
}

bool Dial(CDevice& port, const char* number) {
    port.ClearError();
    if (number == nullptr) number = "";
    transport::TrunkLink* trunk = TrunkOf(port);
    // Lock order: the trunk lock before the port's call lock.
    TrunkGuard trunkGuard(trunk);
    plat::LockGuard callGuard(port.callLock);
    if (port.callHandle.load() != nullptr) {
        driver::Logf(PortColumn(port), "%s", kDialInUse);
        return false;
    }
    ForgetOwedHangup(port);
    port.progressQueue.Clear();
    std::string caller = PrepareOutgoing(port, number);
    port.callEvent.Reset();
    struct pri* controller = ControllerOf(trunk);
    q931_call* call = controller != nullptr ? pri_new_call(controller) : nullptr;
    if (call == nullptr) {
        driver::Logf(PortColumn(port), "%s", kDialNewCallFailed);
        return false;
    }
    NoteNewCall(port);
    port.ringCount.store(0);  // an outgoing call: its CONNECT is reported as such
    port.ringStart.store(0);
    port.callHandle.store(call);
    if (SendSetup(controller, call, port, number, caller, trunk->numberType)) return true;
    pri_destroycall(controller, call);
    port.callHandle.store(nullptr);
    driver::Logf(PortColumn(port), "%s", kDialSetupFailed);
    return false;
}

bool IsCallActive(CDevice& port) { return port.callActive.load(); }

}  // namespace callctl
