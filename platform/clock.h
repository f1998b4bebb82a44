// Tick count, sleeps and calendar time.
#pragma once
#include <cstdint>

namespace plat {

// Milliseconds from a monotonic clock, wrapping at 2^32.
uint32_t TickCountMs();
// Microseconds from the same clock (test offset included); TickCountMs is
// this divided by 1000, wrapped.
uint64_t TickCountUs();
// Tests only: adds offsetMs to every later TickCountMs, so that tests can
// move time forward without waiting.
void SetTickOffsetForTests(int64_t offsetMs);
void SleepMs(uint32_t ms);

struct CalendarTime {
    unsigned year, month, day, hour, minute, second, millisecond;
};
CalendarTime LocalTimeNow();

// Current UTC time as seconds since 1970 and microseconds (the time base of
// libpri's timers).
struct UtcTimeval {
    int64_t seconds;
    int64_t microseconds;
};
UtcTimeval UtcNow();

}  // namespace plat
