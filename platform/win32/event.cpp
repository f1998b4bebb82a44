#include "platform/event.h"

#include <windows.h>

#include <cstring>

namespace plat {

namespace {
static_assert(sizeof(HANDLE) <= 128, "event storage too small");

HANDLE Handle(const unsigned char* storage) {
    HANDLE h;
    memcpy(&h, storage, sizeof h);
    return h;
}
}  // namespace

ManualResetEvent::ManualResetEvent() {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // manual reset, not signalled
    memcpy(storage_, &h, sizeof h);
}

ManualResetEvent::~ManualResetEvent() {
    HANDLE h = Handle(storage_);
    if (h != nullptr) CloseHandle(h);
}

void ManualResetEvent::Set() {
    HANDLE h = Handle(storage_);
    if (h != nullptr) SetEvent(h);
}

void ManualResetEvent::Reset() {
    HANDLE h = Handle(storage_);
    if (h != nullptr) ResetEvent(h);
}

bool ManualResetEvent::Wait(uint32_t timeoutMs) {
    HANDLE h = Handle(storage_);
    if (h == nullptr) {
        // No event could be made: behave as a wait that timed out, without
        // turning a waiting loop into a busy one.
        Sleep(timeoutMs == kWaitForever ? 100 : (timeoutMs < 100 ? timeoutMs : 100));
        return false;
    }
    DWORD limit = timeoutMs == kWaitForever ? INFINITE : static_cast<DWORD>(timeoutMs);
    return WaitForSingleObject(h, limit) == WAIT_OBJECT_0;
}

void SignalHostEvent(void* handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    SetEvent(static_cast<HANDLE>(handle));  // a stale handle is the host's affair
}

}  // namespace plat
