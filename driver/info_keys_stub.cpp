// Placeholder until the information keys land.
#include "driver/info_keys.h"

#include "driver/device.h"

namespace driver {

const char* GetInfoKey(CDevice& port, const char*) {
    port.infoReply.clear();
    return port.infoReply.c_str();
}
bool SetInfoKey(CDevice&, const char*, const char*) { return false; }
const char* DeviceSpecificCommand(CDevice&, const char*, const char*) { return nullptr; }

}  // namespace driver
