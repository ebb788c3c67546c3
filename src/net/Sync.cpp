#include "net/Sync.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace kestrune {

namespace {

struct TRequest {
    const std::function<void()>* Work = nullptr;
    bool Started = false;
    bool Done = false;
    std::exception_ptr Failure;
};

struct TSyncState {
    std::mutex Lock;
    std::condition_variable Changed;
    std::deque<TRequest*> Pending;
    std::thread::id MainThread;
    bool HasMainThread = false;
    std::function<void()> Waker;
};

TSyncState& State() {
    static TSyncState state;
    return state;
}

} // namespace

void TIdSync::SetMainThread(std::thread::id AMainThread, std::function<void()> AWaker) {
    TSyncState& state = State();
    std::lock_guard<std::mutex> lock(state.Lock);
    state.MainThread = AMainThread;
    state.HasMainThread = true;
    state.Waker = std::move(AWaker);
}

void TIdSync::ClearMainThread() {
    TSyncState& state = State();
    std::lock_guard<std::mutex> lock(state.Lock);
    state.HasMainThread = false;
    state.Waker = nullptr;
}

bool TIdSync::IsMainThread() {
    TSyncState& state = State();
    std::lock_guard<std::mutex> lock(state.Lock);
    return state.HasMainThread && state.MainThread == std::this_thread::get_id();
}

bool TIdSync::Synchronize(const std::function<void()>& AWork, const std::atomic<bool>* ACancel) {
    TSyncState& state = State();
    TRequest request;
    request.Work = &AWork;
    std::function<void()> waker;
    {
        std::unique_lock<std::mutex> lock(state.Lock);
        if (!state.HasMainThread || state.MainThread == std::this_thread::get_id()) {
            lock.unlock();
            AWork();
            return true;
        }
        state.Pending.push_back(&request);
        waker = state.Waker;
    }
    if (waker)
        waker();
    std::unique_lock<std::mutex> lock(state.Lock);
    state.Changed.wait(
        lock, [&] { return request.Done || (!request.Started && ACancel && ACancel->load()); });
    if (!request.Done) {
        state.Pending.erase(std::remove(state.Pending.begin(), state.Pending.end(), &request),
                            state.Pending.end());
        return false;
    }
    if (request.Failure)
        std::rethrow_exception(request.Failure);
    return true;
}

size_t TIdSync::CheckSynchronize() {
    TSyncState& state = State();
    size_t ran = 0;
    for (;;) {
        TRequest* request;
        {
            std::lock_guard<std::mutex> lock(state.Lock);
            if (state.Pending.empty())
                return ran;
            request = state.Pending.front();
            state.Pending.pop_front();
            request->Started = true;
        }
        std::exception_ptr failure;
        try {
            (*request->Work)();
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(state.Lock);
            request->Failure = failure;
            request->Done = true;
        }
        state.Changed.notify_all();
        ++ran;
    }
}

void TIdSync::WakeWaiters() {
    TSyncState& state = State();
    { std::lock_guard<std::mutex> lock(state.Lock); }
    state.Changed.notify_all();
}

} // namespace kestrune
