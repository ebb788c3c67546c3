// The event log lines on their way from the threads that write them to the
// one consumer that shows or prints them (the window's main thread, or
// kestruned's output thread), bounded so that no flood of events can grow
// memory however slowly the consumer takes them.
//
// Push and PushDenied may be called from any thread and never wait for the
// consumer. Take, NextDue and SetWaker belong to the consumer.
//
// Refusals collapse per service, kind and peer address: the first refusal
// of a peer in a second is passed on at once; the others of that second
// become one line "[name] Denied: IP:port (and N more)" once the second is
// over. Lines of any other kind are never dropped for refusals' sake:
// refusals have a budget of their own.
//
// Each line carries the moment of its event, taken when it is pushed, so
// that a consumer that falls behind still stamps it truthfully. A collapsed
// line carries the moment its second ended: by then it had counted them all.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace kestrune {

// One line as the consumer takes it.
struct TLogLine {
    std::string Text;
    std::chrono::system_clock::time_point Time; // of the event
    bool operator==(const TLogLine&) const = default;
};

class TLogQueue {
public:
    using TClock = std::chrono::steady_clock;
    using TWallClock = std::chrono::system_clock;

    // Bound on the waiting lines other than refusals, counted as their text
    // plus an allowance per line; past it lines are counted, not kept, and
    // the count is reported once the consumer catches up.
    static constexpr std::size_t MaxPendingBytes = 16u << 20;
    static constexpr std::size_t LineAllowance = 64;
    // Bounds on refusals: peers whose second is open, and refusal lines
    // waiting. Past them refusals are only counted, per service.
    static constexpr std::size_t MaxPeers = 4096;
    static constexpr std::size_t MaxPendingDenials = 4096;
    static constexpr TClock::duration Window = std::chrono::seconds(1);

    TLogQueue() = default;
    TLogQueue(const TLogQueue&) = delete;
    TLogQueue& operator=(const TLogQueue&) = delete;

    // Replaceable so that tests can move time: Clock measures the seconds
    // of the collapse, WallClock gives the lines their moment.
    std::function<TClock::time_point()> Clock = [] { return TClock::now(); };
    std::function<TWallClock::time_point()> WallClock = [] { return TWallClock::now(); };

    // Called on the pushing thread, without the queue's lock, when there is
    // something for a consumer that has taken everything since it was last
    // woken; it must only signal.
    void SetWaker(std::function<void()> waker);

    void Push(std::string line);
    // A refusal by service `name` of the peer at `address`; `peer` is the
    // "IP:port" text the line shows, `kind` the word after the name
    // ("Denied", or "Too many senders" for a sender the table had no room
    // for). Kinds collapse apart.
    void PushDenied(const std::string& name, const std::string& address, const std::string& peer,
                    const std::string& kind = "Denied");

    // Appends the lines that are due to `out`, in order, and returns how
    // many. With `all`, the refusals still being collapsed are written out
    // too (the services have stopped, or the program is ending).
    std::size_t Take(std::vector<TLogLine>& out, bool all = false);
    // When the next collapsed line falls due, if one is waiting.
    std::optional<TClock::time_point> NextDue() const;

private:
    struct TPending {
        TLogLine Line;
        bool Denial = false;
    };
    // One refused peer of one service while its second is open.
    struct TPeer {
        std::string Prefix; // "[name] Kind: "
        TClock::time_point Start;
        TWallClock::time_point WallStart;
        uint64_t More = 0;     // refusals after the first in this second
        std::string FirstMore; // the peer text of the first of those
    };
    // Refusals of one service and kind that exceeded the bounds.
    struct TOverflow {
        TClock::time_point Start;
        TWallClock::time_point WallStart;
        uint64_t Count = 0;
    };

    // All with the lock held; each returns true when the consumer should be
    // woken.
    bool Append(std::string text, TWallClock::time_point time, bool denial);
    bool Overflow(const std::string& prefix, TClock::time_point now);
    void Expire(TClock::time_point now, bool all);
    bool TakeWake();

    mutable std::mutex mLock;
    std::deque<TPending> mPending;
    std::size_t mPendingBytes = 0;
    std::size_t mPendingDenials = 0;
    uint64_t mLost = 0;
    std::unordered_map<std::string, TPeer> mPeers; // key: prefix, '\n', address
    // The keys of mPeers in the order their seconds began, so that the
    // peers whose second is over are found at the front.
    std::deque<std::string> mPeerOrder;
    std::map<std::string, TOverflow> mOverflow; // by prefix
    bool mWoken = false;
    std::function<void()> mWaker;
};

} // namespace kestrune
