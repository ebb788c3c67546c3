// Supplies the threads that run connections: one thread per live connection,
// with a small stack, made ahead of need and kept parked for reuse so that a
// new client does not wait for thread creation.
//
// AcquireYarn/StartYarn/ReleaseYarn are called by listener threads and by
// connection threads that accept; WaitForIdle and Shutdown by the thread
// that deactivates the server.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrune {

// One connection thread, prepared or running a task.
struct TIdYarn;

class TIdSchedulerOfThreadDefault {
public:
    TIdSchedulerOfThreadDefault();
    virtual ~TIdSchedulerOfThreadDefault();
    TIdSchedulerOfThreadDefault(const TIdSchedulerOfThreadDefault&) = delete;
    TIdSchedulerOfThreadDefault& operator=(const TIdSchedulerOfThreadDefault&) = delete;

    std::string Name;
    size_t StackSize;
    // Finished threads kept parked for the next connections.
    size_t MaxSpareThreads = 16;

    // A thread ready for a task, or nullptr when none can be made (the
    // system's thread limit). Never raises.
    TIdYarn* AcquireYarn();
    // Runs ATask on the yarn's thread; the task must not raise.
    void StartYarn(TIdYarn* AYarn, std::function<void()> ATask);
    // Gives back a yarn that got no task.
    void ReleaseYarn(TIdYarn* AYarn);

    size_t ActiveYarns() const;
    // Returns when no task is running any more.
    void WaitForIdle();
    // Parked threads end; threads that finish later end instead of parking.
    void Shutdown();

    struct TState;

protected:
    // Starts a detached thread that runs AStart(AArg); false when the system
    // refuses. Tests override it to play the system's thread limit.
    virtual bool CreateThread(void* (*AStart)(void*), void* AArg);

private:
    std::shared_ptr<TState> FState;
};

} // namespace kestrune
