// The proxy server service: access check, counters, log lines, Drop and Stop.
#include "ProxyTestUtil.h"

#include "proxy/ProxyServer.h"

#include <gtest/gtest.h>

#include <future>

#include <sys/resource.h>
#include <sys/wait.h>

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using test::Hex;
using test::PortBytes;
using test::TFd;
using test::ToHex;

struct TServiceRig {
    TServiceRig() : Service(Host) {
        Service.mName = "Office";
        Service.mHost = "127.0.0.1";
        Service.mPort = 0;
        Service.mFive = true;
        Service.mFour = false;
    }
    void Start() {
        Service.Start();
        ASSERT_TRUE(Service.Listening());
        Port = Service.BoundPort();
    }
    TFd Client() { return test::Connect(Port); }
    // A SOCKS5 client through the greeting and a CONNECT to 127.0.0.1:APort.
    TFd Relayed(uint16_t APort) {
        TFd client = Client();
        test::SendAll(client.Get(), Hex("05 01 00 05 01 00 01 7f 00 00 01") + PortBytes(APort));
        EXPECT_EQ(test::Recv(client.Get(), 12).substr(0, 4), Hex("05 00 05 00"));
        return client;
    }
    std::string Line(const std::string& AText, int AFd) const {
        return "[Office] " + AText + ": 127.0.0.1:" + std::to_string(test::LocalPort(AFd));
    }

    test::TRecorderHost Host;
    TProxyServer Service;
    uint16_t Port = 0;
};

TEST(ProxyServer, StartConnectDisconnectStopLogLinesAndCounters) {
    TServiceRig rig;
    rig.Start();
    test::TLoopbackServer echo(test::Echo);
    std::string connected, disconnected;
    {
        TFd client = rig.Relayed(echo.Port);
        connected = rig.Line("Connected", client.Get());
        disconnected = rig.Line("Disconnected", client.Get());
        EXPECT_EQ(rig.Service.mOnline, 1);
        EXPECT_EQ(rig.Service.mOnTotal, 1);
    }
    ASSERT_TRUE(test::WaitFor([&] { return rig.Service.mOnline == 0; }));
    ASSERT_TRUE(test::WaitFor([&] { return rig.Host.Has(disconnected); }));
    rig.Service.Stop();
    EXPECT_FALSE(rig.Service.Listening());
    EXPECT_EQ(rig.Host.Lines(), (std::vector<std::string>{"[Office] Started", connected,
                                                          disconnected, "[Office] Stopped"}));
    EXPECT_EQ(rig.Service.mOnTotal, 0);
    rig.Service.Stop(); // a stopped service: nothing more
    rig.Service.Drop();
    EXPECT_EQ(rig.Host.Lines().size(), 4u);
}

TEST(ProxyServer, DeniedClientGetsNoByteAndItsRequestIsNeverServed) {
    TServiceRig rig;
    test::TLoopbackServer echo(test::Echo);
    // The access check waits until the client's whole request is on the wire,
    // so that a server that read it could still serve it.
    std::promise<void> requestSent;
    std::shared_future<void> sent = requestSent.get_future().share();
    std::atomic<int> asked{0};
    rig.Host.SetRule([&](const std::string& AOwnHost, const std::string&, int AOwnPort, int) {
        EXPECT_EQ(AOwnHost, "127.0.0.1");
        EXPECT_EQ(AOwnPort, 0);
        if (++asked == 1)
            sent.wait_for(5s);
        return false;
    });
    rig.Start();
    TFd client = rig.Client();
    test::SendAll(client.Get(), Hex("05 01 00 05 01 00 01 7f 00 00 01") + PortBytes(echo.Port));
    requestSent.set_value();
    EXPECT_TRUE(test::PeerClosed(client.Get()));
    ASSERT_TRUE(test::WaitFor([&] { return rig.Host.Count("Denied") == 1; }));
    ASSERT_TRUE(test::WaitFor([&] { return rig.Service.mDrop == 1; }));
    EXPECT_TRUE(rig.Host.Has(rig.Line("Denied", client.Get())));
    EXPECT_EQ(echo.Accepted, 0);
    EXPECT_EQ(rig.Service.mOnline, 0);
    EXPECT_EQ(rig.Service.mOnTotal, 0);
    EXPECT_EQ(rig.Service.mDrop, 1);
}

TEST(ProxyServer, EveryDeniedConnectionsEndIsRecognised) {
    TServiceRig rig;
    test::TLoopbackServer echo(test::Echo);
    // Several denials overlap with one admitted client; only the admitted one
    // is disconnected, and mOnline never leaves 0 .. 1.
    rig.Host.SetRule([](const std::string&, const std::string&, int, int ARemPort) {
        return ARemPort % 4 == 0;
    });
    rig.Start();
    std::vector<TFd> denied, admitted;
    for (int i = 0; i < 64 && (denied.size() < 6 || admitted.empty()); ++i) {
        TFd client = rig.Client();
        (test::LocalPort(client.Get()) % 4 == 0 ? admitted : denied).push_back(std::move(client));
    }
    ASSERT_FALSE(admitted.empty());
    for (TFd& client : denied)
        EXPECT_TRUE(test::PeerClosed(client.Get()));
    test::SendAll(admitted[0].Get(),
                  Hex("05 01 00 05 01 00 01 7f 00 00 01") + PortBytes(echo.Port));
    EXPECT_EQ(test::Recv(admitted[0].Get(), 12).substr(0, 4), Hex("05 00 05 00"));
    const auto online = static_cast<int64_t>(admitted.size());
    EXPECT_TRUE(test::WaitFor([&] { return rig.Service.mOnline == online; }));
    admitted.clear();
    ASSERT_TRUE(test::WaitFor([&] { return rig.Service.mOnline == 0; }));
    ASSERT_TRUE(test::WaitFor([&] { return rig.Host.Count("Disconnected") == online; }))
        << ::testing::PrintToString(rig.Host.Lines());
    EXPECT_EQ(rig.Host.Count("Denied"), static_cast<int>(denied.size()));
    EXPECT_EQ(rig.Service.mDrop, static_cast<int64_t>(denied.size()));
    EXPECT_EQ(rig.Service.mOnTotal, online);
    rig.Service.Stop();
    EXPECT_EQ(rig.Host.Count("Disconnected"), online);
}

TEST(ProxyServer, FailedSocks5LoginIsLoggedWithTheOfferedNameOnly) {
    TServiceRig rig;
    rig.Service.mUser = "alice";
    rig.Service.mPass = "s3cret";
    rig.Start();
    TFd client = rig.Client();
    // [5, 1, 02] [1, 5] alice [6] S3cret
    test::SendAll(client.Get(), Hex("05 01 02 01 05") + "alice" + Hex("06") + "S3cret");
    EXPECT_EQ(ToHex(test::ReadAll(client.Get())), "05 02 01 01");
    // The offered name is logged, the offered password never.
    const std::string failed = "[Office] Authentication failed: 127.0.0.1:" +
                               std::to_string(test::LocalPort(client.Get())) + " @ alice";
    ASSERT_TRUE(test::WaitFor([&] { return rig.Host.Count("Disconnected") == 1; }));
    EXPECT_TRUE(rig.Host.Has(failed));
    EXPECT_EQ(rig.Host.Count("S3cret"), 0);
    EXPECT_EQ(rig.Service.mOnTotal, 1);
    EXPECT_EQ(rig.Service.mDrop, 1);
    EXPECT_EQ(rig.Service.mOnline, 0);

    test::TLoopbackServer echo(test::Echo);
    TFd good = rig.Client();
    test::SendAll(good.Get(), Hex("05 01 02 01 05") + "alice" + Hex("06") + "s3cret" +
                                  Hex("05 01 00 01 7f 00 00 01") + PortBytes(echo.Port));
    EXPECT_EQ(test::Recv(good.Get(), 8).substr(0, 6), Hex("05 02 01 00 05 00"));
    EXPECT_TRUE(rig.Host.Has(rig.Line("Authenticated", good.Get())));
    EXPECT_EQ(rig.Service.mDrop, 1);
}

TEST(ProxyServer, NamesFromClientsAreLoggedEscapedOnALineOfTheirOwn) {
    TServiceRig rig;
    rig.Service.mFour = true;
    rig.Service.mUser = "alice";
    rig.Service.mPass = "s3cret";
    rig.Start();
    // A SOCKS5 name that would write a line of its own, and a SOCKS4 user
    // id with a carriage return, an escape sequence and other controls.
    const std::string forged = std::string("\0x\n[Auth] Authenticated: 10.9.9.9:1", 35);
    TFd five = rig.Client();
    test::SendAll(five.Get(), Hex("05 01 02 01") + std::string(1, char(forged.size())) + forged +
                                  Hex("01") + "p");
    EXPECT_EQ(ToHex(test::ReadAll(five.Get())), "05 02 01 01");
    const std::string id = "bob\r\x1b[2J\v\f\x7f!";
    TFd four = rig.Client();
    test::SendAll(four.Get(), Hex("04 01 00 50 7f 00 00 01") + id + std::string(1, '\0'));
    EXPECT_EQ(ToHex(test::ReadAll(four.Get())), "00 5d 00 00 00 00 00 00");
    ASSERT_TRUE(test::WaitFor([&] { return rig.Host.Count("Disconnected") == 2; }));
    EXPECT_TRUE(rig.Host.Has(rig.Line("Authentication failed", five.Get()) +
                             " @ \\x00x\\x0a[Auth] Authenticated: 10.9.9.9:1"));
    EXPECT_TRUE(rig.Host.Has(rig.Line("Authentication failed", four.Get()) +
                             " @ bob\\x0d\\x1b[2J\\x0b\\x0c\\x7f!"));
    for (const std::string& line : rig.Host.Lines())
        EXPECT_EQ(line.find_first_of(std::string("\r\n\x1b\v\f\x7f\0", 7)), std::string::npos)
            << line;
    EXPECT_FALSE(rig.Host.Has("[Auth] Authenticated: 10.9.9.9:1"));
}

TEST(ProxyServer, Socks4AndCredentials) {
    test::TLoopbackServer echo(test::Echo);
    // [4, CONNECT, port, 127.0.0.1] "alice" NUL
    const std::string request =
        Hex("04 01") + PortBytes(echo.Port) + Hex("7f 00 00 01") + "alice" + std::string(1, '\0');
    {
        // Both versions with a user name and password: SOCKS4 carries no
        // password, so every SOCKS4 request is a failed login.
        TServiceRig rig;
        rig.Service.mFour = true;
        rig.Service.mUser = "alice";
        rig.Service.mPass = "s3cret";
        rig.Start();
        TFd client = rig.Client();
        test::SendAll(client.Get(), request);
        EXPECT_EQ(ToHex(test::ReadAll(client.Get())), "00 5d 00 00 00 00 00 00");
        ASSERT_TRUE(test::WaitFor([&] { return rig.Host.Count("Disconnected") == 1; }));
        EXPECT_TRUE(rig.Host.Has("[Office] Authentication failed: 127.0.0.1:" +
                                 std::to_string(test::LocalPort(client.Get())) + " @ alice"));
        EXPECT_EQ(rig.Service.mDrop, 1);
    }
    {
        // SOCKS4 only: the configured user name and password are ignored.
        TServiceRig rig;
        rig.Service.mFive = false;
        rig.Service.mFour = true;
        rig.Service.mUser = "alice";
        rig.Service.mPass = "s3cret";
        rig.Start();
        TFd client = rig.Client();
        test::SendAll(client.Get(), request + "ping");
        EXPECT_EQ(test::Recv(client.Get(), 2), Hex("00 5a"));
        EXPECT_EQ(test::Recv(client.Get(), 10).substr(6), "ping");
        EXPECT_EQ(rig.Host.Count("Authentic"), 0);
        EXPECT_EQ(rig.Service.mDrop, 0);
        // A SOCKS5 client is refused without a byte by a SOCKS4-only server.
        TFd five = rig.Client();
        test::SendAll(five.Get(), Hex("05 01 00"));
        EXPECT_TRUE(test::PeerClosed(five.Get()));
    }
}

// A host for a service in a child process: every log line goes to AFd.
class TPipeHost : public test::TRecorderHost {
public:
    explicit TPipeHost(int AFd) : FFd(AFd) {}
    void LogLine(const std::string& line) override {
        const std::string text = line + "\n";
        [[maybe_unused]] ssize_t n = write(FFd, text.data(), text.size());
    }

private:
    int FFd;
};

TEST(ProxyServer, NoDescriptorForTheTargetRepliesFourAndIsLogged) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "needs descriptors that the sanitizer runtime takes";
#endif
    // No thread of this process may exist yet: the child runs loops of its own.
    const uint16_t target = test::ClosedPort();
    int lines[2];
    ASSERT_EQ(pipe2(lines, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(lines[0]);
        TPipeHost host(lines[1]);
        TProxyServer service(host);
        service.mName = "Office";
        service.mHost = "127.0.0.1";
        service.mPort = 0;
        service.Start();
        const std::string port = std::to_string(service.BoundPort()) + "\n";
        // Every number up to the highest in use taken, and one left: the
        // next client's.
        int highest = 0;
        for (int fd = 0; fd < 1024; ++fd)
            if (fcntl(fd, F_GETFD) >= 0)
                highest = fd;
        for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) {
            if (fd > highest) {
                close(fd);
                break;
            }
        }
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = static_cast<rlim_t>(highest + 2);
        setrlimit(RLIMIT_NOFILE, &limit);
        [[maybe_unused]] ssize_t n = write(lines[1], port.data(), port.size());
        for (;;) // serves until the test ends it
            pause();
    }
    close(lines[1]);
    TFd log(lines[0]);
    // "[Office] Started", then the port.
    std::string logged;
    ASSERT_TRUE(test::WaitFor([&] {
        logged += test::Recv(log.Get(), 4096, 50);
        const size_t started = logged.find("Started\n");
        return started != std::string::npos && logged.find('\n', started + 8) != std::string::npos;
    }));
    const uint16_t port =
        static_cast<uint16_t>(std::stoi(logged.substr(logged.find("Started\n") + 8)));
    TFd client = test::Connect(port);
    // [5, 1, 0] [5, CONNECT, 0, IPv4, 127.0.0.1, port]
    test::SendAll(client.Get(), Hex("05 01 00 05 01 00 01 7f 00 00 01") + PortBytes(target));
    // [5, host unreachable, 0, IPv4, 0.0.0.0, 0]
    EXPECT_EQ(ToHex(test::ReadAll(client.Get())), "05 00 05 04 00 01 00 00 00 00 00 00");
    EXPECT_TRUE(test::WaitFor([&] {
        logged += test::Recv(log.Get(), 4096, 50);
        return logged.find("Disconnected") != std::string::npos;
    }));
    EXPECT_NE(logged.find("[Office] Out of resources: refusing new clients (no free descriptors)"),
              std::string::npos)
        << logged;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

TEST(ProxyServer, DropClosesEveryRelayAndCountsIt) {
    TServiceRig rig;
    rig.Start();
    test::TLoopbackServer echo(test::Echo);
    std::vector<TFd> clients;
    for (int i = 0; i < 3; ++i)
        clients.push_back(rig.Relayed(echo.Port));
    // And one still in its request exchange.
    clients.push_back(rig.Client());
    ASSERT_TRUE(test::WaitFor([&] { return rig.Service.mOnline == 4; }));
    // No socket call while the list is held: accepts and closes go on.
    const int64_t calls = SocketCallsDuringListWalks();
    rig.Service.Drop();
    EXPECT_EQ(SocketCallsDuringListWalks(), calls);
    EXPECT_EQ(rig.Service.mDrop, 4);
    for (TFd& client : clients)
        EXPECT_TRUE(test::PeerClosed(client.Get()));
    ASSERT_TRUE(test::WaitFor([&] { return rig.Host.Count("Disconnected") == 4; }));
    ASSERT_TRUE(test::WaitFor([&] { return rig.Service.mOnline == 0; }));
    rig.Service.Drop(); // nothing left to close
    EXPECT_EQ(rig.Service.mDrop, 4);
    EXPECT_EQ(rig.Service.mOnTotal, 4);
}

TEST(ProxyServer, StopAndDropEndPendingConnectsAtOnce) {
    TServiceRig rig;
    rig.Start();
    test::TBlackhole blackhole;
    const std::string request = Hex("05 01 00 05 01 00 01 7f 00 00 01") + PortBytes(blackhole.Port);
    TFd dropped = rig.Client();
    test::SendAll(dropped.Get(), request);
    EXPECT_EQ(test::Recv(dropped.Get(), 2), Hex("05 00"));
    ASSERT_TRUE(test::WaitFor([&] { return rig.Service.mOnline == 1; }));
    auto start = std::chrono::steady_clock::now();
    rig.Service.Drop();
    EXPECT_TRUE(test::PeerClosed(dropped.Get(), 2000));
    ASSERT_TRUE(test::WaitFor([&] { return rig.Service.mOnline == 0; }, 2s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    TFd stopped = rig.Client();
    test::SendAll(stopped.Get(), request);
    EXPECT_EQ(test::Recv(stopped.Get(), 2), Hex("05 00"));
    ASSERT_TRUE(test::WaitFor([&] { return rig.Service.mOnline == 1; }));
    start = std::chrono::steady_clock::now();
    rig.Service.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(rig.Service.mOnline, 0);
    EXPECT_EQ(rig.Service.mDrop, 0);
    EXPECT_EQ(rig.Host.Count("Disconnected"), 2);
    EXPECT_EQ(rig.Host.Lines().back(), "[Office] Stopped");
}

TEST(ProxyServer, StopAndDropDoNotWaitForNameLookups) {
    test::TSilentNameServer names;
    TServiceRig rig;
    rig.Service.mQueue = 100; // all clients queued at once, none waiting to retry
    rig.Start();
    constexpr int Clients = 50;
    std::vector<TFd> clients;
    for (int i = 0; i < Clients; ++i) {
        clients.push_back(rig.Client());
        const std::string name = "target" + std::to_string(i) + ".unanswered.test";
        // [5, 1, 00] [5, CONNECT, 0, DOMAIN] len name port 80
        test::SendAll(clients.back().Get(), Hex("05 01 00 05 01 00 03") +
                                                std::string(1, static_cast<char>(name.size())) +
                                                name + PortBytes(80));
    }
    // Each lookup asks for both families.
    ASSERT_TRUE(test::WaitFor([&] { return names.Queries() >= 2 * Clients; }, 10s));
    ASSERT_EQ(rig.Service.mOnline, Clients);
    auto start = std::chrono::steady_clock::now();
    rig.Service.Drop();
    ASSERT_TRUE(test::WaitFor([&] { return rig.Service.mOnline == 0; }, 2s));
    EXPECT_LT(test::MillisecondsSince(start), 1000);
    EXPECT_EQ(rig.Service.mDrop, Clients);

    for (int i = 0; i < Clients; ++i) {
        TFd& client = clients[static_cast<size_t>(i)];
        client = rig.Client();
        test::SendAll(client.Get(),
                      Hex("05 01 00 05 01 00 03 0f") + "late.unanswered" + PortBytes(80));
    }
    ASSERT_TRUE(test::WaitFor([&] { return rig.Service.mOnline == Clients; }, 10s));
    ASSERT_TRUE(test::WaitFor([&] { return names.Queries() >= 4 * Clients; }, 10s));
    start = std::chrono::steady_clock::now();
    rig.Service.Stop();
    EXPECT_LT(test::MillisecondsSince(start), 1000);
    EXPECT_FALSE(rig.Service.Listening());
}

TEST(ProxyServer, BindPeerIsHeldToTheAccessRulesLikeAClient) {
    TServiceRig rig;
    rig.Host.SetRule([](const std::string&, const std::string& ARemote, int, int) {
        return ARemote != "127.0.0.9";
    });
    rig.Start();
    TFd client = rig.Client();
    // [5, 1, 0] [5, BIND, 0, IPv4, 0.0.0.0, port 0]: any peer will do
    test::SendAll(client.Get(), Hex("05 01 00 05 02 00 01 00 00 00 00 00 00"));
    const std::string first = test::Recv(client.Get(), 12);
    ASSERT_EQ(first.size(), 12u);
    const auto announced = static_cast<uint16_t>((uint8_t(first[10]) << 8) | uint8_t(first[11]));
    TFd denied = test::ConnectFrom("127.0.0.9", announced);
    EXPECT_TRUE(test::PeerClosed(denied.Get()));
    EXPECT_TRUE(rig.Host.Has("[Office] Denied: 127.0.0.9:" +
                             std::to_string(test::LocalPort(denied.Get()))));
    EXPECT_EQ(rig.Service.mDrop, 1);
    TFd peer = test::ConnectFrom("127.0.0.10", announced);
    EXPECT_EQ(test::Recv(client.Get(), 10).substr(4, 4), Hex("7f 00 00 0a"));
}

TEST(ProxyServer, OnlyBytesWrittenToClientsAreTraffic) {
    TServiceRig rig;
    rig.Start();
    const std::string block(65536, 'd');
    std::promise<size_t> uploaded;
    auto received = uploaded.get_future();
    std::promise<void> go;
    std::shared_future<void> answer = go.get_future().share();
    // The target answers the client's upload with one 64 KB block when told.
    test::TLoopbackServer target([&](int AFd) {
        uploaded.set_value(test::Recv(AFd, 100000, 5000).size());
        answer.wait_for(5s);
        test::SendAll(AFd, block);
        test::Recv(AFd, 1, 5000);
    });
    TFd client = rig.Relayed(target.Port);
    test::SendAll(client.Get(), std::string(100000, 'u'));
    ASSERT_EQ(received.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(received.get(), 100000u);
    // Neither the replies nor the upload are traffic.
    EXPECT_EQ(rig.Service.mTrafTotal, 0);
    go.set_value();
    EXPECT_EQ(test::Recv(client.Get(), block.size()).size(), block.size());
    ASSERT_TRUE(test::WaitFor([&] { return rig.Service.mTrafTotal == 65536; }));
    EXPECT_EQ(rig.Service.mTraf, 65536);

    // With the monitor page hidden only the total grows.
    rig.Host.MonitorInFront = false;
    test::TLoopbackServer second([&](int AFd) { test::SendAll(AFd, "12345"); });
    TFd other = rig.Relayed(second.Port);
    EXPECT_EQ(test::ReadAll(other.Get()), "12345");
    ASSERT_TRUE(test::WaitFor([&] { return rig.Service.mTrafTotal == 65541; }));
    EXPECT_EQ(rig.Service.mTraf, 65536);
    client.Reset();
    rig.Service.Stop();
    EXPECT_EQ(rig.Service.mTrafTotal, 0);
    EXPECT_EQ(rig.Service.mTraf, 0);
}

TEST(ProxyServer, SilentClientIsClosedAfterTheWaitSetting) {
    TServiceRig rig;
    rig.Service.mWait = 1;
    rig.Start();
    test::TLoopbackServer echo(test::Echo);
    TFd relayed = rig.Relayed(echo.Port);
    const auto start = std::chrono::steady_clock::now();
    TFd silent = rig.Client();
    EXPECT_TRUE(test::PeerClosed(silent.Get(), 4000));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(waited, 3s);
    ASSERT_TRUE(
        test::WaitFor([&] { return rig.Host.Has(rig.Line("Disconnected", silent.Get())); }));
    // The relay, idle just as long, goes on.
    test::SendAll(relayed.Get(), "alive");
    EXPECT_EQ(test::Recv(relayed.Get(), 5), "alive");
    EXPECT_EQ(rig.Service.mOnline, 1);
}

TEST(ProxyServer, ListenFailureLeavesTheServiceStoppedAndRestartable) {
    TFd holder = test::Listener();
    TServiceRig rig;
    rig.Service.mPort = test::LocalPort(holder.Get());
    rig.Service.Start();
    EXPECT_FALSE(rig.Service.Listening());
    EXPECT_EQ(rig.Host.Lines(), (std::vector<std::string>{"[Office] Listen failed: 127.0.0.1:" +
                                                          std::to_string(rig.Service.mPort)}));
    rig.Service.Stop();
    EXPECT_EQ(rig.Host.Lines().size(), 1u);
    holder.Reset();
    rig.Service.Start();
    ASSERT_TRUE(rig.Service.Listening());
    EXPECT_EQ(rig.Service.BoundPort(), rig.Service.mPort);
    EXPECT_EQ(rig.Host.Lines().back(), "[Office] Started");
    rig.Service.Stop();
    // One binding only: a second start listens again on the same port.
    rig.Service.Start();
    EXPECT_TRUE(rig.Service.Listening());
}

TEST(ProxyServer, TricklingClientCannotHoldItsThreadLongerThanWait) {
    TServiceRig rig;
    rig.Service.mWait = 1;
    rig.Service.mFour = true;
    rig.Start();
    TFd client = rig.Client();
    const auto start = std::chrono::steady_clock::now();
    // A SOCKS4 request with an endless user id, one byte every 100 ms: each
    // byte arrives well within the limit, the request never ends.
    test::SendAll(client.Get(), Hex("04 01 00 50 7f 00 00 01"));
    bool closed = false;
    for (int i = 0; i < 40 && !closed; ++i) {
        test::SendAll(client.Get(), "u");
        closed = test::PeerClosed(client.Get(), 100);
    }
    const auto held = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(closed);
    EXPECT_GE(held, 900ms);
    EXPECT_LT(held, 2500ms);
    EXPECT_TRUE(test::WaitFor([&] { return rig.Service.mOnline == 0; }));
}

} // namespace
} // namespace kestrune
