#include "sim/q931_patch.h"

namespace sim::q931 {
namespace {

constexpr uint8_t kProtocolDiscriminator = 0x08;
constexpr uint8_t kUiControl = 0x03;
constexpr uint8_t kCauseElement = 0x08;
constexpr uint8_t kExtensionBit = 0x80;

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

}  // namespace sim::q931
