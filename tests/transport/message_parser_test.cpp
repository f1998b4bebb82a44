// The card message parser fed through a recording sink.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "transport/message_parser.h"

using namespace transport;

namespace {

using Bytes = std::vector<uint8_t>;
using Event = std::tuple<uint16_t, uint32_t, uint16_t, uint8_t>;  // link, code, value16, value8
using Events = std::vector<Event>;
using Frames = std::vector<std::pair<int, Bytes>>;  // trunk index, bytes

// A parser and the sink it reports to.
class Parsed : public CardMessageSink {
public:
    int TrunkCount() override { return trunks; }
    uint8_t LineStatus(int trunk) override {
        EXPECT_TRUE(trunk >= 0 && trunk < kMaxTrunks) << trunk;
        return status[trunk];
    }
    void StoreLineStatus(int trunk, uint8_t s) override { status[trunk] = s; }
    void CardInformation(const CardInfo& info) override { infos.push_back(info); }
    void CardEvent(uint16_t link, uint32_t code, uint16_t v16, uint8_t v8) override {
        events.emplace_back(link, code, v16, v8);
    }
    void Frame(int trunk, const uint8_t* f, size_t n) override { frames.emplace_back(trunk, Bytes(f, f + n)); }
    uint32_t NowMs() override { return now; }
    void Feed(const Bytes& b) { parser.Feed(b.data(), b.size()); }

    int trunks = 2;
    uint8_t status[kMaxTrunks] = {3, 3, 3, 3, 3, 3, 3, 3};  // 0 is up
    std::vector<CardInfo> infos;
    Events events;
    Frames frames;
    uint32_t now = 1000;
    CardMessageParser parser{*this};
};

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Firmware 7, two trunks, feature flags 0x12345678, serial 4711, dates 26-12-01-10 and 26-11-30.
Bytes CardInfoMessage(const char* magic = "VAXO ") {
    Bytes head = {0xFF, 0x01};
    head.insert(head.end(), magic, magic + 5);
    return Concat({head, {7, 2, 0x78, 0x56, 0x34, 0x12, 0x67, 0x12, 0, 0, 26, 12, 1, 10, 26, 11, 30}});
}

Bytes FrameMessage(uint8_t link, const Bytes& payload) {
    Bytes head = {0xFF, 0x10, link, static_cast<uint8_t>(payload.size()), static_cast<uint8_t>(payload.size() >> 8)};
    return Concat({head, payload});
}

Bytes HdlcError(uint8_t trunk, uint8_t code) { return {0xFF, 0x11, trunk, code}; }

}  // namespace

TEST(MessageParser, EveryMessageTypeWholeSplitAtEveryByteAndByteByByte) {
    const Bytes stream = Concat({CardInfoMessage(), {0xFF, 0x02, 0x01, 0x06, 0x10, 0x0A},  // register value
                                 {0xFF, 0x07, 0x00, 0x01},                                // line status, two trunks
                                 FrameMessage(2, {1, 2, 3, 4, 5}), HdlcError(0, 4)});
    const Events events = {{1, kCardRegisterValue, 0x1006, 0x0A}, {0, kCardLineStatus, 0, 0},
                           {1, kCardLineStatus, 0, 1}, {0, kCardHdlcError, 0, 4}};  // trunk 0 is up: the report counts
    for (size_t split = 0; split <= stream.size() + 1; ++split) {
        const bool byteByByte = split > stream.size();
        SCOPED_TRACE(byteByByte ? "byte by byte" : "split at " + std::to_string(split));
        Parsed p;
        if (byteByByte) {
            for (uint8_t b : stream) p.parser.Feed(b);
        } else {
            p.parser.Feed(stream.data(), split);
            p.parser.Feed(stream.data() + split, stream.size() - split);
        }
        ASSERT_EQ(p.infos.size(), 1u);
        const CardInfo& i = p.infos[0];
        EXPECT_EQ(std::tie(i.valid, i.firmwareVersion, i.trunks, i.featureFlags, i.serial),
                  std::make_tuple(true, uint8_t{7}, 2, 0x12345678u, 4711u));
        EXPECT_EQ(i.firmwareDate + " " + i.burnDate, "26120110 261130");
        EXPECT_EQ(p.events, events);
        EXPECT_EQ(p.frames, (Frames{{1, {1, 2, 3, 4, 5}}}));
        EXPECT_EQ(p.parser.state(), CardMessageParser::kIdle);
    }
}

TEST(MessageParser, CardInformationWithTheWrongMagicIsReportedInvalid) {
    Parsed p;
    p.Feed(CardInfoMessage("VAXO_"));
    ASSERT_EQ(p.infos.size(), 1u);
    EXPECT_FALSE(p.infos[0].valid);
    EXPECT_EQ(p.infos[0].serial, 0u);
}

// Bytes that are skipped or refused, and what parses around them.
TEST(MessageParser, SkippedAndRefusedInput) {
    Bytes longest(299);  // on trunk index 7
    for (size_t i = 0; i < longest.size(); ++i) longest[i] = static_cast<uint8_t>(i);
    const Bytes five = {1, 2, 3, 4, 5};  // payloads hold no FF: refused bytes are never taken as a message
    struct Case {
        std::string what;
        Bytes in;
        Events events;
        Frames frames;
        int trunks;
    };
    std::vector<Case> cases = {
        {"second FF", {0xFF, 0xFF, 0x10, 0x01, 0x05, 0x00, 0x02, 0x01, 0x7F, 0xAA, 0xBB}, {},
         {{0, {0x02, 0x01, 0x7F, 0xAA, 0xBB}}}, 2},
        {"unknown type bytes", Concat({{0xFF, 0x55, 0x00}, HdlcError(0, 2)}), {{0, kCardHdlcError, 0, 2}}, {}, 2},
        {"link 0, link 9, length 300, then 299 bytes",
         Concat({FrameMessage(0, five), FrameMessage(9, five), {0xFF, 0x10, 0x01, 0x2C, 0x01, 1, 2, 3},
                 FrameMessage(8, longest)}),
         {}, {{7, longest}}, 2},
        {"empty frame", Concat({FrameMessage(1, {}), HdlcError(0, 3), FrameMessage(1, {0x42})}),
         {{0, kCardHdlcError, 0, 3}}, {{0, {}}, {0, {0x42}}}, 2},
        {"register value followed by a bare type byte",
         Concat({{0xFF, 0x02, 0x01, 0x06, 0x10, 0x0A}, {0x10, 0x01, 0x05, 0x00}, five}),
         {{1, kCardRegisterValue, 0x1006, 0x0A}}, {{0, five}}, 2},
    };
    for (int trunks : {0, -1, 9, 127})
        cases.push_back({"line status with trunk count " + std::to_string(trunks),
                         Concat({{0xFF, 0x07, 0x01, 0x01, 0x01}, HdlcError(0, 2)}), {{0, kCardHdlcError, 0, 2}}, {},
                         trunks});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Parsed p;
        p.trunks = c.trunks;
        p.status[0] = 0;
        p.Feed(c.in);
        EXPECT_EQ(p.events, c.events);
        EXPECT_EQ(p.frames, c.frames);
        EXPECT_EQ(p.parser.state(), CardMessageParser::kIdle);
    }
}

TEST(MessageParser, LineStatusOfATwoTrunkCardRaisesAnEventOnlyOnChange) {
    Parsed p;
    for (const Bytes& m : {Bytes{0xFF, 0x07, 0x00, 0x00}, Bytes{0xFF, 0x07, 0x00, 0x00}, Bytes{0xFF, 0x07, 0x00, 0x02}})
        p.Feed(m);
    EXPECT_EQ(p.events, (Events{{0, kCardLineStatus, 0, 0}, {1, kCardLineStatus, 0, 0}, {1, kCardLineStatus, 0, 2}}));
    EXPECT_EQ(p.status[1], 2);
    EXPECT_EQ(p.status[2], 3) << "a two-trunk card reports two bytes only";
}

TEST(MessageParser, HdlcErrorsCountPerTrunkToALinkResetAtMostEveryFiveSeconds) {
    Parsed p;
    p.status[0] = 0;  // trunk 0 up, trunk 1 not
    for (int i = 0; i < 12; ++i) p.Feed(HdlcError(1, 2));
    p.Feed(Concat({HdlcError(8, 2), HdlcError(0xFF, 2)}));
    EXPECT_TRUE(p.events.empty()) << "a line not up and trunks past eight raise nothing";
    EXPECT_EQ(p.parser.HdlcErrorCount(1), 0u);

    for (int i = 0; i < 9; ++i) p.Feed(HdlcError(0, 2));
    p.status[1] = 0;
    p.Feed(HdlcError(1, 2));  // counts for trunk 1 alone
    Events expected(9, Event{0, kCardHdlcError, 0, 2});
    expected.push_back(Event{1, kCardHdlcError, 0, 2});
    EXPECT_EQ(p.events, expected);

    p.Feed(HdlcError(0, 8));  // the tenth in a row on trunk 0
    EXPECT_EQ(p.events.back(), (Event{0, kCardLinkReset, 0, 8}));
    p.now += 4999;
    p.Feed(HdlcError(0, 2));
    EXPECT_EQ(p.events.size(), 11u) << "within 5 s of the last reset";
    p.now += 1;
    p.Feed(HdlcError(0, 2));
    ASSERT_EQ(p.events.size(), 12u);
    EXPECT_EQ(p.events.back(), (Event{0, kCardLinkReset, 0, 2}));
    p.Feed(HdlcError(0, 2));
    EXPECT_EQ(p.events.size(), 12u);
    EXPECT_EQ(p.parser.HdlcErrorCount(0), 13u);

    p.Feed(FrameMessage(1, {1, 2, 3, 4, 5}));  // a good frame starts the count again
    EXPECT_EQ(p.parser.HdlcErrorCount(0), 0u);
    p.Feed(HdlcError(0, 5));
    EXPECT_EQ(p.events.back(), (Event{0, kCardHdlcError, 0, 5}));
}
