#include "base/LogQueue.h"

#include <algorithm>

namespace kestrune {

namespace {

std::string DeniedPrefix(const std::string& name) {
    return "[" + name + "] Denied: ";
}

} // namespace

void TLogQueue::SetWaker(std::function<void()> waker) {
    std::lock_guard lock(mLock);
    mWaker = std::move(waker);
}

bool TLogQueue::TakeWake() {
    if (mWoken)
        return false;
    mWoken = true;
    return static_cast<bool>(mWaker);
}

bool TLogQueue::Append(std::string text, bool denial) {
    if (denial) {
        ++mPendingDenials;
    } else {
        const std::size_t cost = text.size() + LineAllowance;
        if (mPendingBytes + cost > MaxPendingBytes) {
            ++mLost;
            return false;
        }
        mPendingBytes += cost;
    }
    mPending.push_back({std::move(text), denial});
    return TakeWake();
}

bool TLogQueue::Overflow(const std::string& name, TClock::time_point now) {
    TOverflow& overflow = mOverflow[name];
    if (overflow.Count++ > 0)
        return false;
    overflow.Start = now;
    return TakeWake();
}

void TLogQueue::Push(std::string line) {
    std::function<void()> wake;
    {
        std::lock_guard lock(mLock);
        if (Append(std::move(line), false))
            wake = mWaker;
    }
    if (wake)
        wake();
}

void TLogQueue::PushDenied(const std::string& name, const std::string& address,
                           const std::string& peer) {
    std::function<void()> wake;
    {
        std::lock_guard lock(mLock);
        // Taken under the lock, so that peers enter in the order of their
        // seconds.
        const TClock::time_point now = Clock();
        const std::string key = name + '\n' + address;
        auto it = mPeers.find(key);
        bool woken = false;
        if (it != mPeers.end() && now < it->second.Start + Window) {
            TPeer& p = it->second;
            if (p.More++ == 0) {
                p.FirstMore = peer;
                // The collapsed line falls due later: the consumer needs
                // to learn when.
                woken = TakeWake();
            }
        } else {
            // Ends this peer's second, and frees the places of peers whose
            // second is over.
            if (it != mPeers.end() || mPeers.size() >= MaxPeers)
                Expire(now, false);
            if (mPeers.size() >= MaxPeers || mPendingDenials >= MaxPendingDenials) {
                woken = Overflow(name, now);
            } else {
                mPeers[key] = TPeer{name, now, 0, {}};
                mPeerOrder.push_back(key);
                woken = Append(DeniedPrefix(name) + peer, true);
            }
        }
        if (woken)
            wake = mWaker;
    }
    if (wake)
        wake();
}

void TLogQueue::Expire(TClock::time_point now, bool all) {
    // Peers enter in the order of their seconds: the first one still open
    // ends the walk.
    while (!mPeerOrder.empty()) {
        auto it = mPeers.find(mPeerOrder.front());
        TPeer& p = it->second;
        if (!all && now < p.Start + Window)
            break;
        if (p.More > 0) {
            if (mPendingDenials >= MaxPendingDenials) {
                TOverflow& overflow = mOverflow[p.Name];
                if (overflow.Count == 0)
                    overflow.Start = now;
                overflow.Count += p.More;
            } else {
                std::string text = DeniedPrefix(p.Name) + p.FirstMore;
                if (p.More > 1)
                    text += " (and " + std::to_string(p.More - 1) + " more)";
                Append(std::move(text), true);
            }
        }
        mPeers.erase(it);
        mPeerOrder.pop_front();
    }
    for (auto it = mOverflow.begin(); it != mOverflow.end();) {
        if (!all && now < it->second.Start + Window) {
            ++it;
            continue;
        }
        // One line per service and second, whatever the budget: there are
        // only as many as services.
        Append(DeniedPrefix(it->first) + std::to_string(it->second.Count) +
                   " more from other peers",
               true);
        it = mOverflow.erase(it);
    }
}

std::size_t TLogQueue::Take(std::vector<std::string>& out, bool all) {
    const TClock::time_point now = Clock();
    const std::size_t before = out.size();
    std::lock_guard lock(mLock);
    Expire(now, all);
    for (TPending& line : mPending)
        out.push_back(std::move(line.Text));
    mPending.clear();
    mPendingBytes = 0;
    mPendingDenials = 0;
    if (mLost > 0) {
        out.push_back("Event log: " + std::to_string(mLost) +
                      " lines dropped while the output was too slow to take them");
        mLost = 0;
    }
    mWoken = false;
    return out.size() - before;
}

std::optional<TLogQueue::TClock::time_point> TLogQueue::NextDue() const {
    std::lock_guard lock(mLock);
    std::optional<TClock::time_point> due;
    auto consider = [&due](TClock::time_point at) {
        if (!due || at < *due)
            due = at;
    };
    for (const auto& [key, p] : mPeers)
        if (p.More > 0)
            consider(p.Start + Window);
    for (const auto& [name, overflow] : mOverflow)
        consider(overflow.Start + Window);
    return due;
}

} // namespace kestrune
