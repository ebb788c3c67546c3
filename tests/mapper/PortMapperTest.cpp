// The port mapper service over TCP: bytes through a started mapper, its
// counters and its log lines.
#include "MapperTestUtil.h"

#include "mapper/PortMapper.h"

#include <gtest/gtest.h>

#include <future>

#include <poll.h>

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using test::TFd;

class PortMapperTCP : public ::testing::Test {
protected:
    PortMapperTCP() { test::Configure(Mapper, "Map", test::LocalPort(Target.Get()), true, false); }
    ~PortMapperTCP() override { Mapper.Stop(); }

    uint16_t Start() {
        Mapper.Start();
        EXPECT_TRUE(Mapper.Listening());
        return Mapper.TCPPort();
    }
    // A client through the mapper and the remote side's end of its mapping.
    std::pair<TFd, TFd> Open() {
        TFd client = test::Connect(Mapper.TCPPort());
        TFd remote = test::AcceptWithin(Target.Get());
        EXPECT_GE(remote.Get(), 0);
        return {std::move(client), std::move(remote)};
    }
    static std::string Peer(const TFd& AClient) {
        return "127.0.0.1:" + std::to_string(test::LocalPort(AClient.Get()));
    }
    bool Idle() {
        return test::WaitFor([&] { return Mapper.ConnectionCount() == 0; });
    }
    std::vector<int64_t> Counters() const {
        return {Mapper.mOnline, Mapper.mOnTotal, Mapper.mDrop, Mapper.mTraf, Mapper.mTrafTotal};
    }

    TFd Target = test::Listener(64);
    test::TRecordingHost Host;
    TPortMapper Mapper{Host};
};

TEST_F(PortMapperTCP, FiftyMegabytesPassUnchangedBothWaysAtOnce) {
    Start();
    auto [client, remote] = Open();
    constexpr size_t size = 50u << 20;
    // Each side sends everything while reading: a relay that served one
    // direction at a time would stall here.
    auto down = std::async(std::launch::async, [&] {
        const test::THash sent = test::SendRandom(remote.Get(), size, 7);
        shutdown(remote.Get(), SHUT_WR);
        return sent;
    });
    auto upReceived =
        std::async(std::launch::async, [&] { return test::ReceiveHashed(remote.Get()); });
    const test::THash upSent = test::SendRandom(client.Get(), size, 8);
    shutdown(client.Get(), SHUT_WR);
    const test::THash downReceived = test::ReceiveHashed(client.Get());
    const test::THash downSent = down.get();
    const test::THash up = upReceived.get();
    EXPECT_EQ(downReceived.Size(), size);
    EXPECT_EQ(downReceived.Value(), downSent.Value());
    EXPECT_EQ(up.Size(), size);
    EXPECT_EQ(up.Value(), upSent.Value());
    // Only the bytes written to the client count as traffic.
    EXPECT_TRUE(test::WaitFor([&] { return Mapper.mTrafTotal == static_cast<int64_t>(size); }));
    EXPECT_EQ(Mapper.mTraf, static_cast<int64_t>(size));
}

TEST_F(PortMapperTCP, ConnectedAndDisconnectedLinesAndTheOnlineCount) {
    Start();
    auto [client, remote] = Open();
    const std::string peer = Peer(client);
    ASSERT_TRUE(Host.WaitCount("[Map] Connected: ", 1));
    EXPECT_EQ(Mapper.mOnline, 1);
    EXPECT_EQ(Mapper.mOnTotal, 1);
    test::SendAll(remote.Get(), "12345");
    char answer[5];
    ASSERT_EQ(recv(client.Get(), answer, sizeof answer, MSG_WAITALL), 5);
    client.Reset();
    // The mapping ends only when both directions have: the remote sees the
    // end of stream and closes too.
    EXPECT_EQ(test::ReadAll(remote.Get()), "");
    remote.Reset();
    ASSERT_TRUE(Host.WaitCount("[Map] Disconnected: ", 1));
    EXPECT_EQ(Host.Lines(), (std::vector<std::string>{"[Map] Started", "[Map] Connected: " + peer,
                                                      "[Map] Disconnected: " + peer}));
    EXPECT_EQ(Counters(), (std::vector<int64_t>{0, 1, 0, 5, 5}));
}

TEST_F(PortMapperTCP, HalfClosedRequestStillGetsTheWholeAnswer) {
    Start();
    auto [client, remote] = Open();
    test::SendAll(client.Get(), "request");
    shutdown(client.Get(), SHUT_WR);
    EXPECT_EQ(test::ReadAll(remote.Get()), "request");
    const std::string answer = test::Pattern(300000);
    auto sender = std::async(std::launch::async, [&] {
        test::SendAll(remote.Get(), answer);
        remote.Reset();
    });
    EXPECT_TRUE(test::ReadAll(client.Get()) == answer);
    sender.get();
    EXPECT_TRUE(Host.WaitCount("[Map] Disconnected: ", 1));
}

TEST_F(PortMapperTCP, RemoteThatAnswersAndClosesAtOnceDeliversEverythingBeforeTheClose) {
    Start();
    auto [client, remote] = Open();
    const std::string answer = test::Pattern(1 << 20, 'A');
    // The remote writes and closes without waiting for anyone to read.
    auto sender = std::async(std::launch::async, [&] {
        test::SendAll(remote.Get(), answer);
        remote.Reset();
    });
    sender.get();
    EXPECT_TRUE(test::ReadAll(client.Get()) == answer);
    EXPECT_TRUE(test::WaitFor([&] { return Mapper.mTrafTotal == 1 << 20; }));
}

TEST_F(PortMapperTCP, BytesBeforeAResetArriveThenTheResetEachWay) {
    Start();
    const std::string bytes = test::RandomBytes(1000, 13);
    for (int round = 0; round < 10; ++round) {
        for (const bool fromRemote : {true, false}) {
            auto [client, remote] = Open();
            TFd& sender = fromRemote ? remote : client;
            TFd& reader = fromRemote ? client : remote;
            test::SendAll(sender.Get(), bytes);
            test::Reset(sender);
            const test::TStreamEnd seen = test::ReadToEnd(reader.Get());
            EXPECT_TRUE(seen.Data == bytes) << "round " << round << ": " << seen.Data.size();
            EXPECT_EQ(seen.Error, ECONNRESET) << "round " << round;
        }
    }
    // The end of a reset mapping is an end like any other.
    EXPECT_TRUE(Host.WaitCount("[Map] Disconnected: ", 20));
    EXPECT_TRUE(Idle());
}

TEST_F(PortMapperTCP, OutboundConnectionsLeaveFromTheOutgoingAddressOrThroughTheUpstream) {
    Mapper.mOutHost = "127.0.0.7";
    Start();
    {
        TFd client = test::Connect(Mapper.TCPPort());
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        ASSERT_TRUE(test::WaitFor([&] {
            pollfd pfd{Target.Get(), POLLIN, 0};
            return poll(&pfd, 1, 0) > 0;
        }));
        TFd remote(
            accept4(Target.Get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
        ASSERT_GE(remote.Get(), 0);
        EXPECT_EQ(ntohl(peer.sin_addr.s_addr), 0x7f000007u);
    }
    Mapper.Stop();
    // Through a SOCKS5 upstream, which is asked for the remote address and
    // then carries the bytes (here it answers them itself).
    TFd upstream = test::Listener();
    Mapper.mOutHost.clear();
    Mapper.mVia = "socks5://127.0.0.1:" + std::to_string(test::LocalPort(upstream.Get()));
    Start();
    TFd client = test::Connect(Mapper.TCPPort());
    TFd side = test::AcceptWithin(upstream.Get());
    ASSERT_GE(side.Get(), 0);
    // [5, 1, 0] -> [5, 0]; [5, CONNECT, 0, IPv4, 127.0.0.1, port] -> granted
    EXPECT_EQ(test::Recv(side.Get(), 3), std::string("\x05\x01\x00", 3));
    test::SendAll(side.Get(), std::string("\x05\x00", 2));
    const std::string request = test::Recv(side.Get(), 10);
    EXPECT_EQ(request.substr(0, 8), std::string("\x05\x01\x00\x01\x7f\x00\x00\x01", 8));
    EXPECT_EQ((uint8_t(request[8]) << 8 | uint8_t(request[9])), Mapper.mMapPort);
    test::SendAll(side.Get(), std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50", 10));
    test::SendAll(client.Get(), "ping");
    EXPECT_EQ(test::Recv(side.Get(), 4), "ping");
    test::SendAll(side.Get(), "pong");
    EXPECT_EQ(test::Recv(client.Get(), 4), "pong");
}

TEST_F(PortMapperTCP, RefusedClientIsClosedWithoutAnOutboundConnection) {
    std::atomic<bool> admit{false};
    Host.Admit = [&](const std::string&, int) { return admit.load(); };
    Start();
    TFd refused = test::Connect(Mapper.TCPPort());
    const std::string refusedPeer = Peer(refused);
    test::SendAll(refused.Get(), "must not pass");
    EXPECT_TRUE(test::PeerClosed(refused.Get()));
    ASSERT_TRUE(Idle());
    // The refused mapping has ended: any connect it made would be waiting.
    pollfd pending{Target.Get(), POLLIN, 0};
    EXPECT_EQ(poll(&pending, 1, 0), 0);

    admit = true;
    auto [client, remote] = Open();
    test::SendAll(client.Get(), "hello");
    char text[5];
    ASSERT_EQ(recv(remote.Get(), text, sizeof text, MSG_WAITALL), 5);
    EXPECT_EQ(std::string(text, 5), "hello");
    EXPECT_EQ(Host.Lines(),
              (std::vector<std::string>{"[Map] Started", "[Map] Denied: " + refusedPeer,
                                        "[Map] Connected: " + Peer(client)}));
    EXPECT_EQ(Counters(), (std::vector<int64_t>{1, 1, 1, 0, 0}));
    // The listen values of the question are the configured ones.
    EXPECT_EQ(Host.Asked().front(), "127.0.0.1 0");
}

TEST_F(PortMapperTCP, TwentyClientsRefusedAtOnceAreNeverLoggedAsDisconnected) {
    std::atomic<int> questions{0};
    Host.Admit = [&](const std::string&, int) { return questions++ == 0; };
    Start();
    auto [kept, keptRemote] = Open();
    ASSERT_TRUE(Host.WaitCount("[Map] Connected: ", 1));
    std::vector<TFd> refused;
    for (int i = 0; i < 20; ++i)
        refused.push_back(test::Connect(Mapper.TCPPort()));
    for (TFd& client : refused)
        EXPECT_TRUE(test::PeerClosed(client.Get()));
    ASSERT_TRUE(Host.WaitCount("[Map] Denied: ", 20));
    ASSERT_TRUE(test::WaitFor([&] { return Mapper.ConnectionCount() == 1; }));
    EXPECT_EQ(Host.Count("[Map] Disconnected: "), 0);
    EXPECT_EQ(Counters(), (std::vector<int64_t>{1, 1, 20, 0, 0}));
    // The admitted mapping is untouched.
    test::SendAll(keptRemote.Get(), "ok");
    char text[2];
    ASSERT_EQ(recv(kept.Get(), text, sizeof text, MSG_WAITALL), 2);
}

TEST_F(PortMapperTCP, DropCutsEveryLiveConnectionAndKeepsListening) {
    Start();
    std::vector<std::pair<TFd, TFd>> mappings;
    for (int i = 0; i < 3; ++i)
        mappings.push_back(Open());
    ASSERT_TRUE(Host.WaitCount("[Map] Connected: ", 3));
    // One client has sent its request with a half-close and waits for the
    // answer: its mapping is live all the same.
    shutdown(mappings[2].first.Get(), SHUT_WR);
    EXPECT_EQ(test::ReadAll(mappings[2].second.Get()), "");
    const size_t linesBefore = Host.Lines().size();

    const int64_t calls = SocketCallsDuringListWalks();
    Mapper.Drop();
    EXPECT_EQ(SocketCallsDuringListWalks(), calls) << "a socket call while the list was held";
    EXPECT_EQ(Mapper.mDrop, 3);
    for (auto& [client, remote] : mappings)
        EXPECT_TRUE(test::PeerClosed(client.Get()));
    ASSERT_TRUE(Host.WaitCount("[Map] Disconnected: ", 3));
    ASSERT_TRUE(Idle());
    EXPECT_EQ(Host.Lines().size(), linesBefore + 3); // no line of its own
    EXPECT_EQ(Mapper.mOnline, 0);
    EXPECT_EQ(Mapper.mDrop, 3);

    EXPECT_TRUE(Mapper.Listening());
    auto [client, remote] = Open();
    test::SendAll(client.Get(), "still");
    char text[5];
    ASSERT_EQ(recv(remote.Get(), text, sizeof text, MSG_WAITALL), 5);
}

TEST_F(PortMapperTCP, StopZeroesEverythingAndAStoppedMapperIgnoresStop) {
    Start();
    auto [client, remote] = Open();
    test::SendAll(remote.Get(), "abc");
    char text[3];
    ASSERT_EQ(recv(client.Get(), text, sizeof text, MSG_WAITALL), 3);
    // Counted once the block has been written whole, which may be after it arrived.
    ASSERT_TRUE(test::WaitFor([&] { return Mapper.mTrafTotal == 3; }));

    Mapper.Stop();
    EXPECT_FALSE(Mapper.Listening());
    EXPECT_EQ(Counters(), (std::vector<int64_t>{0, 0, 0, 0, 0}));
    EXPECT_TRUE(test::PeerClosed(client.Get()));
    EXPECT_EQ(Host.Count("[Map] Stopped"), 1);
    EXPECT_EQ(Host.Count("[Map] Disconnected: "), 1);

    // Counters of a stopped mapper stay as they are on a further Stop.
    Mapper.mOnTotal = 7;
    Mapper.Stop();
    EXPECT_EQ(Mapper.mOnTotal, 7);
    EXPECT_EQ(Host.Count("[Map] Stopped"), 1);
}

TEST_F(PortMapperTCP, TrafficWhileTheMonitorIsHiddenGrowsOnlyTheTotal) {
    Host.MonitorInFront = false;
    Start();
    auto [client, remote] = Open();
    test::SendAll(remote.Get(), "0123456789");
    test::SendAll(client.Get(), "up bytes are not counted");
    char text[10];
    ASSERT_EQ(recv(client.Get(), text, sizeof text, MSG_WAITALL), 10);
    EXPECT_TRUE(test::WaitFor([&] { return Mapper.mTrafTotal == 10; }));
    EXPECT_EQ(Mapper.mTraf, 0);
}

TEST_F(PortMapperTCP, FailedOutboundConnectIsLoggedAsConnectedThenDisconnected) {
    {
        TFd gone = test::Listener();
        Mapper.mMapPort = test::LocalPort(gone.Get());
    }
    Start();
    TFd client = test::Connect(Mapper.TCPPort());
    EXPECT_TRUE(test::PeerClosed(client.Get()));
    ASSERT_TRUE(Host.WaitCount("[Map] Disconnected: ", 1));
    EXPECT_EQ(Host.Count("[Map] Connected: "), 1);
    EXPECT_EQ(Counters(), (std::vector<int64_t>{0, 1, 0, 0, 0}));
}

TEST_F(PortMapperTCP, StartAfterAFailedStartSucceeds) {
    TFd occupant = test::Listener();
    const uint16_t port = test::LocalPort(occupant.Get());
    Mapper.mOwnPort = port;
    Mapper.Start();
    EXPECT_FALSE(Mapper.Listening());
    // Nothing was listening, so there is no "Stopped" line.
    EXPECT_EQ(Host.Lines(),
              (std::vector<std::string>{"[Map] Listen failed: 127.0.0.1:" + std::to_string(port)}));
    occupant.Reset();
    Mapper.Start();
    EXPECT_TRUE(Mapper.Listening());
    EXPECT_EQ(Mapper.TCPPort(), port);
    EXPECT_EQ(Host.Lines().back(), "[Map] Started");
    auto [client, remote] = Open();
    EXPECT_GE(remote.Get(), 0);
}

TEST(PortMapperLoop, TwoMappersAimedAtEachOtherDropTheLoopedTrafficOnce) {
    test::TRecordingHost host;
    TPortMapper a{host}, b{host};
    const uint16_t portA = test::FreePort(), portB = test::FreePort();
    test::Configure(a, "A", portB, true, true);
    test::Configure(b, "B", portA, true, true);
    a.mOwnPort = portA;
    b.mOwnPort = portB;
    a.Start();
    b.Start();
    ASSERT_TRUE(a.Listening() && b.Listening());

    // One datagram goes A -> B and no further: B knows A's address as the
    // gateway's own.
    TFd sender = test::UdpSocket();
    ASSERT_TRUE(test::SendDatagram(sender.Get(), portA, "ping"));
    ASSERT_TRUE(
        host.WaitCount("[B] Forwarding loop: dropped traffic from the gateway's own address", 1));
    EXPECT_TRUE(test::WaitFor([&] { return a.mOnTotal == 1 && b.mDrop == 1; }));
    ASSERT_TRUE(test::SendDatagram(sender.Get(), portA, "again"));
    EXPECT_TRUE(test::WaitFor([&] { return b.mDrop == 2; }));
    EXPECT_EQ(a.mOnTotal, 2);
    EXPECT_EQ(b.mOnTotal, 0);

    // A connection likewise ends after one hop instead of chaining on.
    TFd client = test::Connect(portA);
    EXPECT_TRUE(test::PeerClosed(client.Get()));
    client.Reset();
    EXPECT_TRUE(test::WaitFor([&] {
        return a.ConnectionCount() == 0 && b.ConnectionCount() == 0 && a.mDrop + b.mDrop == 3;
    }));
    // Logged once per start, however much comes round.
    EXPECT_EQ(host.Count("[B] Forwarding loop"), 1);
    EXPECT_LE(host.Count("[A] Forwarding loop"), 1);
    a.Stop();
    b.Stop();
}

} // namespace
} // namespace kestrune
