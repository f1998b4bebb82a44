// Which UDP source port of the card's address a card's audio is taken from:
// the port of the first well-formed packet after the stream (re)starts.
// Packets from another port of that address are dropped while the taken
// port keeps sending; once it has been quiet for kQuietMs, the next packet
// from another port takes over (a card that moved its stream without
// restarting). Used by the card's audio receive thread only (or a test).
#pragma once
#include <cstdint>

namespace media {

class AudioSourceGate {
public:
    static constexpr uint32_t kQuietMs = 1000;

    // A fresh stream: the next packet's port is taken.
    void Reset() { taken_ = false; }

    // True when a packet from port, arriving at nowMs, belongs to the stream.
    bool Admit(uint16_t port, uint32_t nowMs) {
        if (taken_ && port != port_ && nowMs - lastMs_ < kQuietMs) return false;
        taken_ = true;
        port_ = port;
        lastMs_ = nowMs;
        return true;
    }

    bool taken() const { return taken_; }
    uint16_t port() const { return port_; }

private:
    bool taken_ = false;
    uint16_t port_ = 0;
    uint32_t lastMs_ = 0;  // tick count of the last packet taken
};

}  // namespace media
