#include "net/EventLoop.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>

namespace kestrune {

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
    FTasks.clear();
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

bool TIdEventLoop::Watch(int AHandle, TIdLoopWatch& AWatch) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    event.data.ptr = &AWatch;
    return epoll_ctl(FEpoll, EPOLL_CTL_ADD, AHandle, &event) == 0;
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
    constexpr int MaxEvents = 256;
    epoll_event events[MaxEvents];
    std::vector<std::function<void()>> tasks;
    std::vector<std::shared_ptr<TIdLoopWork>> again;
    while (!FStopped) {
        const int count = epoll_wait(FEpoll, events, MaxEvents, FAgain.empty() ? -1 : 0);
        if (count < 0 && errno != EINTR)
            break;
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
        FRetired.clear();
    }
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

} // namespace kestrune
