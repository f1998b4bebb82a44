// Card messages from the module to a card: built into a CardMessage and
// written on the control connection with one send each. Any thread may
// send; the card link's control lock keeps a send off a socket being closed.
#pragma once
#include <cstddef>
#include <cstdint>

namespace transport {

struct CardLink;

constexpr uint8_t kMessageStart = 0xFF;
constexpr uint8_t kMessageEnd = 0xFF;

// Message types, module to card.
enum OutgoingType : uint8_t {
    kOutInfoRequest = 0x01,
    kOutRegisterRead = 0x02,
    kOutMediaStarted = 0x04,
    kOutAudioPort = 0x05,
    kOutHdlcFrame = 0x10,
    kOutTrunkConfig = 0x12,
};

constexpr size_t kHdlcMessageOverhead = 6;                       // FF 10 link n(16) ... FF
constexpr size_t kMaxCardMessageBytes = 306;                     // longest HDLC frame message
constexpr size_t kMaxOutgoingFrameBytes = kMaxCardMessageBytes - kHdlcMessageOverhead;
constexpr size_t kTrunkConfigBytes = 9;                          // has no closing FF

// Registers start-up reads on every trunk, in this order.
constexpr uint16_t kStartupRegisters[] = {0x1006, 0x1003, 0x00B0};

// One card message under construction, on the thread that sends it.
class CardMessage {
public:
    static CardMessage InfoRequest();
    static CardMessage RegisterRead(uint8_t link, uint16_t reg);
    static CardMessage MediaStarted();
    static CardMessage AudioPort(uint16_t port);
    static CardMessage TrunkConfig(uint8_t link, int32_t crc4);
    // False (message left empty) when the frame does not fit.
    static bool HdlcFrame(uint8_t link, const uint8_t* frame, size_t n, CardMessage* out);

    const uint8_t* data() const { return bytes_; }
    size_t size() const { return length_; }

private:
    // FF and the type byte that open every message to the card.
    static CardMessage Begin(uint8_t type);
    void Put(uint8_t b) { bytes_[length_++] = b; }
    void Put16(uint16_t v) {
        Put(static_cast<uint8_t>(v & 0xFF));
        Put(static_cast<uint8_t>(v >> 8));
    }

    uint8_t bytes_[kMaxCardMessageBytes];
    size_t length_ = 0;
};

// Writes the message if the control socket is open; send errors are ignored.
// True when it was handed to the socket.
bool SendCardMessage(CardLink& card, const uint8_t* data, size_t size);
inline bool SendCardMessage(CardLink& card, const CardMessage& m) { return SendCardMessage(card, m.data(), m.size()); }

// The trunk's configuration with its Crc4 value, assembled in the card
// link's transmit buffer.
void SendTrunkConfig(CardLink& card, int trunk);
// A D-channel frame (without check bytes) for a trunk: false without
// sending when it does not fit in one message; true otherwise, also when
// the control socket is closed.
bool SendHdlcFrame(CardLink& card, int trunk, const uint8_t* frame, int n);
// The three start-up register reads of a trunk.
void SendRegisterReads(CardLink& card, int trunk);

// True as soon as card information was received or rejected, checked at
// once and then every 50 ms for up to 1000 ms.
bool WaitCardInfo(CardLink& card);

}  // namespace transport
