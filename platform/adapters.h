// The network adapters of this machine as GetAdaptersInfo gives them: the
// first IPv4 address and mask of every adapter that is up and not loopback.
#pragma once
#include <cstdint>

namespace plat {

struct AdapterAddress {
    uint32_t address;  // network byte order
    uint32_t mask;     // network byte order
};

// Fills up to max entries. Returns the number of adapters found, -1 when the
// size of the list cannot be had, -2 when the list cannot be read.
int ListAdapters(AdapterAddress* out, int max);

}  // namespace plat
