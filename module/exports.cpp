// The 39 exported functions: port lookup, entry and exit trace lines, and
// the bad-port result, around the work of each subsystem. Host threads.
#include "include/vaxo_dt_qpl.h"

#include <cinttypes>

#include "callctl/call_ops.h"
#include "core/port_table.h"
#include "core/trace.h"
#include "media/play.h"
#include "module/info_keys.h"
#include "module/start_stop.h"

using driver::CDevice;
using driver::LookupPort;

namespace {

const char* Text(const char* s) { return s != nullptr ? s : ""; }
const char* YesNo(bool b) { return b ? "true" : "false"; }

// Entry and exit lines of exports that take only a port.
template <typename Work>
bool TracedPortCall(const char* name, int port, Work work) {
    VAXO_TRACE(0, port, "Enter %s(%d)", name, port);
    CDevice* dev = LookupPort(port);
    bool result = dev != nullptr && work(*dev);
    VAXO_TRACE(0, port, "Exit %s(%d) -> %s", name, port, YesNo(result));
    return result;
}

// Entry and exit lines of exports that take a port and a number.
template <typename Work>
bool TracedNumberCall(const char* name, int port, const char* number, Work work) {
    VAXO_TRACE(0, port, "Enter %s(%d,\"%s\")", name, port, Text(number));
    CDevice* dev = LookupPort(port);
    bool result = dev != nullptr && work(*dev);
    VAXO_TRACE(0, port, "Exit %s(%d,\"%s\") -> %s", name, port, Text(number), YesNo(result));
    return result;
}

// The buffer address in upper-case hexadecimal, all of its bits.
bool TracedPlay(const char* name, int port, void* buffer, int size, bool cached) {
    uintptr_t address = reinterpret_cast<uintptr_t>(buffer);
    VAXO_TRACE(0, port, "Enter %s(%d,%" PRIXPTR ",%d)", name, port, address, size);
    CDevice* dev = LookupPort(port);
    bool result = dev != nullptr && media::Play(*dev, buffer, size, cached);
    VAXO_TRACE(0, port, "Exit %s(%d,%" PRIXPTR ",%d) -> %s", name, port, address, size, YesNo(result));
    return result;
}

}  // namespace

extern "C" {

VAXO_API bool VAXO_CALL Init(void) { return driver::DriverInit(); }
VAXO_API void VAXO_CALL Shutdown(void) { driver::DriverShutdown(); }
VAXO_API const char* VAXO_CALL GetDriverName(void) { return driver::kDriverName; }
VAXO_API const char* VAXO_CALL GetDriverVer(void) { return driver::kDriverVersion; }
VAXO_API int VAXO_CALL NoofPorts(void) { return driver::g_portCount.load(); }
VAXO_API bool VAXO_CALL IsDeviceActive(void) { return true; }
VAXO_API bool VAXO_CALL IsPort(int port) { return LookupPort(port) != nullptr; }

VAXO_API const char* VAXO_CALL GetPortName(int port) {
    CDevice* dev = LookupPort(port);
    return dev != nullptr ? dev->portName : nullptr;
}

VAXO_API const char* VAXO_CALL GetSerialNo(int port) {
    CDevice* dev = LookupPort(port);
    return dev != nullptr ? dev->serialText : "";
}

VAXO_API const char* VAXO_CALL GetError(int port) {
    CDevice* dev = LookupPort(port);
    return dev != nullptr ? dev->errorText : nullptr;
}

VAXO_API void VAXO_CALL SetEventHandle(int port, void* handle) {
    if (CDevice* dev = LookupPort(port)) dev->hostEvent.store(handle);
}

VAXO_API int VAXO_CALL GetEvent(int port) {
    CDevice* dev = LookupPort(port);
    if (dev == nullptr || dev->hostEvent.load() == nullptr) return 0;
    uint32_t code;
    return dev->eventQueue.Pop(&code) ? static_cast<int>(code) : 0;
}

VAXO_API bool VAXO_CALL IsEventPending(int port) {
    CDevice* dev = LookupPort(port);
    return dev != nullptr && dev->eventQueue.LooksNonEmpty();
}

VAXO_API bool VAXO_CALL OpenPort(int port) {
    return TracedPortCall("OpenPort", port, [](CDevice& d) { return d.Open(); });
}

VAXO_API void VAXO_CALL ClosePort(int port) {
    VAXO_TRACE(0, port, "Enter %s(%d)", "ClosePort", port);
    if (CDevice* dev = LookupPort(port)) dev->Close();
    VAXO_TRACE(0, port, "Exit %s() -> void", "ClosePort");
}

VAXO_API int VAXO_CALL GetRings(int port) {
    CDevice* dev = LookupPort(port);
    return dev != nullptr ? dev->Rings() : 0;
}

VAXO_API char VAXO_CALL GetKey(int port) {
    CDevice* dev = LookupPort(port);
    return dev != nullptr ? dev->TakeKey() : 0;
}

VAXO_API const char* VAXO_CALL GetInfo(int port, const char* key) {
    CDevice* dev = LookupPort(port);
    return dev != nullptr ? driver::GetInfoKey(*dev, key) : nullptr;
}

VAXO_API bool VAXO_CALL SetInfo(int port, const char* key, const char* value) {
    CDevice* dev = LookupPort(port);
    return dev != nullptr && driver::SetInfoKey(*dev, key, value);
}

VAXO_API const char* VAXO_CALL DeviceSpecific(int port, const char* command, const char* argument) {
    VAXO_TRACE(0, port, "Enter %s(%d,\"%s\",\"%s\")", "DeviceSpecific", port, Text(command), Text(argument));
    CDevice* dev = LookupPort(port);
    const char* reply = dev != nullptr ? driver::DeviceSpecificCommand(*dev, command, argument) : nullptr;
    VAXO_TRACE(0, port, "Exit %s(%d,\"%s\",\"%s\") -> \"%s\"", "DeviceSpecific", port, Text(command), Text(argument),
               Text(reply));
    return reply;
}

VAXO_API bool VAXO_CALL Answer(int port) {
    return TracedPortCall("Answer", port, [](CDevice& d) { return callctl::Answer(d); });
}

VAXO_API bool VAXO_CALL Hangup(int port) {
    return TracedPortCall("Hangup", port, [](CDevice& d) { return callctl::Hangup(d); });
}

VAXO_API bool VAXO_CALL Reject(int port) {
    return TracedPortCall("Reject", port, [](CDevice& d) { return callctl::Reject(d); });
}

VAXO_API bool VAXO_CALL Dial(int port, const char* number) {
    return TracedNumberCall("Dial", port, number, [number](CDevice& d) { return callctl::Dial(d, Text(number)); });
}

VAXO_API bool VAXO_CALL IsCallActive(int port) {
    CDevice* dev = LookupPort(port);
    return dev != nullptr && callctl::IsCallActive(*dev);
}

VAXO_API bool VAXO_CALL Transfer(int port, const char* number) {
    return TracedNumberCall("Transfer", port, number, [](CDevice&) { return false; });
}

VAXO_API bool VAXO_CALL BlindTransfer(int port, const char* number) {
    return TracedNumberCall("BlindTransfer", port, number, [](CDevice&) { return false; });
}

VAXO_API const char* VAXO_CALL GetCallProgress(int port) {
    CDevice* dev = LookupPort(port);
    return dev != nullptr ? callctl::GetCallProgress(*dev) : nullptr;
}

VAXO_API void VAXO_CALL GenerateDtmf(int port, const char* digits) {
    VAXO_TRACE(0, port, "Enter %s(%d,\"%s\")", "GenerateDtmf", port, Text(digits));
    VAXO_TRACE(0, port, "Exit %s(%d,\"%s\") -> void", "GenerateDtmf", port, Text(digits));
}

VAXO_API bool VAXO_CALL Play(int port, void* buffer, int size) { return TracedPlay("Play", port, buffer, size, false); }

VAXO_API bool VAXO_CALL PlayCached(int port, void* buffer, int size) {
    return TracedPlay("PlayCached", port, buffer, size, true);
}

VAXO_API void VAXO_CALL StopPlay(int port) {
    VAXO_TRACE(0, port, "Enter %s(%d)", "StopPlay", port);
    if (CDevice* dev = LookupPort(port)) media::StopPlay(*dev);
    VAXO_TRACE(0, port, "Exit %s(%d) -> void", "StopPlay", port);
}

VAXO_API int VAXO_CALL PlayTimeLeft(int port) {
    CDevice* dev = LookupPort(port);
    return dev != nullptr ? media::PlayTimeLeft(*dev) : 0;
}

VAXO_API bool VAXO_CALL Record(int port, int maxMs) {
    VAXO_TRACE(0, port, "Enter %s(%d,%d)", "Record", port, maxMs);
    CDevice* dev = LookupPort(port);
    bool result = dev != nullptr && media::Record(*dev, maxMs);
    VAXO_TRACE(0, port, "Exit %s(%d,%d) -> %s", "Record", port, maxMs, YesNo(result));
    return result;
}

VAXO_API bool VAXO_CALL StopRecord(int port) {
    return TracedPortCall("StopRecord", port, [](CDevice& d) { return media::StopRecord(d); });
}

VAXO_API void* VAXO_CALL GetRecordBuffer(int port) {
    CDevice* dev = LookupPort(port);
    return dev != nullptr ? media::RecordBuffer(*dev) : nullptr;
}

VAXO_API int VAXO_CALL GetRecordSize(int port) {
    CDevice* dev = LookupPort(port);
    return dev != nullptr ? media::RecordSize(*dev) : 0;
}

VAXO_API int VAXO_CALL RecordTimeLeft(int port) {
    CDevice* dev = LookupPort(port);
    return dev != nullptr ? media::RecordTimeLeft(*dev) : 0;
}

VAXO_API void VAXO_CALL SetAudioCallback(int port, uint32_t context, KvAudioCallback callback) {
    if (CDevice* dev = LookupPort(port)) media::SetAudioCallback(*dev, context, callback);
}

}  // extern "C"
