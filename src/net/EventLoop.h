// The threads that carry every connection of the process: a few (one per
// processor, at most 4), each waiting with epoll on the sockets it owns and
// running their steps as they become ready, so that a connection crosses no
// thread from accept to close and an idle one holds no thread and no buffer.
//
// Post() may be called from any thread and never waits for the loop;
// TIdEventLoops::Sync() and the shared watches are for the controlling thread
// (never a loop's own). Every other member belongs to the loop's own thread:
// the handlers it calls run there and must not wait for another thread's work.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrune {

class TIdEventLoop;

// Something whose sockets a loop watches; the epoll data of each of its
// sockets points at one of these.
class TIdLoopWatch {
public:
    virtual ~TIdLoopWatch() = default;
    // AEvents: the epoll events that came for the socket.
    virtual void OnEvents(uint32_t AEvents) = 0;
};

// Work a loop runs once the events at hand are handled.
class TIdLoopWork {
public:
    virtual ~TIdLoopWork() = default;
    virtual void RunAgain() = 0;
};

// A one-shot timer of one loop. Arm, Cancel and the destructor belong to the
// loop's thread; the handler runs there, and may arm the timer again.
class TIdLoopTimer {
public:
    using TClock = std::chrono::steady_clock;

    TIdLoopTimer() = default;
    ~TIdLoopTimer() { Cancel(); }
    TIdLoopTimer(const TIdLoopTimer&) = delete;
    TIdLoopTimer& operator=(const TIdLoopTimer&) = delete;

    void Arm(TIdEventLoop& ALoop, TClock::duration AAfter, std::function<void()> AOnTime);
    void ArmAt(TIdEventLoop& ALoop, TClock::time_point ADue, std::function<void()> AOnTime);
    void Cancel();
    bool Armed() const { return FLoop != nullptr; }

private:
    friend class TIdEventLoop;
    TIdEventLoop* FLoop = nullptr;
    std::multimap<TClock::time_point, TIdLoopTimer*>::iterator FPosition;
    std::function<void()> FOnTime;
};

// A pipe for moving bytes from one socket to another inside the kernel.
struct TIdPipe {
    int Read = -1;
    int Write = -1;
    size_t Size = 0; // what it holds at most
    explicit operator bool() const { return Read >= 0; }
};

class TIdEventLoop {
public:
    TIdEventLoop();
    ~TIdEventLoop(); // ends the thread; tasks not yet run are dropped
    TIdEventLoop(const TIdEventLoop&) = delete;
    TIdEventLoop& operator=(const TIdEventLoop&) = delete;

    // Runs ATask on the loop's thread after the tasks posted before it.
    void Post(std::function<void()> ATask);
    bool InLoopThread() const { return std::this_thread::get_id() == FThreadId.load(); }
    // The loop whose thread is calling, or nullptr on any other thread.
    static TIdEventLoop* Current();

    // Edge-triggered watch of a socket for reading, writing and the peer's end.
    static constexpr uint32_t EdgeEvents = 0x80000000u | 0x001u | 0x004u | 0x2000u;

    // Loop thread only. Watches AHandle with AEvents (epoll flags); the watch
    // stays until the descriptor is closed or Unwatch is called. Modify
    // gives a watched socket another watch or other events (and reports its
    // present state again, as a new watch would).
    bool Watch(int AHandle, TIdLoopWatch& AWatch, uint32_t AEvents = EdgeEvents);
    bool Modify(int AHandle, TIdLoopWatch& AWatch, uint32_t AEvents = EdgeEvents);
    void Unwatch(int AHandle);

    // Loop thread only: AKeep is released after the events already taken
    // from the system have been handled, so that none of them reaches a
    // freed watch.
    void Retire(std::shared_ptr<void> AKeep);
    // Loop thread only: AWork runs once the events at hand are handled (and
    // before the next wait), so that a handler can gather the events of one
    // wait before acting, or leave work undone to give the others a turn.
    void Again(std::shared_ptr<TIdLoopWork> AWork);
    // Loop thread only: ACall runs the same way, outside the caller's frame.
    void Defer(std::function<void()> ACall);

    // Loop thread only: the loop's block for reads, at least ASize bytes. Its
    // pages come from the system untouched and stay with the loop, so they
    // count once per loop, not once per relay.
    uint8_t* ReadBlock(size_t ASize);

    // Loop thread only: a non-blocking pipe of up to PipeSize bytes, from the
    // loop's spares or new; an empty one when the system has none. Give it
    // back empty; GivePipe closes one that still holds bytes (AEmpty false).
    TIdPipe TakePipe();
    void GivePipe(TIdPipe& APipe, bool AEmpty = true);

    static constexpr size_t PipeSize = 1 << 20;
    // Spare pipes kept per loop: pipes belong to blocks in flight, so an
    // idle relay holds none.
    static constexpr size_t MaxSparePipes = 16;

    // Around fork(): the thread stops (so that the process forks with no
    // thread of the loop's) and starts again in the parent.
    void Pause();
    void Resume();
    // In a forked child, where the thread does not exist: lets go of the
    // descriptors, which the parent's loop still uses.
    void Forget();

private:
    friend class TIdLoopTimer;
    friend class TIdEventLoops;
    void Run();
    // Milliseconds until the first timer is due (-1: none).
    int UntilNextTimer() const;
    void RunDueTimers();

    int FEpoll = -1;
    int FWake = -1;
    std::atomic<std::thread::id> FThreadId{};
    std::atomic<bool> FStopped{false};

    std::mutex FLock;
    std::vector<std::function<void()>> FTasks;
    bool FWoken = false; // a wake-up is pending: later posts need not write again

    // Loop thread only.
    std::vector<std::shared_ptr<void>> FRetired;
    std::vector<std::shared_ptr<TIdLoopWork>> FAgain;
    std::vector<std::function<void()>> FDeferred;
    std::multimap<TIdLoopTimer::TClock::time_point, TIdLoopTimer*> FTimers;
    void* FBlock = nullptr;
    size_t FBlockSize = 0;
    std::vector<TIdPipe> FPipes;

    std::thread FThread;
};

// The loops of the process, made on first use.
class TIdEventLoops {
public:
    // The loop for the next piece of work, in turn.
    static TIdEventLoop& Next();
    // How many loops there are (made if not yet).
    static size_t Count();
    // Every loop, made if not yet.
    static std::vector<TIdEventLoop*> All();

    // A socket watched by every loop at once (level-triggered, for reading),
    // of which one loop at a time is woken: a listening socket, so that the
    // loop that is free takes the client. AWatch runs on several loops at
    // once. Controlling thread only; false when a loop refused it.
    static bool WatchOnAll(int AHandle, TIdLoopWatch& AWatch);
    // Ends such a watch and returns when no loop will call it any more.
    static void UnwatchOnAll(int AHandle);
    // Returns once every loop has handled the events and tasks that came
    // before the call. Never on a loop's own thread.
    static void Sync();
};

} // namespace kestrune
