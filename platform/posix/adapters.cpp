#include "platform/adapters.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace plat {

int ListAdapters(AdapterAddress* out, int max) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return -1;
    int count = 0;
    // One entry per interface: the first IPv4 address it lists.
    for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
        if (!(a->ifa_flags & IFF_UP) || (a->ifa_flags & IFF_LOOPBACK)) continue;
        bool seen = false;
        for (ifaddrs* b = list; b != a; b = b->ifa_next)
            if (b->ifa_addr != nullptr && b->ifa_addr->sa_family == AF_INET && b->ifa_name != nullptr &&
                a->ifa_name != nullptr && __builtin_strcmp(b->ifa_name, a->ifa_name) == 0)
                seen = true;
        if (seen) continue;
        if (count < max && out != nullptr) {
            out[count].address = reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr;
            out[count].mask =
                a->ifa_netmask != nullptr ? reinterpret_cast<sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr : 0;
        }
        ++count;
    }
    freeifaddrs(list);
    return count < max ? count : max;
}

}  // namespace plat
