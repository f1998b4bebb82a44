// The text of a Q.931 clearing cause as GetCallProgress reports it. Any
// thread.
#pragma once
#include <cstdint>

namespace callctl {

// "DISCONNECTED-..." for the causes the driver names, else
// "DISCONNECTED-UNKNOWN".
const char* CauseText(uint32_t cause);

}  // namespace callctl
