// The request exchange of the SOCKS server, byte for byte, with raw sockets.
#include "ProxyTestUtil.h"

#include "proxy/SocksServer.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using test::Hex;
using test::PortBytes;
using test::TFd;
using test::ToHex;

struct TSocksRig {
    TSocksRig() {
        TIdSocketHandle& binding = Server.Bindings.Add();
        binding.IP = "127.0.0.1";
        binding.Port = 0;
    }
    void Start() {
        Server.SetActive(true);
        Port = Server.Bindings[0].Port;
    }
    TFd Client() { return test::Connect(Port); }
    // Sends ARequest and reads ACount reply bytes.
    std::string Ask(int AFd, const std::string& ARequest, size_t ACount) {
        test::SendAll(AFd, ARequest);
        return test::Recv(AFd, ACount);
    }

    TIdSocksServer Server;
    TIdPort Port = 0;
};

// [ver=5, cmd, rsv, atyp=1, 127.0.0.1, port]
std::string Socks5Request(uint8_t ACommand, uint16_t APort) {
    return Hex("05") + static_cast<char>(ACommand) + Hex("00 01 7f 00 00 01") + PortBytes(APort);
}

// [ver=4, cmd, port, 127.0.0.1] "user" NUL
std::string Socks4Request(uint8_t ACommand, uint16_t APort, const std::string& AUser = "user") {
    return Hex("04") + static_cast<char>(ACommand) + PortBytes(APort) + Hex("7f 00 00 01") + AUser +
           std::string(1, '\0');
}

TEST(SocksProtocol, VersionNotAllowedIsClosedWithoutAnyReplyByte) {
    TSocksRig rig;
    rig.Server.AllowSocks4 = false;
    rig.Server.OnAuthenticate = [](TIdSocksServerContext&, bool&) {};
    rig.Start();
    {
        TFd client = rig.Client();
        test::SendAll(client.Get(), Socks4Request(1, 80));
        EXPECT_TRUE(test::PeerClosed(client.Get()));
    }
    {
        TFd client = rig.Client();
        test::SendAll(client.Get(), Hex("07 01 00"));
        EXPECT_TRUE(test::PeerClosed(client.Get()));
    }
    rig.Server.SetActive(false);
    rig.Server.Bindings[0].Port = 0;
    rig.Server.AllowSocks4 = true;
    rig.Server.AllowSocks5 = false;
    rig.Start();
    TFd client = rig.Client();
    test::SendAll(client.Get(), Hex("05 01 00"));
    EXPECT_TRUE(test::PeerClosed(client.Get()));
}

TEST(SocksProtocol, MethodNegotiation) {
    TSocksRig rig;
    rig.Start();
    {
        // Without authentication 00 is chosen whatever is offered: [5, 1, 02]
        TFd client = rig.Client();
        EXPECT_EQ(ToHex(rig.Ask(client.Get(), Hex("05 01 02"), 2)), "05 00");
    }
    {
        // [5, 0]: no method offered at all
        TFd client = rig.Client();
        EXPECT_EQ(ToHex(rig.Ask(client.Get(), Hex("05 00"), 2)), "05 00");
    }
    rig.Server.SetActive(false);
    rig.Server.Bindings[0].Port = 0;
    rig.Server.NeedsAuthentication = true;
    rig.Start();
    TFd client = rig.Client();
    // Authentication needed, only 00 offered: 05 FF and the end.
    EXPECT_EQ(ToHex(rig.Ask(client.Get(), Hex("05 01 00"), 2)), "05 ff");
    EXPECT_TRUE(test::PeerClosed(client.Get()));
}

TEST(SocksProtocol, UserNameAndPasswordSubNegotiation) {
    TSocksRig rig;
    rig.Server.NeedsAuthentication = true;
    std::mutex lock;
    std::vector<std::string> seen;
    rig.Server.OnAuthenticate = [&](TIdSocksServerContext& AContext, bool& AAuthenticated) {
        std::lock_guard<std::mutex> guard(lock);
        seen.push_back(AContext.Username() + "/" + AContext.Password());
        AAuthenticated = AContext.Username() == "alice" && AContext.Password() == "s3cret";
    };
    rig.Start();
    test::TLoopbackServer echo(test::Echo);
    {
        TFd client = rig.Client();
        EXPECT_EQ(ToHex(rig.Ask(client.Get(), Hex("05 02 00 02"), 2)), "05 02");
        // [ver=1, ulen=5] alice [plen=6] s3cret
        EXPECT_EQ(ToHex(rig.Ask(client.Get(), Hex("01 05") + "alice" + Hex("06") + "s3cret", 2)),
                  "01 00");
        EXPECT_EQ(rig.Ask(client.Get(), Socks5Request(1, echo.Port), 10).substr(0, 2),
                  Hex("05 00"));
        EXPECT_EQ(rig.Ask(client.Get(), "ping", 4), "ping");
    }
    {
        TFd client = rig.Client();
        EXPECT_EQ(ToHex(rig.Ask(client.Get(), Hex("05 01 02"), 2)), "05 02");
        EXPECT_EQ(ToHex(rig.Ask(client.Get(), Hex("01 05") + "alice" + Hex("05") + "wrong", 2)),
                  "01 01");
        EXPECT_TRUE(test::PeerClosed(client.Get()));
    }
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(seen, (std::vector<std::string>{"alice/s3cret", "alice/wrong"}));
}

TEST(SocksProtocol, NoAuthenticationHandlerRefusesEveryLogin) {
    TSocksRig rig;
    rig.Server.NeedsAuthentication = true;
    rig.Start();
    TFd client = rig.Client();
    EXPECT_EQ(ToHex(rig.Ask(client.Get(), Hex("05 01 02"), 2)), "05 02");
    EXPECT_EQ(ToHex(rig.Ask(client.Get(), Hex("01 01 61 01 62"), 2)), "01 01");
    TFd socks4 = rig.Client();
    EXPECT_EQ(ToHex(rig.Ask(socks4.Get(), Socks4Request(1, 80), 8)), "00 5d 00 00 00 00 00 00");
    EXPECT_TRUE(test::PeerClosed(socks4.Get()));
}

TEST(SocksProtocol, RefusedRequestsAreAnsweredAndClosed) {
    TSocksRig rig;
    rig.Server.OnAuthenticate = [](TIdSocksServerContext&, bool&) {};
    rig.Start();
    struct TCase {
        const char* Name;
        std::string Request;
        std::string Reply;
    };
    const uint16_t closed = test::ClosedPort();
    const std::vector<TCase> cases = {
        {"bad ATYP", Hex("05 01 00 05 01 00 09 01 02 03 04 00 50"),
         "05 00 05 08 00 01 00 00 00 00 00 00"},
        {"UDP ASSOCIATE", Hex("05 01 00") + Socks5Request(3, 80),
         "05 00 05 07 00 01 00 00 00 00 00 00"},
        {"SOCKS4 command 3", Socks4Request(3, 80), "00 5d 00 00 00 00 00 00"},
        {"SOCKS5 closed port", Hex("05 01 00") + Socks5Request(1, closed),
         "05 00 05 04 00 01 00 00 00 00 00 00"},
        {"SOCKS4 closed port", Socks4Request(1, closed), "00 5b 00 00 00 00 00 00"},
        {"SOCKS5 port 0", Hex("05 01 00") + Socks5Request(1, 0),
         "05 00 05 04 00 01 00 00 00 00 00 00"},
        {"SOCKS5 empty name", Hex("05 01 00 05 01 00 03 00 00 50"),
         "05 00 05 04 00 01 00 00 00 00 00 00"},
    };
    for (const TCase& item : cases) {
        SCOPED_TRACE(item.Name);
        TFd client = rig.Client();
        test::SendAll(client.Get(), item.Request);
        // Everything up to the end of the stream: the method reply where there
        // is one, the refusal, and nothing after it.
        EXPECT_EQ(ToHex(test::ReadAll(client.Get())), item.Reply);
    }
}

TEST(SocksProtocol, UnresolvableNameFailsAtOnceInBothVersions) {
    TSocksRig rig;
    rig.Server.OnAuthenticate = [](TIdSocksServerContext&, bool&) {};
    rig.Start();
    // A label over 63 characters: refused by the resolver before any query.
    const std::string name = std::string(70, 'x') + ".invalid";
    const auto start = std::chrono::steady_clock::now();
    {
        TFd client = rig.Client();
        test::SendAll(client.Get(), Hex("05 01 00 05 01 00 03") + static_cast<char>(name.size()) +
                                        name + PortBytes(80));
        EXPECT_EQ(ToHex(test::ReadAll(client.Get())), "05 00 05 04 00 01 00 00 00 00 00 00");
    }
    {
        // SOCKS4a: DSTIP 0.0.0.1, then the user id and the name
        TFd client = rig.Client();
        test::SendAll(client.Get(), Hex("04 01 00 50 00 00 00 01") + "u" + std::string(1, '\0') +
                                        name + std::string(1, '\0'));
        EXPECT_EQ(ToHex(test::ReadAll(client.Get())), "00 5b 00 00 00 00 00 00");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(SocksProtocol, UserIdLongerThanTheLineLimitIsClosedWithoutReply) {
    TSocksRig rig;
    rig.Server.OnAuthenticate = [](TIdSocksServerContext&, bool&) {};
    rig.Start();
    const uint16_t closed = test::ClosedPort();
    {
        TFd client = rig.Client();
        test::SendAll(client.Get(), Socks4Request(1, closed, std::string(16385, 'u')));
        EXPECT_TRUE(test::PeerClosed(client.Get()));
    }
    {
        // Exactly at the limit the request is served (and fails at the connect).
        TFd client = rig.Client();
        test::SendAll(client.Get(), Socks4Request(1, closed, std::string(16384, 'u')));
        EXPECT_EQ(ToHex(test::ReadAll(client.Get())), "00 5b 00 00 00 00 00 00");
    }
}

TEST(SocksProtocol, ConnectRepliesWithTheGatewaysOwnEnd) {
    TSocksRig rig;
    std::mutex lock;
    std::vector<std::string> users;
    rig.Server.OnAuthenticate = [&](TIdSocksServerContext& AContext, bool&) {
        std::lock_guard<std::mutex> guard(lock);
        users.push_back(AContext.Username() + "|" + AContext.Password());
    };
    rig.Start();
    std::atomic<int> targetPeerPort{0};
    test::TLoopbackServer target([&](int AFd) {
        targetPeerPort = test::PeerPort(AFd);
        test::Echo(AFd);
    });
    {
        // ATYP 3 "localhost": the reply's ATYP is 1, never 3.
        TFd client = rig.Client();
        EXPECT_EQ(rig.Ask(client.Get(), Hex("05 01 00"), 2), Hex("05 00"));
        const std::string reply =
            rig.Ask(client.Get(), Hex("05 01 00 03 09") + "LocalHost" + PortBytes(target.Port), 10);
        ASSERT_TRUE(test::WaitFor([&] { return targetPeerPort != 0; }));
        EXPECT_EQ(ToHex(reply), "05 00 00 01 7f 00 00 01 " +
                                    ToHex(PortBytes(static_cast<uint16_t>(targetPeerPort))));
        EXPECT_EQ(rig.Ask(client.Get(), "hello", 5), "hello");
    }
    targetPeerPort = 0;
    {
        // SOCKS4a: DSTIP 0.0.0.1, user id "bob", host name "localhost"
        TFd client = rig.Client();
        const std::string reply =
            rig.Ask(client.Get(),
                    Hex("04 01") + PortBytes(target.Port) + Hex("00 00 00 01") + "bob" +
                        std::string(1, '\0') + "localhost" + std::string(1, '\0') + "early",
                    8);
        ASSERT_TRUE(test::WaitFor([&] { return targetPeerPort != 0; }));
        EXPECT_EQ(ToHex(reply), "00 5a " + ToHex(PortBytes(static_cast<uint16_t>(targetPeerPort))) +
                                    " 7f 00 00 01");
        // Bytes sent right behind the request are relayed, not lost.
        EXPECT_EQ(test::Recv(client.Get(), 5), "early");
    }
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(users, std::vector<std::string>{"bob|"});
}

TEST(SocksProtocol, Socks5OverIPv6RepliesWithAddressType4) {
    TFd probe = test::Listener6();
    if (probe.Get() < 0)
        GTEST_SKIP() << "no IPv6 loopback";
    const uint16_t port = test::LocalPort(probe.Get());
    TSocksRig rig;
    rig.Start();
    TFd client = rig.Client();
    EXPECT_EQ(rig.Ask(client.Get(), Hex("05 01 00"), 2), Hex("05 00"));
    const std::string reply = rig.Ask(
        client.Get(), Hex("05 01 00 04") + std::string(15, '\0') + Hex("01") + PortBytes(port), 22);
    TFd accepted(accept4(probe.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    sockaddr_in6 peer{};
    socklen_t length = sizeof peer;
    getpeername(accepted.Get(), reinterpret_cast<sockaddr*>(&peer), &length);
    EXPECT_EQ(ToHex(reply), "05 00 00 04 " + ToHex(std::string(15, '\0') + Hex("01")) + " " +
                                ToHex(PortBytes(ntohs(peer.sin6_port))));
}

TEST(SocksProtocol, NamesWithOnlyAnIPv6AddressAreConnectedInBothVersions) {
    TFd target = test::Listener6();
    if (target.Get() < 0)
        GTEST_SKIP() << "no IPv6 loopback";
    const uint16_t port = test::LocalPort(target.Get());
    test::TIPv6OnlyNameServer names("::1");
    TSocksRig rig;
    rig.Server.OnAuthenticate = [](TIdSocksServerContext&, bool& AAuthenticated) {
        AAuthenticated = true;
    };
    rig.Start();
    const auto accepted = [&] { return test::AcceptWithin(target.Get()); };
    const std::string name = "six.kestrune.test";

    TFd five = rig.Client();
    EXPECT_EQ(rig.Ask(five.Get(), Hex("05 01 00"), 2), Hex("05 00"));
    // [5, CONNECT, 0, DOMAIN] len name port: the reply names the IPv6 end
    const std::string reply =
        rig.Ask(five.Get(),
                Hex("05 01 00 03") + static_cast<char>(name.size()) + name + PortBytes(port), 22);
    EXPECT_EQ(ToHex(reply.substr(0, 20)),
              "05 00 00 04 " + ToHex(std::string(15, '\0') + Hex("01")));
    EXPECT_GE(accepted().Get(), 0);

    TFd four = rig.Client();
    // [4, CONNECT, port, 0.0.0.1] "" NUL name NUL: granted, no IPv4 address to name
    const std::string granted = rig.Ask(
        four.Get(), Hex("04 01") + PortBytes(port) + Hex("00 00 00 01 00") + name + '\0', 8);
    ASSERT_EQ(granted.size(), 8u);
    EXPECT_EQ(ToHex(granted.substr(0, 2) + granted.substr(4)), "00 5a 00 00 00 00");
    EXPECT_GE(accepted().Get(), 0);
}

TEST(SocksProtocol, RequestMustBeCompleteWithinTheLimit) {
    TSocksRig rig;
    rig.Server.RequestTimeout = 300;
    rig.Start();
    test::TLoopbackServer echo(test::Echo);
    const auto start = std::chrono::steady_clock::now();
    TFd silent = rig.Client();
    TFd partial = rig.Client();
    // Greeting answered, then the request never completes.
    EXPECT_EQ(rig.Ask(partial.Get(), Hex("05 01 00 05 01"), 2), Hex("05 00"));
    EXPECT_TRUE(test::PeerClosed(silent.Get()));
    EXPECT_TRUE(test::PeerClosed(partial.Get()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

    // An established relay has no idle limit.
    TFd relayed = rig.Client();
    EXPECT_EQ(
        rig.Ask(relayed.Get(), Hex("05 01 00") + Socks5Request(1, echo.Port), 12).substr(2, 2),
        Hex("05 00"));
    pollfd pfd{relayed.Get(), POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 800), 0) << "the idle relay was ended";
    EXPECT_EQ(rig.Ask(relayed.Get(), "still", 5), "still");
}

TEST(SocksProtocol, EffectiveBufferSizeIsClamped) {
    TIdSocksServer server;
    const std::vector<std::pair<int, size_t>> cases = {{0, 4096},          {1024, 4096},
                                                       {4096, 4096},       {65536, 65536},
                                                       {4194304, 4194304}, {8388608, 4194304}};
    for (const auto& [given, expected] : cases) {
        server.BufferSize = given;
        EXPECT_EQ(server.EffectiveBufferSize(), expected) << given;
    }
}

} // namespace
} // namespace kestrune
