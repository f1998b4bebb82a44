// Cards as the card and the host see them: set-up messages, ports,
// D-channels, register values, HDLC errors, card order, cards that never
// answer or that the tables cannot hold, restart announcements. A card lost
// and reopened is the fault matrix's.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "e2e/transport_lab.h"
#include "platform/socket.h"
#include "core/card_link.h"

using namespace transport_e2e;
using Bytes = std::vector<uint8_t>;

namespace {

size_t IndexOf(const std::vector<sim::ControlMessage>& all, uint8_t type) {
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i].type == type) return i;
    return all.size();
}

}  // namespace

TEST(TransportE2e, TwoTrunkCardSetUpRegistersAndHdlcErrors) {
    E2E_CARDS(env, {Card(4711, 2)});
    sim::SimCard& card = env.card();
    card.SetRegisterValue(0x1006, 0x5A);
    // Trunk 1 takes Crc4 from [General], trunk 2 from its own section.
    ASSERT_TRUE(env.Start("[General]\r\nCrc4=1\r\n[Debug]\r\nLevel=1\r\n[4711-2]\r\nCrc4=0\r\n"));

    ASSERT_EQ(env->NoofPorts(), 60);
    EXPECT_FALSE(env->IsPort(60));
    EXPECT_STREQ(env->GetPortName(45), "VaxoBoard (2P 4711) Trunk 2 Chn 17");
    EXPECT_STREQ(env->GetSerialNo(45), "4711");
    {
        SCOPED_TRACE("set-up messages");
        // The register reads come last: once the card has them, it has all.
        ASSERT_TRUE(WaitUntil([&] { return card.ReceivedOfType(0x02).size() >= 6; }, kSetUpMs));
        std::vector<sim::ControlMessage> all = card.Received();
        EXPECT_EQ(all[0].bytes, Bytes({0xFF, 0x01})) << "the signalling thread asks first";
        std::vector<sim::ControlMessage> configs = card.ReceivedOfType(0x12);
        ASSERT_EQ(configs.size(), 2u);
        EXPECT_EQ(configs[0].bytes, Bytes({0xFF, 0x12, 0x01, 0x01, 0x01, 0, 0, 0, 0}));
        EXPECT_EQ(configs[1].bytes, Bytes({0xFF, 0x12, 0x02, 0x01, 0x00, 0, 0, 0, 0}));
        EXPECT_EQ(card.ReceivedOfType(0x04).size(), 1u);
        std::vector<sim::ControlMessage> audio = card.ReceivedOfType(0x05);
        ASSERT_EQ(audio.size(), 1u);
        // The port the module's audio socket is bound to, as the card sees it on the module's packets.
        ASSERT_TRUE(WaitUntil([&] { return card.ModuleAudioSourcePort() != 0; }, kSetUpMs)) << "no audio from the module";
        const uint16_t port = card.ModuleAudioSourcePort();
        EXPECT_EQ(audio[0].bytes, Bytes({0xFF, 0x05, uint8_t(port), uint8_t(port >> 8), 0xFF}));
        EXPECT_LT(IndexOf(all, 0x04), IndexOf(all, 0x12));
        EXPECT_LT(IndexOf(all, 0x12), IndexOf(all, 0x05));
        std::vector<sim::ControlMessage> reads = card.ReceivedOfType(0x02);
        EXPECT_EQ(reads[0].bytes, Bytes({0xFF, 0x02, 0x01, 0x06, 0x10, 0xFF}));
        EXPECT_EQ(reads[1].bytes, Bytes({0xFF, 0x02, 0x01, 0x03, 0x10, 0xFF}));
        EXPECT_EQ(reads[2].bytes, Bytes({0xFF, 0x02, 0x01, 0xB0, 0x00, 0xFF}));
        EXPECT_EQ(reads[5].bytes, Bytes({0xFF, 0x02, 0x02, 0xB0, 0x00, 0xFF}));
        EXPECT_TRUE(env.Log("READREG: CardNo=0 LinkNo=1, Reg[0x1006] = 5A ")) << "register values at level 1";
    }
    {
        SCOPED_TRACE("HDLC errors");
        // On links that are up (no set-up frame resets the count). Errors
        // count only while the line is up: report until one is logged.
        ASSERT_TRUE(card.WaitDChannelUp(0, kDChannelMs) && card.WaitDChannelUp(1, kDChannelMs));
        card.SetLineStatus(0, 0);
        ASSERT_TRUE(WaitUntil(
            [&] {
                card.SendHdlcError(0, 5);
                return env.host->ReadLog().find("Card 0: Trunk 0 - HDLC Unknown Error") != std::string::npos;
            },
            kSetUpMs, 150));
        card.SendRaw({0xFF, 0x10, 0x01, 0x02, 0x00, 0x00, 0x00});  // too short for libpri, still a good frame
        for (uint8_t code : {2, 3, 4, 8}) card.SendHdlcError(0, code);
        for (const char* error : {"CRC", "ABORT", "OVERRUN", "Buffer Overflow"})
            EXPECT_TRUE(env.Log(std::string("Card 0: Trunk 0 - HDLC ") + error + " Error", kSetUpMs)) << error;
        EXPECT_EQ(env.host->ReadLog().find("Link Reset"), std::string::npos);
        for (int i = 0; i < 6; ++i) card.SendHdlcError(0, 2);  // the tenth since the frame
        EXPECT_TRUE(env.Log("Card 0: Trunk 0 - Link Reset (Too Many HDLC Errors)", kSetUpMs));
        ASSERT_TRUE(WaitUntil([&] { return card.ReceivedOfType(0x12).size() == 3; }, kSetUpMs));
        EXPECT_EQ(card.ReceivedOfType(0x12)[2].bytes, Bytes({0xFF, 0x12, 0x01, 0x01, 0x01, 0, 0, 0, 0}))
            << "trunk 1 is reset with its own Crc4, not the last one configured";
    }
}

// Serials 1 (never gives its information) and 5 (reports 9 trunks) fail and
// keep their indices 0 and 2; serial 3 is card 1, serial 9 card 3.
TEST(TransportE2e, CardsAreNumberedBySerialAndFailedCardsKeepTheirIndex) {
    sim::CardProfile silent = Card(1), nineTrunks = Card(5, 9);
    silent.answerInfoRequest = false;
    E2E_CARDS(env, {Card(9), silent, nineTrunks, Card(3)});
    ASSERT_TRUE(env.Start());

    EXPECT_EQ(env.card(1).ReceivedOfType(0x01).size(), 3u) << "asked three times, then given up";
    EXPECT_TRUE(env.Log("Card 2: reports 9 trunks; card not used", kSetUpMs));
    ASSERT_EQ(env->NoofPorts(), 60);
    EXPECT_STREQ(env->GetSerialNo(0), "3");
    EXPECT_STREQ(env->GetPortName(0), "VaxoBoard (1P 3) Trunk 1 Chn 1");
    EXPECT_STREQ(env->GetSerialNo(30), "9");
    EXPECT_TRUE(env.Log("Card 1: Trunk 0 - DCHANNEL UP"));
    EXPECT_TRUE(env.Log("Card 3: Trunk 0 - DCHANNEL UP"));
    EXPECT_TRUE(env.WaitActive(60));
}

// 4 x 8 trunks = 960 ports; the fifth card gets two of its trunks (1020
// ports), the sixth none.
TEST(TransportE2e, PortsStopAtWholeTrunksWhenTheTableIsFull) {
    std::vector<sim::CardProfile> profiles;
    for (uint32_t i = 0; i < 6; ++i) profiles.push_back(Card(100 + i, i < 5 ? 8 : 1));
    E2E_CARDS(env, (profiles));
    ASSERT_TRUE(env.Start());

    ASSERT_EQ(env->NoofPorts(), 1020);
    EXPECT_STREQ(env->GetPortName(1019), "VaxoBoard (8P 104) Trunk 2 Chn 31");
    EXPECT_TRUE(env.Log("Card 4: port table full; only 2 of its 8 trunks get ports", kSetUpMs));
    EXPECT_TRUE(env.Log("Card 5: no room left in the port table; card not used", kSetUpMs));
    EXPECT_TRUE(env.card(4).WaitDChannelUp(1, kDChannelMs));
    EXPECT_TRUE(env.Log("Card 4: Trunk 1 - DCHANNEL UP"));
    EXPECT_TRUE(env.WaitActive(1020));
    EXPECT_FALSE(env.card(4).DChannelUp(2)) << "a trunk without ports runs no signalling";
    EXPECT_EQ(env.host->ReadLog().find("Card 4: Trunk 2 - DCHANNEL"), std::string::npos);

    // The refused card is not reopened when it announces itself; a card
    // that announces afterwards (having ended its connection, as a card
    // that restarts does) is, so the first one has been read by then.
    env.card(5).AnnounceRestart();
    env.card(0).CloseConnection();
    env.card(0).AnnounceRestart();
    EXPECT_TRUE(env.Log("Card reopen has Succeeded", kSetUpMs));
    const std::string log = env.host->ReadLog();
    EXPECT_NE(log.find("Broadcast from Card serial no 100"), std::string::npos);
    EXPECT_EQ(log.find("Broadcast from Card serial no 105"), std::string::npos);
}

// A host that keeps sending to the discovery port (here from the card's own
// namespace) cannot hold Init: each query's wait for replies is bounded.
TEST(TransportE2e, AFloodOnTheDiscoveryPortDoesNotHoldInit) {
    E2E_CARDS(env, {Card(4711)});
    plat::Socket s = plat::kNoSocket;
    ASSERT_TRUE(env.lab->InCard(0, [&] { s = plat::UdpSocket(); }));
    ASSERT_NE(s, plat::kNoSocket);
    constexpr auto kFloodCap = std::chrono::seconds(30);  // the flood ends by itself
    std::atomic<bool> stop{false}, capped{false};
    auto flood = [&] {  // two senders, so that a stalled thread leaves no gap
        const auto end = std::chrono::steady_clock::now() + kFloodCap;
        while (!stop.load()) {
            if (std::chrono::steady_clock::now() > end) {
                capped = true;
                break;
            }
            plat::SendTo(s, "junk!!", 6, env.lab->HostAddress(), transport::kCardPort);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    std::thread flood1(flood), flood2(flood);
    const bool started = env.Start();
    stop = true;
    flood1.join();
    flood2.join();
    plat::CloseSocket(s);
    ASSERT_TRUE(started);
    EXPECT_FALSE(capped.load()) << "Init returned only once the flood had ended";
    EXPECT_EQ(env->NoofPorts(), 30) << "the card's reply is found among the junk";
}

// Anyone on the LAN can send an announcement: one for a card that is up and
// talking is held, dropped if the card goes on talking, and acted on once
// the card ends its connection as a restarting card does.
TEST(TransportE2e, AnAnnouncementForACardThatIsUpWaitsUntilItFallsQuiet) {
    E2E_CARDS(env, {Card(4711)});
    ASSERT_TRUE(env.Start());
    for (int p = 0; p < 30; ++p) env->SetEventHandle(p, env.host->NewEventHandle());
    ASSERT_TRUE(env.WaitActive(30));
    for (int p = 0; p < 30; ++p) TakeEvents(env.api(), p);

    env.card().AnnounceRestart();
    EXPECT_TRUE(env.Log("Restart announcement for card serial no 4711 held: the card is up", kSetUpMs));
    EXPECT_TRUE(env.Log("Restart announcement for card serial no 4711 ignored: the card stayed up", kSetUpMs));
    EXPECT_EQ(env.host->ReadLog().find("Broadcast from Card"), std::string::npos);
    for (int p = 0; p < 30; ++p) EXPECT_TRUE(TakeEvents(env.api(), p).empty()) << p;
    EXPECT_TRUE(env.card().Connected());

    env.card().AnnounceRestart();
    ASSERT_TRUE(WaitUntil([&] { return Count(env.host->ReadLog(), "held: the card is up") == 2; }, kSetUpMs, 10));
    env.card().CloseConnection();
    EXPECT_TRUE(env.Log("Broadcast from Card serial no 4711", kSetUpMs));
    EXPECT_TRUE(env.Log("Card reopen has Succeeded", kSetUpMs));
    EXPECT_EQ(Count(env.host->ReadLog(), "ignored: the card stayed up"), 1u);
    // Reported down once, every port told twice; back with its ports, told once more.
    EXPECT_TRUE(env.WaitActive(60));
    std::vector<std::vector<int>> events(30);
    WaitUntil([&] {
        bool all = true;
        for (int p = 0; p < 30; ++p) {
            for (int e : TakeEvents(env.api(), p)) events[size_t(p)].push_back(e);
            all = all && events[size_t(p)].size() >= 3;
        }
        return all;
    }, kDChannelMs, 10);
    for (int p = 0; p < 30; ++p) EXPECT_EQ(events[size_t(p)], std::vector<int>(3, kCallProgress)) << p;
    const std::string log = env.host->ReadLog();
    EXPECT_EQ(Count(log, "Card 0 is down"), 1u);
    EXPECT_EQ(Count(log, "Error: Internal Device Inactive"), 30u);
    EXPECT_EQ(env->NoofPorts(), 30) << "a reopen keeps the ports";
}
