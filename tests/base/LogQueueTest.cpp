#include "base/LogQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

using namespace kestrune;
using namespace std::chrono_literals;

namespace {

class LogQueueTest : public ::testing::Test {
protected:
    TLogQueue Queue;
    TLogQueue::TClock::time_point Now{std::chrono::hours(1)};
    // The wall clock runs with the steady one, from another origin.
    TLogQueue::TWallClock::time_point WallNow() const {
        return TLogQueue::TWallClock::time_point{std::chrono::hours(500000)} +
               (Now - TLogQueue::TClock::time_point{std::chrono::hours(1)});
    }
    std::atomic<int> Wakes{0};

    void SetUp() override {
        Queue.Clock = [this] { return Now; };
        Queue.WallClock = [this] { return WallNow(); };
        Queue.SetWaker([this] { ++Wakes; });
    }
    std::vector<TLogLine> TakeLines(bool all = false) {
        std::vector<TLogLine> out;
        Queue.Take(out, all);
        return out;
    }
    std::vector<std::string> Take(bool all = false) {
        std::vector<std::string> texts;
        for (auto& line : TakeLines(all))
            texts.push_back(std::move(line.Text));
        return texts;
    }
    void Deny(const std::string& name, const std::string& address, int port,
              const std::string& kind = "Denied") {
        Queue.PushDenied(name, address, address + ":" + std::to_string(port), kind);
    }
};

// The refusals a set of lines accounts for: one per plain line, 1 + N per
// "(and N more)" line, N per "N more from other peers" line.
uint64_t Refusals(const std::vector<std::string>& lines) {
    static const std::regex more(R"(.* \(and (\d+) more\)$)");
    static const std::regex others(R"(.*Denied: (\d+) more from other peers$)");
    uint64_t total = 0;
    for (const auto& line : lines) {
        if (line.find("] Denied: ") == std::string::npos)
            continue;
        std::smatch m;
        if (std::regex_match(line, m, others))
            total += std::stoull(m[1]);
        else if (std::regex_match(line, m, more))
            total += 1 + std::stoull(m[1]);
        else
            total += 1;
    }
    return total;
}

} // namespace

TEST_F(LogQueueTest, RepeatedRefusalsOfOnePeerCollapseIntoOneLinePerSecond) {
    Deny("Map", "10.0.0.1", 1000);
    Deny("Map", "10.0.0.1", 1001); // same address, another port: same peer
    Deny("Map", "10.0.0.1", 1002);
    Deny("Map", "10.0.0.1", 1003);
    Deny("Map", "10.0.0.2", 2000);   // another peer: logged at once
    Deny("Proxy", "10.0.0.1", 3000); // another service: its own peer
    Deny("Proxy", "10.0.0.1", 3001);
    Deny("Map", "10.0.0.1", 4000, "Too many senders"); // another kind: its own line
    Deny("Map", "10.0.0.1", 4001, "Too many senders");
    Deny("Map", "10.0.0.1", 4002, "Too many senders");
    EXPECT_EQ(Take(), (std::vector<std::string>{"[Map] Denied: 10.0.0.1:1000",
                                                "[Map] Denied: 10.0.0.2:2000",
                                                "[Proxy] Denied: 10.0.0.1:3000",
                                                "[Map] Too many senders: 10.0.0.1:4000"}));
    ASSERT_TRUE(Queue.NextDue());
    EXPECT_EQ(*Queue.NextDue(), Now + 1s);

    Now += 999ms;
    EXPECT_TRUE(Take().empty()) << "the second is not over yet";
    Now += 1ms;
    auto lines = Take();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"[Map] Denied: 10.0.0.1:1001 (and 2 more)",
                                               "[Map] Too many senders: 10.0.0.1:4001 (and 1 more)",
                                               "[Proxy] Denied: 10.0.0.1:3001"}))
        << "a single repeat is a plain line";
    EXPECT_FALSE(Queue.NextDue());

    // The next second starts with a line of its own again.
    Deny("Map", "10.0.0.1", 1004);
    Deny("Map", "10.0.0.1", 1005);
    EXPECT_EQ(Take(), std::vector<std::string>{"[Map] Denied: 10.0.0.1:1004"});
    EXPECT_EQ(Take(true), std::vector<std::string>{"[Map] Denied: 10.0.0.1:1005"})
        << "taking everything writes out the refusals still being collapsed";
}

TEST_F(LogQueueTest, EachLineCarriesTheMomentOfItsEventToALateConsumer) {
    const auto start = WallNow();
    Queue.Push("[Map] Started");
    Deny("Map", "10.0.0.1", 1);
    Now += 200ms;
    Deny("Map", "10.0.0.1", 2);
    Deny("Map", "10.0.0.1", 3);
    Queue.Push("[Map] Connected: 10.0.0.2:1");
    Now += 5s; // the consumer comes late
    EXPECT_EQ(TakeLines(), (std::vector<TLogLine>{
                               {"[Map] Started", start},
                               {"[Map] Denied: 10.0.0.1:1", start},
                               {"[Map] Connected: 10.0.0.2:1", start + 200ms},
                               {"[Map] Denied: 10.0.0.1:2 (and 1 more)", start + 1s},
                           }))
        << "a collapsed line takes the moment its second ended";

    // Written out before its second is over, it ended then, not later.
    const auto second = WallNow();
    Deny("Map", "10.0.0.1", 4);
    Now += 300ms;
    Deny("Map", "10.0.0.1", 5);
    EXPECT_EQ(TakeLines(true), (std::vector<TLogLine>{{"[Map] Denied: 10.0.0.1:4", second},
                                                      {"[Map] Denied: 10.0.0.1:5", WallNow()}}));
}

TEST_F(LogQueueTest, TheConsumerIsWokenOncePerRoundAndForACollapseToCome) {
    Queue.Push("a");
    Queue.Push("b");
    EXPECT_EQ(Wakes, 1);
    EXPECT_EQ(Take(), (std::vector<std::string>{"a", "b"}));
    Deny("Map", "10.0.0.1", 1);
    EXPECT_EQ(Wakes, 2);
    Take();
    Deny("Map", "10.0.0.1", 2); // nothing to take, but a line falls due later
    EXPECT_EQ(Wakes, 3);
    Take();
    Deny("Map", "10.0.0.1", 3);
    EXPECT_EQ(Wakes, 3) << "the consumer already knows when to come back";
}

TEST_F(LogQueueTest, MemoryIsBoundedAndRefusalsNeverCostAnotherLine) {
    // A flood of refusals from more peers than the queue tracks, while other
    // lines keep coming: every other line is kept, the refusals are counted.
    constexpr int Peers = 3 * static_cast<int>(TLogQueue::MaxPeers);
    constexpr int Others = (Peers + 99) / 100;
    for (int i = 0; i < Peers; ++i) {
        Deny("Map",
             "10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 255) + "." +
                 std::to_string(i & 255),
             i);
        Deny("Map", "10.0.0.1", i);
        if (i % 100 == 0)
            Queue.Push("[Map] Connected: " + std::to_string(i));
    }
    Now += 1s;
    const auto lines = Take();
    EXPECT_LE(lines.size(), TLogQueue::MaxPeers + Others + 4);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("Connected") != l.npos; }),
              Others);
    EXPECT_EQ(Refusals(lines), 2u * Peers) << "every refusal is accounted for";

    // Other lines beyond the bound are dropped and counted, never kept.
    const std::string line(1000, 'x');
    const std::size_t fits = TLogQueue::MaxPendingBytes / (line.size() + TLogQueue::LineAllowance);
    for (std::size_t i = 0; i < fits + 10; ++i)
        Queue.Push(line);
    const auto flood = Take();
    ASSERT_EQ(flood.size(), fits + 1);
    EXPECT_EQ(flood.back(),
              "Event log: 10 lines dropped while the output was too slow to take them");
}

TEST_F(LogQueueTest, ManyThreadsLoseNoLineAndEveryRefusalIsCounted) {
    Queue.Clock = [] { return TLogQueue::TClock::now(); };
    constexpr int Threads = 6;
    constexpr int Lines = 20000;
    std::atomic<int> done{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < Threads; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < Lines; ++i) {
                Queue.Push("writer " + std::to_string(t) + " line " + std::to_string(i));
                Queue.PushDenied("Map", "127.0.0." + std::to_string(t % 3), "127.0.0.1:1");
            }
            ++done;
        });
    std::vector<std::string> lines;
    std::vector<TLogLine> taken;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (done < Threads && std::chrono::steady_clock::now() < deadline)
        if (Queue.Take(taken) == 0)
            std::this_thread::yield();
    for (auto& w : writers)
        w.join();
    Queue.Take(taken, true);
    for (auto& line : taken)
        lines.push_back(std::move(line.Text));
    std::vector<int> next(Threads, 0);
    const std::regex form(R"(writer (\d) line (\d+))");
    for (const auto& line : lines) {
        std::smatch m;
        if (!std::regex_match(line, m, form))
            continue;
        const int t = std::stoi(m[1]);
        ASSERT_EQ(std::stoi(m[2]), next[t]) << "out of order for writer " << t;
        ++next[t];
    }
    EXPECT_EQ(next, std::vector<int>(Threads, Lines));
    EXPECT_EQ(Refusals(lines), static_cast<uint64_t>(Threads) * Lines);
}
