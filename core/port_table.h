// The module's port table: filled by card start-up and emptied by the
// driver stop (both inside Init/Shutdown); every other thread only reads it.
#pragma once
#include <atomic>
#include <cstdint>

#include "core/device.h"
#include "core/limits.h"

namespace driver {

extern CDevice* g_ports[kMaxPorts];
extern std::atomic<int32_t> g_portCount;

// Port lookup of every export: at most 1023 as unsigned, below the port
// count, and an entry present. No lock.
CDevice* LookupPort(int port);

// Adds a device at the next free number; false (device not stored) when full.
bool AddPort(CDevice* device);
// Closes open ports, marks them down and destroys every device.
void DestroyAllPorts();

}  // namespace driver
