#include "net/SocketHandle.h"

#include "net/Exception.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrune {

TIdSocketHandle::~TIdSocketHandle() {
    std::lock_guard<std::mutex> lock(FLock);
    DropLocked();
}

void TIdSocketHandle::DropLocked() {
    if (FHandle >= 0) {
        // close() alone ends the connection, but would not wake a thread
        // still inside a call on it.
        if (FOpen && FUsers > 0)
            shutdown(FHandle, SHUT_RDWR);
        close(FHandle);
    }
    FHandle = -1;
    FOpen = false;
    FUsers = 0;
}

int TIdSocketHandle::Family(TIdIPVersion AIPVersion) {
    switch (AIPVersion) {
    case Id_IPv4:
        return AF_INET;
    case Id_IPv6:
        return AF_INET6;
    }
    throw EIdIPVersionUnsupported();
}

void TIdSocketHandle::AllocateSocket(int AType) {
    const int family = Family(IPVersion);
    std::lock_guard<std::mutex> lock(FLock);
    DropLocked();
    const int handle = socket(family, AType | SOCK_CLOEXEC, 0);
    if (handle < 0)
        RaiseLastSocketError();
    if (family == AF_INET6) {
        // An IPv6 binding serves IPv6 only, so that it can share its port
        // with the IPv4 binding beside it.
        const int only = 1;
        setsockopt(handle, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    }
    FHandle = handle;
    FOpen = true;
    FNoDelay = 0;
    FKeepAlive = false;
}

void TIdSocketHandle::Adopt(int AHandle, TIdIPVersion AIPVersion) {
    std::lock_guard<std::mutex> lock(FLock);
    DropLocked();
    IPVersion = AIPVersion;
    FHandle = AHandle;
    FOpen = AHandle >= 0;
    FNoDelay = -1;
    FKeepAlive = false;
}

bool TIdSocketHandle::HandleAllocated() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FOpen;
}

namespace {
thread_local int tListWalks = 0;
std::atomic<int64_t> gCallsDuringWalks{0};

void NoteSocketCall() {
    if (tListWalks > 0)
        ++gCallsDuringWalks;
}
} // namespace

void MarkListWalk(bool AStarted) {
    tListWalks += AStarted ? 1 : -1;
}

int64_t SocketCallsDuringListWalks() {
    return gCallsDuringWalks.load();
}

void TIdSocketHandle::CloseSocket() {
    NoteSocketCall();
    std::lock_guard<std::mutex> lock(FLock);
    if (!FOpen)
        return;
    FOpen = false;
    if (FUsers == 0) {
        // Nobody is inside a call on it: close() alone ends the connection.
        close(FHandle);
        FHandle = -1;
    } else {
        // close() from here would not wake a thread waiting on it, and the
        // number could be reused under it: shut it down now and leave the
        // close to the last user.
        shutdown(FHandle, SHUT_RDWR);
    }
}

int TIdSocketHandle::Acquire() {
    NoteSocketCall();
    std::lock_guard<std::mutex> lock(FLock);
    if (!FOpen)
        return -1;
    ++FUsers;
    return FHandle;
}

void TIdSocketHandle::Release() {
    std::lock_guard<std::mutex> lock(FLock);
    if (--FUsers == 0 && !FOpen && FHandle >= 0) {
        close(FHandle);
        FHandle = -1;
    }
}

bool TIdSocketHandle::ReleaseAndClose(const std::function<void()>& AIfKept) {
    std::lock_guard<std::mutex> lock(FLock);
    if (FOpen) {
        FOpen = false;
        if (FUsers > 1)
            shutdown(FHandle, SHUT_RDWR); // wakes the others; the last one closes
    }
    if (--FUsers == 0 && FHandle >= 0) {
        close(FHandle);
        FHandle = -1;
        return true;
    }
    if (AIfKept)
        AIfKept();
    return false;
}

bool TIdSocketHandle::ToSockAddr(const std::string& AIP, TIdPort APort, TIdIPVersion AIPVersion,
                                 sockaddr_storage& AAddr, socklen_t& ALength) {
    std::memset(&AAddr, 0, sizeof AAddr);
    if (AIPVersion == Id_IPv4) {
        auto* in = reinterpret_cast<sockaddr_in*>(&AAddr);
        in->sin_family = AF_INET;
        in->sin_port = htons(APort);
        if (AIP.empty())
            in->sin_addr.s_addr = htonl(INADDR_ANY);
        else if (inet_pton(AF_INET, AIP.c_str(), &in->sin_addr) != 1)
            return false;
        ALength = sizeof(sockaddr_in);
        return true;
    }
    if (AIPVersion == Id_IPv6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&AAddr);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(APort);
        if (AIP.empty())
            in6->sin6_addr = in6addr_any;
        else if (inet_pton(AF_INET6, AIP.c_str(), &in6->sin6_addr) != 1)
            return false;
        ALength = sizeof(sockaddr_in6);
        return true;
    }
    throw EIdIPVersionUnsupported();
}

void TIdSocketHandle::FromSockAddr(const sockaddr* AAddr, std::string& AIP, TIdPort& APort) {
    char text[INET6_ADDRSTRLEN] = {};
    if (AAddr->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(AAddr);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        APort = ntohs(in->sin_port);
    } else if (AAddr->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(AAddr);
        // An IPv4 peer seen through an IPv6 socket is that IPv4 peer.
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr))
            inet_ntop(AF_INET, in6->sin6_addr.s6_addr + 12, text, sizeof text);
        else
            inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        APort = ntohs(in6->sin6_port);
    } else {
        APort = 0;
    }
    AIP = text;
}

void TIdSocketHandle::Bind(bool AListening) {
    TUse use(*this);
    if (!use)
        throw EIdCouldNotBindSocket();
    if (AListening) {
        const int reuse = 1;
        setsockopt(use.Handle(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    }
    sockaddr_storage addr;
    socklen_t length = 0;
    if (!ToSockAddr(IP == "0.0.0.0" && IPVersion == Id_IPv6 ? std::string() : IP, Port, IPVersion,
                    addr, length) ||
        bind(use.Handle(), reinterpret_cast<sockaddr*>(&addr), length) != 0)
        throw EIdCouldNotBindSocket();
    UpdateBindingLocal();
}

void TIdSocketHandle::Listen(int AQueue) {
    TUse use(*this);
    if (!use)
        throw EIdSocketError(EBADF);
    if (listen(use.Handle(), AQueue) != 0)
        RaiseLastSocketError();
}

void TIdSocketHandle::SetNoDelay(bool AOn) {
    const int value = AOn ? 1 : 0;
    if (FNoDelay.load() == value)
        return;
    TUse use(*this);
    if (!use)
        return;
    if (setsockopt(use.Handle(), IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) == 0)
        FNoDelay = value;
}

namespace {
constexpr int KeepAliveIdleSeconds = 60;
constexpr int KeepAliveIntervalSeconds = 10;
constexpr int KeepAliveProbes = 6;
} // namespace

void TIdSocketHandle::InheritOptions(const TIdSocketHandle& AListening) {
    FNoDelay = AListening.FNoDelay.load();
    FKeepAlive = AListening.FKeepAlive.load();
}

void TIdSocketHandle::SetKeepAlive() {
    if (FKeepAlive)
        return;
    TUse use(*this);
    if (!use)
        return;
    FKeepAlive = true;
    const int on = 1;
    setsockopt(use.Handle(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(use.Handle(), IPPROTO_TCP, TCP_KEEPIDLE, &KeepAliveIdleSeconds,
               sizeof KeepAliveIdleSeconds);
    setsockopt(use.Handle(), IPPROTO_TCP, TCP_KEEPINTVL, &KeepAliveIntervalSeconds,
               sizeof KeepAliveIntervalSeconds);
    setsockopt(use.Handle(), IPPROTO_TCP, TCP_KEEPCNT, &KeepAliveProbes, sizeof KeepAliveProbes);
}

void TIdSocketHandle::UpdateAddress(int (*AQuery)(int, sockaddr*, socklen_t*), std::string& AIP,
                                    TIdPort& APort) {
    TUse use(*this);
    if (!use)
        return;
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    if (AQuery(use.Handle(), reinterpret_cast<sockaddr*>(&addr), &length) == 0)
        FromSockAddr(reinterpret_cast<sockaddr*>(&addr), AIP, APort);
}

void TIdSocketHandle::UpdateBindingLocal() {
    UpdateAddress(&getsockname, IP, Port);
}

void TIdSocketHandle::UpdateBindingPeer() {
    UpdateAddress(&getpeername, PeerIP, PeerPort);
}

void TIdSocketHandle::SendTo(const std::string& AIP, TIdPort APort, const TIdBytes& ABytes,
                             TIdIPVersion AIPVersion) {
    if (AIPVersion != Id_IPv4 && AIPVersion != Id_IPv6)
        throw EIdIPVersionUnsupported();
    sockaddr_storage addr;
    socklen_t length = 0;
    if (!ToSockAddr(AIP, APort, AIPVersion, addr, length))
        throw EIdSocketError(EINVAL);
    TUse use(*this);
    if (!use)
        throw EIdSocketError(EBADF);
    const ssize_t sent = sendto(use.Handle(), ABytes.data(), ABytes.size(), MSG_NOSIGNAL,
                                reinterpret_cast<sockaddr*>(&addr), length);
    if (sent < 0) {
        if (errno == EMSGSIZE)
            throw EIdPackageSizeTooBig();
        RaiseLastSocketError();
    }
    if (static_cast<size_t>(sent) != ABytes.size())
        throw EIdNotAllBytesSent();
}

std::string EndpointText(const std::string& AIP, TIdPort APort) {
    const bool v6 = AIP.find(':') != std::string::npos;
    return (v6 ? "[" + AIP + "]" : AIP) + ":" + std::to_string(APort);
}

std::string PeerText(const TIdSocketHandle& ABinding) {
    return EndpointText(ABinding.PeerIP, ABinding.PeerPort);
}

TIdIPVersion IPVersionOf(const std::string& AIP) {
    return AIP.find(':') != std::string::npos ? Id_IPv6 : Id_IPv4;
}

TIdSocketHandle& TIdSocketHandles::Add() {
    FItems.push_back(std::make_unique<TIdSocketHandle>());
    TIdSocketHandle& binding = *FItems.back();
    binding.Port = FDefaultPort;
    binding.IPVersion = Id_IPv4;
    return binding;
}

} // namespace kestrune
