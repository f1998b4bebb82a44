#include "host/module_api.h"

#include <dlfcn.h>

namespace hostapi {

namespace {

template <typename Fn>
bool Resolve(void* handle, const char* name, Fn* slot, std::string* error) {
    void* sym = dlsym(handle, name);
    if (sym == nullptr) {
        *error = std::string("missing export ") + name;
        return false;
    }
    *slot = reinterpret_cast<Fn>(sym);
    return true;
}

}  // namespace

#define VAXO_RESOLVE(name) ok = ok && Resolve(handle, #name, &api->name, error)

void* LoadModule(const std::string& path, ModuleApi* api, std::string* error) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        *error = why != nullptr ? why : "dlopen failed";
        return nullptr;
    }
    bool ok = true;
    VAXO_RESOLVE(Init); VAXO_RESOLVE(Shutdown); VAXO_RESOLVE(GetDriverName); VAXO_RESOLVE(GetDriverVer);
    VAXO_RESOLVE(NoofPorts); VAXO_RESOLVE(IsDeviceActive); VAXO_RESOLVE(IsPort); VAXO_RESOLVE(GetPortName);
    VAXO_RESOLVE(GetSerialNo); VAXO_RESOLVE(GetError); VAXO_RESOLVE(SetEventHandle); VAXO_RESOLVE(GetEvent);
    VAXO_RESOLVE(IsEventPending); VAXO_RESOLVE(OpenPort); VAXO_RESOLVE(ClosePort); VAXO_RESOLVE(GetRings);
    VAXO_RESOLVE(GetKey); VAXO_RESOLVE(GetInfo); VAXO_RESOLVE(SetInfo); VAXO_RESOLVE(DeviceSpecific);
    VAXO_RESOLVE(Answer); VAXO_RESOLVE(Hangup); VAXO_RESOLVE(Reject); VAXO_RESOLVE(Dial);
    VAXO_RESOLVE(IsCallActive); VAXO_RESOLVE(Transfer); VAXO_RESOLVE(BlindTransfer);
    VAXO_RESOLVE(GetCallProgress); VAXO_RESOLVE(GenerateDtmf); VAXO_RESOLVE(Play); VAXO_RESOLVE(PlayCached);
    VAXO_RESOLVE(StopPlay); VAXO_RESOLVE(PlayTimeLeft); VAXO_RESOLVE(Record); VAXO_RESOLVE(StopRecord);
    VAXO_RESOLVE(GetRecordBuffer); VAXO_RESOLVE(GetRecordSize); VAXO_RESOLVE(RecordTimeLeft);
    VAXO_RESOLVE(SetAudioCallback);
    if (!ok) {
        dlclose(handle);
        return nullptr;
    }
    return handle;
}

#undef VAXO_RESOLVE

void UnloadModule(void* handle) {
    if (handle != nullptr) dlclose(handle);
}

}  // namespace hostapi
