#include "base/MainThreadQueue.h"

namespace kestrune {

MainThreadQueue::MainThreadQueue() : mMainId(std::this_thread::get_id()) {}

void MainThreadQueue::SetWaker(std::function<void()> waker) {
    std::lock_guard lock(mLock);
    mWaker = std::move(waker);
}

void MainThreadQueue::Queue(Work work) {
    std::function<void()> wake;
    {
        std::lock_guard lock(mLock);
        if (std::this_thread::get_id() != mMainId) {
            const bool wasEmpty = mPending.empty();
            mPending.push_back(std::move(work));
            if (wasEmpty)
                wake = mWaker;
            work = nullptr;
        }
    }
    if (work)
        work();
    else if (wake)
        wake();
}

std::size_t MainThreadQueue::Drain() {
    std::vector<Work> batch;
    {
        std::lock_guard lock(mLock);
        batch.swap(mPending);
        mPending.swap(mRunning); // hand the spare capacity back to the producers
    }
    for (auto& work : batch)
        work();
    const std::size_t count = batch.size();
    batch.clear();
    // Keep a modest batch's memory for the next one; a flood's goes back.
    if (batch.capacity() > 4096)
        return count;
    std::lock_guard lock(mLock);
    if (mRunning.capacity() < batch.capacity())
        mRunning.swap(batch);
    return count;
}

bool MainThreadQueue::Empty() const {
    std::lock_guard lock(mLock);
    return mPending.empty();
}

} // namespace kestrune
