#include "sim/q931_patch.h"

namespace sim::q931 {
namespace {

constexpr uint8_t kProtocolDiscriminator = 0x08;
constexpr uint8_t kUiControl = 0x03;
constexpr uint8_t kCauseElement = 0x08;
constexpr uint8_t kExtensionBit = 0x80;
constexpr uint8_t kChannelIdElement = 0x18;
constexpr uint8_t kRestartIndicatorElement = 0x79;
constexpr uint8_t kRestartAllInterfaces = 0x87;  // extension bit, class 7

// Offset of the Q.931 message inside a Q.921 frame, or 0 when the frame
// carries none (supervisory and unnumbered frames other than UI).
size_t PayloadOffset(const uint8_t* f, size_t size) {
    if (size < 3) return 0;
    if ((f[2] & 0x01) == 0) return 4;        // I frame: two control bytes
    if (f[2] == kUiControl) return 3;
    return 0;
}

// Offset of the first information element and the message type position.
bool Header(const uint8_t* f, size_t size, size_t* typeAt, size_t* firstIe) {
    size_t p = PayloadOffset(f, size);
    if (p == 0 || p + 2 > size || f[p] != kProtocolDiscriminator) return false;
    size_t crLength = f[p + 1] & 0x0F;
    *typeAt = p + 2 + crLength;
    *firstIe = *typeAt + 1;
    return *typeAt < size;
}

}  // namespace

int MessageType(const uint8_t* frame, size_t size) {
    size_t typeAt = 0, ie = 0;
    if (frame == nullptr || !Header(frame, size, &typeAt, &ie)) return -1;
    return frame[typeAt];
}

bool ReplaceCause(uint8_t* frame, size_t size, uint8_t cause) {
    size_t typeAt = 0, p = 0;
    if (frame == nullptr || !Header(frame, size, &typeAt, &p)) return false;
    while (p < size) {
        uint8_t id = frame[p];
        if (id & kExtensionBit) {  // single-octet element
            ++p;
            continue;
        }
        if (p + 1 >= size) return false;
        size_t length = frame[p + 1];
        size_t body = p + 2;
        if (body + length > size) return false;
        if (id == kCauseElement && length >= 2) {
            // Octet 3 (coding, location), optional 3a, then the cause value.
            size_t valueAt = body + ((frame[body] & kExtensionBit) ? 1 : 2);
            if (valueAt >= body + length) return false;
            frame[valueAt] = static_cast<uint8_t>(kExtensionBit | (cause & 0x7F));
            return true;
        }
        p = body + length;
    }
    return false;
}

bool MakeWholeInterfaceRestart(std::vector<uint8_t>* frame, size_t size) {
    if (frame == nullptr || size > frame->size()) return false;
    uint8_t* f = frame->data();
    size_t typeAt = 0, p = 0;
    if (!Header(f, size, &typeAt, &p) || f[typeAt] != kRestart) return false;
    bool indicator = false;
    while (p < size) {
        uint8_t id = f[p];
        if (id & kExtensionBit) {
            ++p;
            continue;
        }
        if (p + 1 >= size || p + 2 + f[p + 1] > size) return false;
        size_t length = f[p + 1];
        if (id == kChannelIdElement) {
            frame->erase(frame->begin() + static_cast<long>(p), frame->begin() + static_cast<long>(p + 2 + length));
            f = frame->data();
            size -= 2 + length;
            continue;
        }
        if (id == kRestartIndicatorElement && length == 1) {
            f[p + 2] = kRestartAllInterfaces;
            indicator = true;
        }
        p += 2 + length;
    }
    return indicator;
}

}  // namespace sim::q931
