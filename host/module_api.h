// The module's 39 functions as a host sees them after loading the module
// file by path, the way an IVR application does.
#pragma once
#include <cstdint>
#include <string>

#include "include/vaxo_dt_qpl.h"

namespace hostapi {

struct ModuleApi {
    bool(VAXO_CALL* Init)();
    void(VAXO_CALL* Shutdown)();
    const char*(VAXO_CALL* GetDriverName)();
    const char*(VAXO_CALL* GetDriverVer)();
    int(VAXO_CALL* NoofPorts)();
    bool(VAXO_CALL* IsDeviceActive)();
    bool(VAXO_CALL* IsPort)(int);
    const char*(VAXO_CALL* GetPortName)(int);
    const char*(VAXO_CALL* GetSerialNo)(int);
    const char*(VAXO_CALL* GetError)(int);
    void(VAXO_CALL* SetEventHandle)(int, void*);
    int(VAXO_CALL* GetEvent)(int);
    bool(VAXO_CALL* IsEventPending)(int);
    bool(VAXO_CALL* OpenPort)(int);
    void(VAXO_CALL* ClosePort)(int);
    int(VAXO_CALL* GetRings)(int);
    char(VAXO_CALL* GetKey)(int);
    const char*(VAXO_CALL* GetInfo)(int, const char*);
    bool(VAXO_CALL* SetInfo)(int, const char*, const char*);
    const char*(VAXO_CALL* DeviceSpecific)(int, const char*, const char*);
    bool(VAXO_CALL* Answer)(int);
    bool(VAXO_CALL* Hangup)(int);
    bool(VAXO_CALL* Reject)(int);
    bool(VAXO_CALL* Dial)(int, const char*);
    bool(VAXO_CALL* IsCallActive)(int);
    bool(VAXO_CALL* Transfer)(int, const char*);
    bool(VAXO_CALL* BlindTransfer)(int, const char*);
    const char*(VAXO_CALL* GetCallProgress)(int);
    void(VAXO_CALL* GenerateDtmf)(int, const char*);
    bool(VAXO_CALL* Play)(int, void*, int);
    bool(VAXO_CALL* PlayCached)(int, void*, int);
    void(VAXO_CALL* StopPlay)(int);
    int(VAXO_CALL* PlayTimeLeft)(int);
    bool(VAXO_CALL* Record)(int, int);
    bool(VAXO_CALL* StopRecord)(int);
    void*(VAXO_CALL* GetRecordBuffer)(int);
    int(VAXO_CALL* GetRecordSize)(int);
    int(VAXO_CALL* RecordTimeLeft)(int);
    void(VAXO_CALL* SetAudioCallback)(int, uint32_t, KvAudioCallback);
};

// Opens the module file and looks up every function. On failure returns
// null with the reason in error.
void* LoadModule(const std::string& path, ModuleApi* api, std::string* error);
void UnloadModule(void* handle);

}  // namespace hostapi
