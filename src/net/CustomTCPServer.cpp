#include "net/CustomTCPServer.h"

#include "net/Exception.h"
#include "net/TCPClient.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>

namespace kestrune {

TIdCustomTCPServer::TIdCustomTCPServer() {
    IgnoreSigPipe();
    SetContextClass<TIdServerContext>();
}

TIdCustomTCPServer::~TIdCustomTCPServer() {
    Deactivate();
}

void TIdCustomTCPServer::SetActive(bool AValue) {
    if (!AValue) {
        Deactivate();
        return;
    }
    if (FActive)
        return;
    if (Bindings.Count() == 0) {
        Bindings.Add();
        const int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe >= 0) {
            close(probe);
            Bindings.Add().IPVersion = Id_IPv6;
        }
    }
    FImplicitScheduler = !Scheduler;
    FScheduler = Scheduler ? Scheduler : std::make_shared<TIdSchedulerOfThreadDefault>();
    if (FImplicitScheduler)
        FScheduler->Name = (Name.empty() ? std::string("IdCustomTCPServer") : Name) + "Scheduler";
    FStop = std::make_shared<TIdWakeUp>();
    FShort = false;
    try {
        StartListening();
    } catch (...) {
        Deactivate();
        throw;
    }
    FActive = true;
}

void TIdCustomTCPServer::StartListening() {
    std::lock_guard<std::mutex> lock(FListenerLock);
    std::vector<TIdSocketHandle*> bound;
    for (int i = 0; i < Bindings.Count(); ++i) {
        TIdSocketHandle& binding = Bindings[i];
        try {
            binding.AllocateSocket(SOCK_STREAM);
            binding.Bind(true);
            bound.push_back(&binding);
        } catch (...) {
            // The failing binding's socket is closed too: it holds no port,
            // and a later activation allocates afresh.
            binding.CloseSocket();
            for (TIdSocketHandle* previous : bound)
                previous->CloseSocket();
            throw;
        }
    }
    for (size_t i = 0; i < bound.size(); ++i) {
        bound[i]->Listen(ListenQueue);
        auto thread =
            std::make_unique<TIdListenerThread>(*this, *bound[i], static_cast<int>(i) + 1);
        try {
            thread->Start();
        } catch (...) {
            bound[i]->CloseSocket();
            throw;
        }
        FListeners.push_back(std::move(thread));
    }
}

void TIdCustomTCPServer::StopListening() {
    std::lock_guard<std::mutex> lock(FListenerLock);
    for (auto& listener : FListeners)
        listener->TerminateAndWait();
    FListeners.clear();
}

void TIdCustomTCPServer::Deactivate() {
    FActive = false;
    if (FStop)
        FStop->Signal();
    StopListening();
    // Closed after unlocking, so that contexts that end meanwhile can leave
    // the list; a relay's close is posted to its loop, which ends it there.
    std::vector<std::shared_ptr<TIdContext>> live;
    {
        auto& contexts = Contexts.LockList();
        for (TIdContext* context : contexts) {
            auto* served = static_cast<TIdServerContext*>(context);
            if (TIdRelay* relay = served->Relaying())
                relay->Close();
            else if (auto pinned = TIdContextList::Pin(*context))
                live.push_back(std::move(pinned));
        }
        Contexts.UnlockList();
    }
    for (auto& context : live)
        TerminateContext(*context);
    live.clear();
    if (FScheduler) {
        FScheduler->WaitForIdle();
        if (FImplicitScheduler)
            FScheduler->Shutdown();
        FScheduler.reset();
    }
    {
        // No thread is left to hand over another relay.
        std::unique_lock<std::mutex> lock(FRelayLock);
        FRelaysChanged.wait(lock, [this] { return FRelays == 0; });
    }
    for (int i = 0; i < Bindings.Count(); ++i)
        Bindings[i].CloseSocket();
}

void TIdCustomTCPServer::ConnectContext(TIdContext& AContext) {
    if (OnConnect)
        OnConnect(AContext);
}

bool TIdCustomTCPServer::ExecuteContext(TIdContext& AContext) {
    TIdTCPConnection& connection = *AContext.Connection();
    if (OnExecute) {
        OnExecute(AContext);
        return connection.Connected();
    }
    // Nobody consumes the input: wait for the next bytes or the end, and
    // drop what came so that an unattended connection cannot fill memory.
    if (TIdIOHandlerStack* io = connection.IOHandler()) {
        io->CheckForDataOnSource(IdTimeoutInfinite);
        const bool connected = connection.Connected();
        io->InputBuffer.Clear();
        return connected;
    }
    return false;
}

void TIdCustomTCPServer::DisconnectContext(TIdContext& AContext) {
    if (OnDisconnect)
        OnDisconnect(AContext);
}

void TIdCustomTCPServer::TerminateContext(TIdContext& AContext) {
    auto& context = static_cast<TIdServerContext&>(AContext);
    if (TIdRelay* relay = context.Relaying())
        relay->Close();
    else if (TIdSocketHandle* binding = AContext.Binding())
        binding->CloseSocket();
}

namespace {
// Connection threads kept waiting in accept() per binding once their own
// clients have gone; the rest go back to the pool.
constexpr int MaxWaitingAcceptors = 4;
} // namespace

// What the listener thread of a binding shares with the connection threads
// that accept on it. Listener stays valid while Inside is above zero: the
// listener's TerminateAndWait waits for that.
struct TIdCustomTCPServer::TAcceptors {
    TAcceptors(TIdListenerThread& AListener, TIdWakeUpPtr AStop,
               std::shared_ptr<TIdSchedulerOfThreadDefault> AScheduler)
        : Listener(&AListener), Stop(std::move(AStop)), Scheduler(std::move(AScheduler)) {}

    TIdListenerThread* Listener;
    TIdWakeUpPtr Stop;
    std::shared_ptr<TIdSchedulerOfThreadDefault> Scheduler;

    std::mutex Lock;
    std::condition_variable Changed;
    bool Stopped = false;
    // Connection threads in accept() or on their way there.
    int Waiting = 0;
    // Those, and the ones still registering the client they took.
    int Inside = 0;
};

std::shared_ptr<TIdServerContext>
TIdCustomTCPServer::TakeAccepted(TIdListenerThread& AThread, int AHandle, const sockaddr* APeer) {
    TIdSocketHandle& listening = AThread.Binding();
    auto handler = std::make_unique<TIdIOHandlerStack>();
    TIdSocketHandle& binding = handler->Binding();
    binding.Adopt(AHandle, listening.IPVersion);
    // A listener on one address accepts on that address; only a wildcard
    // listener needs to ask which of the machine's addresses was reached.
    if (listening.IP.empty() || listening.IP == "0.0.0.0" || listening.IP == "::") {
        binding.UpdateBindingLocal();
    } else {
        binding.IP = listening.IP;
        binding.Port = listening.Port;
    }
    TIdSocketHandle::FromSockAddr(APeer, binding.PeerIP, binding.PeerPort);
    handler->Open();
    auto connection = std::make_unique<TIdTCPConnection>(std::move(handler));

    std::shared_ptr<TIdServerContext> context = FContextClass(*this, std::move(connection));
    // Registered at once, so that clients accepted in quick succession all
    // count against MaxConnections; one over it is closed (by the context's
    // destructor) with no event.
    if (!Contexts.AddBelow(context.get(), MaxConnections))
        return nullptr;
    ResourcesRecovered();
    return context;
}

void TIdCustomTCPServer::ResourcesShort(const char* AReason) {
    if (!FShort.exchange(true) && OnOutOfResources)
        OnOutOfResources(AReason);
}

void TIdCustomTCPServer::ResourcesRecovered() {
    if (FShort.load(std::memory_order_relaxed) && FShort.exchange(false) && OnServingAgain)
        OnServingAgain();
}

void TIdCustomTCPServer::HandleAccepted(TIdListenerThread& AThread, int AHandle,
                                        const sockaddr* APeer, TIdYarn*& AYarn) {
    if (!AYarn)
        AYarn = AThread.FScheduler->AcquireYarn();
    if (!AYarn) {
        ::close(AHandle); // no thread to run it: closed, counted nowhere
        ResourcesShort("no thread for a new connection");
        return;
    }
    std::shared_ptr<TIdServerContext> context = TakeAccepted(AThread, AHandle, APeer);
    if (!context)
        return;
    TIdYarn* yarn = AYarn;
    AYarn = nullptr;
    AThread.FScheduler->StartYarn(yarn, [this, context = std::move(context), stop = AThread.FStop,
                                         acceptors = AThread.FAcceptors]() mutable {
        RunContext(std::move(context), stop);
        ServeNext(acceptors, false);
    });
}

bool TIdCustomTCPServer::StartAcceptor(const std::shared_ptr<TAcceptors>& AAcceptors) {
    TIdYarn* yarn = AAcceptors->Scheduler->AcquireYarn();
    if (!yarn)
        return false;
    AAcceptors->Scheduler->StartYarn(yarn, [this, AAcceptors] { ServeNext(AAcceptors, true); });
    return true;
}

void TIdCustomTCPServer::ServeNext(const std::shared_ptr<TAcceptors>& AAcceptors, bool AReserved) {
    TAcceptors& acceptors = *AAcceptors;
    bool reserved = AReserved;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(acceptors.Lock);
            if (reserved) {
                reserved = false;
                if (acceptors.Stopped) {
                    --acceptors.Waiting;
                    --acceptors.Inside;
                    acceptors.Changed.notify_all();
                    return;
                }
            } else {
                if (acceptors.Stopped || acceptors.Waiting >= MaxWaitingAcceptors)
                    return;
                ++acceptors.Waiting;
                ++acceptors.Inside;
            }
        }
        int accepted = -1;
        int error = EBADF;
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        {
            TIdSocketHandle::TUse use(acceptors.Listener->Binding());
            if (use) {
                accepted = accept4(use.Handle(), reinterpret_cast<sockaddr*>(&peer), &peerLength,
                                   SOCK_CLOEXEC);
                error = accepted < 0 ? errno : 0;
            }
        }
        // While this thread runs its client another one must wait in
        // accept(): when it was the last, its place goes to a new one.
        bool successor = false;
        {
            std::lock_guard<std::mutex> lock(acceptors.Lock);
            successor = accepted >= 0 && acceptors.Waiting == 1 && !acceptors.Stopped;
            if (successor)
                ++acceptors.Inside;
            else
                --acceptors.Waiting;
            if (acceptors.Waiting == 0)
                acceptors.Changed.notify_all();
        }
        if (successor && !StartAcceptor(AAcceptors)) {
            // No thread to spare: the listener thread takes over.
            std::lock_guard<std::mutex> lock(acceptors.Lock);
            --acceptors.Waiting;
            --acceptors.Inside;
            acceptors.Changed.notify_all();
        }
        std::shared_ptr<TIdServerContext> context;
        if (accepted >= 0) {
            try {
                context = TakeAccepted(*acceptors.Listener, accepted,
                                       reinterpret_cast<const sockaddr*>(&peer));
            } catch (...) {
                // Out of memory: the client is closed with its connection.
            }
        }
        {
            std::lock_guard<std::mutex> lock(acceptors.Lock);
            if (--acceptors.Inside == 0)
                acceptors.Changed.notify_all();
        }
        if (context) {
            RunContext(std::move(context), acceptors.Stop);
            continue;
        }
        // Failures other than a client that gave up are the listener
        // thread's to handle and report.
        if (accepted < 0 && error != EINTR && error != ECONNABORTED && error != EAGAIN)
            return;
    }
}

void TIdCustomTCPServer::RunContext(std::shared_ptr<TIdServerContext> AContext,
                                    const TIdWakeUpPtr& AStop) {
    SetCurrentThreadWakeUp(AStop);
    std::exception_ptr failure;
    try {
        ConnectContext(*AContext);
        while (!AStop->Signalled() && ExecuteContext(*AContext)) {
        }
    } catch (...) {
        failure = std::current_exception();
    }
    SetCurrentThreadWakeUp(nullptr);
    if (AContext->FRelay) {
        if (!failure) {
            StartRelay(std::move(AContext));
            return;
        }
        // Handed over and then failed: the relay never starts.
        Contexts.LockList();
        AContext->FRelaying = nullptr;
        Contexts.UnlockList();
        AContext->FRelay.reset();
        AContext->FOnRelayEnd = nullptr;
    }
    EndContext(*AContext, failure);
}

void TIdCustomTCPServer::StartRelay(std::shared_ptr<TIdServerContext> AContext) {
    {
        std::lock_guard<std::mutex> lock(FRelayLock);
        ++FRelays;
    }
    TIdRelay& relay = *AContext->FRelay;
    relay.Start([this, context = std::move(AContext)](TIdRelay::TIdRelayEnd AEnd) mutable {
        std::exception_ptr failure;
        try {
            if (context->FOnRelayEnd)
                context->FOnRelayEnd(AEnd);
        } catch (...) {
            failure = std::current_exception();
        }
        EndContext(*context, failure);
        // Freed here (or by whoever still holds it), before the server may go.
        context.reset();
        std::lock_guard<std::mutex> lock(FRelayLock);
        --FRelays;
        FRelaysChanged.notify_all();
    });
}

void TIdCustomTCPServer::EndContext(TIdServerContext& AContext, std::exception_ptr AFailure) {
    try {
        DisconnectContext(AContext);
    } catch (...) {
        if (!AFailure)
            AFailure = std::current_exception();
    }
    Contexts.Remove(&AContext);
    if (AFailure && OnException) {
        try {
            std::rethrow_exception(AFailure);
        } catch (const std::exception& error) {
            try {
                OnException(AContext, error);
            } catch (...) {
            }
        } catch (...) {
        }
    }
}

TIdListenerThread::TIdListenerThread(TIdCustomTCPServer& AServer, TIdSocketHandle& ABinding,
                                     int AIndex)
    : FServer(AServer), FBinding(ABinding),
      FName((AServer.Name.empty() ? std::string("IdCustomTCPServer") : AServer.Name) +
            " Listener #" + std::to_string(AIndex)),
      FStop(AServer.FStop), FScheduler(AServer.FScheduler),
      FAcceptors(std::make_shared<TIdCustomTCPServer::TAcceptors>(*this, FStop, FScheduler)) {}

TIdListenerThread::~TIdListenerThread() {
    TerminateAndWait();
}

void TIdListenerThread::Start() {
    FThread = std::thread([this] {
        try {
            Run();
        } catch (...) {
            // A failure of the system's own primitives: this binding stops
            // accepting, but nothing may end the process.
        }
    });
}

void TIdListenerThread::TerminateAndWait() {
    FStopped = true;
    auto& acceptors = *FAcceptors;
    {
        std::lock_guard<std::mutex> lock(acceptors.Lock);
        acceptors.Stopped = true;
        acceptors.Changed.notify_all();
    }
    // Wakes every thread blocked in accept() on it.
    FBinding.CloseSocket();
    {
        std::unique_lock<std::mutex> lock(acceptors.Lock);
        acceptors.Changed.wait(lock, [&acceptors] { return acceptors.Inside == 0; });
    }
    if (FThread.joinable())
        FThread.join();
}

bool TIdListenerThread::WaitForTurn() {
    auto& acceptors = *FAcceptors;
    std::unique_lock<std::mutex> lock(acceptors.Lock);
    acceptors.Changed.wait(lock,
                           [&acceptors] { return acceptors.Stopped || acceptors.Waiting == 0; });
    return !acceptors.Stopped;
}

namespace {

// A descriptor that holds a place in the process's table and nothing else.
int OpenSpare() {
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

} // namespace

bool TIdListenerThread::RefuseOneWithSpare() {
    if (FSpare < 0) // lost to another thread last time; one may have come free
        FSpare = OpenSpare();
    if (FSpare < 0)
        return false;
    ::close(FSpare);
    FSpare = -1;
    int refused = -1;
    {
        TIdSocketHandle::TUse use(FBinding);
        if (use)
            refused = accept4(use.Handle(), nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (refused >= 0)
        ::close(refused);
    FSpare = OpenSpare();
    return refused >= 0 && FSpare >= 0;
}

void TIdListenerThread::Run() {
    FSpare = OpenSpare();
    TIdYarn* yarn = nullptr;
    // The last accept() found no descriptor free. accept() then fails at
    // once whether or not a client waits, so the next one waits for a client.
    bool starved = false;
    while (!FStopped) {
        if (!WaitForTurn())
            break;
        if (!yarn)
            yarn = FScheduler->AcquireYarn();
        int accepted = -1;
        int error = 0;
        sockaddr_storage peer{};
        socklen_t peerLength = 0;
        {
            TIdSocketHandle::TUse use(FBinding);
            if (!use)
                break;
            if (starved && (WaitSocketOrWakeUp(use.Handle(), POLLIN, FStop, -1) <= 0 || FStopped ||
                            !FBinding.HandleAllocated()))
                break;
            peerLength = sizeof peer;
            // Blocking: closing the binding wakes it.
            accepted = accept4(use.Handle(), reinterpret_cast<sockaddr*>(&peer), &peerLength,
                               SOCK_CLOEXEC);
            if (accepted < 0)
                error = errno;
        }
        if (accepted < 0) {
            if (FStopped)
                break;
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED)
                continue;
            if (error == EMFILE || error == ENFILE) {
                FServer.ResourcesShort("no free descriptors");
                // Out of descriptors: once a client waits, give up the spare
                // one for a moment to take it off the queue and close it at
                // once, so that it is refused instead of left hanging.
                if (!starved) {
                    starved = true;
                    continue;
                }
                if (RefuseOneWithSpare())
                    continue;
            }
            // Without a spare (or out of memory) the socket stays readable:
            // wait a moment (or for the stop) before trying again.
            WaitSocketOrWakeUp(-1, 0, FStop, 100);
            continue;
        }
        starved = false;
        try {
            FServer.HandleAccepted(*this, accepted, reinterpret_cast<const sockaddr*>(&peer), yarn);
        } catch (...) {
            // Out of memory: the client is closed with its connection.
        }
    }
    FScheduler->ReleaseYarn(yarn);
    if (FSpare >= 0)
        ::close(FSpare);
    FSpare = -1;
}

} // namespace kestrune
