#include "net/EventLoop.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>

namespace kestrune {

static_assert(TIdEventLoop::EdgeEvents == (EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET));

namespace {
thread_local TIdEventLoop* tCurrent = nullptr;
} // namespace

TIdEventLoop* TIdEventLoop::Current() {
    return tCurrent;
}

void TIdLoopTimer::Arm(TIdEventLoop& ALoop, TClock::duration AAfter,
                       std::function<void()> AOnTime) {
    ArmAt(ALoop, TClock::now() + AAfter, std::move(AOnTime));
}

void TIdLoopTimer::ArmAt(TIdEventLoop& ALoop, TClock::time_point ADue,
                         std::function<void()> AOnTime) {
    Cancel();
    FOnTime = std::move(AOnTime);
    FLoop = &ALoop;
    FPosition = ALoop.FTimers.emplace(ADue, this);
}

void TIdLoopTimer::Cancel() {
    if (!FLoop)
        return;
    FLoop->FTimers.erase(FPosition);
    FLoop = nullptr;
    FOnTime = nullptr;
}

TIdEventLoop::TIdEventLoop()
    : FEpoll(epoll_create1(EPOLL_CLOEXEC)), FWake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (FEpoll < 0 || FWake < 0) {
        const int error = errno;
        if (FEpoll >= 0)
            close(FEpoll);
        if (FWake >= 0)
            close(FWake);
        throw std::system_error(error, std::generic_category(), "event loop");
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr; // the wake-up
    epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWake, &event);
    FThread = std::thread([this] { Run(); });
}

TIdEventLoop::~TIdEventLoop() {
    FStopped = true;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(FWake, &one, sizeof one);
    if (FThread.joinable())
        FThread.join();
    FRetired.clear();
    FAgain.clear();
    FDeferred.clear();
    FTasks.clear();
    for (auto& [due, timer] : FTimers)
        timer->FLoop = nullptr;
    FTimers.clear();
    for (TIdPipe& pipe : FPipes) {
        close(pipe.Read);
        close(pipe.Write);
    }
    if (FBlock)
        munmap(FBlock, FBlockSize);
    close(FWake);
    close(FEpoll);
}

void TIdEventLoop::Pause() {
    FStopped = true;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(FWake, &one, sizeof one);
    if (FThread.joinable())
        FThread.join();
    FStopped = false;
}

void TIdEventLoop::Resume() {
    FThread = std::thread([this] { Run(); });
}

void TIdEventLoop::Forget() {
    for (TIdPipe& pipe : FPipes) {
        close(pipe.Read);
        close(pipe.Write);
    }
    FPipes.clear();
    close(FWake);
    close(FEpoll);
}

void TIdEventLoop::Post(std::function<void()> ATask) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(FLock);
        FTasks.push_back(std::move(ATask));
        wake = !FWoken;
        FWoken = true;
    }
    if (wake) {
        const uint64_t one = 1;
        // The counter cannot overflow with one write per batch of tasks.
        [[maybe_unused]] ssize_t written = write(FWake, &one, sizeof one);
    }
}

bool TIdEventLoop::Watch(int AHandle, TIdLoopWatch& AWatch, uint32_t AEvents) {
    epoll_event event{};
    event.events = AEvents;
    event.data.ptr = &AWatch;
    return epoll_ctl(FEpoll, EPOLL_CTL_ADD, AHandle, &event) == 0;
}

bool TIdEventLoop::Modify(int AHandle, TIdLoopWatch& AWatch, uint32_t AEvents) {
    epoll_event event{};
    event.events = AEvents;
    event.data.ptr = &AWatch;
    return epoll_ctl(FEpoll, EPOLL_CTL_MOD, AHandle, &event) == 0;
}

void TIdEventLoop::Unwatch(int AHandle) {
    epoll_ctl(FEpoll, EPOLL_CTL_DEL, AHandle, nullptr);
}

void TIdEventLoop::Retire(std::shared_ptr<void> AKeep) {
    FRetired.push_back(std::move(AKeep));
}

void TIdEventLoop::Again(std::shared_ptr<TIdLoopWork> AWork) {
    FAgain.push_back(std::move(AWork));
}

void TIdEventLoop::Defer(std::function<void()> ACall) {
    FDeferred.push_back(std::move(ACall));
}

int TIdEventLoop::UntilNextTimer() const {
    if (FTimers.empty())
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(FTimers.begin()->first -
                                                                   TIdLoopTimer::TClock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
}

void TIdEventLoop::RunDueTimers() {
    const auto now = TIdLoopTimer::TClock::now();
    while (!FTimers.empty() && FTimers.begin()->first <= now) {
        TIdLoopTimer& timer = *FTimers.begin()->second;
        FTimers.erase(FTimers.begin());
        timer.FLoop = nullptr;
        std::function<void()> onTime = std::move(timer.FOnTime);
        timer.FOnTime = nullptr;
        // The handler may free the timer's owner: nothing of the timer is
        // touched after it.
        if (onTime)
            onTime();
    }
}

uint8_t* TIdEventLoop::ReadBlock(size_t ASize) {
    if (FBlockSize < ASize) {
        if (FBlock)
            munmap(FBlock, FBlockSize);
        FBlock = nullptr;
        FBlockSize = 0;
        void* block =
            mmap(nullptr, ASize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED)
            throw std::bad_alloc();
        FBlock = block;
        FBlockSize = ASize;
    }
    return static_cast<uint8_t*>(FBlock);
}

TIdPipe TIdEventLoop::TakePipe() {
    if (!FPipes.empty()) {
        TIdPipe pipe = FPipes.back();
        FPipes.pop_back();
        return pipe;
    }
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0)
        return TIdPipe();
    TIdPipe pipe{ends[0], ends[1], 0};
    // Large enough that a block passes in one move; where the system allows
    // less (a user's quota of pipe memory), the pipe keeps what it has.
    int size = fcntl(pipe.Write, F_SETPIPE_SZ, static_cast<int>(PipeSize));
    if (size < 0)
        size = fcntl(pipe.Write, F_GETPIPE_SZ);
    pipe.Size = size > 0 ? static_cast<size_t>(size) : 4096;
    return pipe;
}

void TIdEventLoop::GivePipe(TIdPipe& APipe, bool AEmpty) {
    if (!APipe)
        return;
    if (AEmpty && FPipes.size() < MaxSparePipes) {
        FPipes.push_back(APipe);
    } else {
        close(APipe.Read);
        close(APipe.Write);
    }
    APipe = TIdPipe();
}

void TIdEventLoop::Run() {
    FThreadId = std::this_thread::get_id();
    tCurrent = this;
    constexpr int MaxEvents = 256;
    epoll_event events[MaxEvents];
    std::vector<std::function<void()>> tasks;
    std::vector<std::shared_ptr<TIdLoopWork>> again;
    std::vector<std::function<void()>> deferred;
    while (!FStopped) {
        const int timeout = !FAgain.empty() || !FDeferred.empty() ? 0 : UntilNextTimer();
        const int count = epoll_wait(FEpoll, events, MaxEvents, timeout);
        if (count < 0 && errno != EINTR) {
            // Nothing can be served any more, and a stop would wait for
            // connections that can never end: better to end the process and
            // let its supervisor start it again than to hang.
            char text[160];
            std::snprintf(text, sizeof text, "kestrune: event loop failed: %s\n",
                          std::strerror(errno));
            [[maybe_unused]] ssize_t n = write(STDERR_FILENO, text, std::strlen(text));
            std::_Exit(70);
        }
        for (int i = 0; i < count; ++i) {
            if (!events[i].data.ptr) {
                uint64_t value;
                [[maybe_unused]] ssize_t got = read(FWake, &value, sizeof value);
                continue;
            }
            static_cast<TIdLoopWatch*>(events[i].data.ptr)->OnEvents(events[i].events);
        }
        {
            std::lock_guard<std::mutex> lock(FLock);
            tasks.swap(FTasks);
            FWoken = false;
        }
        for (auto& task : tasks)
            task();
        tasks.clear();
        again.swap(FAgain);
        for (auto& work : again)
            work->RunAgain();
        again.clear();
        deferred.swap(FDeferred);
        for (auto& call : deferred)
            call();
        deferred.clear();
        RunDueTimers();
        // Swapped out first: what a released object retires in its
        // destructor waits for the next turn.
        std::vector<std::shared_ptr<void>> retired;
        retired.swap(FRetired);
        retired.clear();
    }
    tCurrent = nullptr;
}

namespace {

// Made on first use. A forked child gets loops of its own when it needs
// them: the inherited ones share their epoll with the parent and have no thread.
struct TLoops {
    std::mutex Lock;
    std::vector<TIdEventLoop*> Items;
    std::atomic<size_t> Turn{0};

    ~TLoops() {
        for (TIdEventLoop* loop : Items)
            delete loop;
    }
    std::vector<TIdEventLoop*>& Get() {
        if (Items.empty()) {
            const unsigned processors = std::max(std::thread::hardware_concurrency(), 1u);
            for (unsigned i = 0; i < std::min(processors, 4u); ++i)
                Items.push_back(new TIdEventLoop());
        }
        return Items;
    }
};

TLoops& Loops() {
    static TLoops loops;
    static std::once_flag registered;
    std::call_once(registered, [] {
        pthread_atfork(
            [] {
                Loops().Lock.lock();
                for (TIdEventLoop* loop : Loops().Items)
                    loop->Pause();
            },
            [] {
                for (TIdEventLoop* loop : Loops().Items)
                    loop->Resume();
                Loops().Lock.unlock();
            },
            [] {
                for (TIdEventLoop* loop : Loops().Items)
                    loop->Forget(); // the object stays: its thread cannot be joined here
                Loops().Items.clear();
                Loops().Lock.unlock();
            });
    });
    return loops;
}

} // namespace

TIdEventLoop& TIdEventLoops::Next() {
    TLoops& loops = Loops();
    std::lock_guard<std::mutex> lock(loops.Lock);
    auto& items = loops.Get();
    return *items[loops.Turn.fetch_add(1, std::memory_order_relaxed) % items.size()];
}

size_t TIdEventLoops::Count() {
    TLoops& loops = Loops();
    std::lock_guard<std::mutex> lock(loops.Lock);
    return loops.Get().size();
}

std::vector<TIdEventLoop*> TIdEventLoops::All() {
    TLoops& loops = Loops();
    std::lock_guard<std::mutex> lock(loops.Lock);
    return loops.Get();
}

bool TIdEventLoops::WatchOnAll(int AHandle, TIdLoopWatch& AWatch) {
    std::vector<TIdEventLoop*> added;
    for (TIdEventLoop* loop : All()) {
        epoll_event event{};
        // Exclusive: a client wakes one waiting loop, not all of them.
        event.events = EPOLLIN | EPOLLEXCLUSIVE;
        event.data.ptr = &AWatch;
        if (epoll_ctl(loop->FEpoll, EPOLL_CTL_ADD, AHandle, &event) != 0) {
            for (TIdEventLoop* previous : added)
                epoll_ctl(previous->FEpoll, EPOLL_CTL_DEL, AHandle, nullptr);
            if (!added.empty())
                Sync();
            return false;
        }
        added.push_back(loop);
    }
    return true;
}

void TIdEventLoops::UnwatchOnAll(int AHandle) {
    for (TIdEventLoop* loop : All())
        epoll_ctl(loop->FEpoll, EPOLL_CTL_DEL, AHandle, nullptr);
    // An event taken before the removal may still be on its way to the watch.
    Sync();
}

void TIdEventLoops::Sync() {
    const std::vector<TIdEventLoop*> loops = All();
    std::mutex lock;
    std::condition_variable done;
    size_t left = loops.size();
    for (TIdEventLoop* loop : loops) {
        loop->Post([&] {
            // Notified under the lock: this frame may go as soon as it is released.
            std::lock_guard<std::mutex> guard(lock);
            --left;
            done.notify_all();
        });
    }
    std::unique_lock<std::mutex> guard(lock);
    done.wait(guard, [&] { return left == 0; });
}

} // namespace kestrune
