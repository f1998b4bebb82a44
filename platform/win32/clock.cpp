#include "platform/clock.h"

#include <windows.h>

#include <atomic>

namespace plat {

namespace {
std::atomic<int64_t> g_tickOffsetMs{0};
}

uint32_t TickCountMs() {
    return static_cast<uint32_t>(GetTickCount()) +
           static_cast<uint32_t>(g_tickOffsetMs.load(std::memory_order_relaxed));
}

uint64_t TickCountUs() {
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const uint64_t us = static_cast<uint64_t>(now.QuadPart / frequency) * 1000000u +
                        static_cast<uint64_t>(now.QuadPart % frequency) * 1000000u / static_cast<uint64_t>(frequency);
    return us + static_cast<uint64_t>(g_tickOffsetMs.load(std::memory_order_relaxed)) * 1000u;
}

void SetTickOffsetForTests(int64_t offsetMs) { g_tickOffsetMs.store(offsetMs, std::memory_order_relaxed); }

void SleepMs(uint32_t ms) { Sleep(static_cast<DWORD>(ms)); }

CalendarTime LocalTimeNow() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    return CalendarTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

UtcTimeval UtcNow() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    // 100 ns units since 1601-01-01; 11644473600 seconds lie before 1970.
    uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    const uint64_t kEpochDelta = 116444736000000000ULL;
    uint64_t since1970 = ticks > kEpochDelta ? ticks - kEpochDelta : 0;
    return UtcTimeval{static_cast<int64_t>(since1970 / 10000000ULL),
                      static_cast<int64_t>((since1970 % 10000000ULL) / 10ULL)};
}

}  // namespace plat
