// Outbound connect and the one-shot listen.
#include "NetTestUtil.h"
#include "WaitFor.h"

#include "net/CustomTCPServer.h"
#include "net/Exception.h"
#include "net/SimpleServer.h"
#include "net/TCPClient.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using test::MessageOf;
using test::TFd;

TEST(Outbound, ConnectChecksItsArgumentsAndState) {
    TIdTCPClient client;
    EXPECT_EQ(MessageOf<EIdHostRequired>([&] { client.Connect(); }), "A Host is required");
    client.Host = "127.0.0.1";
    EXPECT_EQ(MessageOf<EIdPortRequired>([&] { client.Connect(); }), "A Port is required");

    TFd listener = test::Listener();
    client.Port = test::LocalPort(listener.Get());
    client.Connect();
    EXPECT_EQ(MessageOf<EIdAlreadyConnected>([&] { client.Connect(); }), "Already connected.");
}

TEST(Outbound, LocalhostInAnyCaseConnectsToTheIPv4Loopback) {
    TFd listener = test::Listener();
    TIdTCPClient client;
    client.Host = "LocalHost";
    client.Port = test::LocalPort(listener.Get());
    client.Connect();
    EXPECT_TRUE(client.Connected());
    EXPECT_EQ(client.Socket()->Binding().PeerIP, "127.0.0.1");
    EXPECT_EQ(client.Socket()->Binding().PeerPort, client.Port);
    EXPECT_EQ(client.Socket()->Binding().IP, "127.0.0.1");
    EXPECT_NE(client.Socket()->Binding().Port, 0);

    TFd accepted(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    client.Socket()->Write(std::string("hi"));
    EXPECT_EQ(test::ReadAll(accepted.Get(), 200), "hi");
}

TEST(Outbound, IPv6LiteralsAreUsedAsGiven) {
    TFd listener = test::Listener6();
    if (listener.Get() < 0)
        GTEST_SKIP() << "no IPv6 loopback here";
    TIdTCPClient client;
    client.IPVersion = Id_IPv6;
    client.Host = "0:0:0:0:0:0:0:1";
    client.Port = test::LocalPort(listener.Get());
    client.Connect();
    EXPECT_EQ(client.Socket()->Binding().PeerIP, "::1");
}

TEST(Outbound, FailuresAreSocketErrorsOrTimeOuts) {
    // A label longer than 63 characters is refused before any query leaves.
    TIdTCPClient unresolvable;
    unresolvable.Host = std::string(70, 'a') + ".example";
    unresolvable.Port = 80;
    unresolvable.ConnectTimeout = 10000;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(
        MessageOf<EIdSocketError>([&] { unresolvable.Connect(); }).rfind("Socket Error # ", 0), 0u);
    EXPECT_LT(test::MillisecondsSince(start), 2000);
    EXPECT_FALSE(unresolvable.Connected());

    uint16_t closedPort;
    {
        TFd listener = test::Listener();
        closedPort = test::LocalPort(listener.Get());
    }
    TIdTCPClient refused;
    refused.Host = "127.0.0.1";
    refused.Port = closedPort;
    try {
        refused.Connect();
        FAIL() << "connected to a closed port";
    } catch (const EIdSocketError& error) {
        EXPECT_EQ(error.LastError(), ECONNREFUSED);
        EXPECT_EQ(std::string(error.what()), "Socket Error # " + std::to_string(ECONNREFUSED) +
                                                 "\r\n" + std::strerror(ECONNREFUSED));
    }

    test::TBlackhole blackhole;
    TIdTCPClient silent;
    silent.Host = "127.0.0.1";
    silent.Port = blackhole.Port;
    silent.ConnectTimeout = 200;
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(MessageOf<EIdConnectTimeout>([&] { silent.Connect(); }), "Connect timed out.");
    const auto waited = test::MillisecondsSince(start);
    EXPECT_GE(waited, 190);
    EXPECT_LT(waited, 2000);
    EXPECT_FALSE(silent.Connected());
}

TEST(Outbound, ConnectInProgressEndsOnDisconnectOrWakeUp) {
    test::TBlackhole blackhole;
    for (const bool byWakeUp : {false, true}) {
        TIdTCPClient client;
        client.Host = "127.0.0.1";
        client.Port = blackhole.Port;
        auto wakeUp = std::make_shared<TIdWakeUp>();
        client.SetWakeUp(wakeUp);
        std::string message;
        test::TBlockedThread connecting([&] {
            try {
                client.Connect();
            } catch (const EIdException& error) {
                message = error.what();
            }
        });
        const auto start = std::chrono::steady_clock::now();
        if (byWakeUp)
            wakeUp->Signal();
        else
            client.Disconnect();
        ASSERT_TRUE(test::WaitFor([&] { return connecting.Done(); }, 2s));
        EXPECT_LT(test::MillisecondsSince(start), 1000);
        EXPECT_EQ(message, "Socket Error # " + std::to_string(ECONNABORTED) + "\r\n" +
                               std::strerror(ECONNABORTED));
    }
}

TEST(SimpleServer, ListensOnceAndAcceptsOnePeer) {
    TIdSimpleServer server;
    server.BeginListen();
    EXPECT_EQ(server.Binding().IP, "0.0.0.0");
    const TIdPort port = server.Binding().Port;
    ASSERT_NE(port, 0);

    TFd peer = test::Connect(port);
    server.Listen(5000);
    EXPECT_EQ(server.Socket()->Binding().PeerIP, "127.0.0.1");
    EXPECT_EQ(server.Socket()->Binding().PeerPort, test::LocalPort(peer.Get()));
    test::SendAll(peer.Get(), "bound\n");
    EXPECT_EQ(server.Socket()->ReadLn(), "bound");
    EXPECT_TRUE(server.Connected());

    // The listening socket is gone: nobody else gets in.
    EXPECT_EQ(test::Connect(port).Get(), -1);
}

TEST(SimpleServer, ListenTimesOutOrEndsOnAbortLeavingNoSocket) {
    const int before = test::OpenDescriptorCount();
    {
        TIdSimpleServer server;
        server.BeginListen();
        const TIdPort port = server.Binding().Port;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(MessageOf<EIdAcceptTimeout>([&] { server.Listen(200); }), "Accept timed out.");
        EXPECT_GE(test::MillisecondsSince(start), 190);
        EXPECT_EQ(test::Connect(port).Get(), -1);
        EXPECT_FALSE(server.Connected());
    }
    EXPECT_EQ(test::OpenDescriptorCount(), before);

    TIdSimpleServer waiting;
    waiting.BeginListen();
    std::string message;
    test::TBlockedThread listening([&] {
        try {
            waiting.Listen(-1);
        } catch (const EIdException& error) {
            message = error.what();
        }
    });
    waiting.Abort();
    EXPECT_TRUE(test::WaitFor([&] { return listening.Done(); }, 2s));
    EXPECT_EQ(message, "Accept timed out.");
}

TEST(SimpleServer, StopOfTheServerWakesAListenOnItsConnectionThread) {
    TIdCustomTCPServer server;
    server.Bindings.Add().IP = "127.0.0.1";
    std::atomic<bool> listening{false};
    std::string message;
    server.OnExecute = [&](TIdContext&) {
        TIdSimpleServer bind;
        bind.BeginListen();
        listening = true;
        try {
            bind.Listen(120000);
        } catch (const EIdException& error) {
            message = error.what();
            throw;
        }
    };
    server.SetActive(true);
    TFd client = test::Connect(server.Bindings[0].Port);
    ASSERT_TRUE(test::WaitFor([&] { return listening.load(); }));
    const auto start = std::chrono::steady_clock::now();
    server.SetActive(false);
    EXPECT_LT(test::MillisecondsSince(start), 1000);
    EXPECT_EQ(message, "Accept timed out.");
}

} // namespace
} // namespace kestrune
