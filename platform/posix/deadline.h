// Absolute deadline on a clock, timeoutMs from now (POSIX timed waits).
#pragma once
#include <stdint.h>
#include <time.h>

namespace plat {

inline timespec DeadlineAfter(clockid_t clock, uint32_t timeoutMs) {
    timespec t;
    clock_gettime(clock, &t);
    t.tv_sec += timeoutMs / 1000;
    t.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

}  // namespace plat
