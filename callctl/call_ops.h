// Call operations behind the exports, and the call-progress reader. Host
// threads; each works under the port's trunk lock and waits on the port's
// call event without holding a lock.
#pragma once

namespace driver {
class CDevice;
}

namespace callctl {

bool Answer(driver::CDevice& port);
bool Hangup(driver::CDevice& port);
bool Reject(driver::CDevice& port);
bool Dial(driver::CDevice& port, const char* number);
bool IsCallActive(driver::CDevice& port);
const char* GetCallProgress(driver::CDevice& port);

}  // namespace callctl
