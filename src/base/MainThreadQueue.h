// The main thread's queue of handed-over work.
//
// Queue() may be called from any thread and never waits: on the main thread
// the work runs at once, on any other thread it is appended and the owner's
// waker is called so that the main thread drains the queue soon. Drain() runs
// on the main thread only; queued work must not wait for another thread.
#pragma once

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrune {

class MainThreadQueue {
public:
    using Work = std::function<void()>;

    // The constructing thread is the main thread.
    MainThreadQueue();

    MainThreadQueue(const MainThreadQueue&) = delete;
    MainThreadQueue& operator=(const MainThreadQueue&) = delete;

    // Called from the queuing thread whenever the queue goes from empty to
    // non-empty; it must only signal (post an event, write to an eventfd).
    void SetWaker(std::function<void()> waker);

    void Queue(Work work);

    // Runs the work that was queued before the call, in queue order, and
    // returns how many ran. Work queued meanwhile waits for the next call
    // (the waker has been told), so a flood cannot starve the main thread.
    std::size_t Drain();

    bool Empty() const;
    bool OnMainThread() const { return std::this_thread::get_id() == mMainId; }

private:
    mutable std::mutex mLock;
    std::vector<Work> mPending;
    std::vector<Work> mRunning; // reused between drains to keep its capacity
    std::function<void()> mWaker;
    const std::thread::id mMainId;
};

} // namespace kestrune
