// AccessRules: the ordered access rules, first row first in priority.
//
// Connection threads call the two verdicts and Snapshot at any time; the
// changes (Add, Insert, Delete, SwapRows, Rewrite, Assign) come from the main
// thread. Each change publishes a new immutable list in one step, so a reader
// sees the rules wholly before or wholly after it, never a half-moved row.
#pragma once

#include "base/AccessRule.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrune {

class TAccessRules {
public:
    using TList = std::vector<TAccessRule>;
    using TSnapshot = std::shared_ptr<const TList>;

    TAccessRules();
    TAccessRules(const TAccessRules&) = delete;
    TAccessRules& operator=(const TAccessRules&) = delete;

    // The current list; it never changes after it is returned, so a caller
    // may read it as long as it likes without holding anything else. Keep
    // it in a variable: `for (auto& r : *rules.Snapshot())` frees the list
    // before the loop body runs.
    TSnapshot Snapshot() const;
    std::size_t Count() const { return Snapshot()->size(); }

    // Appends a rule below all others (a new rule has the lowest priority).
    void Add(TAccessRule rule);
    // Inserts a rule before row `index` (index == Count appends); false and
    // no change when index is past the end.
    bool Insert(std::size_t index, TAccessRule rule);
    // Removes row `index`; false and no change when there is no such row.
    bool Delete(std::size_t index);
    // Exchanges the contents of rows a and b in one change, as Move up and
    // Move down do; false and no change when either row is missing.
    bool SwapRows(std::size_t a, std::size_t b);
    // Replaces the rule in row `index`, which keeps its place and priority;
    // false and no change when there is no such row.
    bool Rewrite(std::size_t index, TAccessRule rule);
    // Told after every change, on the thread that made it (the main thread),
    // so that flows admitted once can be held to the new rules.
    std::function<void()> OnChanged;

    // Replaces the whole list.
    void Assign(TList rules);
    void Clear() { Assign({}); }

    // The verdict of the list as it stands at the call (taken once).
    bool GetAccessRestriction(const std::string& mOwnHost, const std::string& mRemHost,
                              int mOwnPort, int mRemPort) const;
    TDestinationVerdict GetDestinationRestriction(const std::string& mOwnHost,
                                                  const std::string& mRemHost, int mOwnPort,
                                                  int mRemPort, const TDestination& ATarget,
                                                  bool ASkipAddressRules) const;

private:
    void Publish(TList rules);

    // Serialises changes, so that two writers never both copy the same list
    // and one of their changes is lost.
    std::mutex mChangeLock;
    // Guards only the pointer: readers hold it for one reference-count step.
    mutable std::mutex mLock;
    TSnapshot mRules;
};

} // namespace kestrune
