// The network lab itself: what the module sees from the host namespace,
// that broadcasts reach the cards, and that the lab leaves nothing behind.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/lab.h"
#include "common/wait.h"
#include "platform/adapters.h"
#include "platform/socket.h"

namespace {

constexpr uint16_t kCardPort = 5854;

bool Exists(const std::string& netns) { return access(("/run/netns/" + netns).c_str(), F_OK) == 0; }

TEST(NetworkLab, HostSeesOnlyTheBridgeItsBroadcastsReachEveryCardAndNothingIsLeft) {
    VAXO_REQUIRE_LAB(lab, 2);
    plat::AdapterAddress list[8] = {};
    ASSERT_EQ(plat::ListAdapters(list, 8), 1);
    EXPECT_EQ(list[0].address, lab->HostAddress());
    EXPECT_EQ(list[0].mask, htonl(0xFFFFFF00u));

    plat::Socket sender = plat::UdpSocket();
    ASSERT_TRUE(plat::SetBroadcast(sender));
    for (int i = 0; i < lab->cards(); ++i) {
        SCOPED_TRACE("card " + std::to_string(i));
        int count = -1;
        plat::Socket receiver = plat::kNoSocket;
        ASSERT_TRUE(lab->InCard(i, [&] {
            count = plat::ListAdapters(list, 8);
            receiver = plat::UdpSocket();
            plat::Bind(receiver, plat::kAnyAddress, kCardPort);
        }));
        ASSERT_EQ(count, 1) << "its own namespace, one adapter";
        EXPECT_EQ(list[0].address, lab->CardAddress(i));
        EXPECT_TRUE(testsupport::WaitUntil(
            [&] {
                plat::SendTo(sender, "VAXO D", 6, lab->HostAddress() | htonl(0xFFu), kCardPort);
                char buf[64];
                uint32_t from = 0;
                uint16_t port = 0;
                return plat::WaitReadable(receiver, 100) == 1 &&
                       plat::ReceiveFrom(receiver, buf, sizeof buf, &from, &port) == 6 &&
                       std::memcmp(buf, "VAXO D", 6) == 0 && from == lab->HostAddress();
            },
            3000, 1));
        plat::CloseSocket(receiver);
    }
    plat::CloseSocket(sender);
    EXPECT_FALSE(lab->InCard(lab->cards(), [] { ADD_FAILURE() << "ran outside any card"; }));

    const std::string names[] = {lab->HostNamespace(), lab->CardNamespace(0), lab->CardNamespace(1)};
    for (const auto& n : names) EXPECT_TRUE(Exists(n)) << n;
    lab.reset();
    for (const auto& n : names) EXPECT_FALSE(Exists(n)) << n << " left behind";
}

}  // namespace
