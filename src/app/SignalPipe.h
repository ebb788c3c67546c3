// Turns SIGINT, SIGTERM and SIGHUP into a descriptor that the main loop
// watches, so that the program's reaction runs on the main thread. Installed
// first thing in main(): a signal that arrives while the program is still
// starting stays noted until the loop reads it.
//
// Every kind of signal seen is kept until it is taken (a stop followed at
// once by a reload must still stop). Two ways to get there:
// - Install: a handler that sets a flag and writes a byte to a pipe. It runs
//   on whichever thread the kernel picks, which leaves the signal mask of
//   the program and of what it starts untouched: for the desktop program.
// - InstallBlocked: the signals are blocked in every thread and read from a
//   signalfd. No handler runs anywhere, so no thread can sit on a signal
//   (a sanitizer's runtime holds a handler back until the thread that got it
//   leaves its blocking call, which may be never). Programs it starts would
//   inherit the blocked signals: only for kestruned, which starts none.
#pragma once

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/signalfd.h>
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
        Signals(block);
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

    // Blocks the signals for this thread and every thread it starts from now
    // on, and returns a signalfd that reads them (or, failing that, what
    // Install returns).
    static int InstallBlocked() {
        sigset_t block;
        Signals(block);
        std::signal(SIGPIPE, SIG_IGN);
        pthread_sigmask(SIG_BLOCK, &block, nullptr);
        mSignalFd = signalfd(-1, &block, SFD_NONBLOCK | SFD_CLOEXEC);
        if (mSignalFd >= 0)
            return mSignalFd;
        pthread_sigmask(SIG_UNBLOCK, &block, nullptr);
        return Install();
    }

    // Reads what is waiting and returns what was asked since the last call.
    static TRequests Take() {
        TRequests requests;
        if (mSignalFd >= 0) {
            signalfd_siginfo info[8];
            ssize_t n;
            while ((n = read(mSignalFd, info, sizeof info)) > 0)
                for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof info[0]); ++i)
                    (info[i].ssi_signo == SIGHUP ? requests.Reload : requests.Stop) = true;
            return requests;
        }
        // The flags are read after the bytes: a signal that comes meanwhile
        // is either in the result or leaves a byte for the next wake-up.
        unsigned char buf[64];
        while (read(Fds()[0], buf, sizeof buf) > 0) {
        }
        requests.Stop = mStop.exchange(false);
        requests.Reload = mReload.exchange(false);
        return requests;
    }

private:
    static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

    static void Signals(sigset_t& set) {
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGHUP);
    }
    static int* Fds() {
        static int fds[2] = {-1, -1};
        return fds;
    }
    // Constant-initialised: ready before any handler can run.
    static inline std::atomic<bool> mStop{false};
    static inline std::atomic<bool> mReload{false};
    static inline int mSignalFd = -1;

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
