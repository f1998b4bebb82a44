// Splits the module's byte stream on the control connection into messages.
// Used by the card's control thread only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "sim/sim.h"

namespace sim {

class ModuleMessageParser {
public:
    using Sink = std::function<void(const ControlMessage&)>;
    explicit ModuleMessageParser(Sink sink) : sink_(std::move(sink)) {}

    // Bytes may split messages anywhere; the state carries over. Unknown
    // types are reported as two-byte messages; a frame longer than any
    // real frame is reported with its header only. Messages with a closing
    // byte report it as received, so a wrong one stays visible.
    void Feed(const uint8_t* data, size_t size);
    void Reset();

private:
    enum class State { Idle, Type, Body };
    void Emit();
    void OnType(uint8_t b);
    void OnBody(uint8_t b);

    Sink sink_;
    State state_ = State::Idle;
    ControlMessage current_{};
    size_t need_ = 0;  // total length of the current message once known
};

}  // namespace sim
