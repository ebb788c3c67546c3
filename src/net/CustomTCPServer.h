// The listening half of the TCP framework: bindings, one listener thread per
// binding, one connection thread per accepted connection, each running a
// context through the connect, execute and disconnect steps. A context whose
// step hands its connection to a relay (TIdServerContext::HandOver) gives its
// thread back at once and ends on the relay's event loop.
//
// A connection thread that has finished does not go back to the pool at once:
// it waits in accept() on the binding it served and runs the next client
// itself, so that under load a client costs no hand-off between threads. The
// listener thread accepts only while no such thread is waiting.
//
// Active, Bindings and the properties are set by one controlling thread (the
// main thread). OnConnect, OnExecute, OnDisconnect and OnException run on the
// connection's own thread (the disconnect step of a relayed connection on its
// event loop); none of them may wait for the controlling thread, since
// deactivation waits for every connection to end.
#pragma once

#include "net/Context.h"
#include "net/SchedulerOfThreadDefault.h"
#include "net/SocketHandle.h"
#include "net/WakeUp.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrune {

class TIdListenerThread;

class TIdCustomTCPServer {
public:
    using TIdServerThreadEvent = std::function<void(TIdContext& AContext)>;
    using TIdServerThreadExceptionEvent =
        std::function<void(TIdContext& AContext, const std::exception& AException)>;
    using TIdContextClass = std::function<std::unique_ptr<TIdServerContext>(
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
    TIdContextList Contexts;
    // Unset: a scheduler is made at each activation and dropped at deactivation.
    std::shared_ptr<TIdSchedulerOfThreadDefault> Scheduler;

    TIdServerThreadEvent OnConnect;
    TIdServerThreadEvent OnExecute;
    TIdServerThreadEvent OnDisconnect;
    TIdServerThreadExceptionEvent OnException;
    // Told once when the server starts turning clients away for want of
    // descriptors or threads (AReason says which), and once when it serves a
    // client again. Run on the thread that accepted; must only log.
    std::function<void(const std::string& AReason)> OnOutOfResources;
    std::function<void()> OnServingAgain;

    // Raises the failure of activation (EIdCouldNotBindSocket...) after
    // stopping whatever had started. Deactivation returns when every
    // connection has ended, relayed ones included.
    void SetActive(bool AValue);
    bool Active() const { return FActive.load(); }

    template <typename TContext> void SetContextClass() {
        FContextClass =
            [](TIdCustomTCPServer& AServer,
               std::unique_ptr<TIdTCPConnection> AConn) -> std::unique_ptr<TIdServerContext> {
            return std::make_unique<TContext>(AServer, std::move(AConn));
        };
    }

protected:
    virtual void ConnectContext(TIdContext& AContext);
    // One pass; false ends the context.
    virtual bool ExecuteContext(TIdContext& AContext);
    virtual void DisconnectContext(TIdContext& AContext);
    // Ends one live context at deactivation, from the deactivating thread;
    // must only close sockets.
    virtual void TerminateContext(TIdContext& AContext);

private:
    friend class TIdListenerThread;

    void StartListening();
    void StopListening();
    void Deactivate();
    struct TAcceptors;
    // Makes and registers the context of an accepted client; nullptr when
    // MaxConnections turns it away (closed with no event). APeer: the
    // client's address as accept() gave it.
    std::shared_ptr<TIdServerContext> TakeAccepted(TIdListenerThread& AThread, int AHandle,
                                                   const sockaddr* APeer);
    // The listener thread's way: the context runs on another thread.
    void HandleAccepted(TIdListenerThread& AThread, int AHandle, const sockaddr* APeer,
                        TIdYarn*& AYarn);
    void RunContext(std::shared_ptr<TIdServerContext> AContext, const TIdWakeUpPtr& AStop);
    // The end of a context: the disconnect step, leaving the list, the
    // failure (if any) to OnException.
    void EndContext(TIdServerContext& AContext, std::exception_ptr AFailure);
    // Starts the relay that a step handed over; the context ends on its loop.
    void StartRelay(std::shared_ptr<TIdServerContext> AContext);
    void ResourcesShort(const char* AReason);
    void ResourcesRecovered();
    // Runs on a connection thread whose context has ended: waits in accept()
    // and runs the clients it takes, until enough other threads wait, the
    // binding stops or accept() fails. AReserved: a place among the waiting
    // threads was already taken for this one.
    void ServeNext(const std::shared_ptr<TAcceptors>& AAcceptors, bool AReserved);
    // Starts a thread that takes this one's place in accept(); false if none
    // could be made.
    bool StartAcceptor(const std::shared_ptr<TAcceptors>& AAcceptors);

    std::atomic<bool> FActive{false};
    // Between a shortage's first refusal and the next client served.
    std::atomic<bool> FShort{false};
    std::mutex FListenerLock;
    std::vector<std::unique_ptr<TIdListenerThread>> FListeners;
    std::shared_ptr<TIdSchedulerOfThreadDefault> FScheduler;
    bool FImplicitScheduler = false;
    TIdWakeUpPtr FStop;
    TIdContextClass FContextClass;
    // Relayed contexts that have not ended yet; deactivation waits for 0.
    std::mutex FRelayLock;
    std::condition_variable FRelaysChanged;
    size_t FRelays = 0;
};

// One per binding while the server is active.
class TIdListenerThread {
public:
    TIdListenerThread(TIdCustomTCPServer& AServer, TIdSocketHandle& ABinding, int AIndex);
    ~TIdListenerThread();
    TIdListenerThread(const TIdListenerThread&) = delete;
    TIdListenerThread& operator=(const TIdListenerThread&) = delete;

    void Start();
    // Closes the listening socket and returns when the thread has ended.
    void TerminateAndWait();

    TIdCustomTCPServer& Server() const { return FServer; }
    TIdSocketHandle& Binding() const { return FBinding; }
    const std::string& Name() const { return FName; }

private:
    friend class TIdCustomTCPServer;
    void Run();
    // Accepts one waiting client with the spare descriptor's place and
    // closes it; false when there was no spare or nothing could be taken.
    bool RefuseOneWithSpare();
    // Blocks until no connection thread waits in accept() or the stop;
    // false on the stop.
    bool WaitForTurn();

    TIdCustomTCPServer& FServer;
    TIdSocketHandle& FBinding;
    std::string FName;
    std::atomic<bool> FStopped{false};
    // Held open so that a client can still be taken off the queue and
    // refused when the process is out of descriptors.
    int FSpare = -1;
    TIdWakeUpPtr FStop;
    std::shared_ptr<TIdSchedulerOfThreadDefault> FScheduler;
    std::shared_ptr<TIdCustomTCPServer::TAcceptors> FAcceptors;
    std::thread FThread;
};

} // namespace kestrune
