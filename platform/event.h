// Manual-reset event: stays signalled until reset. Any thread may set,
// reset or wait on it.
#pragma once
#include <cstdint>

namespace plat {

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

class ManualResetEvent {
public:
    ManualResetEvent();
    ~ManualResetEvent();
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void Set();
    void Reset();
    // True when the event was (or became) signalled within timeoutMs.
    bool Wait(uint32_t timeoutMs);

private:
    alignas(16) unsigned char storage_[128];
};

// Signals an event handle that belongs to the host. POSIX: the handle is an
// eventfd descriptor stored in a pointer-sized integer, and 1 is added to
// it. Win32: SetEvent. The handle is never waited on, reset or closed here.
void SignalHostEvent(void* handle);

}  // namespace plat
