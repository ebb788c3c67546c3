// Ten thousand relayed connections at once: each holds neither a thread nor
// more than its two sockets, every one carries its bytes, and Drop and Stop
// end them all promptly.
#include "ProxyTestUtil.h"

#include "proxy/ProxyServer.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using test::Hex;
using test::PortBytes;
using test::TFd;

constexpr int Relays = 10000;

struct TManyRig {
    TManyRig() {
        Service.mName = "Many";
        Service.mHost = "127.0.0.1";
        Service.mPort = 0;
        Service.mQueue = 1000;
        Service.mFive = true;
        Service.Start();
    }
    // Relays through the service to the echo server; each has echoed a block
    // that went with its request (so it passed the relay as read-ahead).
    bool Open(std::vector<TFd>& AClients, int ACount) {
        // [5, 1, 0] [5, CONNECT, 0, IPv4, 127.0.0.1, port] block
        const std::string block(1000, 'b');
        const std::string request =
            Hex("05 01 00 05 01 00 01 7f 00 00 01") + PortBytes(Echo.Port) + block;
        for (int i = 0; i < ACount; ++i) {
            TFd client = test::Connect(Service.BoundPort());
            test::SendAll(client.Get(), request);
            if (test::Recv(client.Get(), 12 + block.size()).substr(12) != block)
                return false;
            AClients.push_back(std::move(client));
        }
        return true;
    }
    static bool AllClosed(const std::vector<TFd>& AClients) {
        for (const TFd& client : AClients)
            if (!test::PeerClosed(client.Get(), 2000))
                return false;
        return true;
    }

    test::TManyEcho Echo;
    test::TRecorderHost Host;
    TProxyServer Service{Host};
};

TEST(ManyRelays, TenThousandHeldWithoutAThreadEachThenDroppedOrStoppedAtOnce) {
    // Per relay: the client's and the target's end here, and the gateway's two.
    if (!test::RaiseDescriptorLimit(4 * Relays + 1000))
        GTEST_SKIP() << "the descriptor limit cannot be raised to " << 4 * Relays + 1000;
    TManyRig rig;
    ASSERT_TRUE(rig.Service.Listening());
    {
        // Warm: the event loops and the connection threads exist from here on.
        std::vector<TFd> first;
        ASSERT_TRUE(rig.Open(first, 1));
    }
    ASSERT_TRUE(test::WaitFor([&] { return rig.Service.mOnline == 0; }));
    const long threads = test::StatusField("Threads:");
    const int descriptors = test::OpenDescriptorCount();
    // Connection threads kept parked, and those waiting in accept().
    constexpr long Pool = 16 + 4;

    std::vector<TFd> clients;
    ASSERT_TRUE(rig.Open(clients, Relays));
    EXPECT_EQ(rig.Service.mOnline, Relays);
    EXPECT_LE(test::OpenDescriptorCount() - descriptors, 4 * Relays);
    EXPECT_LE(test::StatusField("Threads:"), threads + Pool);

    const auto dropped = std::chrono::steady_clock::now();
    rig.Service.Drop();
    EXPECT_EQ(rig.Service.mDrop, Relays);
    EXPECT_TRUE(TManyRig::AllClosed(clients));
    EXPECT_TRUE(test::WaitFor([&] { return rig.Service.mOnline == 0; }));
    EXPECT_LT(test::MillisecondsSince(dropped), 2000);
    EXPECT_TRUE(test::WaitFor([&] { return rig.Host.Count("Disconnected") == Relays + 1; }));
    EXPECT_TRUE(test::WaitFor([&] { return test::StatusField("Threads:") <= threads + Pool; }));
    clients.clear();
    EXPECT_TRUE(test::WaitFor([&] { return test::OpenDescriptorCount() <= descriptors + 4; }));

    ASSERT_TRUE(rig.Open(clients, Relays));
    const auto stopped = std::chrono::steady_clock::now();
    rig.Service.Stop();
    EXPECT_LT(test::MillisecondsSince(stopped), 1000);
    EXPECT_EQ(rig.Service.mOnline, 0);
    EXPECT_EQ(rig.Service.mDrop, 0);
    EXPECT_TRUE(TManyRig::AllClosed(clients));
}

} // namespace
} // namespace kestrune
