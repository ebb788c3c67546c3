// CONNECT and BIND carried out and relayed: both BIND replies, half-close in
// both directions, block sizes, and the end of pending waits.
#include "ProxyTestUtil.h"

#include "proxy/SocksServer.h"

#include <gtest/gtest.h>

#include <future>

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using test::Hex;
using test::PortBytes;
using test::TFd;
using test::ToHex;

struct TRelayRig {
    explicit TRelayRig(int ABufferSize = 4096) {
        TIdSocketHandle& binding = Server.Bindings.Add();
        binding.IP = "127.0.0.1";
        binding.Port = 0;
        Server.BufferSize = ABufferSize;
        Server.OnAuthenticate = [](TIdSocksServerContext&, bool&) {};
    }
    void Start() {
        Server.SetActive(true);
        Port = Server.Bindings[0].Port;
    }
    // A client through the SOCKS5 greeting and a CONNECT to 127.0.0.1:APort.
    TFd Connect(uint16_t APort) {
        TFd client = test::Connect(Port);
        // [5, 1, 0] [5, CONNECT, 0, IPv4, 127.0.0.1, port]
        test::SendAll(client.Get(), Hex("05 01 00 05 01 00 01 7f 00 00 01") + PortBytes(APort));
        const std::string reply = test::Recv(client.Get(), 12);
        EXPECT_EQ(reply.substr(0, 4), Hex("05 00 05 00"));
        return client;
    }

    TIdSocksServer Server;
    TIdPort Port = 0;
};

TEST(SocksRelay, Socks5BindEndToEnd) {
    TRelayRig rig;
    rig.Start();
    TFd client = test::Connect(rig.Port);
    // [5, 1, 0] [5, BIND, 0, IPv4, 127.0.0.1, port 0]
    test::SendAll(client.Get(), Hex("05 01 00 05 02 00 01 7f 00 00 01 00 00"));
    const std::string first = test::Recv(client.Get(), 12);
    ASSERT_EQ(first.size(), 12u);
    // The listening port, on the address by which the client came.
    EXPECT_EQ(ToHex(first.substr(0, 10)), "05 00 05 00 00 01 7f 00 00 01");
    const auto announced = static_cast<uint16_t>((uint8_t(first[10]) << 8) | uint8_t(first[11]));
    ASSERT_NE(announced, 0);

    TFd peer = test::Connect(announced);
    ASSERT_GE(peer.Get(), 0);
    const std::string second = test::Recv(client.Get(), 10);
    EXPECT_EQ(ToHex(second),
              "05 00 00 01 7f 00 00 01 " + ToHex(PortBytes(test::LocalPort(peer.Get()))));

    test::SendAll(peer.Get(), "from the peer");
    EXPECT_EQ(test::Recv(client.Get(), 13), "from the peer");
    test::SendAll(client.Get(), "from the client");
    EXPECT_EQ(test::Recv(peer.Get(), 15), "from the client");
    peer.Reset();
    EXPECT_TRUE(test::PeerClosed(client.Get()));
}

TEST(SocksRelay, Socks4BindAnnouncesPortThenPeer) {
    TRelayRig rig;
    rig.Start();
    TFd client = test::Connect(rig.Port);
    // [4, BIND, port 0, 127.0.0.1] "" NUL
    test::SendAll(client.Get(), Hex("04 02 00 00 7f 00 00 01 00"));
    const std::string first = test::Recv(client.Get(), 8);
    ASSERT_EQ(first.size(), 8u);
    EXPECT_EQ(ToHex(first.substr(0, 2) + first.substr(4)), "00 5a 7f 00 00 01");
    const auto announced = static_cast<uint16_t>((uint8_t(first[2]) << 8) | uint8_t(first[3]));
    TFd peer = test::Connect(announced);
    EXPECT_EQ(ToHex(test::Recv(client.Get(), 8)),
              "00 5a " + ToHex(PortBytes(test::LocalPort(peer.Get()))) + " 7f 00 00 01");
    test::SendAll(client.Get(), "up");
    EXPECT_EQ(test::Recv(peer.Get(), 2), "up");
}

TEST(SocksRelay, BindAdmitsOnlyTheNamedPeerThatTheVerificationAllows) {
    TRelayRig rig;
    std::atomic<int> asked{0};
    rig.Server.OnVerifyBoundPeer = [&](TIdSocksServerContext&, const std::string& AHost,
                                       const TIdSocketHandle& APeer, bool& VAllowed) {
        EXPECT_EQ(AHost, "127.0.0.9");
        EXPECT_EQ(APeer.PeerIP, "127.0.0.9");
        VAllowed = ++asked > 1; // the first from the right address is refused too
    };
    rig.Start();
    TFd client = test::Connect(rig.Port);
    // [5, 1, 0] [5, BIND, 0, IPv4, 127.0.0.9, port 0]
    test::SendAll(client.Get(), Hex("05 01 00 05 02 00 01 7f 00 00 09 00 00"));
    const std::string first = test::Recv(client.Get(), 12);
    ASSERT_EQ(first.size(), 12u);
    const auto announced = static_cast<uint16_t>((uint8_t(first[10]) << 8) | uint8_t(first[11]));

    // Not open on the machine's other addresses.
    EXPECT_LT(test::ConnectFrom("127.0.0.9", announced, "127.0.0.2").Get(), 0);
    // A peer from another address, then one the verification refuses: each
    // is closed and the wait goes on.
    TFd stranger = test::ConnectFrom("127.0.0.1", announced);
    EXPECT_TRUE(test::PeerClosed(stranger.Get()));
    TFd refused = test::ConnectFrom("127.0.0.9", announced);
    EXPECT_TRUE(test::PeerClosed(refused.Get()));
    EXPECT_EQ(test::Recv(client.Get(), 1, 100), "");

    TFd peer = test::ConnectFrom("127.0.0.9", announced);
    EXPECT_EQ(ToHex(test::Recv(client.Get(), 10)),
              "05 00 00 01 7f 00 00 09 " + ToHex(PortBytes(test::LocalPort(peer.Get()))));
    test::SendAll(peer.Get(), "hi");
    EXPECT_EQ(test::Recv(client.Get(), 2), "hi");
    EXPECT_EQ(asked, 2);
}

TEST(SocksRelay, AdmissionEventMayRewriteOrRefuseTheTarget) {
    TRelayRig rig;
    test::TLoopbackServer echo(test::Echo);
    rig.Server.OnBeforeSocksConnect = [&](TIdSocksServerContext&, std::string& VHost,
                                          TIdPort& VPort, bool& VAllowed) {
        VAllowed = VPort != 1;
        if (VPort == 2) {
            VHost = "localhost";
            VPort = echo.Port;
        }
    };
    rig.Start();
    TFd redirected = rig.Connect(2);
    test::SendAll(redirected.Get(), "echoed");
    EXPECT_EQ(test::Recv(redirected.Get(), 6), "echoed");
    TFd refused = test::Connect(rig.Port);
    test::SendAll(refused.Get(), Hex("05 01 00 05 01 00 01 7f 00 00 01 00 01"));
    EXPECT_EQ(ToHex(test::ReadAll(refused.Get())), "05 00 05 02 00 01 00 00 00 00 00 00");
    TFd refused4 = test::Connect(rig.Port);
    test::SendAll(refused4.Get(), Hex("04 01 00 01 7f 00 00 01 00"));
    EXPECT_EQ(ToHex(test::ReadAll(refused4.Get())), "00 5b 00 00 00 00 00 00");
}

TEST(SocksRelay, HalfCloseIsPassedOnBothWays) {
    TRelayRig rig;
    rig.Start();
    // The target answers only after the client has finished sending.
    test::TLoopbackServer target([](int AFd) {
        const std::string question = test::ReadAll(AFd);
        test::SendAll(AFd, "answer to " + question);
    });
    TFd client = rig.Connect(target.Port);
    test::SendAll(client.Get(), "question");
    shutdown(client.Get(), SHUT_WR);
    EXPECT_EQ(test::ReadAll(client.Get()), "answer to question");
}

TEST(SocksRelay, BytesBeforeAResetArriveThenTheResetEachWay) {
    TRelayRig rig;
    rig.Start();
    const std::string bytes = test::RandomBytes(1000, 11);
    for (int round = 0; round < 10; ++round) {
        // The target sends its bytes and resets.
        {
            test::TLoopbackServer target([&](int AFd) {
                test::SendAll(AFd, bytes);
                const linger hard{1, 0};
                setsockopt(AFd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            });
            TFd client = rig.Connect(target.Port);
            const test::TStreamEnd seen = test::ReadToEnd(client.Get());
            EXPECT_TRUE(seen.Data == bytes) << "round " << round << ": " << seen.Data.size();
            EXPECT_EQ(seen.Error, ECONNRESET) << "round " << round;
        }
        // The client sends its bytes and resets.
        {
            std::promise<test::TStreamEnd> got;
            test::TLoopbackServer target([&](int AFd) { got.set_value(test::ReadToEnd(AFd)); });
            TFd client = rig.Connect(target.Port);
            test::SendAll(client.Get(), bytes);
            test::Reset(client);
            const test::TStreamEnd seen = got.get_future().get();
            EXPECT_TRUE(seen.Data == bytes) << "round " << round << ": " << seen.Data.size();
            EXPECT_EQ(seen.Error, ECONNRESET) << "round " << round;
        }
    }
}

TEST(SocksRelay, ResponseSentWithAnImmediateCloseArrivesWhole) {
    TRelayRig rig(65536);
    rig.Start();
    const std::string body = test::RandomBytes(1 << 20, 7);
    test::TLoopbackServer target([&](int AFd) { test::SendAll(AFd, body); });
    TFd client = rig.Connect(target.Port);
    EXPECT_TRUE(test::ReadAll(client.Get()) == body);
}

TEST(SocksRelay, BlocksToTheClientAreAtMostTheClampedSizeAndReported) {
    TRelayRig rig(1024);
    std::mutex lock;
    std::vector<int64_t> blocks;
    rig.Server.OnConnect = [&](TIdContext& AContext) {
        AContext.Connection()->OnWork = [&](TIdComponent&, TWorkMode AMode, int64_t ACount) {
            if (AMode != wmWrite)
                return;
            std::lock_guard<std::mutex> guard(lock);
            blocks.push_back(ACount);
        };
    };
    rig.Start();
    const std::string down = test::RandomBytes(256 << 10, 3);
    const std::string up = test::RandomBytes(128 << 10, 4);
    std::promise<std::string> received;
    std::future<std::string> atTarget = received.get_future();
    test::TLoopbackServer target([&](int AFd) {
        test::SendAll(AFd, down);
        shutdown(AFd, SHUT_WR);
        received.set_value(test::ReadAll(AFd));
    });
    TFd client = rig.Connect(target.Port);
    test::SendAll(client.Get(), up);
    shutdown(client.Get(), SHUT_WR);
    EXPECT_TRUE(test::ReadAll(client.Get()) == down);
    ASSERT_EQ(atTarget.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(atTarget.get() == up);
    std::lock_guard<std::mutex> guard(lock);
    int64_t total = 0;
    for (int64_t block : blocks) {
        EXPECT_LE(block, 4096);
        total += block;
    }
    // Only what went to the client; the replies are not relay blocks.
    EXPECT_EQ(total, static_cast<int64_t>(down.size()));
}

TEST(SocksRelay, DeactivationEndsPendingConnectAndBindWaits) {
    TRelayRig rig;
    rig.Start();
    test::TBlackhole blackhole;
    TFd connecting = test::Connect(rig.Port);
    test::SendAll(connecting.Get(),
                  Hex("05 01 00 05 01 00 01 7f 00 00 01") + PortBytes(blackhole.Port));
    TFd binding = test::Connect(rig.Port);
    test::SendAll(binding.Get(), Hex("04 02 00 00 7f 00 00 01 00"));
    EXPECT_EQ(test::Recv(connecting.Get(), 2), Hex("05 00"));
    EXPECT_EQ(test::Recv(binding.Get(), 2), Hex("00 5a"));
    ASSERT_TRUE(test::WaitFor([&] { return rig.Server.Contexts.Count() == 2; }));
    const auto start = std::chrono::steady_clock::now();
    rig.Server.SetActive(false);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(rig.Server.Contexts.Count(), 0u);
}

} // namespace
} // namespace kestrune
