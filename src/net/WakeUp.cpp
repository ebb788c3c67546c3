#include "net/WakeUp.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace kestrune {

TIdWakeUp::TIdWakeUp() : FHandle(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TIdWakeUp::~TIdWakeUp() {
    if (FHandle >= 0)
        close(FHandle);
}

void TIdWakeUp::Signal() {
    if (FSignalled.exchange(true) || FHandle < 0)
        return;
    const uint64_t one = 1;
    // A full counter cannot happen with one increment per stop; nothing to do on failure.
    [[maybe_unused]] ssize_t written = write(FHandle, &one, sizeof one);
}

bool TIdWakeUp::Signalled() const {
    return FSignalled.load();
}

namespace {
thread_local TIdWakeUpPtr tCurrentWakeUp;
}

TIdWakeUpPtr CurrentThreadWakeUp() {
    return tCurrentWakeUp;
}

void SetCurrentThreadWakeUp(TIdWakeUpPtr AWakeUp) {
    tCurrentWakeUp = std::move(AWakeUp);
}

} // namespace kestrune
