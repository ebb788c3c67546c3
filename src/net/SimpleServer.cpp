#include "net/SimpleServer.h"

#include "net/Exception.h"
#include "net/TCPClient.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace kestrune {

TIdSimpleServer::TIdSimpleServer() {
    SetIOHandler(std::make_unique<TIdIOHandlerStack>());
}

TIdSocketHandle& TIdSimpleServer::Binding() {
    if (FListenHandle.HandleAllocated())
        return FListenHandle;
    return FIOHandler->Binding();
}

void TIdSimpleServer::BeginListen() {
    FListenHandle.IPVersion = IPVersion;
    FListenHandle.IP = BoundIP;
    FListenHandle.Port = BoundPort;
    try {
        FListenHandle.AllocateSocket(SOCK_STREAM);
        FListenHandle.Bind(true);
        FListenHandle.Listen(1);
    } catch (...) {
        FListenHandle.CloseSocket();
        throw;
    }
}

void TIdSimpleServer::Abort() {
    FListenHandle.CloseSocket();
}

void TIdSimpleServer::Listen(int ATimeout,
                             const std::function<bool(const TIdSocketHandle& APeer)>& AAdmit) {
    if (!FListenHandle.HandleAllocated())
        BeginListen();
    const TIdWakeUpPtr wakeUp = FWakeUp ? FWakeUp : CurrentThreadWakeUp();
    using TClock = std::chrono::steady_clock;
    const auto deadline = TClock::now() + std::chrono::milliseconds(std::max(ATimeout, 0));
    TIdSocketHandle& binding = FIOHandler->Binding();
    bool admitted = false;
    while (!admitted) {
        int accepted = -1;
        sockaddr_storage addr{};
        {
            TIdSocketHandle::TUse use(FListenHandle);
            int left = -1;
            if (ATimeout >= 0)
                left = static_cast<int>(std::max<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now())
                        .count(),
                    0));
            if (use && WaitSocketOrWakeUp(use.Handle(), POLLIN, wakeUp, left) > 0 &&
                FListenHandle.HandleAllocated()) {
                socklen_t length = sizeof addr;
                do {
                    accepted = accept4(use.Handle(), reinterpret_cast<sockaddr*>(&addr), &length,
                                       SOCK_CLOEXEC);
                } while (accepted < 0 && errno == EINTR);
            }
        }
        if (accepted < 0)
            break;
        binding.Adopt(accepted, IPVersion);
        binding.UpdateBindingLocal();
        TIdSocketHandle::FromSockAddr(reinterpret_cast<sockaddr*>(&addr), binding.PeerIP,
                                      binding.PeerPort);
        admitted = !AAdmit || AAdmit(binding);
        if (!admitted)
            binding.CloseSocket();
    }
    FListenHandle.CloseSocket();
    if (!admitted)
        throw EIdAcceptTimeout();
    FIOHandler->Open();
}

} // namespace kestrune
