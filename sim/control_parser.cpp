#include "sim/control_parser.h"

#include "sim/wire.h"

namespace sim {
namespace {

constexpr size_t kFrameHeaderBytes = 5;  // FF 10 link lenLE16

// Whole length of a fixed-size message, 0 for "frame, length follows",
// -1 for an unknown type.
long FixedLength(uint8_t type) {
    switch (type) {
        case wire::kInfoRequest:
        case wire::kMediaStarted: return 2;
        case wire::kRegisterRead: return 6;
        case wire::kAudioPort: return 5;
        case wire::kTrunkConfig: return 9;
        case wire::kFrame: return 0;
        default: return -1;
    }
}

}  // namespace

void ModuleMessageParser::Reset() {
    state_ = State::Idle;
    current_ = ControlMessage{};
    need_ = 0;
}

void ModuleMessageParser::Emit() {
    sink_(current_);
    Reset();
}

void ModuleMessageParser::OnType(uint8_t b) {
    if (b == wire::kMessageStart) return;  // FF FF: the second one starts the message
    current_.type = b;
    current_.bytes.push_back(b);
    long length = FixedLength(b);
    if (length < 0 || length == 2) {
        Emit();
        return;
    }
    need_ = length == 0 ? kFrameHeaderBytes : static_cast<size_t>(length);
    state_ = State::Body;
}

void ModuleMessageParser::OnBody(uint8_t b) {
    current_.bytes.push_back(b);
    if (current_.type == wire::kFrame && current_.bytes.size() == kFrameHeaderBytes) {
        size_t n = wire::GetLe16(&current_.bytes[3]);
        if (n > wire::kMaxModuleFrameBytes) {
            Emit();
            return;
        }
        need_ = kFrameHeaderBytes + n + 1;
    }
    if (current_.bytes.size() >= need_) Emit();
}

void ModuleMessageParser::Feed(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        uint8_t b = data[i];
        switch (state_) {
            case State::Idle:
                if (b == wire::kMessageStart) {
                    current_.bytes.assign(1, b);
                    state_ = State::Type;
                }
                break;
            case State::Type: OnType(b); break;
            case State::Body: OnBody(b); break;
        }
    }
}

}  // namespace sim
