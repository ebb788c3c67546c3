// The listening half of the TCP framework: bindings whose listening sockets
// every event loop watches, so that whichever loop is free accepts the next
// client and then runs its whole life there (net/Context.h): the connect
// step, the execute step each time the client's bytes arrive, whatever the
// steps wait for, the relay, and the disconnect step. No thread is made or
// handed a client.
//
// Active, Bindings and the properties are set by one controlling thread (the
// main thread). OnConnect, OnExecute, OnDisconnect, OnException and the
// resource events run on the loop of the connection concerned, several loops
// at once; none of them may wait for the controlling thread, since
// deactivation waits for every connection to end.
#pragma once

#include "net/Context.h"
#include "net/EventLoop.h"
#include "net/SocketHandle.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrune {

class TIdCustomTCPServer {
public:
    using TIdServerThreadEvent = std::function<void(TIdContext& AContext)>;
    using TIdServerThreadExceptionEvent =
        std::function<void(TIdContext& AContext, const std::exception& AException)>;
    using TIdContextClass = std::function<std::shared_ptr<TIdServerContext>(
        TIdCustomTCPServer& AServer, std::unique_ptr<TIdTCPConnection> AConnection)>;

    TIdCustomTCPServer();
    // A subclass that overrides the steps must deactivate in its own destructor.
    virtual ~TIdCustomTCPServer();
    TIdCustomTCPServer(const TIdCustomTCPServer&) = delete;
    TIdCustomTCPServer& operator=(const TIdCustomTCPServer&) = delete;

    std::string Name;
    TIdPort DefaultPort = 0;
    TIdSocketHandles Bindings{DefaultPort};
    int ListenQueue = 15;
    // 0 or less: no bound.
    int MaxConnections = 0;
    // The most a connection's input buffer takes while its steps read it;
    // a step that needs more than this ends the connection.
    size_t MaxInput = 128 * 1024;
    TIdContextList Contexts;

    TIdServerThreadEvent OnConnect;
    // Each time the client's bytes have arrived (in the connection's input
    // buffer), or its stream has ended.
    TIdServerThreadEvent OnExecute;
    TIdServerThreadEvent OnDisconnect;
    TIdServerThreadExceptionEvent OnException;
    // Told once when the server starts turning clients away for want of
    // descriptors (AReason says why), and once when it serves a client
    // again. Run on a loop; must only log.
    std::function<void(const std::string& AReason)> OnOutOfResources;
    std::function<void()> OnServingAgain;

    // Raises the failure of activation (EIdCouldNotBindSocket...) after
    // stopping whatever had started. Deactivation returns when every
    // connection has ended.
    void SetActive(bool AValue);
    bool Active() const { return FActive.load(); }

    template <typename TContext> void SetContextClass() {
        FContextClass =
            [](TIdCustomTCPServer& AServer,
               std::unique_ptr<TIdTCPConnection> AConn) -> std::shared_ptr<TIdServerContext> {
            return std::make_shared<TContext>(AServer, std::move(AConn));
        };
    }

    // From a step: the process has no descriptor for something a client
    // needs (AReason says what); logged once per shortage like a refused
    // accept.
    void ResourcesShort(const char* AReason);

protected:
    virtual void ConnectContext(TIdContext& AContext);
    // One pass over what has arrived; false ends the context.
    virtual bool ExecuteContext(TIdContext& AContext);
    virtual void DisconnectContext(TIdContext& AContext);
    // Ends one live context, on its loop, for a drop or deactivation; the
    // context ends right after it (a relayed one ends with its relay).
    virtual void TerminateContext(TIdContext& AContext);

private:
    friend class TIdServerContext;
    class TListener;

    void StartListening();
    void StopListening();
    void Deactivate();
    // Makes, registers and starts the context of a client that the loop
    // ALoop accepted; the client is closed with no event when
    // MaxConnections turns it away.
    void TakeAccepted(TIdEventLoop& ALoop, TListener& AListener, int AHandle,
                      const sockaddr* APeer);
    // The end of a context: the disconnect step, leaving the list, the
    // failure (if any) to OnException.
    void EndContext(TIdServerContext& AContext, std::exception_ptr AFailure);
    void ResourcesRecovered();

    std::atomic<bool> FActive{false};
    // Between a shortage's first refusal and the next client served.
    std::atomic<bool> FShort{false};
    std::mutex FShortLock; // orders the tellings of FShort's changes
    std::vector<std::unique_ptr<TListener>> FListeners;
    TIdContextClass FContextClass;
    // Contexts that have not ended; deactivation waits for 0.
    std::mutex FLiveLock;
    std::condition_variable FLiveChanged;
    size_t FLive = 0;
};

} // namespace kestrune
