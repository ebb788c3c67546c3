// Raw loopback sockets for tests: addresses on 127.0.0.1, descriptors closed
// by their owner, listeners and connections on ports the system chooses.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

namespace kestrune::test {

inline sockaddr_in Loopback(uint16_t APort) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(APort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

inline uint16_t LocalPort(int AFd) {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    getsockname(AFd, reinterpret_cast<sockaddr*>(&addr), &length);
    return ntohs(addr.sin_port);
}

// A descriptor closed when the owner goes.
class TFd {
public:
    TFd() = default;
    explicit TFd(int AFd) : FFd(AFd) {}
    ~TFd() { Reset(); }
    TFd(TFd&& AOther) noexcept : FFd(std::exchange(AOther.FFd, -1)) {}
    TFd& operator=(TFd&& AOther) noexcept {
        Reset(std::exchange(AOther.FFd, -1));
        return *this;
    }
    int Get() const { return FFd; }
    int Release() { return std::exchange(FFd, -1); }
    void Reset(int AFd = -1) {
        if (FFd >= 0)
            close(FFd);
        FFd = AFd;
    }

private:
    int FFd = -1;
};

// A TCP socket listening on 127.0.0.1 at a free port.
inline TFd Listener(int ABacklog = 16) {
    TFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr = Loopback(0);
    bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd.Get(), ABacklog);
    return fd;
}

// A TCP socket listening on ::1 at a free port; empty where loopback has no
// IPv6 (the caller skips). LocalPort() reads its port like an IPv4 one's.
inline TFd Listener6() {
    TFd fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    if (fd.Get() < 0 || bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd.Get(), 16) != 0)
        fd.Reset();
    return fd;
}

// A port on 127.0.0.1 that the system has just handed out (and taken back),
// for settings that need a real number rather than 0.
inline uint16_t FreePort() {
    return LocalPort(Listener(1).Get());
}

// Connected to 127.0.0.1:APort; holds -1 when the connect failed.
inline TFd Connect(uint16_t APort) {
    TFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr = Loopback(APort);
    if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        fd.Reset();
    return fd;
}

} // namespace kestrune::test
