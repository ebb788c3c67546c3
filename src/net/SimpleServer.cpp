#include "net/SimpleServer.h"

#include "net/Exception.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

namespace kestrune {

struct TIdSimpleServer::TWatch : TIdLoopWatch {
    TIdSimpleServer* Owner = nullptr; // cleared when the wait ends
    void OnEvents(uint32_t) override {
        if (Owner)
            Owner->Ready();
    }
};

TIdSimpleServer::TIdSimpleServer() {
    SetIOHandler(std::make_unique<TIdIOHandlerStack>());
}

TIdSimpleServer::~TIdSimpleServer() {
    Abort();
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
        FListenHandle.AllocateSocket(SOCK_STREAM | SOCK_NONBLOCK);
        FListenHandle.Bind(true);
        FListenHandle.Listen(1);
    } catch (...) {
        FListenHandle.CloseSocket();
        throw;
    }
}

void TIdSimpleServer::Listen(TIdEventLoop& ALoop, int ATimeout, TIdAdmitEvent AAdmit,
                             TIdListenDone ADone) {
    if (!FListenHandle.HandleAllocated())
        BeginListen();
    FLoop = &ALoop;
    FAdmit = std::move(AAdmit);
    FDone = std::move(ADone);
    FWatch = std::make_shared<TWatch>();
    FWatch->Owner = this;
    {
        TIdSocketHandle::TUse use(FListenHandle);
        if (!use || !ALoop.Watch(use.Handle(), *FWatch, EPOLLIN)) {
            ALoop.Defer([watch = FWatch] {
                if (watch->Owner)
                    watch->Owner->Finish(false);
            });
            return;
        }
    }
    if (ATimeout >= 0)
        FTimer.Arm(ALoop, std::chrono::milliseconds(ATimeout), [this] { Finish(false); });
}

void TIdSimpleServer::Ready() {
    TIdSocketHandle& binding = FIOHandler->Binding();
    for (;;) {
        sockaddr_storage addr{};
        socklen_t length = sizeof addr;
        int accepted = -1;
        {
            TIdSocketHandle::TUse use(FListenHandle);
            if (!use)
                return;
            accepted = accept4(use.Handle(), reinterpret_cast<sockaddr*>(&addr), &length,
                               SOCK_CLOEXEC | SOCK_NONBLOCK);
        }
        if (accepted < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return; // nothing waiting (or no descriptor now): the next client brings an event
        }
        binding.Adopt(accepted, IPVersion);
        binding.UpdateBindingLocal();
        TIdSocketHandle::FromSockAddr(reinterpret_cast<sockaddr*>(&addr), binding.PeerIP,
                                      binding.PeerPort);
        if (!FAdmit || FAdmit(binding)) {
            FIOHandler->Open();
            Finish(true);
            return;
        }
        binding.CloseSocket();
    }
}

void TIdSimpleServer::Finish(bool AAccepted) {
    TIdListenDone done = std::move(FDone);
    FDone = nullptr;
    Abort();
    // The owner may free this connection in its handler.
    if (done)
        done(AAccepted);
}

void TIdSimpleServer::Abort() {
    FDone = nullptr;
    FAdmit = nullptr;
    FTimer.Cancel();
    if (FWatch) {
        FWatch->Owner = nullptr;
        TIdSocketHandle::TUse use(FListenHandle);
        if (use && FLoop)
            FLoop->Unwatch(use.Handle());
        if (FLoop)
            FLoop->Retire(FWatch); // an event already taken may still be on its way
        FWatch.reset();
    }
    FListenHandle.CloseSocket();
}

} // namespace kestrune
