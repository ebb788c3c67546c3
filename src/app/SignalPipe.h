// Turns SIGINT, SIGTERM and SIGHUP into bytes on a pipe that the main loop
// watches, so that the program's reaction runs on the main thread. Installed
// first thing in main(): a signal that arrives while the program is still
// starting stays noted until the loop reads it.
//
// What was asked is kept in flags, not in the bytes: a pipe keeps only as
// many bytes as it has room for, and the last of them says nothing of the
// ones before it (a stop followed at once by a reload must still stop).
#pragma once

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kestrune {

class TSignalPipe {
public:
    // Every kind of request seen since the last Take.
    struct TRequests {
        bool Stop = false;   // SIGINT or SIGTERM
        bool Reload = false; // SIGHUP
        bool Any() const { return Stop || Reload; }
    };

    // Returns the read end, or -1 when no pipe could be made.
    static int Install() {
        sigset_t block, old;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        sigaddset(&block, SIGTERM);
        sigaddset(&block, SIGHUP);
        // Held back until the handlers are in place: a watcher that sees the
        // pipe knows that a signal can no longer kill the program.
        pthread_sigmask(SIG_BLOCK, &block, &old);
        std::signal(SIGPIPE, SIG_IGN);
        if (pipe2(Fds(), O_CLOEXEC | O_NONBLOCK) == 0) {
            struct sigaction action {};
            action.sa_handler = OnSignal;
            sigemptyset(&action.sa_mask);
            action.sa_flags = SA_RESTART;
            sigaction(SIGINT, &action, nullptr);
            sigaction(SIGTERM, &action, nullptr);
            sigaction(SIGHUP, &action, nullptr);
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return Fds()[0];
    }

    // Empties the pipe and returns what was asked since the last call. A
    // signal that comes meanwhile is either in the result or leaves a byte
    // for the next wake-up: the flags are read after the bytes.
    static TRequests Take() {
        unsigned char buf[64];
        while (read(Fds()[0], buf, sizeof buf) > 0) {
        }
        TRequests requests;
        requests.Stop = mStop.exchange(false);
        requests.Reload = mReload.exchange(false);
        return requests;
    }

private:
    static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

    static int* Fds() {
        static int fds[2] = {-1, -1};
        return fds;
    }
    // Constant-initialised: ready before any handler can run.
    static inline std::atomic<bool> mStop{false};
    static inline std::atomic<bool> mReload{false};
    static void OnSignal(int sig) {
        const int saved = errno;
        (sig == SIGHUP ? mReload : mStop).store(true);
        // Only a wake-up: a full pipe already holds one.
        const unsigned char byte = static_cast<unsigned char>(sig);
        [[maybe_unused]] ssize_t n = write(Fds()[1], &byte, 1);
        errno = saved;
    }
};

} // namespace kestrune
