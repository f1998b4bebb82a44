#include "transport/hdlc_capture.h"

#include <cstdio>

#include "core/card_link.h"
#include "core/paths.h"
#include "platform/lock.h"

namespace transport {

namespace {
constexpr size_t kPrefixChars = 27;  // direction, date, time and "0000 "
constexpr size_t kCharsPerByte = 3;  // two hex digits and a space
}  // namespace

std::string FormatCaptureLine(char direction, const plat::CalendarTime& when, const uint8_t* frame, size_t n) {
    char prefix[64];
    snprintf(prefix, sizeof prefix, "%c %04u-%02u-%02u %02u:%02u:%02u 0000 ", direction, when.year % 10000,
             when.month % 100, when.day % 100, when.hour % 100, when.minute % 100, when.second % 100);
    std::string line;
    line.reserve(kPrefixChars + kCharsPerByte * n + 2);
    line += prefix;
    static const char kHex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < n; ++i) {
        line += kHex[frame[i] >> 4];
        line += kHex[frame[i] & 0x0F];
        line += ' ';
    }
    line += "\r\n";
    return line;
}

std::string CaptureFileName(uint32_t serial, int trunk) {
    char name[64];
    snprintf(name, sizeof name, "vaxo-%u-%d.hdlc", serial, trunk + 1);
    return std::string(driver::g_paths.directory) + name;
}

void OpenCapture(CardLink& card, int trunk, bool on) {
    if (trunk < 0 || trunk >= kMaxTrunks) return;
    TrunkLink& t = card.trunks[trunk];
    plat::LockGuard guard(t.captureLock);
    t.captureOn = on;
    if (!on) return;
    t.capture.Close();
    t.capture.Open(CaptureFileName(card.serial.load(), trunk).c_str());  // failure: no lines
}

void CloseCapture(CardLink& card, int trunk) {
    if (trunk < 0 || trunk >= kMaxTrunks) return;
    TrunkLink& t = card.trunks[trunk];
    plat::LockGuard guard(t.captureLock);
    t.capture.Close();
    t.captureOn = false;
}

void Capture(CardLink& card, int trunk, char direction, const uint8_t* frame, size_t n) {
    if (trunk < 0 || trunk >= kMaxTrunks || (frame == nullptr && n > 0)) return;
    TrunkLink& t = card.trunks[trunk];
    plat::LockGuard guard(t.captureLock);
    if (!t.captureOn || !t.capture.IsOpen()) return;
    std::string line = FormatCaptureLine(direction, plat::LocalTimeNow(), frame, n);
    t.capture.Write(line.data(), line.size());
}

}  // namespace transport
