#include "net/TCPClient.h"

#include "net/Exception.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>

namespace kestrune {

int WaitSocketOrWakeUp(int AHandle, short AEvents, const TIdWakeUpPtr& AWakeUp, int ATimeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(ATimeout, 0));
    for (;;) {
        pollfd pfds[2] = {{AHandle, AEvents, 0}, {AWakeUp ? AWakeUp->Handle() : -1, POLLIN, 0}};
        int wait = -1;
        if (ATimeout >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = static_cast<int>(std::max<long long>(left.count(), 0));
        }
        const int ready = poll(pfds, 2, wait);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return 0;
        if (pfds[1].revents & POLLIN)
            return -1;
        return 1;
    }
}

std::string TIdTCPClient::ResolveHost(const std::string& AHost, TIdIPVersion AIPVersion) {
    std::string lower = AHost;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "localhost")
        return AIPVersion == Id_IPv6 ? "::1" : "127.0.0.1";
    const int family = TIdSocketHandle::Family(AIPVersion);
    unsigned char literal[sizeof(in6_addr)];
    if (inet_pton(family, AHost.c_str(), literal) == 1) {
        char text[INET6_ADDRSTRLEN] = {};
        inet_ntop(family, literal, text, sizeof text);
        return text;
    }
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
#ifdef AI_IDN
    hints.ai_flags = AI_IDN;
#endif
    addrinfo* found = nullptr;
    const int result = getaddrinfo(AHost.c_str(), nullptr, &hints, &found);
    if (result != 0 || !found) {
        if (result == EAI_SYSTEM)
            RaiseLastSocketError();
        throw EIdSocketError(result, gai_strerror(result));
    }
    std::string ip;
    TIdPort ignored = 0;
    TIdSocketHandle::FromSockAddr(found->ai_addr, ip, ignored);
    freeaddrinfo(found);
    return ip;
}

TIdTCPClient::TIdTCPClient() {
    SetIOHandler(std::make_unique<TIdIOHandlerStack>());
}

void TIdTCPClient::Connect() {
    if (FIOHandler && FIOHandler->Opened() && Connected())
        throw EIdAlreadyConnected();
    if (Host.empty())
        throw EIdHostRequired();
    if (Port == 0)
        throw EIdPortRequired();

    TIdIOHandlerStack& handler = *FIOHandler;
    handler.InputBuffer.Clear();
    handler.ReadTimeout = ReadTimeout;

    TIdSocketHandle& binding = handler.Binding();
    try {
        binding.IPVersion = IPVersion;
        // Non-blocking until connected, so that the wait can also watch
        // the wake-up.
        binding.AllocateSocket(SOCK_STREAM | SOCK_NONBLOCK);
        const std::string ip = ResolveHost(Host, IPVersion);
        sockaddr_storage addr;
        socklen_t length = 0;
        if (!TIdSocketHandle::ToSockAddr(ip, Port, IPVersion, addr, length))
            throw EIdSocketError(EINVAL);
        const TIdWakeUpPtr wakeUp = FWakeUp ? FWakeUp : CurrentThreadWakeUp();
        {
            TIdSocketHandle::TUse use(binding);
            if (!use)
                throw EIdSocketError(ECONNABORTED);
            const int fd = use.Handle();
            if (connect(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
                if (errno != EINPROGRESS)
                    RaiseLastSocketError();
                const int limit = ConnectTimeout > 0 ? ConnectTimeout : -1;
                const int ready = WaitSocketOrWakeUp(fd, POLLOUT, wakeUp, limit);
                if (ready == 0)
                    throw EIdConnectTimeout();
                if (ready < 0 || !binding.HandleAllocated())
                    throw EIdSocketError(ECONNABORTED);
                int error = 0;
                socklen_t size = sizeof error;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
                if (error != 0)
                    throw EIdSocketError(error);
            }
            fcntl(fd, F_SETFL, 0); // blocking again; no other status flag is set
        }
        binding.SetNoDelay(!UseNagle);
        binding.UpdateBindingLocal();
        // The peer is the address just connected to.
        binding.PeerIP = ip;
        binding.PeerPort = Port;
        handler.Open();
    } catch (...) {
        handler.Close();
        throw;
    }
}

} // namespace kestrune
