#include "base/MainThreadQueue.h"
#include "base/EventLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace kestrune;

TEST(MainThreadQueue, MainThreadWorkRunsAtOnceOtherThreadsWaitForDrain) {
    MainThreadQueue queue;
    std::atomic<int> wakes{0};
    queue.SetWaker([&] { ++wakes; });
    std::vector<int> order;
    queue.Queue([&] { order.push_back(1); });
    EXPECT_EQ(order, std::vector<int>{1});
    EXPECT_EQ(wakes, 0);

    std::thread worker([&] {
        queue.Queue([&] { order.push_back(2); });
        queue.Queue([&] { order.push_back(3); });
    });
    worker.join();
    EXPECT_EQ(order.size(), 1u) << "work from another thread must not run on that thread";
    EXPECT_EQ(wakes, 1) << "one wake-up per empty-to-non-empty change";
    EXPECT_EQ(queue.Drain(), 2u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(queue.Empty());
}

TEST(MainThreadQueue, DrainRunsOnlyWhatWasQueuedBeforeIt) {
    MainThreadQueue queue;
    int wakes = 0;
    queue.SetWaker([&] { ++wakes; });
    std::thread producer;
    int ran = 0;
    std::thread first([&] {
        queue.Queue([&] {
            ++ran;
            // Queued while the drain runs: must wait for the next drain and
            // wake the main thread again.
            producer = std::thread([&] { queue.Queue([&] { ++ran; }); });
            producer.join();
        });
    });
    first.join();
    EXPECT_EQ(queue.Drain(), 1u);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(wakes, 2);
    EXPECT_EQ(queue.Drain(), 1u);
    EXPECT_EQ(ran, 2);
}

TEST(EventLog, KeepsTheNewestLinesUpToTheLimit) {
    TEventLog log;
    std::size_t appended = 0;
    log.OnAppend = [&](const std::string&) { ++appended; };
    for (std::size_t i = 0; i < TEventLog::MaxLines + 5; ++i)
        log.Append("line " + std::to_string(i));
    EXPECT_EQ(appended, TEventLog::MaxLines + 5);
    ASSERT_EQ(log.Count(), TEventLog::MaxLines);
    EXPECT_EQ(log.Lines().front(), "line 5");
    EXPECT_EQ(log.Lines().back(), "line " + std::to_string(TEventLog::MaxLines + 4));
}

TEST(EventLog, TextHasNoTrailingEmptyLineAndClearStartsAfresh) {
    TEventLog log;
    log.Append("a");
    log.Append("b");
    EXPECT_EQ(log.Text(), "a\r\nb");
    bool cleared = false;
    log.OnClear = [&] { cleared = true; };
    log.Clear();
    EXPECT_TRUE(cleared);
    log.Append("c");
    EXPECT_EQ(log.Text(), "c");
}
