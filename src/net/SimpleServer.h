// A connection that waits for exactly one incoming connection instead of
// connecting out. BeginListen/Listen run on the owning thread; Abort() (any
// thread) or the stop of the server whose thread is listening ends the wait.
#pragma once

#include "net/SocketHandle.h"
#include "net/TCPConnection.h"
#include "net/WakeUp.h"

#include <functional>
#include <memory>
#include <string>

namespace kestrune {

class TIdSimpleServer : public TIdTCPConnection {
public:
    TIdSimpleServer();

    std::string BoundIP;
    TIdPort BoundPort = 0;
    TIdIPVersion IPVersion = Id_IPv4;

    void SetWakeUp(TIdWakeUpPtr AWakeUp) { FWakeUp = std::move(AWakeUp); }

    // The listening socket while listening, the accepted one afterwards.
    TIdSocketHandle& Binding();

    // Binds (EIdCouldNotBindSocket) and listens with a backlog of 1.
    void BeginListen();
    // Waits up to ATimeout ms (negative: no limit) for one connection that
    // AAdmit (when set) accepts, closing every other at once; raises
    // EIdAcceptTimeout when none came. The listening socket is closed in
    // every case.
    void Listen(int ATimeout = -1,
                const std::function<bool(const TIdSocketHandle& APeer)>& AAdmit = nullptr);
    void Abort();

private:
    TIdSocketHandle FListenHandle;
    TIdWakeUpPtr FWakeUp;
};

} // namespace kestrune
