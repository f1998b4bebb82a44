#include "platform/clock.h"

#include <sched.h>
#include <sys/time.h>
#include <time.h>

#include <atomic>

namespace plat {

namespace {
std::atomic<int64_t> g_tickOffsetMs{0};
}

uint64_t TickCountUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t us = static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
    return us + static_cast<uint64_t>(g_tickOffsetMs.load(std::memory_order_relaxed)) * 1000u;
}

uint32_t TickCountMs() { return static_cast<uint32_t>(TickCountUs() / 1000u); }

void SetTickOffsetForTests(int64_t offsetMs) { g_tickOffsetMs.store(offsetMs, std::memory_order_relaxed); }

void SleepMs(uint32_t ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

CalendarTime LocalTimeNow() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    time_t secs = tv.tv_sec;
    tm parts;
    localtime_r(&secs, &parts);
    return CalendarTime{static_cast<unsigned>(parts.tm_year + 1900), static_cast<unsigned>(parts.tm_mon + 1),
                        static_cast<unsigned>(parts.tm_mday),        static_cast<unsigned>(parts.tm_hour),
                        static_cast<unsigned>(parts.tm_min),         static_cast<unsigned>(parts.tm_sec),
                        static_cast<unsigned>(tv.tv_usec / 1000)};
}

UtcTimeval UtcNow() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return UtcTimeval{static_cast<int64_t>(tv.tv_sec), static_cast<int64_t>(tv.tv_usec)};
}

}  // namespace plat
