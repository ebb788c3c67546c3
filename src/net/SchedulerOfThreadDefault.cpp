#include "net/SchedulerOfThreadDefault.h"

#include <pthread.h>

#include <algorithm>
#include <new>

namespace kestrune {

struct TIdSchedulerOfThreadDefault::TState {
    std::mutex Lock;
    std::condition_variable Changed;
    size_t Active = 0;
    size_t MaxSpare = 16;
    bool ShuttingDown = false;
    std::vector<TIdYarn*> Spare;
};

struct TIdYarn {
    explicit TIdYarn(std::shared_ptr<TIdSchedulerOfThreadDefault::TState> AState)
        : State(std::move(AState)) {}

    std::mutex Lock;
    std::condition_variable Wake;
    std::function<void()> Task;
    bool HasTask = false;
    bool Quit = false;
    std::shared_ptr<TIdSchedulerOfThreadDefault::TState> State;

    // Notified under the lock: the thread may free the yarn as soon as it
    // sees the change, so nothing may touch it after the unlock.
    void Stop() {
        std::lock_guard<std::mutex> lock(Lock);
        Quit = true;
        Wake.notify_one();
    }

    static void* Run(void* AArg) {
        auto* yarn = static_cast<TIdYarn*>(AArg);
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> lock(yarn->Lock);
                yarn->Wake.wait(lock, [yarn] { return yarn->HasTask || yarn->Quit; });
                if (!yarn->HasTask)
                    break;
                task = std::move(yarn->Task);
                yarn->Task = nullptr;
                yarn->HasTask = false;
            }
            try {
                task();
            } catch (...) {
                // A task must not raise; if one does, the process goes on.
            }
            task = nullptr;
            auto& state = *yarn->State;
            bool park;
            {
                std::lock_guard<std::mutex> lock(state.Lock);
                --state.Active;
                park = !state.ShuttingDown && state.Spare.size() < state.MaxSpare;
                if (park)
                    state.Spare.push_back(yarn);
                state.Changed.notify_all();
            }
            if (!park)
                break;
        }
        delete yarn;
        return nullptr;
    }
};

namespace {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t DefaultStack = 2 * 1024 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr size_t DefaultStack = 2 * 1024 * 1024;
#else
constexpr size_t DefaultStack = 256 * 1024;
#endif
#else
// Enough for a 32 KB receive chunk and the protocol code above it; only the
// touched pages become resident.
constexpr size_t DefaultStack = 256 * 1024;
#endif
} // namespace

TIdSchedulerOfThreadDefault::TIdSchedulerOfThreadDefault()
    : StackSize(DefaultStack), FState(std::make_shared<TState>()) {}

TIdSchedulerOfThreadDefault::~TIdSchedulerOfThreadDefault() {
    Shutdown();
}

bool TIdSchedulerOfThreadDefault::CreateThread(void* (*AStart)(void*), void* AArg) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return false;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, std::max<size_t>(StackSize, PTHREAD_STACK_MIN));
    pthread_t thread;
    const bool started = pthread_create(&thread, &attr, AStart, AArg) == 0;
    pthread_attr_destroy(&attr);
    return started;
}

TIdYarn* TIdSchedulerOfThreadDefault::AcquireYarn() {
    {
        std::lock_guard<std::mutex> lock(FState->Lock);
        FState->MaxSpare = MaxSpareThreads;
        if (FState->ShuttingDown)
            return nullptr;
        if (!FState->Spare.empty()) {
            TIdYarn* yarn = FState->Spare.back();
            FState->Spare.pop_back();
            return yarn;
        }
    }
    auto* yarn = new (std::nothrow) TIdYarn(FState);
    if (!yarn)
        return nullptr;
    if (!CreateThread(&TIdYarn::Run, yarn)) {
        delete yarn;
        return nullptr;
    }
    return yarn;
}

void TIdSchedulerOfThreadDefault::StartYarn(TIdYarn* AYarn, std::function<void()> ATask) {
    {
        std::lock_guard<std::mutex> lock(FState->Lock);
        ++FState->Active;
    }
    std::lock_guard<std::mutex> lock(AYarn->Lock);
    AYarn->Task = std::move(ATask);
    AYarn->HasTask = true;
    AYarn->Wake.notify_one();
}

void TIdSchedulerOfThreadDefault::ReleaseYarn(TIdYarn* AYarn) {
    if (!AYarn)
        return;
    {
        std::lock_guard<std::mutex> lock(FState->Lock);
        if (!FState->ShuttingDown && FState->Spare.size() < FState->MaxSpare) {
            FState->Spare.push_back(AYarn);
            return;
        }
    }
    AYarn->Stop();
}

size_t TIdSchedulerOfThreadDefault::ActiveYarns() const {
    std::lock_guard<std::mutex> lock(FState->Lock);
    return FState->Active;
}

void TIdSchedulerOfThreadDefault::WaitForIdle() {
    std::unique_lock<std::mutex> lock(FState->Lock);
    FState->Changed.wait(lock, [this] { return FState->Active == 0; });
}

void TIdSchedulerOfThreadDefault::Shutdown() {
    std::vector<TIdYarn*> spare;
    {
        std::lock_guard<std::mutex> lock(FState->Lock);
        FState->ShuttingDown = true;
        spare.swap(FState->Spare);
    }
    for (TIdYarn* yarn : spare)
        yarn->Stop();
}

} // namespace kestrune
