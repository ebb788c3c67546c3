// Name lookups on a loop: literals and localhost without any query, refused
// names before any query leaves, lookups at an unanswering server abandoned
// at once, and time limits.
#include "NetTestUtil.h"
#include "WaitFor.h"

#include "net/Resolver.h"

#include <gtest/gtest.h>

#include <atomic>

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using test::OnLoop;

std::vector<std::string> Texts(const std::vector<TIdResolvedAddress>& AAddresses) {
    std::vector<std::string> out;
    for (const auto& a : AAddresses)
        out.push_back(a.IP + (a.IPVersion == Id_IPv6 ? "/6" : "/4"));
    return out;
}

// Lookups made, answered and freed on one loop.
struct TLookups {
    TIdEventLoop& Loop = TIdEventLoops::Next();
    std::vector<std::unique_ptr<TIdLookup>> Items;
    std::mutex Lock;
    std::vector<TIdLookupResult> Results;

    ~TLookups() {
        OnLoop(Loop, [this] { Items.clear(); });
    }
    void Start(const std::string& AHost, int ATimeout = -1) {
        OnLoop(Loop, [&] {
            Items.push_back(std::make_unique<TIdLookup>());
            Items.back()->Start(Loop, AHost, ATimeout, [this](TIdLookupResult AResult) {
                std::lock_guard<std::mutex> lock(Lock);
                Results.push_back(std::move(AResult));
            });
        });
    }
    size_t Answered() {
        std::lock_guard<std::mutex> lock(Lock);
        return Results.size();
    }
};

TEST(Resolver, LiteralsAndLocalhostNeedNoQueryAndBadNamesSendNone) {
    test::TSilentNameServer server;
    TLookups lookups;
    for (const char* host : {"LocalHost", "10.1.2.3", "2001:DB8:0:0::7"})
        lookups.Start(host);
    // A label longer than 63 characters cannot be asked for.
    lookups.Start(std::string(70, 'a') + ".test", 5000);
    ASSERT_TRUE(test::WaitFor([&] { return lookups.Answered() == 4; }));
    EXPECT_EQ(Texts(lookups.Results[0].Addresses),
              (std::vector<std::string>{"127.0.0.1/4", "::1/6"}));
    EXPECT_EQ(Texts(lookups.Results[1].Addresses), (std::vector<std::string>{"10.1.2.3/4"}));
    EXPECT_EQ(Texts(lookups.Results[2].Addresses), (std::vector<std::string>{"2001:db8::7/6"}));
    EXPECT_EQ(lookups.Results[3].Status, TIdLookupResult::NotFound);
    EXPECT_FALSE(lookups.Results[3].Text.empty());
    EXPECT_EQ(server.Queries(), 0);
}

TEST(Resolver, PendingLookupsAreAbandonedAtOnceAndLimitedOnesGiveUp) {
    test::TSilentNameServer server;
    constexpr int Count = 50;
    TLookups lookups;
    const int before = test::OpenDescriptorCount();
    for (int i = 0; i < Count; ++i)
        lookups.Start("host" + std::to_string(i) + ".unanswered.test");
    // Every lookup has asked at least once before it is abandoned.
    ASSERT_TRUE(test::WaitFor([&] { return server.Queries() >= Count; }, 10s));
    EXPECT_GT(test::OpenDescriptorCount(), before);
    const auto start = std::chrono::steady_clock::now();
    OnLoop(lookups.Loop, [&] { lookups.Items.clear(); });
    EXPECT_LT(test::MillisecondsSince(start), 1000);
    // Their sockets have gone with them, and no answer comes later.
    EXPECT_EQ(test::OpenDescriptorCount(), before);
    const int asked = server.Queries();
    test::WaitFor([] { return false; }, 300ms);
    EXPECT_EQ(server.Queries(), asked);
    EXPECT_EQ(lookups.Answered(), 0u);

    const auto limited = std::chrono::steady_clock::now();
    lookups.Start("late.unanswered.test", 300);
    ASSERT_TRUE(test::WaitFor([&] { return lookups.Answered() == 1; }, 3s));
    EXPECT_EQ(lookups.Results[0].Status, TIdLookupResult::TimedOut);
    EXPECT_GE(test::MillisecondsSince(limited), 290);
    EXPECT_LT(test::MillisecondsSince(limited), 1500);
}

} // namespace
} // namespace kestrune
