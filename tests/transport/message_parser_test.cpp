// The card message parser fed through a recording sink.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "transport/message_parser.h"

using namespace transport;

namespace {

using Bytes = std::vector<uint8_t>;

struct Event {
    uint16_t link;
    uint32_t code;
    uint16_t value16;
    uint8_t value8;
    bool operator==(const Event& o) const {
        return link == o.link && code == o.code && value16 == o.value16 && value8 == o.value8;
    }
};

struct Frame {
    int trunk;
    Bytes bytes;
    bool operator==(const Frame& o) const { return trunk == o.trunk && bytes == o.bytes; }
};

class RecordingSink : public CardMessageSink {
public:
    int TrunkCount() override { return trunks; }
    uint8_t LineStatus(int trunk) override {
        EXPECT_GE(trunk, 0);
        EXPECT_LT(trunk, kMaxTrunks);
        return status[trunk];
    }
    void StoreLineStatus(int trunk, uint8_t s) override { status[trunk] = s; }
    void CardInformation(const CardInfo& info) override { infos.push_back(info); }
    void CardEvent(uint16_t link, uint32_t code, uint16_t v16, uint8_t v8) override {
        events.push_back(Event{link, code, v16, v8});
    }
    void Frame(int trunk, const uint8_t* f, size_t n) override { frames.push_back({trunk, Bytes(f, f + n)}); }
    uint32_t NowMs() override { return now; }

    int trunks = 2;
    uint8_t status[kMaxTrunks] = {3, 3, 3, 3, 3, 3, 3, 3};
    std::vector<CardInfo> infos;
    std::vector<Event> events;
    std::vector<::Frame> frames;
    uint32_t now = 1000;
};

Bytes CardInfoMessage(const char* magic = "VAXO ") {
    Bytes m = {0xFF, 0x01};
    for (int i = 0; i < 5; ++i) m.push_back(static_cast<uint8_t>(magic[i]));
    m.push_back(7);                                  // firmware version
    m.push_back(2);                                  // trunks
    for (uint8_t b : {0x78, 0x56, 0x34, 0x12}) m.push_back(b);  // feature flags
    for (uint8_t b : {0x67, 0x12, 0x00, 0x00}) m.push_back(b);  // serial 4711
    for (uint8_t b : {26, 12, 1, 10}) m.push_back(b);            // firmware date
    for (uint8_t b : {26, 11, 30}) m.push_back(b);               // burn date
    return m;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes HdlcError(uint8_t trunk, uint8_t code) { return {0xFF, 0x11, trunk, code}; }

// One message of every type, in a stream.
Bytes EveryMessageType() {
    return Concat({CardInfoMessage(),
                   {0xFF, 0x02, 0x01, 0x06, 0x10, 0x0A},     // register value
                   {0xFF, 0x07, 0x00, 0x01},                 // line status of two trunks
                   {0xFF, 0x10, 0x02, 0x05, 0x00, 1, 2, 3, 4, 5},  // frame for trunk index 1
                   HdlcError(0, 4)});
}

void Feed(CardMessageParser& p, const Bytes& b) { p.Feed(b.data(), b.size()); }

}  // namespace

TEST(MessageParser, EveryMessageTypeWhole) {
    RecordingSink sink;
    CardMessageParser parser(sink);
    Feed(parser, EveryMessageType());

    ASSERT_EQ(sink.infos.size(), 1u);
    const CardInfo& info = sink.infos[0];
    EXPECT_TRUE(info.valid);
    EXPECT_EQ(info.firmwareVersion, 7);
    EXPECT_EQ(info.trunks, 2);
    EXPECT_EQ(info.featureFlags, 0x12345678u);
    EXPECT_EQ(info.serial, 4711u);
    EXPECT_EQ(info.firmwareDate, "26120110");
    EXPECT_EQ(info.burnDate, "261130");

    std::vector<Event> expected = {
        {1, kCardRegisterValue, 0x1006, 0x0A},
        {0, kCardLineStatus, 0, 0},
        {1, kCardLineStatus, 0, 1},
        {0, kCardHdlcError, 0, 4},  // trunk 0 is up, so the report counts
    };
    EXPECT_EQ(sink.events, expected);
    ASSERT_EQ(sink.frames.size(), 1u);
    EXPECT_EQ(sink.frames[0], (Frame{1, {1, 2, 3, 4, 5}}));
    EXPECT_EQ(parser.state(), CardMessageParser::kIdle);
}

TEST(MessageParser, SplitAtEveryBytePositionParsesTheSame) {
    Bytes stream = EveryMessageType();
    RecordingSink whole;
    CardMessageParser wholeParser(whole);
    Feed(wholeParser, stream);

    for (size_t split = 0; split <= stream.size(); ++split) {
        RecordingSink sink;
        CardMessageParser parser(sink);
        parser.Feed(stream.data(), split);
        parser.Feed(stream.data() + split, stream.size() - split);
        EXPECT_EQ(sink.events, whole.events) << "split at " << split;
        EXPECT_EQ(sink.frames, whole.frames) << "split at " << split;
        EXPECT_EQ(sink.infos.size(), whole.infos.size()) << "split at " << split;
    }
    RecordingSink single;
    CardMessageParser byteParser(single);
    for (uint8_t b : stream) byteParser.Feed(b);
    EXPECT_EQ(single.events, whole.events);
    EXPECT_EQ(single.frames, whole.frames);
}

TEST(MessageParser, RejectedCardInformationIsReportedInvalid) {
    RecordingSink sink;
    CardMessageParser parser(sink);
    Feed(parser, CardInfoMessage("VAXO_"));
    ASSERT_EQ(sink.infos.size(), 1u);
    EXPECT_FALSE(sink.infos[0].valid);
    EXPECT_EQ(sink.infos[0].serial, 0u);
}

TEST(MessageParser, SecondStartByteIsSkippedAndShortFrameReachesTheSink) {
    RecordingSink sink;
    CardMessageParser parser(sink);
    Feed(parser, {0xFF, 0xFF, 0x10, 0x01, 0x05, 0x00, 0x02, 0x01, 0x7F, 0xAA, 0xBB});
    ASSERT_EQ(sink.frames.size(), 1u);
    EXPECT_EQ(sink.frames[0], (Frame{0, {0x02, 0x01, 0x7F, 0xAA, 0xBB}}));
}

TEST(MessageParser, UnknownTypeBytesAreSkippedUntilAKnownOne) {
    RecordingSink sink;
    sink.status[0] = 0;
    CardMessageParser parser(sink);
    // 0x55, 0x00 and the second FF are skipped in the type state; 0x11 is
    // taken as the type.
    Feed(parser, Concat({{0xFF, 0x55, 0x00}, HdlcError(0, 2)}));
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(sink.events[0], (Event{0, kCardHdlcError, 0, 2}));
    EXPECT_EQ(parser.state(), CardMessageParser::kIdle);
}

TEST(MessageParser, BadLinkAndLengthReturnToIdle) {
    RecordingSink sink;
    CardMessageParser parser(sink);
    // Link 0, link 9, then length 300: all refused; the payload bytes carry
    // no FF so nothing is taken as a message.
    Feed(parser, {0xFF, 0x10, 0x00, 0x05, 0x00, 1, 2, 3, 4, 5});
    Feed(parser, {0xFF, 0x10, 0x09, 0x05, 0x00, 1, 2, 3, 4, 5});
    Feed(parser, {0xFF, 0x10, 0x01, 0x2C, 0x01, 1, 2, 3});
    EXPECT_TRUE(sink.frames.empty());
    EXPECT_EQ(parser.state(), CardMessageParser::kIdle);

    Bytes longest = {0xFF, 0x10, 0x08, 0x2B, 0x01};  // 299 bytes on trunk index 7
    for (int i = 0; i < 299; ++i) longest.push_back(static_cast<uint8_t>(i));
    Feed(parser, longest);
    ASSERT_EQ(sink.frames.size(), 1u);
    EXPECT_EQ(sink.frames[0].trunk, 7);
    EXPECT_EQ(sink.frames[0].bytes.size(), 299u);
}

TEST(MessageParser, EmptyFrameEndsAtItsLengthAndNextMessageParses) {
    RecordingSink sink;
    sink.status[0] = 0;
    CardMessageParser parser(sink);
    Feed(parser, Concat({{0xFF, 0x10, 0x01, 0x00, 0x00}, HdlcError(0, 3), {0xFF, 0x10, 0x01, 0x01, 0x00, 0x42}}));
    ASSERT_EQ(sink.frames.size(), 2u);
    EXPECT_TRUE(sink.frames[0].bytes.empty());
    EXPECT_EQ(sink.frames[1].bytes, Bytes{0x42});
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(sink.events[0], (Event{0, kCardHdlcError, 0, 3}));
}

TEST(MessageParser, RegisterValueIsFollowedByABareTypeByte) {
    RecordingSink sink;
    CardMessageParser parser(sink);
    Feed(parser, {0xFF, 0x02, 0x01, 0x06, 0x10, 0x0A, 0x10, 0x01, 0x05, 0x00, 1, 2, 3, 4, 5});
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(sink.events[0], (Event{1, kCardRegisterValue, 0x1006, 0x0A}));
    ASSERT_EQ(sink.frames.size(), 1u);
    EXPECT_EQ(sink.frames[0].trunk, 0);
}

TEST(MessageParser, LineStatusRaisesAnEventOnlyOnChange) {
    RecordingSink sink;
    CardMessageParser parser(sink);
    Feed(parser, {0xFF, 0x07, 0x00, 0x00});
    EXPECT_EQ(sink.events.size(), 2u);
    EXPECT_EQ(sink.status[0], 0);
    EXPECT_EQ(sink.status[1], 0);
    Feed(parser, {0xFF, 0x07, 0x00, 0x00});
    EXPECT_EQ(sink.events.size(), 2u);
    Feed(parser, {0xFF, 0x07, 0x00, 0x02});
    ASSERT_EQ(sink.events.size(), 3u);
    EXPECT_EQ(sink.events[2], (Event{1, kCardLineStatus, 0, 2}));
    EXPECT_EQ(sink.status[2], 3) << "a two-trunk card reports two bytes only";
}

TEST(MessageParser, LineStatusWithoutAUsableTrunkCountIsSkipped) {
    for (int trunks : {0, -1, 9, 127}) {
        RecordingSink sink;
        sink.trunks = trunks;
        sink.status[0] = 0;
        CardMessageParser parser(sink);
        // The status bytes hold no FF: they are dropped; the report after
        // them is still parsed.
        Feed(parser, Concat({{0xFF, 0x07, 0x01, 0x01, 0x01}, HdlcError(0, 2)}));
        ASSERT_EQ(sink.events.size(), 1u) << trunks;
        EXPECT_EQ(sink.events[0].code, kCardHdlcError);
        for (uint8_t s : sink.status) EXPECT_NE(s, 1);
    }
}

TEST(MessageParser, TenErrorsInARowResetTheLinkThenAtMostEveryFiveSeconds) {
    RecordingSink sink;
    sink.status[0] = 0;
    CardMessageParser parser(sink);
    for (int i = 0; i < 9; ++i) Feed(parser, HdlcError(0, 2));
    ASSERT_EQ(sink.events.size(), 9u);
    for (const Event& e : sink.events) EXPECT_EQ(e, (Event{0, kCardHdlcError, 0, 2}));

    Feed(parser, HdlcError(0, 8));
    ASSERT_EQ(sink.events.size(), 10u);
    EXPECT_EQ(sink.events[9], (Event{0, kCardLinkReset, 0, 8}));

    sink.now += kLinkResetIntervalMs - 1;
    Feed(parser, HdlcError(0, 2));
    EXPECT_EQ(sink.events.size(), 10u) << "within 5 s of the last reset";
    sink.now += 1;
    Feed(parser, HdlcError(0, 2));
    ASSERT_EQ(sink.events.size(), 11u);
    EXPECT_EQ(sink.events[10].code, kCardLinkReset);
    Feed(parser, HdlcError(0, 2));
    EXPECT_EQ(sink.events.size(), 11u);
    EXPECT_EQ(parser.HdlcErrorCount(0), 13u);

    // A good frame starts the count again.
    Feed(parser, {0xFF, 0x10, 0x01, 0x05, 0x00, 1, 2, 3, 4, 5});
    EXPECT_EQ(parser.HdlcErrorCount(0), 0u);
    Feed(parser, HdlcError(0, 5));
    EXPECT_EQ(sink.events.back(), (Event{0, kCardHdlcError, 0, 5}));
}

TEST(MessageParser, ErrorsOnALineNotUpAndOnTrunksPastEightRaiseNothing) {
    RecordingSink sink;
    sink.status[1] = 0;
    CardMessageParser parser(sink);
    for (int i = 0; i < 12; ++i) Feed(parser, HdlcError(0, 2));  // line status 3
    EXPECT_EQ(parser.HdlcErrorCount(0), 0u);
    Feed(parser, HdlcError(8, 2));
    Feed(parser, HdlcError(0xFF, 2));
    EXPECT_TRUE(sink.events.empty());
    // Counts are per trunk: trunk 1 is up and counts alone.
    Feed(parser, HdlcError(1, 2));
    EXPECT_EQ(parser.HdlcErrorCount(1), 1u);
    EXPECT_EQ(sink.events.size(), 1u);
}
