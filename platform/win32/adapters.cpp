#include "platform/adapters.h"

// winsock2.h before windows.h; iphlpapi.h after both.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <vector>

namespace plat {

int ListAdapters(AdapterAddress* out, int max) {
    // Ask for the size first; the list can grow between the two calls, so
    // a buffer that turns out too small is made larger a few times.
    ULONG size = 0;
    if (GetAdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW) return -1;
    std::vector<unsigned char> buffer;
    DWORD rc = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        if (size == 0) return -2;
        buffer.assign(size, 0);
        rc = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size);
    }
    if (rc != ERROR_SUCCESS) return -2;

    int count = 0;
    for (const IP_ADAPTER_INFO* a = reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.data()); a != nullptr;
         a = a->Next) {
        // The adapter's first address; one without an address (0.0.0.0,
        // a disconnected adapter) is not up.
        unsigned long address = inet_addr(a->IpAddressList.IpAddress.String);
        unsigned long mask = inet_addr(a->IpAddressList.IpMask.String);  // "255.255.255.255" is all ones too
        if (address == 0 || address == INADDR_NONE) continue;
        if (a->Type == MIB_IF_TYPE_LOOPBACK) continue;
        if (count < max && out != nullptr) {
            out[count].address = static_cast<uint32_t>(address);
            out[count].mask = static_cast<uint32_t>(mask);
        }
        ++count;
    }
    return count < max ? count : (max > 0 ? max : 0);
}

}  // namespace plat
