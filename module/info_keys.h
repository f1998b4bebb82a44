// GetInfo, SetInfo and DeviceSpecific on a port (host threads).
#pragma once

namespace driver {
class CDevice;

const char* GetInfoKey(CDevice& port, const char* key);
bool SetInfoKey(CDevice& port, const char* key, const char* value);
const char* DeviceSpecificCommand(CDevice& port, const char* command, const char* argument);

}  // namespace driver
