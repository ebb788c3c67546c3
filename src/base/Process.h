// Process-wide settings that every Kestrune program makes first thing.
#pragma once

#include <csignal>
#include <malloc.h>
#include <sys/resource.h>

namespace kestrune {

inline void ConfigureProcess() {
    // A peer that goes away must give an error on the send, not end us.
    std::signal(SIGPIPE, SIG_IGN);
    // Many pooled threads: with an allocator arena per thread, freed memory
    // stays scattered over many arenas and the resident size creeps up under
    // churn. Two arenas keep it where it started; the relay does not
    // allocate per block, so they see little contention.
    mallopt(M_ARENA_MAX, 2);
    // Each relayed connection holds two descriptors: the soft limit (often
    // 1024) would cap a server at a few hundred of them long before the
    // hard limit the system grants.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace kestrune
