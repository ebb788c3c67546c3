// Turns SIGINT, SIGTERM and SIGHUP into bytes on a pipe that the main loop
// watches, so that the program's reaction runs on the main thread. Installed
// first thing in main(): a signal that arrives while the program is still
// starting stays in the pipe until the loop reads it.
#pragma once

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kestrune {

class TSignalPipe {
public:
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

    // Reads what is waiting; returns the last signal number seen, or 0.
    static int Take() {
        unsigned char buf[64];
        int last = 0;
        ssize_t n;
        while ((n = read(Fds()[0], buf, sizeof buf)) > 0)
            last = buf[n - 1];
        return last;
    }

private:
    static int* Fds() {
        static int fds[2] = {-1, -1};
        return fds;
    }
    static void OnSignal(int sig) {
        const int saved = errno;
        const unsigned char byte = static_cast<unsigned char>(sig);
        [[maybe_unused]] ssize_t n = write(Fds()[1], &byte, 1);
        errno = saved;
    }
};

} // namespace kestrune
