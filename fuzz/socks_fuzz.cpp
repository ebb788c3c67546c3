// Drives the SOCKS request exchange with arbitrary client bytes over a real
// loopback connection, so the server's own reading, checking and replying
// code runs. The first input byte picks one of four servers (SOCKS4 and 5
// without login, both and HTTP with login, SOCKS5 only with login, SOCKS4
// only); the rest is what the client sends before it half-closes.
//
// Every SOCKS CONNECT is turned to a local echo server, every BIND is
// refused, and an HTTP request may reach that echo server only (any other
// target is refused before a name is looked up), so nothing leaves the
// machine and no request waits for a peer. Each input must end with the
// server closing the connection within a few seconds and with no connection
// left on the server; the reply's first byte must belong to the client's
// protocol.
#include "proxy/SocksServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

using namespace kestrune;

namespace {

void Require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "socks_fuzz: %s\n", what);
        std::abort();
    }
}

int Listen(uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Require(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0, "echo bind");
    Require(listen(fd, 64) == 0, "echo listen");
    socklen_t length = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    port = ntohs(addr.sin_port);
    return fd;
}

// Echoes each connection until its peer half-closes, then closes it.
void RunEcho(int listener) {
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::thread([fd] {
            char block[4096];
            ssize_t n;
            while ((n = recv(fd, block, sizeof block, 0)) > 0) {
                for (ssize_t sent = 0; sent < n;) {
                    const ssize_t w = send(fd, block + sent, n - sent, MSG_NOSIGNAL);
                    if (w <= 0)
                        break;
                    sent += w;
                }
            }
            close(fd);
        }).detach();
    }
}

struct TRig {
    TRig() {
        const int echo = Listen(EchoPort);
        std::thread(RunEcho, echo).detach();
        for (int i = 0; i < 4; ++i) {
            auto& server = Servers[i];
            server = std::make_unique<TIdSocksServer>();
            server->NeedsAuthentication = i == 1 || i == 2;
            server->AllowSocks4 = i != 2;
            server->AllowSocks5 = i != 3;
            server->AllowHttp = i == 1;
            server->RequestTimeout = 1000;
            server->OnAuthenticate = [](TIdSocksServerContext& AContext, bool& AAuthenticated) {
                AAuthenticated = AContext.Username() == "user" && AContext.Password() == "pass";
            };
            server->OnBeforeSocksConnect = [this](TIdSocksServerContext&, std::string& VHost,
                                                  TIdPort& VPort, bool& VAllowed) {
                VHost = "127.0.0.1";
                VPort = EchoPort;
                VAllowed = true;
            };
            server->OnBeforeSocksBind = [](TIdSocksServerContext&, std::string&, TIdPort&,
                                           bool& VAllowed) { VAllowed = false; };
            server->OnRoute = [this](TIdSocksServerContext&, const std::string& AHost,
                                     TIdPort APort, TIdSocksRoute& VRoute) {
                VRoute.Allowed = AHost == "127.0.0.1" && APort == EchoPort;
            };
            TIdSocketHandle& binding = server->Bindings.Add();
            binding.IP = "127.0.0.1";
            binding.Port = 0;
            server->SetActive(true);
            Ports[i] = server->Bindings[0].Port;
        }
    }

    uint16_t EchoPort = 0;
    std::unique_ptr<TIdSocksServer> Servers[4];
    TIdPort Ports[4] = {};
};

TRig& Rig() {
    static TRig* rig = new TRig; // lives for the whole run
    return *rig;
}

// Each client comes from its own address in 127.1.0.0/16 in turn: hundreds
// of thousands of short connections would otherwise run out of local ports
// while the closed ones wait out their TIME_WAIT.
int Connect(uint16_t port) {
    static uint32_t next = 0;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl((127u << 24) | (1u << 16) | (next++ & 0xffff));
    Require(bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0, "source bind");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    int error = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = errno;
        // libFuzzer's timer signal may cut the wait short; the connect goes
        // on by itself, so wait for its outcome.
        if (error == EINTR) {
            pollfd p{fd, POLLOUT, 0};
            while (poll(&p, 1, 10000) < 0 && errno == EINTR) {
            }
            socklen_t length = sizeof error;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        }
    }
    if (error != 0) {
        std::fprintf(stderr, "socks_fuzz: connect: %s\n", std::strerror(error));
        std::abort();
    }
    return fd;
}

// Sends everything while reading what comes back, half-closes, and reads
// until the server closes; aborts when that takes longer than ten seconds.
std::string Exchange(int fd, const std::string& bytes) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::string reply;
    size_t sent = 0;
    bool halfClosed = false;
    for (;;) {
        if (!halfClosed && sent == bytes.size()) {
            shutdown(fd, SHUT_WR);
            halfClosed = true;
        }
        pollfd p{fd, static_cast<short>(POLLIN | (halfClosed ? 0 : POLLOUT)), 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        Require(left.count() > 0, "the server did not close the connection");
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            char block[4096];
            const ssize_t n = recv(fd, block, sizeof block, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                return reply;
            if (n > 0)
                reply.append(block, static_cast<size_t>(n));
        }
        if (!halfClosed && (p.revents & POLLOUT)) {
            const ssize_t w =
                send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w > 0)
                sent += static_cast<size_t>(w);
            else if (w < 0 && errno != EAGAIN && errno != EINTR)
                sent = bytes.size(); // the server has closed; read what it said
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    TRig& rig = Rig();
    const int which = data[0] & 3;
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    const int fd = Connect(rig.Ports[which]);
    const std::string reply = Exchange(fd, bytes);
    close(fd);

    if (!reply.empty()) {
        Require(!bytes.empty(), "a reply to nothing");
        if (bytes[0] == 4)
            Require(reply[0] == 0, "a SOCKS4 reply that does not start with 0");
        else if (std::isalpha(static_cast<unsigned char>(bytes[0])))
            Require(which == 1 && reply.rfind("HTTP/1.", 0) == 0, "not an HTTP answer");
        else
            Require(bytes[0] == 5 && reply[0] == 5, "a reply to a version that was not asked");
    }

    // The server ends the connection's context soon after closing it.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (rig.Servers[which]->Contexts.Count() != 0) {
        Require(std::chrono::steady_clock::now() < until, "a connection left on the server");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
}
