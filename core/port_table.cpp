#include "core/port_table.h"

namespace driver {

CDevice* g_ports[kMaxPorts];
std::atomic<int32_t> g_portCount{0};

CDevice* LookupPort(int port) {
    if (static_cast<uint32_t>(port) > static_cast<uint32_t>(kMaxPorts - 1)) return nullptr;
    if (port >= g_portCount.load(std::memory_order_acquire)) return nullptr;
    return g_ports[port];
}

bool AddPort(CDevice* device) {
    int32_t n = g_portCount.load();
    if (n >= kMaxPorts) return false;
    device->portNumber = static_cast<uint32_t>(n);
    g_ports[n] = device;
    g_portCount.store(n + 1, std::memory_order_release);
    return true;
}

void DestroyAllPorts() {
    int32_t n = g_portCount.load();
    for (int32_t i = 0; i < n; ++i) {
        if (g_ports[i] == nullptr) continue;
        g_ports[i]->Close();
        g_ports[i]->channelState.store(kChannelDown);
    }
    g_portCount.store(0, std::memory_order_release);
    for (int32_t i = 0; i < n; ++i) {
        delete g_ports[i];
        g_ports[i] = nullptr;
    }
}

}  // namespace driver
