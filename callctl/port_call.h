// What the event path and the call operations share about a port's call:
// the trunk it runs on, progress entries, and the calls a port has let go
// of. Used on the signalling threads and on host threads.
#pragma once
#include <cstdint>

#include "core/pri_api.h"

namespace driver {
class CDevice;
}
namespace transport {
struct TrunkLink;
}

namespace callctl {

// Q.850 causes the module sends or stores.
constexpr int32_t kCauseNormalClearing = 16;
constexpr int32_t kCauseCallRejected = 21;
constexpr int32_t kCauseChannelUnavailable = 44;
constexpr int32_t kCauseDestinationOutOfOrder = 27;  // the line under the call went away

// CALLTYPE of every call the driver knows.
constexpr const char* kCallTypeVoice = "Voice";
// libpri's non-ISDN flag: adds the progress indicator for a far end that is
// not ISDN (SETUP ACKNOWLEDGE, CONNECT).
constexpr int kNonIsdn = 1;

// Call-progress entry codes (GetCallProgress turns them into texts).
enum ProgressCode : uint32_t {
    kProgressAlerting = 'A',
    kProgressConnected = 'C',
    kProgressDisconnected = 'D',
    kProgressProceeding = 'P',
    kProgressProgress = 'R',
};

// The trunk of the port's card link; null when the card has no link.
transport::TrunkLink* TrunkOf(const driver::CDevice& port);

// Holds a trunk's lock for a scope; a missing trunk means no lock.
class TrunkGuard {
public:
    explicit TrunkGuard(transport::TrunkLink* trunk);
    ~TrunkGuard();
    TrunkGuard(const TrunkGuard&) = delete;
    TrunkGuard& operator=(const TrunkGuard&) = delete;

private:
    transport::TrunkLink* trunk_;
};

// The trunk's libpri controller, or null (read under the trunk lock).
struct pri* ControllerOf(const transport::TrunkLink* trunk);

// One (code, parameter) pair; dropped when the queue cannot take both.
void QueueProgress(driver::CDevice& port, uint32_t code, uint32_t parameter);

// Resets the port with `cause` only while it still holds `call`, checked
// under the trunk lock so that a call arriving meanwhile is never wiped.
// True when the port was reset.
bool ResetIfHolding(driver::CDevice& port, q931_call* call, int32_t cause);

// The port takes a new call: what is remembered of earlier calls goes (a
// RESTART still due for a call a lost line took is not sent).
void NoteNewCall(const driver::CDevice& port);

}  // namespace callctl
