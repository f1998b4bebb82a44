// Pinning a test's own threads to one CPU, so that two of them race there in
// the order a test chooses. Linux only; any test thread.
#pragma once
#include <pthread.h>
#include <sched.h>

namespace testsupport {

// The highest-numbered CPU this process may run on.
inline int LastCpu() {
    cpu_set_t set;
    CPU_ZERO(&set);
    int last = 0;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        for (int i = 0; i < CPU_SETSIZE; ++i)
            if (CPU_ISSET(i, &set)) last = i;
    return last;
}

// Runs the calling thread on `cpu` only, in scheduling class `policy`:
// SCHED_OTHER, or SCHED_IDLE to run only while nothing else wants the CPU.
inline void OnCpu(int cpu, int policy) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    sched_param param{};
    pthread_setschedparam(pthread_self(), policy, &param);
}

}  // namespace testsupport
