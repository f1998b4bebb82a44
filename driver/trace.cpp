#include "driver/trace.h"

#include <cstdio>
#include <vector>

#include "driver/log_writer.h"
#include "platform/clock.h"

namespace driver {

int g_traceLevel = 2;

std::string FormatTextV(const char* format, va_list args) {
    if (format == nullptr) return std::string();
    // Six attempts, each buffer 2048 characters larger in growth than the last.
    static const size_t kSizes[] = {2048, 6144, 12288, 20480, 30720, kMaxFormattedChars};
    for (size_t size : kSizes) {
        std::vector<char> buf(size + 1);
        va_list copy;
        va_copy(copy, args);
        int needed = vsnprintf(buf.data(), buf.size(), format, copy);
        va_end(copy);
        if (needed < 0) return std::string();
        if (static_cast<size_t>(needed) <= size) return std::string(buf.data(), static_cast<size_t>(needed));
        if (size == kMaxFormattedChars) return std::string(buf.data(), size);
    }
    return std::string();
}

std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string s = FormatTextV(format, args);
    va_end(args);
    return s;
}

void LogLine(const char* text, int port) {
    plat::CalendarTime t = plat::LocalTimeNow();
    const char* body = text != nullptr ? text : "";
    std::string line = port == kGeneralPort
                           ? FormatText("%02u/%02u/%04u %02u:%02u:%02u   G :%s\r\n", t.day, t.month, t.year, t.hour,
                                        t.minute, t.second, body)
                           : FormatText("%02u/%02u/%04u %02u:%02u:%02u %3d :%s\r\n", t.day, t.month, t.year, t.hour,
                                        t.minute, t.second, port, body);
    TheLog().Append(line);
}

void Logf(int port, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string s = FormatTextV(format, args);
    va_end(args);
    LogLine(s.c_str(), port);
}

}  // namespace driver
