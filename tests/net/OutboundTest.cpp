// Outbound connects and the one-shot listen, both on an event loop.
#include "NetTestUtil.h"
#include "WaitFor.h"

#include "net/Exception.h"
#include "net/SimpleServer.h"
#include "net/TCPClient.h"

#include <gtest/gtest.h>

#include <optional>

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using test::MessageOf;
using test::OnLoop;
using test::TFd;
using TResult = TIdTCPClient::TIdConnectResult;

// A client on one loop, whose connect the test starts and waits for.
struct TOutbound {
    TIdEventLoop& Loop = TIdEventLoops::Next();
    std::unique_ptr<TIdTCPClient> Client = std::make_unique<TIdTCPClient>();
    std::promise<TResult> Done;
    std::future<TResult> Result = Done.get_future();
    std::atomic<int> Calls{0};

    ~TOutbound() {
        OnLoop(Loop, [this] { Client.reset(); });
    }
    void Start() {
        OnLoop(Loop, [this] {
            Client->Connect(Loop, [this](TResult AResult) {
                if (++Calls == 1)
                    Done.set_value(AResult);
            });
        });
    }
    std::optional<TResult> Wait(std::chrono::milliseconds ALimit = 5s) {
        if (Result.wait_for(ALimit) != std::future_status::ready)
            return std::nullopt;
        return Result.get();
    }
    TIdSocketHandle& Binding() { return Client->IOHandler()->Binding(); }
};

TEST(Outbound, ConnectChecksItsArgumentsAndState) {
    TOutbound out;
    auto connect = [&] { out.Client->Connect(out.Loop, [](TResult) {}); };
    EXPECT_EQ(OnLoop(out.Loop, [&] { return MessageOf<EIdHostRequired>(connect); }),
              "A Host is required");
    out.Client->Host = "127.0.0.1";
    EXPECT_EQ(OnLoop(out.Loop, [&] { return MessageOf<EIdPortRequired>(connect); }),
              "A Port is required");
    TFd listener = test::Listener();
    out.Client->Port = test::LocalPort(listener.Get());
    out.Start();
    EXPECT_EQ(out.Wait(), TIdTCPClient::crConnected);
    EXPECT_EQ(OnLoop(out.Loop, [&] { return MessageOf<EIdAlreadyConnected>(connect); }),
              "Already connected.");
}

TEST(Outbound, NamesAndLiteralsConnectFromTheRightAddress) {
    // "localhost" in any case is the IPv4 loopback first.
    {
        TFd listener = test::Listener();
        TOutbound out;
        out.Client->Host = "LocalHost";
        out.Client->Port = test::LocalPort(listener.Get());
        out.Start();
        ASSERT_EQ(out.Wait(), TIdTCPClient::crConnected);
        EXPECT_EQ(out.Binding().PeerIP, "127.0.0.1");
        EXPECT_EQ(out.Binding().PeerPort, out.Client->Port);
        EXPECT_EQ(out.Binding().IP, "127.0.0.1");
        EXPECT_NE(out.Binding().Port, 0);
        TFd accepted(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        OnLoop(out.Loop, [&] { out.Client->IOHandler()->Write(std::string("hi")); });
        EXPECT_EQ(test::ReadAll(accepted.Get(), 200), "hi");
    }
    // A bound address is the connection's own end.
    {
        TFd listener = test::Listener();
        TOutbound out;
        out.Client->Host = "127.0.0.1";
        out.Client->Port = test::LocalPort(listener.Get());
        out.Client->BoundIP = "127.0.0.7";
        out.Start();
        ASSERT_EQ(out.Wait(), TIdTCPClient::crConnected);
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        TFd accepted(
            accept4(listener.Get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        EXPECT_STREQ(text, "127.0.0.7");
        EXPECT_EQ(out.Binding().IP, "127.0.0.7");
    }
    TFd listener6 = test::Listener6();
    if (listener6.Get() < 0)
        GTEST_SKIP() << "no IPv6 loopback here";
    TOutbound out;
    out.Client->Host = "0:0:0:0:0:0:0:1";
    out.Client->Port = test::LocalPort(listener6.Get());
    out.Start();
    ASSERT_EQ(out.Wait(), TIdTCPClient::crConnected);
    EXPECT_EQ(out.Binding().PeerIP, "::1");
    EXPECT_EQ(out.Client->IPVersion, Id_IPv6);
}

TEST(Outbound, EveryAddressIsJudgedBeforeItIsTried) {
    TFd listener = test::Listener();
    const uint16_t port = test::LocalPort(listener.Get());
    std::vector<std::string> asked;
    // Every address turned down: nothing is tried.
    {
        TOutbound out;
        out.Client->Host = "localhost";
        out.Client->Port = port;
        out.Client->OnAddress = [&](const TIdResolvedAddress& AAddress) {
            asked.push_back(AAddress.IP);
            return false;
        };
        out.Start();
        EXPECT_EQ(out.Wait(), TIdTCPClient::crNotAllowed);
        EXPECT_EQ(asked, (std::vector<std::string>{"127.0.0.1", "::1"}));
        pollfd pfd{listener.Get(), POLLIN, 0};
        EXPECT_EQ(poll(&pfd, 1, 100), 0) << "a connect was attempted";
    }
    // A turned-down address is passed over for the next one.
    TFd listener6 = test::Listener6();
    if (listener6.Get() < 0)
        GTEST_SKIP() << "no IPv6 loopback here";
    TOutbound out;
    out.Client->Host = "localhost";
    out.Client->Port = test::LocalPort(listener6.Get());
    out.Client->OnAddress = [](const TIdResolvedAddress& AAddress) {
        return AAddress.IPVersion == Id_IPv6;
    };
    out.Start();
    ASSERT_EQ(out.Wait(), TIdTCPClient::crConnected);
    EXPECT_EQ(out.Binding().PeerIP, "::1");
}

TEST(Outbound, FailuresSayWhy) {
    // A label longer than 63 characters is refused before any query leaves.
    {
        TOutbound out;
        out.Client->Host = std::string(70, 'a') + ".example";
        out.Client->Port = 80;
        out.Client->ConnectTimeout = 10000;
        const auto start = std::chrono::steady_clock::now();
        out.Start();
        EXPECT_EQ(out.Wait(), TIdTCPClient::crNotFound);
        EXPECT_LT(test::MillisecondsSince(start), 2000);
        EXPECT_FALSE(out.Client->LastErrorText().empty());
    }
    uint16_t closedPort;
    {
        TFd listener = test::Listener();
        closedPort = test::LocalPort(listener.Get());
    }
    {
        TOutbound out;
        out.Client->Host = "127.0.0.1";
        out.Client->Port = closedPort;
        out.Start();
        EXPECT_EQ(out.Wait(), TIdTCPClient::crFailed);
        EXPECT_EQ(out.Client->LastError(), ECONNREFUSED);
    }
    // An address that is not the machine's own cannot be left from; nor can
    // one of the other family.
    for (const char* bound : {"192.0.2.1", "::1"}) {
        TFd listener = test::Listener();
        TOutbound out;
        out.Client->Host = "127.0.0.1";
        out.Client->Port = test::LocalPort(listener.Get());
        out.Client->BoundIP = bound;
        out.Start();
        EXPECT_EQ(out.Wait(), TIdTCPClient::crCannotBind) << bound;
    }
    test::TBlackhole blackhole;
    TOutbound out;
    out.Client->Host = "127.0.0.1";
    out.Client->Port = blackhole.Port;
    out.Client->ConnectTimeout = 200;
    const auto start = std::chrono::steady_clock::now();
    out.Start();
    EXPECT_EQ(out.Wait(), TIdTCPClient::crTimedOut);
    const auto waited = test::MillisecondsSince(start);
    EXPECT_GE(waited, 190);
    EXPECT_LT(waited, 2000);
}

TEST(Outbound, AbandonedConnectLeavesNothingAndNeverAnswers) {
    test::TBlackhole blackhole;
    TOutbound out;
    out.Client->Host = "127.0.0.1";
    out.Client->Port = blackhole.Port;
    const int before = test::OpenDescriptorCount();
    out.Start();
    // Under way: one socket of its own, no thread.
    EXPECT_TRUE(test::WaitFor([&] { return test::OpenDescriptorCount() == before + 1; }));
    OnLoop(out.Loop, [&] { out.Client->Abort(); });
    EXPECT_EQ(test::OpenDescriptorCount(), before);
    EXPECT_FALSE(out.Wait(200ms).has_value());
    EXPECT_EQ(out.Calls, 0);
}

// A one-shot listener on a loop, whose wait the test starts.
struct TOneShot {
    TIdEventLoop& Loop = TIdEventLoops::Next();
    std::unique_ptr<TIdSimpleServer> Server = std::make_unique<TIdSimpleServer>();
    std::promise<bool> Done;
    std::future<bool> Result = Done.get_future();
    ~TOneShot() {
        OnLoop(Loop, [this] { Server.reset(); });
    }
    void Listen(int ATimeout, TIdSimpleServer::TIdAdmitEvent AAdmit = nullptr) {
        OnLoop(Loop, [&] {
            Server->Listen(Loop, ATimeout, std::move(AAdmit),
                           [this](bool AAccepted) { Done.set_value(AAccepted); });
        });
    }
};

TEST(SimpleServer, AdmitsOnePeerThatItsCheckAllowsAndThenNobody) {
    TOneShot shot;
    shot.Server->BoundIP = "127.0.0.1";
    shot.Server->BeginListen();
    EXPECT_EQ(shot.Server->Binding().IP, "127.0.0.1");
    const TIdPort port = shot.Server->Binding().Port;
    ASSERT_NE(port, 0);
    std::atomic<int> asked{0};
    TFd refused = test::Connect(port);
    TFd second;
    shot.Listen(5000, [&](const TIdSocketHandle&) { return ++asked > 1; });
    ASSERT_TRUE(test::WaitFor([&] { return asked == 1; }));
    EXPECT_TRUE(test::PeerClosed(refused.Get()));
    second = test::Connect(port);
    ASSERT_EQ(shot.Result.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(shot.Result.get());
    TIdSocketHandle& accepted = shot.Server->Socket()->Binding();
    EXPECT_EQ(accepted.PeerIP, "127.0.0.1");
    EXPECT_EQ(accepted.PeerPort, test::LocalPort(second.Get()));
    // The listening socket is gone: nobody else gets in.
    EXPECT_EQ(test::Connect(port).Get(), -1);
}

TEST(SimpleServer, ListenTimesOutOrIsAbandonedLeavingNoSocket) {
    TIdEventLoops::Count(); // the loops' own descriptors are not the listener's
    const int before = test::OpenDescriptorCount();
    {
        TOneShot shot;
        shot.Server->BeginListen();
        const TIdPort port = shot.Server->Binding().Port;
        const auto start = std::chrono::steady_clock::now();
        shot.Listen(200);
        ASSERT_EQ(shot.Result.wait_for(5s), std::future_status::ready);
        EXPECT_FALSE(shot.Result.get());
        EXPECT_GE(test::MillisecondsSince(start), 190);
        EXPECT_EQ(test::Connect(port).Get(), -1);
    }
    {
        TOneShot shot;
        shot.Server->BeginListen();
        shot.Listen(-1);
        OnLoop(shot.Loop, [&] { shot.Server->Abort(); });
        EXPECT_EQ(shot.Result.wait_for(100ms), std::future_status::timeout);
    }
    EXPECT_EQ(test::OpenDescriptorCount(), before);
}

} // namespace
} // namespace kestrune
