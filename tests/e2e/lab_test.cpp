// The network lab itself: what the module will see from the host namespace,
// that broadcasts reach the cards, and that the lab leaves nothing behind.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/lab.h"
#include "common/wait.h"
#include "platform/adapters.h"
#include "platform/socket.h"

namespace {

constexpr uint16_t kCardPort = 5854;

ino_t CurrentNetns() {
    struct stat st {};
    if (stat("/proc/thread-self/ns/net", &st) != 0) return 0;
    return st.st_ino;
}

TEST(NetworkLab, HostNamespaceShowsOnlyTheBridge) {
    VAXO_REQUIRE_LAB(lab, 3);
    plat::AdapterAddress list[8] = {};
    ASSERT_EQ(plat::ListAdapters(list, 8), 1);
    EXPECT_EQ(list[0].address, lab->HostAddress());
    EXPECT_EQ(list[0].mask, htonl(0xFFFFFF00u));
}

TEST(NetworkLab, CardThreadRunsInItsOwnNamespace) {
    VAXO_REQUIRE_LAB(lab, 2);
    const ino_t host = CurrentNetns();
    for (int i = 0; i < lab->cards(); ++i) {
        ino_t inside = 0;
        int count = -1;
        plat::AdapterAddress list[4] = {};
        ASSERT_TRUE(lab->InCard(i, [&] {
            inside = CurrentNetns();
            count = plat::ListAdapters(list, 4);
        }));
        EXPECT_NE(inside, host);
        ASSERT_EQ(count, 1);
        EXPECT_EQ(list[0].address, lab->CardAddress(i));
    }
    EXPECT_FALSE(lab->InCard(lab->cards(), [] { ADD_FAILURE() << "ran outside any card"; }));
}

TEST(NetworkLab, HostBroadcastReachesEveryCard) {
    VAXO_REQUIRE_LAB(lab, 2);
    std::vector<plat::Socket> receivers(2, plat::kNoSocket);
    for (int i = 0; i < 2; ++i) {
        lab->InCard(i, [&] {
            receivers[i] = plat::UdpSocket();
            plat::SetReuseAddress(receivers[i]);
            plat::Bind(receivers[i], plat::kAnyAddress, kCardPort);
        });
        ASSERT_NE(receivers[i], plat::kNoSocket);
    }
    plat::Socket sender = plat::UdpSocket();
    ASSERT_NE(sender, plat::kNoSocket);
    ASSERT_TRUE(plat::SetBroadcast(sender));
    const uint32_t broadcast = lab->HostAddress() | htonl(0xFFu);
    const char query[] = "VAXO D";

    for (int i = 0; i < 2; ++i) {
        bool got = testsupport::WaitUntil(
            [&] {
                plat::SendTo(sender, query, 6, broadcast, kCardPort);
                if (plat::WaitReadable(receivers[i], 100) != 1) return false;
                char buf[64];
                uint32_t from = 0;
                uint16_t port = 0;
                int n = plat::ReceiveFrom(receivers[i], buf, sizeof buf, &from, &port);
                return n == 6 && std::memcmp(buf, query, 6) == 0 && from == lab->HostAddress();
            },
            3000, 1);
        EXPECT_TRUE(got) << "card " << i;
    }
    plat::CloseSocket(sender);
    for (auto s : receivers) plat::CloseSocket(s);
}

TEST(NetworkLab, DestructorRemovesEveryNamespace) {
    std::string why;
    auto lab = testsupport::NetworkLab::Create(2, &why);
    if (!lab) GTEST_SKIP() << "no private network lab: " << why;
    std::vector<std::string> names = {lab->HostNamespace(), lab->CardNamespace(0), lab->CardNamespace(1)};
    for (const auto& n : names) EXPECT_EQ(access(("/run/netns/" + n).c_str(), F_OK), 0) << n;
    lab.reset();
    for (const auto& n : names) EXPECT_NE(access(("/run/netns/" + n).c_str(), F_OK), 0) << n;
}

}  // namespace
