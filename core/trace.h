// Trace output: every part of the driver formats a line and hands it to the
// module's one log writer, whose thread moves it to the log file. Callable
// from any thread at any time.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace driver {

constexpr int kGeneralPort = -1;  // lines that concern no single port ("G")

// Configured trace level: a message of level n is written when level <= n.
extern int g_traceLevel;
inline bool TraceOn(int level) { return g_traceLevel <= level; }

// printf-style formatting, cut to kMaxFormattedChars.
constexpr size_t kMaxFormattedChars = 43008;
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatTextV(const char* format, va_list args);

// One log line: "dd/mm/yyyy hh:mm:ss" and the port in three columns (or
// "  G" for kGeneralPort), " :", the text and CR LF. The text is never cut
// here, so every line keeps its line end.
std::string FormatLogLine(const plat::CalendarTime& t, int port, const char* text);
// Queues one line for the log file, stamped with the local time now.
void LogLine(const char* text, int port);
// Formats and logs; the caller has checked the level (or the line has none).
void Logf(int port, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace driver

// Formats only when the level is on.
#define VAXO_TRACE(level, port, ...)                                 \
    do {                                                             \
        if (::driver::TraceOn(level)) ::driver::Logf((port), __VA_ARGS__); \
    } while (0)
