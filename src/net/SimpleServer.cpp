#include "net/SimpleServer.h"

#include "net/Exception.h"
#include "net/TCPClient.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

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

void TIdSimpleServer::Listen(int ATimeout) {
    if (!FListenHandle.HandleAllocated())
        BeginListen();
    const TIdWakeUpPtr wakeUp = FWakeUp ? FWakeUp : CurrentThreadWakeUp();
    int accepted = -1;
    sockaddr_storage addr{};
    {
        TIdSocketHandle::TUse use(FListenHandle);
        if (use && WaitSocketOrWakeUp(use.Handle(), POLLIN, wakeUp, ATimeout) > 0 &&
            FListenHandle.HandleAllocated()) {
            socklen_t length = sizeof addr;
            do {
                accepted = accept4(use.Handle(), reinterpret_cast<sockaddr*>(&addr), &length,
                                   SOCK_CLOEXEC);
            } while (accepted < 0 && errno == EINTR);
        }
    }
    FListenHandle.CloseSocket();
    if (accepted < 0)
        throw EIdAcceptTimeout();
    TIdSocketHandle& binding = FIOHandler->Binding();
    binding.Adopt(accepted, IPVersion);
    binding.UpdateBindingLocal();
    TIdSocketHandle::FromSockAddr(reinterpret_cast<sockaddr*>(&addr), binding.PeerIP,
                                  binding.PeerPort);
    FIOHandler->Open();
}

} // namespace kestrune
