// Hands work from a framework thread to the program's main thread and waits
// for it (the UDP server with ThreadedEvent false). The main thread serves
// requests by calling CheckSynchronize() whenever the waker has told it to.
//
// Synchronize() is called from worker threads; CheckSynchronize() on the main
// thread only. A waiting worker gives up when its cancel flag is set and
// WakeWaiters() is called, so a deactivation never waits for the main thread.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace kestrune {

class TIdSync {
public:
    // Until a main thread is set, Synchronize runs the work at once on the
    // calling thread.
    static void SetMainThread(std::thread::id AMainThread, std::function<void()> AWaker);
    static void ClearMainThread();
    static bool IsMainThread();

    // Runs AWork on the main thread and waits for it; a failure it raises is
    // raised again here. Returns false, without running AWork, when ACancel
    // became true before the main thread took the request.
    static bool Synchronize(const std::function<void()>& AWork, const std::atomic<bool>* ACancel);
    // Runs the requests waiting now; returns how many ran.
    static size_t CheckSynchronize();
    // Makes every waiting Synchronize look at its cancel flag again.
    static void WakeWaiters();
};

} // namespace kestrune
