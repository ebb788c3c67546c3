// Name resolution: literals and localhost without any query, refused names
// before any query leaves, and lookups at an unanswering server abandoned at
// once when their wake-up is signalled.
#include "NetTestUtil.h"
#include "WaitFor.h"

#include "net/Exception.h"
#include "net/Resolver.h"
#include "net/TCPClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using test::TFd;

std::vector<std::string> Texts(const std::vector<TIdResolvedAddress>& AAddresses) {
    std::vector<std::string> out;
    for (const auto& a : AAddresses)
        out.push_back(a.IP + (a.IPVersion == Id_IPv6 ? "/6" : "/4"));
    return out;
}

TEST(Resolver, LiteralsAndLocalhostNeedNoQueryAndBadNamesSendNone) {
    test::TSilentNameServer server;
    EXPECT_EQ(Texts(TIdResolver::Resolve("LocalHost", {}, -1)),
              (std::vector<std::string>{"127.0.0.1/4", "::1/6"}));
    EXPECT_EQ(Texts(TIdResolver::Resolve("10.1.2.3", {}, -1)),
              (std::vector<std::string>{"10.1.2.3/4"}));
    EXPECT_EQ(Texts(TIdResolver::Resolve("2001:DB8:0:0::7", {}, -1)),
              (std::vector<std::string>{"2001:db8::7/6"}));
    // A label longer than 63 characters cannot be asked for.
    EXPECT_THROW(TIdResolver::Resolve(std::string(70, 'a') + ".test", {}, 5000), EIdSocketError);
    EXPECT_EQ(server.Queries(), 0);
}

TEST(Resolver, PendingLookupsEndAtOnceOnTheirWakeUpOrTheirTimeLimit) {
    test::TSilentNameServer server;
    constexpr int Lookups = 50;
    auto wakeUp = std::make_shared<TIdWakeUp>();
    std::atomic<int> aborted{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < Lookups; ++i)
        threads.emplace_back([&, i] {
            const TIdWakeUpPtr wakeUps[] = {wakeUp};
            try {
                TIdResolver::Resolve("host" + std::to_string(i) + ".unanswered.test", wakeUps, -1);
            } catch (const EIdSocketError& error) {
                if (error.LastError() == ECONNABORTED)
                    ++aborted;
            }
        });
    // Every lookup has asked at least once before the wake-up.
    ASSERT_TRUE(test::WaitFor([&] { return server.Queries() >= Lookups; }, 10s));
    const auto start = std::chrono::steady_clock::now();
    wakeUp->Signal();
    for (auto& thread : threads)
        thread.join();
    EXPECT_LT(test::MillisecondsSince(start), 1000);
    EXPECT_EQ(aborted, Lookups);

    // A limited lookup gives up when its time is up.
    const auto limited = std::chrono::steady_clock::now();
    EXPECT_THROW(TIdResolver::Resolve("late.unanswered.test", {}, 300), EIdConnectTimeout);
    EXPECT_LT(test::MillisecondsSince(limited), 1500);
}

TEST(Outbound, ConnectWaitingForItsLookupEndsOnDisconnect) {
    test::TSilentNameServer server;
    TIdTCPClient client;
    client.Host = "target.unanswered.test";
    client.Port = 80;
    std::string message;
    std::thread connecting([&] {
        try {
            client.Connect();
        } catch (const EIdException& error) {
            message = error.what();
        }
    });
    ASSERT_TRUE(test::WaitFor([&] { return server.Queries() > 0; }));
    const auto start = std::chrono::steady_clock::now();
    client.Disconnect();
    connecting.join();
    EXPECT_LT(test::MillisecondsSince(start), 1000);
    EXPECT_EQ(message.rfind("Socket Error # " + std::to_string(ECONNABORTED), 0), 0u) << message;
}

} // namespace
} // namespace kestrune
