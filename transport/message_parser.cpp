#include "transport/message_parser.h"

#include <cstdio>
#include <cstring>

namespace transport {

namespace {

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

std::string TwoDigitValues(const uint8_t* values, int count) {
    std::string text;
    char part[8];
    for (int i = 0; i < count; ++i) {
        snprintf(part, sizeof part, "%02d", static_cast<int>(values[i]));
        text += part;
    }
    return text;
}

}  // namespace

CardInfo DecodeCardInformation(const uint8_t* payload) {
    CardInfo info;
    if (memcmp(payload, kCardInfoMagic, sizeof kCardInfoMagic - 1) != 0) return info;
    info.valid = true;
    info.firmwareVersion = payload[5];
    info.trunks = static_cast<int8_t>(payload[6]);
    info.featureFlags = Le32(payload + 7);
    info.serial = Le32(payload + 11);
    info.firmwareDate = TwoDigitValues(payload + 15, 4);
    info.burnDate = TwoDigitValues(payload + 19, 3);
    return info;
}

void CardMessageParser::Reset() {
    state_ = kIdle;
    count_ = 0;
    lineTrunks_ = 0;
    fill_ = 0;
    frameLength_ = 0;
    for (TrunkErrors& e : errors_) e = TrunkErrors();
}

void CardMessageParser::Feed(const uint8_t* data, size_t n) {
    if (data == nullptr) return;
    for (size_t i = 0; i < n; ++i) Feed(data[i]);
}

void CardMessageParser::Feed(uint8_t b) {
    switch (state_) {
    case kIdle:
        if (b == kMessageStart) state_ = kType;
        break;
    case kType: OnType(b); break;
    case kCardInfo: OnCardInfo(b); break;
    case kLineStatus: OnLineStatus(b); break;
    case kRegisterValue: OnRegisterValue(b); break;
    case kFrameLink: OnFrameLink(b); break;
    case kFrameLength: OnFrameLength(b); break;
    case kFrameData: OnFrameData(b); break;
    case kHdlcError: OnHdlcError(b); break;
    }
}

// Unknown type bytes (0xFF included) are skipped in this state.
void CardMessageParser::OnType(uint8_t b) {
    switch (b) {
    case kInCardInfo:
        count_ = 0;
        state_ = kCardInfo;
        break;
    case kInRegisterValue:
        count_ = 0;
        state_ = kRegisterValue;
        break;
    case kInLineStatus:
        // Without a usable trunk count there is nothing to index: the
        // status bytes are skipped as bytes between messages.
        count_ = 0;
        lineTrunks_ = sink_.TrunkCount();
        state_ = lineTrunks_ >= 1 && lineTrunks_ <= kMaxTrunks ? kLineStatus : kIdle;
        break;
    case kInHdlcFrame: state_ = kFrameLink; break;
    case kInHdlcError:
        count_ = 0;
        state_ = kHdlcError;
        break;
    default: break;
    }
}

void CardMessageParser::OnCardInfo(uint8_t b) {
    info_[count_++] = b;
    if (count_ < kCardInfoBytes) return;
    sink_.CardInformation(DecodeCardInformation(info_));
    count_ = 0;
    state_ = kIdle;
}

void CardMessageParser::OnLineStatus(uint8_t b) {
    int trunk = static_cast<int>(count_);
    if (sink_.LineStatus(trunk) != b) {
        sink_.StoreLineStatus(trunk, b);
        sink_.CardEvent(static_cast<uint16_t>(trunk), kCardLineStatus, 0, b);
    }
    if (static_cast<int>(++count_) >= lineTrunks_) state_ = kIdle;
}

// A register value is followed by a type byte, without a leading FF.
void CardMessageParser::OnRegisterValue(uint8_t b) {
    value_[count_++] = b;
    if (count_ < 4) return;
    state_ = kType;
    sink_.CardEvent(value_[0], kCardRegisterValue, static_cast<uint16_t>(value_[1] | value_[2] << 8), value_[3]);
}

void CardMessageParser::OnFrameLink(uint8_t b) {
    frameTrunk_ = static_cast<uint8_t>(b - 1);
    if (frameTrunk_ >= kMaxTrunks) {
        state_ = kIdle;
        return;
    }
    count_ = 0;
    state_ = kFrameLength;
}

void CardMessageParser::OnFrameLength(uint8_t b) {
    if (count_++ == 0) {
        frameLength_ = b;
        return;
    }
    frameLength_ = static_cast<uint16_t>(frameLength_ | b << 8);
    if (frameLength_ >= kMaxIncomingFrameBytes) {
        state_ = kIdle;
        return;
    }
    fill_ = 0;
    if (frameLength_ == 0) {
        FrameComplete();  // nothing to store: an empty frame ends here
        return;
    }
    state_ = kFrameData;
}

void CardMessageParser::OnFrameData(uint8_t b) {
    frame_[fill_++] = b;
    if (fill_ >= frameLength_) FrameComplete();
}

void CardMessageParser::FrameComplete() {
    errors_[frameTrunk_].count = 0;
    sink_.Frame(frameTrunk_, frame_, fill_);
    state_ = kIdle;
}

void CardMessageParser::OnHdlcError(uint8_t b) {
    value_[count_++] = b;
    if (count_ < 2) return;
    state_ = kIdle;
    if (value_[0] < kMaxTrunks) HdlcErrorReport(value_[0], value_[1]);
}

// Ten errors in a row on a working line ask for a link reset; after that a
// reset at most every kLinkResetIntervalMs.
void CardMessageParser::HdlcErrorReport(uint8_t trunk, uint8_t code) {
    TrunkErrors& e = errors_[trunk];
    if (sink_.LineStatus(trunk) != kLineStatusUp) {
        e.count = 0;
        return;
    }
    ++e.count;
    if (e.count < kHdlcErrorsBeforeReset) {
        sink_.CardEvent(trunk, kCardHdlcError, 0, code);
        return;
    }
    uint32_t now = sink_.NowMs();
    if (e.count == kHdlcErrorsBeforeReset || now - e.lastResetMs >= kLinkResetIntervalMs) {
        e.lastResetMs = now;
        sink_.CardEvent(trunk, kCardLinkReset, 0, code);
    }
}

}  // namespace transport
