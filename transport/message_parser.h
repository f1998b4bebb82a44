// Byte-by-byte parser of the messages a card sends on its control
// connection. Only the card's signalling thread feeds it (tests and the
// fuzzer feed their own); what it finds goes to a CardMessageSink.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/card_link.h"
#include "transport/card_messages.h"

namespace transport {

// Message types, card to module.
enum IncomingType : uint8_t {
    kInCardInfo = 0x01,
    kInRegisterValue = 0x02,
    kInLineStatus = 0x07,
    kInHdlcFrame = 0x10,
    kInHdlcError = 0x11,
};

constexpr size_t kCardInfoBytes = 22;
constexpr size_t kMaxIncomingFrameBytes = 300;  // a length of 300 or more is refused
constexpr uint32_t kHdlcErrorsBeforeReset = 10;  // errors in a row without a good frame
constexpr uint32_t kLinkResetIntervalMs = 5000;  // further resets at most this often
constexpr char kCardInfoMagic[] = "VAXO ";

// The facts of one card information message.
struct CardInfo {
    bool valid = false;  // false: the payload did not begin with "VAXO "
    uint8_t firmwareVersion = 0;
    int32_t trunks = 0;  // a signed byte on the wire
    uint32_t featureFlags = 0;
    uint32_t serial = 0;
    std::string firmwareDate;  // "%02d" of each of its four values
    std::string burnDate;      // "%02d" of each of the three values the card sends
};

// Decodes the 22 payload bytes of a card information message.
CardInfo DecodeCardInformation(const uint8_t* payload);

// What the parser needs from, and reports to, the card it parses for;
// called on the thread that feeds the parser.
class CardMessageSink {
public:
    virtual ~CardMessageSink() = default;
    // Trunks whose line status the card reports: 1..kMaxTrunks, or 0 while
    // the card has given no usable count.
    virtual int TrunkCount() = 0;
    virtual uint8_t LineStatus(int trunk) = 0;
    virtual void StoreLineStatus(int trunk, uint8_t status) = 0;
    virtual void CardInformation(const CardInfo& info) = 0;
    virtual void CardEvent(uint16_t link, uint32_t code, uint16_t value16, uint8_t value8) = 0;
    // A complete D-channel frame of trunk 0..7, check bytes included (n may
    // be below 2 when the card sent a length of 0 or 1).
    virtual void Frame(int trunk, const uint8_t* frame, size_t n) = 0;
    // Millisecond tick count (link reset spacing).
    virtual uint32_t NowMs() = 0;
};

// The nine-state parser; one thread at a time feeds it.
class CardMessageParser {
public:
    enum State : uint8_t {
        kIdle = 0,
        kType = 1,
        kCardInfo = 2,
        kLineStatus = 3,
        kRegisterValue = 4,
        kFrameLink = 5,
        kFrameLength = 6,
        kFrameData = 7,
        kHdlcError = 8,
    };

    explicit CardMessageParser(CardMessageSink& sink) : sink_(sink) {}

    void Feed(const uint8_t* data, size_t n);
    void Feed(uint8_t b);
    // Back to state 0 with every count cleared (the thread's start).
    void Reset();

    State state() const { return state_; }
    uint32_t HdlcErrorCount(int trunk) const { return trunk >= 0 && trunk < kMaxTrunks ? errors_[trunk].count : 0; }

private:
    struct TrunkErrors {
        uint32_t count = 0;
        uint32_t lastResetMs = 0;
    };

    void OnType(uint8_t b);
    void OnCardInfo(uint8_t b);
    void OnLineStatus(uint8_t b);
    void OnRegisterValue(uint8_t b);
    void OnFrameLink(uint8_t b);
    void OnFrameLength(uint8_t b);
    void OnFrameData(uint8_t b);
    void OnHdlcError(uint8_t b);
    void FrameComplete();
    void HdlcErrorReport(uint8_t trunk, uint8_t code);

    CardMessageSink& sink_;
    State state_ = kIdle;
    uint32_t count_ = 0;
    int lineTrunks_ = 0;
    uint8_t info_[kCardInfoBytes] = {};
    uint8_t value_[4] = {};
    uint8_t frameTrunk_ = 0;
    uint16_t frameLength_ = 0;
    uint16_t fill_ = 0;
    uint8_t frame_[kMaxIncomingFrameBytes] = {};
    TrunkErrors errors_[kMaxTrunks];
};

}  // namespace transport
