#include "core/trace.h"

#include <cstdio>
#include <vector>

#include "core/log_writer.h"

namespace driver {

int g_traceLevel = 2;

namespace {
constexpr size_t kFirstAttemptChars = 2048;
}

// One bounded attempt on the stack; a longer text is formatted once more
// into a buffer of its exact size, cut at kMaxFormattedChars.
std::string FormatTextV(const char* format, va_list args) {
    if (format == nullptr) return std::string();
    char first[kFirstAttemptChars + 1];
    va_list copy;
    va_copy(copy, args);
    int needed = vsnprintf(first, sizeof first, format, copy);
    va_end(copy);
    if (needed < 0) return std::string();
    size_t length = static_cast<size_t>(needed);
    if (length <= kFirstAttemptChars) return std::string(first, length);
    if (length > kMaxFormattedChars) length = kMaxFormattedChars;
    std::vector<char> buf(length + 1);
    va_copy(copy, args);
    vsnprintf(buf.data(), buf.size(), format, copy);
    va_end(copy);
    return std::string(buf.data(), length);
}

std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string s = FormatTextV(format, args);
    va_end(args);
    return s;
}

std::string FormatLogLine(const plat::CalendarTime& t, int port, const char* text) {
    char stamp[128];
    if (port == kGeneralPort) {
        snprintf(stamp, sizeof stamp, "%02u/%02u/%04u %02u:%02u:%02u   G :", t.day, t.month, t.year, t.hour,
                 t.minute, t.second);
    } else {
        snprintf(stamp, sizeof stamp, "%02u/%02u/%04u %02u:%02u:%02u %3d :", t.day, t.month, t.year, t.hour,
                 t.minute, t.second, port);
    }
    std::string line(stamp);
    line += text != nullptr ? text : "";
    line += "\r\n";
    return line;
}

void LogLine(const char* text, int port) {
    TheLog().Append(FormatLogLine(plat::LocalTimeNow(), port, text));
}

void Logf(int port, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string s = FormatTextV(format, args);
    va_end(args);
    LogLine(s.c_str(), port);
}

}  // namespace driver
