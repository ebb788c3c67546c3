// A wake-up descriptor (eventfd) that a blocking poll() watches beside its
// socket, so that a stop ends the wait at once. Signal() may be called from
// any thread; once signalled it stays signalled.
#pragma once

#include <atomic>
#include <memory>

namespace kestrune {

class TIdWakeUp {
public:
    TIdWakeUp();
    ~TIdWakeUp();
    TIdWakeUp(const TIdWakeUp&) = delete;
    TIdWakeUp& operator=(const TIdWakeUp&) = delete;

    void Signal();
    bool Signalled() const;
    // The descriptor to watch for POLLIN; -1 if none could be made, in which
    // case waiters still see Signalled() but are woken only by their socket.
    int Handle() const { return FHandle; }

private:
    int FHandle = -1;
    std::atomic<bool> FSignalled{false};
};

using TIdWakeUpPtr = std::shared_ptr<TIdWakeUp>;

// The wake-up of the server whose connection thread is running, so that an
// outbound connect or a one-shot listen on that thread ends when the server
// stops without its user having to wire anything.
TIdWakeUpPtr CurrentThreadWakeUp();
void SetCurrentThreadWakeUp(TIdWakeUpPtr AWakeUp);

} // namespace kestrune
