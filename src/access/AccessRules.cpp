#include "access/AccessRules.h"

#include "access/AccessRestriction.h"

#include <utility>

namespace kestrune {

TAccessRules::TAccessRules() : mRules(std::make_shared<const TList>()) {}

TAccessRules::TSnapshot TAccessRules::Snapshot() const {
    std::lock_guard guard(mLock);
    return mRules;
}

void TAccessRules::Publish(TList rules) {
    auto next = std::make_shared<const TList>(std::move(rules));
    // The old list is released outside the lock: when this was its last
    // reference, freeing it must not hold up the readers.
    TSnapshot old;
    {
        std::lock_guard guard(mLock);
        old = std::exchange(mRules, std::move(next));
    }
    if (OnChanged)
        OnChanged();
}

void TAccessRules::Add(TAccessRule rule) {
    std::lock_guard change(mChangeLock);
    TList rules = *Snapshot();
    rules.push_back(std::move(rule));
    Publish(std::move(rules));
}

bool TAccessRules::Insert(std::size_t index, TAccessRule rule) {
    std::lock_guard change(mChangeLock);
    TList rules = *Snapshot();
    if (index > rules.size())
        return false;
    rules.insert(rules.begin() + static_cast<std::ptrdiff_t>(index), std::move(rule));
    Publish(std::move(rules));
    return true;
}

bool TAccessRules::Delete(std::size_t index) {
    std::lock_guard change(mChangeLock);
    TList rules = *Snapshot();
    if (index >= rules.size())
        return false;
    rules.erase(rules.begin() + static_cast<std::ptrdiff_t>(index));
    Publish(std::move(rules));
    return true;
}

bool TAccessRules::SwapRows(std::size_t a, std::size_t b) {
    std::lock_guard change(mChangeLock);
    TList rules = *Snapshot();
    if (a >= rules.size() || b >= rules.size())
        return false;
    std::swap(rules[a], rules[b]);
    Publish(std::move(rules));
    return true;
}

bool TAccessRules::Rewrite(std::size_t index, TAccessRule rule) {
    std::lock_guard change(mChangeLock);
    TList rules = *Snapshot();
    if (index >= rules.size())
        return false;
    rules[index] = std::move(rule);
    Publish(std::move(rules));
    return true;
}

void TAccessRules::Assign(TList rules) {
    std::lock_guard change(mChangeLock);
    Publish(std::move(rules));
}

bool TAccessRules::GetAccessRestriction(const std::string& mOwnHost, const std::string& mRemHost,
                                        int mOwnPort, int mRemPort) const {
    const TSnapshot rules = Snapshot();
    return kestrune::GetAccessRestriction(*rules, mOwnHost, mRemHost, mOwnPort, mRemPort);
}

TDestinationVerdict TAccessRules::GetDestinationRestriction(const std::string& mOwnHost,
                                                            const std::string& mRemHost,
                                                            int mOwnPort, int mRemPort,
                                                            const TDestination& ATarget,
                                                            bool ASkipAddressRules) const {
    const TSnapshot rules = Snapshot();
    return kestrune::GetDestinationRestriction(*rules, mOwnHost, mRemHost, mOwnPort, mRemPort,
                                               ATarget, ASkipAddressRules);
}

} // namespace kestrune
