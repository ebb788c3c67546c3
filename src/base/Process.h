// Process-wide settings that every Kestrune program makes first thing.
#pragma once

#include <csignal>
#include <malloc.h>

namespace kestrune {

inline void ConfigureProcess() {
    // A peer that goes away must give an error on the send, not end us.
    std::signal(SIGPIPE, SIG_IGN);
    // One thread per connection: with an allocator arena per thread, freed
    // memory stays scattered over many arenas and the resident size creeps
    // up under churn. Two arenas keep it where it started; the relay does
    // not allocate per block, so they see little contention.
    mallopt(M_ARENA_MAX, 2);
}

} // namespace kestrune
