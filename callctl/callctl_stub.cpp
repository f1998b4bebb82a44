// Placeholder until call control lands.
#include "callctl/call_ops.h"
#include "callctl/pri_events.h"
#include "driver/device.h"

namespace callctl {

bool Answer(driver::CDevice&) { return false; }
bool Hangup(driver::CDevice&) { return true; }
bool Reject(driver::CDevice&) { return true; }
bool Dial(driver::CDevice&, const char*) { return false; }
bool IsCallActive(driver::CDevice& p) { return p.callActive.load(); }
const char* GetCallProgress(driver::CDevice&) { return ""; }
void PriEventCallback(uint16_t, uint16_t, uint32_t, uint32_t, struct pri*, pri_event*) {}
void PortCallReset(driver::CDevice&, int32_t) {}
int32_t IncomingCallCount() { return 0; }
void SetMaxIncomingCalls(int32_t) {}

}  // namespace callctl
