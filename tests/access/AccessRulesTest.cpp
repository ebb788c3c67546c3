#include "access/AccessRules.h"

#include "WaitFor.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace kestrune {
namespace {

TAccessRule AllowPeer(const std::string& name, const std::string& peer) {
    return {name, "0.0.0.0", "1080", peer, "0", "Allow", "Yes"};
}

std::vector<std::string> Names(const TAccessRules& rules) {
    std::vector<std::string> names;
    // The snapshot is held in a variable: a range-for over *Snapshot() would
    // free the list before the loop body runs.
    const auto snapshot = rules.Snapshot();
    for (const TAccessRule& rule : *snapshot)
        names.push_back(rule.mName);
    return names;
}

using Strings = std::vector<std::string>;

TEST(AccessRules, ChangesKeepOrderAndRefuseMissingRows) {
    TAccessRules rules;
    EXPECT_EQ(rules.Count(), 0u);
    rules.Add(AllowPeer("a", "10.0.0.1"));
    rules.Add(AllowPeer("b", "10.0.0.2"));
    rules.Add(AllowPeer("c", "10.0.0.3"));
    EXPECT_EQ(Names(rules), (Strings{"a", "b", "c"}));

    EXPECT_TRUE(rules.SwapRows(1, 0));
    EXPECT_EQ(Names(rules), (Strings{"b", "a", "c"}));
    EXPECT_TRUE(rules.Insert(3, AllowPeer("d", "10.0.0.4")));
    EXPECT_TRUE(rules.Insert(0, AllowPeer("e", "10.0.0.5")));
    EXPECT_EQ(Names(rules), (Strings{"e", "b", "a", "c", "d"}));
    EXPECT_TRUE(rules.Delete(2));
    EXPECT_EQ(Names(rules), (Strings{"e", "b", "c", "d"}));

    // An edited rule keeps its place.
    TAccessRule edited = AllowPeer("c2", "10.0.0.33");
    EXPECT_TRUE(rules.Rewrite(2, edited));
    EXPECT_EQ(Names(rules), (Strings{"e", "b", "c2", "d"}));
    EXPECT_EQ(rules.Snapshot()->at(2), edited);

    const auto before = rules.Snapshot();
    EXPECT_FALSE(rules.SwapRows(3, 4));
    EXPECT_FALSE(rules.Delete(4));
    EXPECT_FALSE(rules.Rewrite(4, edited));
    EXPECT_FALSE(rules.Insert(5, edited));
    EXPECT_EQ(rules.Snapshot(), before) << "a refused change must not publish a new list";

    rules.Clear();
    EXPECT_EQ(rules.Count(), 0u);
}

TEST(AccessRules, HeldSnapshotIsUntouchedByLaterChanges) {
    TAccessRules rules;
    rules.Assign({AllowPeer("a", "10.0.0.1"), AllowPeer("b", "10.0.0.2")});
    const auto held = rules.Snapshot();
    rules.SwapRows(0, 1);
    rules.Delete(0);
    ASSERT_EQ(held->size(), 2u);
    EXPECT_EQ((*held)[0].mName, "a");
    EXPECT_EQ((*held)[1].mName, "b");
    EXPECT_EQ(Names(rules), (Strings{"a"}));
}

TEST(AccessRules, NextEvaluationSeesTheChange) {
    TAccessRules rules;
    EXPECT_TRUE(rules.GetAccessRestriction("0.0.0.0", "10.0.0.7", 1080, 5000));
    rules.Add({"deny", "0.0.0.0", "1080", "10.0.0.7", "0", "Deny", "Yes"});
    EXPECT_FALSE(rules.GetAccessRestriction("0.0.0.0", "10.0.0.7", 1080, 5000));
    rules.Rewrite(0, {"deny", "0.0.0.0", "1080", "10.0.0.7", "0", "Deny", "No"});
    EXPECT_TRUE(rules.GetAccessRestriction("0.0.0.0", "10.0.0.7", 1080, 5000));
}

// Readers evaluate while the main thread carries one rule up and down the
// list. Every rule admits its own peer and the last denies everyone, so a
// reader that saw a rule missing (or a neighbour twice in its place) would
// see that rule's peer denied; the snapshot count catches the same directly.
TEST(AccessRules, ReadersNeverSeeAHalfMovedRule) {
    constexpr int Movable = 6;
    constexpr int Moves = 100000;
    constexpr int Readers = 4;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);

    TAccessRules rules;
    std::vector<std::string> peers;
    TAccessRules::TList initial;
    for (int i = 0; i < Movable; ++i) {
        peers.push_back("10.0.1." + std::to_string(i + 1));
        initial.push_back(AllowPeer("rule" + std::to_string(i), peers.back()));
    }
    initial.push_back({"deny all", "0.0.0.0", "1080", "0.0.0.0", "0", "Deny", "Yes"});
    rules.Assign(initial);

    std::atomic<bool> done{false};
    std::array<std::atomic<long>, Readers> passes{};
    std::atomic<long> wrongVerdicts{0};
    std::atomic<long> wrongCounts{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < Readers; ++r) {
        readers.emplace_back([&, r] {
            while (!done.load() && std::chrono::steady_clock::now() < deadline) {
                for (const std::string& peer : peers) {
                    if (!rules.GetAccessRestriction("0.0.0.0", peer, 1080, 40000))
                        ++wrongVerdicts;
                }
                if (rules.GetAccessRestriction("0.0.0.0", "10.0.2.1", 1080, 40000))
                    ++wrongVerdicts;
                std::map<std::string, int> seen;
                const auto snapshot = rules.Snapshot();
                for (const TAccessRule& rule : *snapshot)
                    ++seen[rule.mName];
                bool whole = seen.size() == initial.size();
                for (const auto& [name, count] : seen)
                    whole = whole && count == 1;
                if (!whole)
                    ++wrongCounts;
                ++passes[r];
            }
        });
    }
    ASSERT_TRUE(test::WaitFor(
        [&] {
            for (const auto& p : passes)
                if (p.load() == 0)
                    return false;
            return true;
        },
        std::chrono::seconds(10)));

    // Move rule0 down to the row above "deny all", then back up to the top,
    // and again, as Move down and Move up would.
    int row = 0;
    int step = 1;
    int moves = 0;
    for (; moves < Moves && std::chrono::steady_clock::now() < deadline; ++moves) {
        if (row + step < 0 || row + step >= Movable)
            step = -step;
        ASSERT_TRUE(
            rules.SwapRows(static_cast<std::size_t>(row), static_cast<std::size_t>(row + step)));
        row += step;
    }
    done = true;
    for (auto& t : readers)
        t.join();

    EXPECT_EQ(moves, Moves) << "the moves did not finish in time";
    EXPECT_EQ(wrongVerdicts.load(), 0);
    EXPECT_EQ(wrongCounts.load(), 0);
    EXPECT_EQ(rules.Snapshot()->at(static_cast<std::size_t>(row)).mName, "rule0");
    EXPECT_EQ(rules.Count(), initial.size());
}

} // namespace
} // namespace kestrune
