#include "core/device.h"

#include <cstring>

#include "core/trace.h"
#include "platform/clock.h"

namespace driver {

const char* EventName(uint32_t code) {
    switch (code) {
    case kEventNone: return "KVEVENT_NONE        ";
    case kEventPortDown: return "KVEVENT_PORTDOWN    ";
    case kEventRing: return "KVEVENT_RING        ";
    case kEventCallProgress: return "KVEVENT_CALLPROGRESS";
    case kEventKey: return "KVEVENT_KEY         ";
    case kEventPlayEnds: return "KVEVENT_PLAYENDS    ";
    case kEventRecordEnds: return "KVEVENT_RECORDENDS  ";
    default: return "KVEVENT_UNKNOWN";
    }
}

CDevice::CDevice() : wave(this) {
    memset(errorText, 0, sizeof errorText);
    memset(serialText, 0, sizeof serialText);
    memset(portName, 0, sizeof portName);
    eventQueue.SetCapacity(kEventQueueCapacity);
    progressQueue.SetCapacity(kProgressQueueCapacity);
    digitQueue.SetCapacity(kDigitQueueCapacity);
}

CDevice::~CDevice() = default;

void CDevice::ClearError() { memset(errorText, 0, sizeof errorText); }

void CDevice::SetError(const char* text) {
    ClearError();
    if (text != nullptr) strncpy(errorText, text, kErrorTextChars - 1);
}

void CDevice::PostEvent(uint32_t code) {
    void* handle = hostEvent.load();
    if (handle == nullptr) return;
    VAXO_TRACE(1, static_cast<int>(portNumber), "KVEVENT -> %s", EventName(code));
    eventQueue.Push(code);  // a queue without storage drops it
    plat::SignalHostEvent(handle);
}

void CDevice::DigitReceived(char digit) {
    infoLock.Enter();
    digitQueue.Push(static_cast<uint32_t>(static_cast<int32_t>(digit)));
    PostEvent(kEventKey);
    infoLock.Leave();
    VAXO_TRACE(1, static_cast<int>(portNumber), "DTMF Received = %c", digit);
}

// Under the call lock, where every change of the call and its ring fields is
// made: the count written back belongs to the call that is ringing now, never
// to one cleared meanwhile.
int32_t CDevice::Rings() {
    plat::LockGuard guard(callLock);
    if (callActive.load()) return ringCount.load();
    uint32_t start = ringStart.load();
    int32_t rings = start == 0 ? 0 : static_cast<int32_t>((plat::TickCountMs() - start) / kRingPeriodMs + 1u);
    ringCount.store(rings);
    return rings;
}

char CDevice::TakeKey() {
    plat::LockGuard guard(infoLock);
    uint32_t digit;
    if (!digitQueue.Pop(&digit)) return 0;
    inputType = "T";
    return static_cast<char>(digit & 0xFF);
}

bool CDevice::Open() {
    if (open.load()) return true;
    ClearError();
    open.store(true);
    if (!wave.open.load()) media::WaveOpen(wave);
    return true;
}

void CDevice::Close() {
    if (!open.load()) return;
    ClearError();
    if (wave.open.load()) media::WaveClose(wave);
    open.store(false);
}

}  // namespace driver
