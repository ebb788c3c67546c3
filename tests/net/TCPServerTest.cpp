// The TCP connection server: events per connection, the connection limit,
// bind failures, drops and deactivation under load.
#include "NetTestUtil.h"
#include "WaitFor.h"

#include "net/CustomTCPServer.h"
#include "net/Exception.h"
#include "net/TCPClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using test::TFd;

// Counts how often each context is disconnected.
class TCountingContext : public TIdServerContext {
public:
    using TIdServerContext::TIdServerContext;
    int Disconnects = 0;
};

struct TServerFixture : ::testing::Test {
    TServerFixture() {
        Server.SetContextClass<TCountingContext>();
        TIdSocketHandle& binding = Server.Bindings.Add();
        binding.IP = "127.0.0.1";
        Server.OnConnect = [this](TIdContext&) { ++Connects; };
        Server.OnDisconnect = [this](TIdContext& AContext) {
            if (++static_cast<TCountingContext&>(AContext).Disconnects != 1)
                ++RepeatedDisconnects;
            ++Disconnects;
        };
    }
    ~TServerFixture() override { Server.SetActive(false); }
    uint16_t Port() { return Server.Bindings[0].Port; }

    TIdCustomTCPServer Server;
    std::atomic<int> Connects{0};
    std::atomic<int> Disconnects{0};
    std::atomic<int> RepeatedDisconnects{0};
};

TEST_F(TServerFixture, EchoesLinesAndReportsEachConnectionOnce) {
    std::string peerIP;
    TIdPort peerPort = 0;
    Server.OnConnect = [&](TIdContext& AContext) {
        peerIP = AContext.Binding()->PeerIP;
        peerPort = AContext.Binding()->PeerPort;
        ++Connects;
    };
    Server.OnExecute = [](TIdContext& AContext) { test::EchoLines(AContext, "!"); };
    Server.SetActive(true);
    ASSERT_TRUE(Server.Active());
    ASSERT_NE(Port(), 0);

    TFd client = test::Connect(Port());
    test::SendAll(client.Get(), "pi");
    test::SendAll(client.Get(), "ng\r\n");
    char answer[6] = {};
    ASSERT_EQ(recv(client.Get(), answer, 6, MSG_WAITALL), 6);
    EXPECT_EQ(std::string(answer, 6), "ping!\n");
    EXPECT_EQ(peerIP, "127.0.0.1");
    EXPECT_EQ(peerPort, test::LocalPort(client.Get()));

    client.Reset();
    EXPECT_TRUE(test::WaitFor([&] { return Disconnects == 1; }));
    EXPECT_EQ(Connects, 1);
    EXPECT_EQ(Server.Contexts.Count(), 0u);
}

TEST_F(TServerFixture, FailureInOnConnectStillDisconnectsOnceAndReachesOnException) {
    std::string reported;
    std::mutex lock;
    Server.OnConnect = [](TIdContext&) { throw EIdException("refused here"); };
    Server.OnException = [&](TIdContext&, const std::exception& AError) {
        std::lock_guard<std::mutex> guard(lock);
        reported = AError.what();
    };
    Server.SetActive(true);
    TFd client = test::Connect(Port());
    EXPECT_TRUE(test::PeerClosed(client.Get()));
    EXPECT_TRUE(test::WaitFor([&] { return Disconnects == 1; }));
    EXPECT_EQ(RepeatedDisconnects, 0);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(reported, "refused here");
}

TEST_F(TServerFixture, ConnectionLimitClosesTheExtraClientWithoutAnyEvent) {
    Server.MaxConnections = 1;
    Server.SetActive(true);
    TFd first = test::Connect(Port());
    ASSERT_TRUE(test::WaitFor([&] { return Connects == 1; }));

    TFd second = test::Connect(Port());
    EXPECT_TRUE(test::PeerClosed(second.Get()));
    EXPECT_EQ(Connects, 1);
    EXPECT_EQ(Disconnects, 0);

    // Once the first has gone there is room again.
    first.Reset();
    ASSERT_TRUE(test::WaitFor([&] { return Disconnects == 1; }));
    TFd third = test::Connect(Port());
    EXPECT_TRUE(test::WaitFor([&] { return Connects == 2; }));
}

TEST_F(TServerFixture, ConnectionLimitHoldsWithSeveralLoopsAcceptingAtOnce) {
    Server.MaxConnections = 10;
    Server.ListenQueue = 100; // every client queued at once, none left to retry
    std::atomic<int> live{0}, most{0};
    Server.OnConnect = [&](TIdContext&) {
        ++Connects;
        const int now = ++live;
        int seen = most;
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
    };
    Server.OnDisconnect = [&](TIdContext&) {
        --live;
        ++Disconnects;
    };
    Server.SetActive(true);
    std::vector<TFd> clients(50);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < clients.size(); ++i)
        threads.emplace_back([&, i] { clients[i] = test::Connect(Port()); });
    for (auto& thread : threads)
        thread.join();
    ASSERT_TRUE(test::WaitFor([&] { return Connects == 10; }));
    const auto closed = [&] {
        return std::count_if(clients.begin(), clients.end(),
                             [](const TFd& AClient) { return test::PeerClosed(AClient.Get(), 0); });
    };
    EXPECT_TRUE(test::WaitFor([&] { return closed() == 40; })) << closed();
    EXPECT_EQ(most, 10);
    EXPECT_EQ(Connects, 10);
    clients.clear();
    EXPECT_TRUE(test::WaitFor([&] { return Disconnects == 10; }));
}

TEST_F(TServerFixture, FailedBindLeavesTheServerInactiveWithItsBinding) {
    TFd holder = test::Listener();
    Server.Bindings[0].Port = test::LocalPort(holder.Get());
    try {
        Server.SetActive(true);
        FAIL() << "bound a port in use";
    } catch (const EIdCouldNotBindSocket& error) {
        EXPECT_STREQ(error.what(), "Could not bind socket.");
    }
    EXPECT_FALSE(Server.Active());
    ASSERT_EQ(Server.Bindings.Count(), 1);
    EXPECT_FALSE(Server.Bindings[0].HandleAllocated());

    holder.Reset();
    Server.SetActive(true);
    EXPECT_TRUE(Server.Active());
    TFd client = test::Connect(Port());
    EXPECT_TRUE(test::WaitFor([&] { return Connects == 1; }));
}

TEST_F(TServerFixture, DropFromAnotherThreadClosesLiveConnections) {
    Server.SetActive(true);
    std::vector<TFd> clients;
    for (int i = 0; i < 3; ++i)
        clients.push_back(test::Connect(Port()));
    ASSERT_TRUE(test::WaitFor([&] { return Connects == 3; }));
    clients[2].Reset(); // one already gone by itself

    ASSERT_TRUE(test::WaitFor([&] { return Disconnects == 1; }));
    int dropped = 0;
    auto& contexts = Server.Contexts.LockList();
    for (TIdContext* context : contexts) {
        auto& served = static_cast<TIdServerContext&>(*context);
        if (served.Terminate())
            ++dropped;
        EXPECT_FALSE(served.Terminate()) << "asked twice, counted twice";
    }
    Server.Contexts.UnlockList();
    EXPECT_EQ(dropped, 2);
    EXPECT_TRUE(test::WaitFor([&] { return Disconnects == 3; }));
    EXPECT_TRUE(test::PeerClosed(clients[0].Get()));
    EXPECT_TRUE(Server.Active());
}

// A context that connects out on its loop and counts the connects given up.
class TConnectingContext : public TCountingContext {
public:
    using TCountingContext::TCountingContext;
    TIdTCPClient Target;
    static inline std::atomic<int> Abandoned{0};

protected:
    void Abandon() override {
        if (Target.Connecting())
            ++Abandoned;
        Target.Abort();
    }
};

TEST(TCPServer, DeactivationWithHundredLiveConnectionsIsPromptAndLeavesNoDescriptor) {
    constexpr int Idle = 70;
    constexpr int Connecting = 30;
    TIdEventLoops::Count(); // the loops' own descriptors stay
    const int descriptorsBefore = test::OpenDescriptorCount();
    const long threadsBefore = test::StatusField("Threads:");
    {
        test::TBlackhole blackhole;
        std::vector<TFd> clients;
        std::atomic<int> connects{0}, disconnects{0}, repeated{0}, inConnect{0};
        {
            TIdCustomTCPServer server;
            server.SetContextClass<TConnectingContext>();
            server.Bindings.Add().IP = "127.0.0.1";
            server.ListenQueue = 128;
            std::atomic<int> order{0};
            server.OnConnect = [&](TIdContext& AContext) {
                ++connects;
                if (order++ >= Connecting)
                    return;
                auto& context = static_cast<TConnectingContext&>(AContext);
                context.Target.Host = "127.0.0.1";
                context.Target.Port = blackhole.Port;
                context.Target.Connect(context.Loop(), [](TIdTCPClient::TIdConnectResult) {});
                ++inConnect;
            };
            server.OnDisconnect = [&](TIdContext& AContext) {
                if (++static_cast<TCountingContext&>(AContext).Disconnects != 1)
                    ++repeated;
                ++disconnects;
            };
            server.SetActive(true);
            const TIdPort port = server.Bindings[0].Port;
            for (int i = 0; i < Idle + Connecting; ++i)
                clients.push_back(test::Connect(port));
            ASSERT_TRUE(test::WaitFor(
                [&] { return connects == Idle + Connecting && inConnect == Connecting; }, 10s));
            // A hundred connections, thirty of them waiting for their
            // targets, and not one thread more.
            EXPECT_EQ(test::StatusField("Threads:"), threadsBefore);

            const auto start = std::chrono::steady_clock::now();
            server.SetActive(false);
            EXPECT_LT(test::MillisecondsSince(start), 2000);
            EXPECT_FALSE(server.Active());
            EXPECT_EQ(disconnects, Idle + Connecting);
            EXPECT_EQ(repeated, 0);
            EXPECT_EQ(TConnectingContext::Abandoned, Connecting);
            EXPECT_EQ(server.Contexts.Count(), 0u);
            for (TFd& client : clients)
                EXPECT_TRUE(test::PeerClosed(client.Get(), 1000));
        }
    }
    // The freed contexts go once their loops have finished the turn.
    EXPECT_TRUE(test::WaitFor([&] { return test::OpenDescriptorCount() == descriptorsBefore; }));
}

// Under a steady stream of clients every one is served exactly once, also
// while the server is stopped and started again under them.
TEST_F(TServerFixture, ClientsArrivingWithoutPauseAreEachServedOnceAcrossStopAndStart) {
    Server.ListenQueue = 128;
    Server.OnExecute = [](TIdContext& AContext) {
        TIdIOHandlerStack& io = *AContext.Connection()->IOHandler();
        if (!io.InputBuffer.Empty()) {
            io.Write(std::string(1, static_cast<char>(io.InputBuffer.Data()[0])));
            io.InputBuffer.Clear();
        }
    };
    Server.SetActive(true);
    const uint16_t port = Port();

    std::atomic<bool> done{false};
    std::atomic<int> echoed{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> clients;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    for (int t = 0; t < 4; ++t)
        clients.emplace_back([&] {
            // Bounded by its own echoes and the deadline; refused connects
            // while the server is stopped are retried.
            for (int i = 0; i < 20000 && !done && std::chrono::steady_clock::now() < deadline;) {
                TFd client = test::Connect(port);
                char byte = static_cast<char>('a' + i % 26);
                char back = 0;
                if (client.Get() < 0 || send(client.Get(), &byte, 1, MSG_NOSIGNAL) != 1 ||
                    recv(client.Get(), &back, 1, 0) != 1) {
                    std::this_thread::yield(); // the server is stopped or stopped under it
                    continue;
                }
                ++i;
                if (back == byte)
                    ++echoed;
                else
                    ++wrong;
            }
        });

    for (int round = 0; round < 25; ++round) {
        const int before = echoed;
        EXPECT_TRUE(test::WaitFor([&] { return echoed >= before + 50; }, 10s)) << round;
        const auto start = std::chrono::steady_clock::now();
        Server.SetActive(false);
        EXPECT_LT(test::MillisecondsSince(start), 2000) << round;
        EXPECT_EQ(Server.Contexts.Count(), 0u) << round;
        EXPECT_EQ(Connects.load(), Disconnects.load()) << round;
        Server.SetActive(true);
        ASSERT_EQ(Port(), port);
    }
    done = true;
    for (auto& client : clients)
        client.join();
    Server.SetActive(false);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(RepeatedDisconnects, 0);
    EXPECT_EQ(Connects.load(), Disconnects.load());
    EXPECT_GE(Connects.load(), echoed.load());
}

TEST(TCPServer, ReactivationAfterDeactivationServesAgain) {
    TIdCustomTCPServer server;
    server.Bindings.Add().IP = "127.0.0.1";
    std::atomic<int> connects{0};
    server.OnConnect = [&](TIdContext&) { ++connects; };
    for (int round = 1; round <= 2; ++round) {
        server.SetActive(true);
        TFd client = test::Connect(server.Bindings[0].Port);
        EXPECT_TRUE(test::WaitFor([&] { return connects == round; }));
        server.SetActive(false);
        EXPECT_TRUE(test::PeerClosed(client.Get(), 1000));
    }
}

std::set<int> EpollDescriptors() {
    std::set<int> found;
    for (int fd = 0; fd < 1024; ++fd) {
        char link[64];
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
        if (n > 0 && std::string(link, static_cast<size_t>(n)) == "anon_inode:[eventpoll]")
            found.insert(fd);
    }
    return found;
}

// A loop whose wait fails for good can serve nothing again, and a stop would
// wait for it for ever: the process ends, saying why, for its supervisor.
TEST(EventLoopDeathTest, AWaitThatFailsForGoodEndsTheProcessWithItsReason) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const std::set<int> before = EpollDescriptors();
            TIdEventLoop loop;
            int epoll = -1;
            for (int fd : EpollDescriptors())
                if (!before.count(fd))
                    epoll = fd;
            // Its descriptor now names a file that epoll_wait refuses.
            loop.Post([epoll] { dup2(open("/dev/null", O_RDONLY | O_CLOEXEC), epoll); });
            std::this_thread::sleep_for(std::chrono::seconds(10));
            std::_Exit(0);
        },
        testing::ExitedWithCode(70), "event loop failed");
}

} // namespace
} // namespace kestrune
