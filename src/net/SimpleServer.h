// A connection that waits for exactly one incoming connection instead of
// connecting out, on an event loop: the listening socket is watched by the
// loop, and the wait holds no thread.
//
// BeginListen may be called on any thread; Listen, Abort and the destructor
// belong to the loop's thread, where the result is delivered.
#pragma once

#include "net/EventLoop.h"
#include "net/SocketHandle.h"
#include "net/TCPConnection.h"

#include <functional>
#include <memory>
#include <string>

namespace kestrune {

class TIdSimpleServer : public TIdTCPConnection {
public:
    using TIdAdmitEvent = std::function<bool(const TIdSocketHandle& APeer)>;
    // AAccepted: a peer was admitted and is this connection's now; false
    // when the time ran out first.
    using TIdListenDone = std::function<void(bool AAccepted)>;

    TIdSimpleServer();
    ~TIdSimpleServer() override;

    std::string BoundIP;
    TIdPort BoundPort = 0;
    TIdIPVersion IPVersion = Id_IPv4;

    // The listening socket while listening, the accepted one afterwards.
    TIdSocketHandle& Binding();

    // Binds (EIdCouldNotBindSocket) and listens with a backlog of 1.
    void BeginListen();
    // Waits up to ATimeout ms (negative: no limit) for one connection that
    // AAdmit (when set) accepts, closing every other at once; ADone runs
    // once on ALoop, never inside this call, unless Abort() comes first.
    // The listening socket is closed when the wait ends.
    void Listen(TIdEventLoop& ALoop, int ATimeout, TIdAdmitEvent AAdmit, TIdListenDone ADone);
    void Abort();

private:
    struct TWatch;
    void Ready();
    void Finish(bool AAccepted);

    TIdSocketHandle FListenHandle;
    TIdEventLoop* FLoop = nullptr;
    std::shared_ptr<TWatch> FWatch;
    TIdLoopTimer FTimer;
    TIdAdmitEvent FAdmit;
    TIdListenDone FDone;
};

} // namespace kestrune
