#include "base/LogQueue.h"

#include <algorithm>

namespace kestrune {

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

bool TLogQueue::Append(std::string text, TWallClock::time_point time, bool denial) {
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
    mPending.push_back({{std::move(text), time}, denial});
    return TakeWake();
}

bool TLogQueue::Overflow(const std::string& prefix, TClock::time_point now) {
    TOverflow& overflow = mOverflow[prefix];
    if (overflow.Count++ > 0)
        return false;
    overflow.Start = now;
    overflow.WallStart = WallClock();
    return TakeWake();
}

void TLogQueue::Push(std::string line) {
    std::function<void()> wake;
    {
        std::lock_guard lock(mLock);
        // Under the lock, so that the times follow the order of the lines.
        if (Append(std::move(line), WallClock(), false))
            wake = mWaker;
    }
    if (wake)
        wake();
}

void TLogQueue::PushDenied(const std::string& name, const std::string& address,
                           const std::string& peer, const std::string& kind) {
    std::function<void()> wake;
    {
        std::lock_guard lock(mLock);
        // Taken under the lock, so that peers enter in the order of their
        // seconds.
        const TClock::time_point now = Clock();
        std::string prefix = "[" + name + "] " + kind + ": ";
        const std::string key = prefix + '\n' + address;
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
                woken = Overflow(prefix, now);
            } else {
                const TWallClock::time_point wall = WallClock();
                woken = Append(prefix + peer, wall, true);
                mPeers[key] = TPeer{std::move(prefix), now, wall, 0, {}};
                mPeerOrder.push_back(key);
            }
        }
        if (woken)
            wake = mWaker;
    }
    if (wake)
        wake();
}

void TLogQueue::Expire(TClock::time_point now, bool all) {
    // A second written out before it is over (`all`) ended now.
    std::optional<TWallClock::time_point> wallNow;
    auto ended = [&](TWallClock::time_point start) {
        if (!all)
            return start + Window;
        if (!wallNow)
            wallNow = WallClock();
        return std::min(start + Window, *wallNow);
    };
    // Peers enter in the order of their seconds: the first one still open
    // ends the walk.
    while (!mPeerOrder.empty()) {
        auto it = mPeers.find(mPeerOrder.front());
        TPeer& p = it->second;
        if (!all && now < p.Start + Window)
            break;
        if (p.More > 0) {
            if (mPendingDenials >= MaxPendingDenials) {
                TOverflow& overflow = mOverflow[p.Prefix];
                if (overflow.Count == 0) {
                    overflow.Start = now;
                    overflow.WallStart = WallClock();
                }
                overflow.Count += p.More;
            } else {
                std::string text = p.Prefix + p.FirstMore;
                if (p.More > 1)
                    text += " (and " + std::to_string(p.More - 1) + " more)";
                Append(std::move(text), ended(p.WallStart), true);
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
        // One line per service, kind and second, whatever the budget: there
        // are only as many as services.
        Append(it->first + std::to_string(it->second.Count) + " more from other peers",
               ended(it->second.WallStart), true);
        it = mOverflow.erase(it);
    }
}

std::size_t TLogQueue::Take(std::vector<TLogLine>& out, bool all) {
    const TClock::time_point now = Clock();
    const std::size_t before = out.size();
    std::lock_guard lock(mLock);
    Expire(now, all);
    for (TPending& pending : mPending)
        out.push_back(std::move(pending.Line));
    mPending.clear();
    mPendingBytes = 0;
    mPendingDenials = 0;
    if (mLost > 0) {
        out.push_back({"Event log: " + std::to_string(mLost) +
                           " lines dropped while the output was too slow to take them",
                       WallClock()});
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
