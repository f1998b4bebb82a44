// D-channel capture: one text line per frame in the trunk's capture file.
// Lines come from the signalling thread ("I") and from whichever thread is
// inside libpri for the trunk ("O"); the trunk's capture lock orders them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace transport {

struct CardLink;

constexpr char kCaptureIncoming = 'I';
constexpr char kCaptureOutgoing = 'O';

// "%c %04u-%02u-%02u %02u:%02u:%02u 0000 ", then "%02X " per byte, CR LF:
// 3 * n + 29 characters.
std::string FormatCaptureLine(char direction, const plat::CalendarTime& when, const uint8_t* frame, size_t n);

// File name of a trunk's capture: "<module directory>vaxo-<serial>-<trunk + 1>.hdlc".
std::string CaptureFileName(uint32_t serial, int trunk);

// Opens (or closes) the trunk's capture file as its configuration says.
void OpenCapture(CardLink& card, int trunk, bool on);
void CloseCapture(CardLink& card, int trunk);

// Writes one line when capture is on for the trunk and its file is open.
void Capture(CardLink& card, int trunk, char direction, const uint8_t* frame, size_t n);

}  // namespace transport
