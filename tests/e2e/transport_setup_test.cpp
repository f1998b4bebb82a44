// Card start-up as the card and the host see it: discovery, set-up
// messages, ports, D-channels, a card that never answers.
#include <string>
#include <vector>

#include "e2e/transport_lab.h"

using namespace transport_e2e;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b) { return std::vector<uint8_t>(b); }

size_t IndexOf(const std::vector<sim::ControlMessage>& all, uint8_t type) {
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i].type == type) return i;
    return all.size();
}

}  // namespace

TEST(TransportE2e, InitWithoutCardsGivesNoPorts) {
    VAXO_REQUIRE_LAB(lab, 0);
    testsupport::ModuleHost host;
    ASSERT_TRUE(host.loaded());
    Started started(host);
    ASSERT_TRUE(started.ok());
    EXPECT_EQ(host->NoofPorts(), 0);
    EXPECT_FALSE(host->IsPort(0));
    EXPECT_TRUE(host->Init()) << "a second Init only counts";
    host->Shutdown();
    EXPECT_EQ(host->NoofPorts(), 0);
}

TEST(TransportE2e, SetUpMessagesPortsAndDChannelsOfATwoTrunkCard) {
    VAXO_REQUIRE_LAB(lab, 1);
    sim::CardProfile profile;
    profile.serial = 4711;
    profile.trunks = 2;
    std::vector<std::unique_ptr<sim::SimCard>> cards;
    ASSERT_TRUE(StartCards(*lab, {profile}, &cards));
    // Trunk 1 takes Crc4 from [General], trunk 2 from its own section.
    testsupport::ModuleHost host("[General]\r\nCrc4=1\r\n[4711-2]\r\nCrc4=0\r\n");
    ASSERT_TRUE(host.loaded());
    Started started(host);
    ASSERT_TRUE(started.ok());
    sim::SimCard& card = *cards[0];

    ASSERT_EQ(host->NoofPorts(), 60);
    EXPECT_TRUE(host->IsPort(59));
    EXPECT_FALSE(host->IsPort(60));
    EXPECT_STREQ(host->GetPortName(0), "VaxoBoard (2P 4711) Trunk 1 Chn 1");
    EXPECT_STREQ(host->GetPortName(15), "VaxoBoard (2P 4711) Trunk 1 Chn 17");
    EXPECT_STREQ(host->GetPortName(45), "VaxoBoard (2P 4711) Trunk 2 Chn 17");
    EXPECT_STREQ(host->GetSerialNo(45), "4711");

    // The register reads come last: once the card has them, it has all.
    ASSERT_TRUE(testsupport::WaitUntil([&] { return Received(card, 0x02).size() >= 6; }, kSetUpMs));
    std::vector<sim::ControlMessage> all = card.Received();
    EXPECT_EQ(all[0].bytes, Bytes({0xFF, 0x01})) << "the signalling thread asks first";
    std::vector<sim::ControlMessage> configs = Received(card, 0x12);
    ASSERT_EQ(configs.size(), 2u);
    EXPECT_EQ(configs[0].bytes, Bytes({0xFF, 0x12, 0x01, 0x01, 0x01, 0, 0, 0, 0}));
    EXPECT_EQ(configs[1].bytes, Bytes({0xFF, 0x12, 0x02, 0x01, 0x00, 0, 0, 0, 0}));
    EXPECT_EQ(Received(card, 0x04).size(), 1u);
    std::vector<sim::ControlMessage> audio = Received(card, 0x05);
    ASSERT_EQ(audio.size(), 1u);
    ASSERT_EQ(audio[0].bytes.size(), 5u);
    uint16_t port = static_cast<uint16_t>(audio[0].bytes[2] | audio[0].bytes[3] << 8);
    EXPECT_NE(port, 0);
    EXPECT_EQ(port, card.ModuleAudioPort());
    EXPECT_EQ(audio[0].bytes[4], 0xFF);
    EXPECT_LT(IndexOf(all, 0x04), IndexOf(all, 0x12));
    EXPECT_LT(IndexOf(all, 0x12), IndexOf(all, 0x05));

    // Three register reads per trunk once the ports exist.
    std::vector<sim::ControlMessage> reads = Received(card, 0x02);
    EXPECT_EQ(reads[0].bytes, Bytes({0xFF, 0x02, 0x01, 0x06, 0x10, 0xFF}));
    EXPECT_EQ(reads[1].bytes, Bytes({0xFF, 0x02, 0x01, 0x03, 0x10, 0xFF}));
    EXPECT_EQ(reads[2].bytes, Bytes({0xFF, 0x02, 0x01, 0xB0, 0x00, 0xFF}));
    EXPECT_EQ(reads[5].bytes, Bytes({0xFF, 0x02, 0x02, 0xB0, 0x00, 0xFF}));

    // Every D-channel comes up and makes its 30 ports active, whether it came
    // up during set-up or after.
    EXPECT_TRUE(card.WaitDChannelUp(0, kDChannelMs));
    EXPECT_TRUE(card.WaitDChannelUp(1, kDChannelMs));
    EXPECT_TRUE(host.WaitForLog("Card 0: Trunk 0 - DCHANNEL UP", kDChannelMs));
    EXPECT_TRUE(host.WaitForLog("Card 0: Trunk 1 - DCHANNEL UP", kDChannelMs));
    EXPECT_TRUE(testsupport::WaitUntil(
        [&] { return Count(host.ReadLog(), "Internal Device Active, Line Plugged in.") == 60; }, kDChannelMs, 20));
    for (int p = 0; p < 60; ++p) {
        ASSERT_TRUE(host->OpenPort(p));
        EXPECT_STREQ(host->GetInfo(p, "CHANNELSTATE"), "READY") << p;
    }
}

TEST(TransportE2e, CardsAreNumberedBySerialAndAFailedCardKeepsItsIndex) {
    VAXO_REQUIRE_LAB(lab, 3);
    sim::CardProfile silent, nine, three;
    silent.serial = 1;  // lowest serial: card index 0, never gives its information
    silent.answerInfoRequest = false;
    nine.serial = 9;
    three.serial = 3;
    std::vector<std::unique_ptr<sim::SimCard>> cards;
    ASSERT_TRUE(StartCards(*lab, {nine, silent, three}, &cards));
    testsupport::ModuleHost host;
    ASSERT_TRUE(host.loaded());
    Started started(host);
    ASSERT_TRUE(started.ok());

    EXPECT_EQ(Received(*cards[1], 0x01).size(), 3u) << "asked three times, then given up";
    ASSERT_EQ(host->NoofPorts(), 60);
    EXPECT_STREQ(host->GetSerialNo(0), "3");
    EXPECT_STREQ(host->GetPortName(0), "VaxoBoard (1P 3) Trunk 1 Chn 1");
    EXPECT_STREQ(host->GetSerialNo(30), "9");
    // Serial 3 is card index 1 (trunk base 0), serial 9 card index 2.
    EXPECT_TRUE(host.WaitForLog("Card 1: Trunk 0 - DCHANNEL UP", kDChannelMs));
    EXPECT_TRUE(host.WaitForLog("Card 2: Trunk 0 - DCHANNEL UP", kDChannelMs));
    EXPECT_TRUE(testsupport::WaitUntil(
        [&] { return Count(host.ReadLog(), "Internal Device Active, Line Plugged in.") == 60; }, kDChannelMs, 20));
}

TEST(TransportE2e, CaptureFileOfOneTrunkHoldsBothDirections) {
    VAXO_REQUIRE_LAB(lab, 1);
    sim::CardProfile profile;
    profile.serial = 4711;
    profile.trunks = 2;
    std::vector<std::unique_ptr<sim::SimCard>> cards;
    ASSERT_TRUE(StartCards(*lab, {profile}, &cards));
    testsupport::ModuleHost host("[4711-2]\r\nHdlcLog=1\r\n");
    ASSERT_TRUE(host.loaded());
    const std::string file = host.dir() + "/vaxo-4711-2.hdlc";
    testsupport::WriteFile(file, "kept\r\n");
    Started started(host);
    ASSERT_TRUE(started.ok());
    ASSERT_TRUE(host.WaitForLog("Card 0: Trunk 1 - DCHANNEL UP", kDChannelMs));
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            std::string text = testsupport::ReadFile(file);
            return text.find("\r\nI ") != std::string::npos && text.find("\r\nO ") != std::string::npos;
        },
        kDChannelMs));
    started.Stop();

    std::string text = testsupport::ReadFile(file);
    EXPECT_EQ(text.compare(0, 6, "kept\r\n"), 0) << "appended, not replaced";
    size_t lines = 0;
    for (size_t at = 6; at < text.size();) {
        size_t end = text.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        std::string line = text.substr(at, end - at + 2);
        ASSERT_GE(line.size(), 29u) << line;
        EXPECT_TRUE(line[0] == 'I' || line[0] == 'O') << line;
        EXPECT_EQ(line.substr(21, 6), " 0000 ") << line;
        EXPECT_EQ((line.size() - 29) % 3, 0u) << line;
        at = end + 2;
        ++lines;
    }
    EXPECT_GE(lines, 2u);
    EXPECT_TRUE(testsupport::ReadFile(host.dir() + "/vaxo-4711-1.hdlc").empty()) << "trunk 1 captures nothing";
}
