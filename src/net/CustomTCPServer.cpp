#include "net/CustomTCPServer.h"

#include "net/Exception.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kestrune {

namespace {

// Clients one loop takes in a row before it serves its other sockets; the
// listening socket stays ready, so the loop (or another) comes back to it.
constexpr int AcceptsPerTurn = 32;
// How long a loop leaves a listening socket alone when the process is out
// of descriptors and has none to spare for refusing the waiting clients.
constexpr auto StarvedPause = std::chrono::milliseconds(100);

// A descriptor that holds a place in the process's table and nothing else.
int OpenSpare() {
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

} // namespace

// One binding's listening socket, watched by every loop at once.
//
// Out of descriptors, a loop refuses waiting clients with a spare descriptor
// of its own: it gives the spare up for a moment to take a client off the
// queue and close it at once, so that the client is refused instead of left
// hanging. Another loop may take the freed place meanwhile (and serve a
// client with it); the loop that lost its spare then leaves the socket alone
// until it has one again, so that it can never take a place a spare needs.
class TIdCustomTCPServer::TListener : public TIdLoopWatch {
public:
    TListener(TIdCustomTCPServer& AServer, TIdSocketHandle& ABinding)
        : FServer(AServer), FBinding(ABinding), FLoops(TIdEventLoops::All()),
          FPerLoop(FLoops.size()) {
        for (TPerLoop& loop : FPerLoop)
            loop.Spare = OpenSpare();
    }
    ~TListener() override {
        for (TPerLoop& loop : FPerLoop)
            if (loop.Spare >= 0)
                ::close(loop.Spare);
    }

    TIdSocketHandle& Binding() const { return FBinding; }

    bool Start() {
        TIdSocketHandle::TUse use(FBinding);
        if (!use)
            return false;
        FHandle = use.Handle();
        FStarted = TIdEventLoops::WatchOnAll(FHandle, *this);
        return FStarted;
    }

    // Returns once no loop will call this listener again.
    void Stop() {
        if (!FStarted)
            return;
        FStarted = false;
        // A loop that left the socket alone must not take it up again, nor
        // ask the others to look at it; what one of them asked before is
        // done by the end of the second wait.
        for (size_t i = 0; i < FLoops.size(); ++i)
            FLoops[i]->Post([this, i] {
                FPerLoop[i].Stopped = true;
                FPerLoop[i].Timer.Cancel();
            });
        TIdEventLoops::Sync();
        TIdEventLoops::UnwatchOnAll(FHandle);
    }

    void OnEvents(uint32_t) override {
        TIdEventLoop& loop = *TIdEventLoop::Current();
        TPerLoop* mine = Mine(loop);
        if (!mine || mine->Stopped || mine->Paused)
            return;
        for (int i = 0; i < AcceptsPerTurn; ++i) {
            if (mine->Spare < 0 && (mine->Spare = OpenSpare()) < 0) {
                Pause(loop, *mine);
                return;
            }
            sockaddr_storage peer{};
            socklen_t length = sizeof peer;
            const int accepted = accept4(FHandle, reinterpret_cast<sockaddr*>(&peer), &length,
                                         SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (accepted >= 0) {
                try {
                    FServer.TakeAccepted(loop, *this, accepted,
                                         reinterpret_cast<const sockaddr*>(&peer));
                } catch (...) {
                    // Out of memory: the client is closed with its connection.
                }
                continue;
            }
            const int error = errno;
            if (error == EINTR || error == ECONNABORTED)
                continue;
            if (error != EMFILE && error != ENFILE)
                return; // EAGAIN: nobody waits; anything else: the next client tries again
            FServer.ResourcesShort("no free descriptors");
            if (!RefuseOne(*mine))
                return; // nobody waits, or the spare was lost: the loop comes back
        }
    }

private:
    struct TPerLoop {
        int Spare = -1;
        TIdLoopTimer Timer;
        bool Paused = false;
        bool Stopped = false;
    };

    TPerLoop* Mine(TIdEventLoop& ALoop) {
        const auto at = std::find(FLoops.begin(), FLoops.end(), &ALoop);
        return at == FLoops.end() ? nullptr : &FPerLoop[static_cast<size_t>(at - FLoops.begin())];
    }

    // Takes one waiting client off the queue with the spare's place and
    // closes it; false when nobody was waiting or the spare could not be
    // made again.
    bool RefuseOne(TPerLoop& AMine) {
        ::close(AMine.Spare);
        AMine.Spare = -1;
        const int refused = accept4(FHandle, nullptr, nullptr, SOCK_CLOEXEC);
        if (refused >= 0)
            ::close(refused);
        AMine.Spare = OpenSpare();
        return refused >= 0 && AMine.Spare >= 0;
    }

    // Without a spare the socket stays ready and would wake this loop
    // without end: it leaves the loop's watch until a spare can be had.
    void Pause(TIdEventLoop& ALoop, TPerLoop& AMine) {
        if (AMine.Stopped)
            return;
        if (!AMine.Paused) {
            AMine.Paused = true;
            ALoop.Unwatch(FHandle);
            // The system woke this loop alone for the clients that wait; the
            // others must look for themselves, or those clients wait for
            // the next one to arrive.
            for (TIdEventLoop* other : FLoops)
                if (other != &ALoop)
                    other->Post([this] { OnEvents(0); });
        }
        AMine.Timer.Arm(ALoop, StarvedPause, [this, &ALoop, &AMine] {
            if (AMine.Stopped)
                return;
            if (AMine.Spare < 0 && (AMine.Spare = OpenSpare()) < 0) {
                Pause(ALoop, AMine);
                return;
            }
            AMine.Paused = false;
            ALoop.Watch(FHandle, *this, EPOLLIN | EPOLLEXCLUSIVE);
        });
    }

    TIdCustomTCPServer& FServer;
    TIdSocketHandle& FBinding;
    int FHandle = -1;
    bool FStarted = false;
    std::vector<TIdEventLoop*> FLoops;
    std::vector<TPerLoop> FPerLoop; // each touched by its own loop only
};

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
    std::vector<TIdSocketHandle*> bound;
    for (int i = 0; i < Bindings.Count(); ++i) {
        TIdSocketHandle& binding = Bindings[i];
        try {
            binding.AllocateSocket(SOCK_STREAM | SOCK_NONBLOCK);
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
    for (TIdSocketHandle* binding : bound) {
        // Set once here, the accepted sockets take them from their listener:
        // no small write of a client waits for delayed ACKs, and a client
        // that vanishes is noticed.
        binding->SetNoDelay(true);
        binding->SetKeepAlive();
        binding->Listen(ListenQueue);
        auto listener = std::make_unique<TListener>(*this, *binding);
        if (!listener->Start()) {
            binding->CloseSocket();
            throw EIdSocketError(errno);
        }
        FListeners.push_back(std::move(listener));
    }
}

void TIdCustomTCPServer::StopListening() {
    for (auto& listener : FListeners)
        listener->Stop();
    FListeners.clear();
}

void TIdCustomTCPServer::Deactivate() {
    FActive = false;
    StopListening();
    // Every live context is asked to end on its loop; nothing here waits
    // for a loop while the list is held.
    {
        auto& contexts = Contexts.LockList();
        for (TIdContext* context : contexts) {
            auto* served = static_cast<TIdServerContext*>(context);
            if (TIdRelay* relay = served->Relaying())
                relay->Close();
            else
                served->Terminate();
        }
        Contexts.UnlockList();
    }
    {
        std::unique_lock<std::mutex> lock(FLiveLock);
        FLiveChanged.wait(lock, [this] { return FLive == 0; });
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
    // Nobody consumes the input: what came is dropped, so that an
    // unattended connection cannot fill memory; its end ends the context.
    if (TIdIOHandlerStack* io = connection.IOHandler()) {
        io->InputBuffer.Clear();
        return connection.Connected();
    }
    return false;
}

void TIdCustomTCPServer::DisconnectContext(TIdContext& AContext) {
    if (OnDisconnect)
        OnDisconnect(AContext);
}

void TIdCustomTCPServer::TerminateContext(TIdContext& AContext) {
    if (TIdSocketHandle* binding = AContext.Binding())
        binding->CloseSocket();
}

void TIdCustomTCPServer::TakeAccepted(TIdEventLoop& ALoop, TListener& AListener, int AHandle,
                                      const sockaddr* APeer) {
    TIdSocketHandle& listening = AListener.Binding();
    auto handler = std::make_unique<TIdIOHandlerStack>();
    TIdSocketHandle& binding = handler->Binding();
    binding.Adopt(AHandle, listening.IPVersion);
    binding.InheritOptions(listening);
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
    context->FLoop = &ALoop;
    // Registered at once, so that clients accepted in quick succession on
    // several loops all count against MaxConnections; one over it is closed
    // (by the context's destructor) with no event.
    if (!Contexts.AddBelow(context.get(), MaxConnections))
        return;
    ResourcesRecovered();
    {
        std::lock_guard<std::mutex> lock(FLiveLock);
        ++FLive;
    }
    context->FSelf = context;
    TIdServerContext& served = *context;
    served.Step([&] {
        ConnectContext(served);
        TIdIOHandlerStack* io = served.Connection()->IOHandler();
        if (served.Finished() || served.Denied() || !io || !io->Opened() ||
            !binding.HandleAllocated()) {
            served.Finish();
            return;
        }
        if (!served.FRelay) {
            // The present state of the socket comes as the watch's first event.
            if (!ALoop.Watch(AHandle, served))
                throw EIdSocketError(errno);
            served.FWatched = true;
        }
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

// A shortage starts on one loop and may end on another at the same moment:
// each change is told under the lock, so that its start is always told
// before its end.
void TIdCustomTCPServer::ResourcesShort(const char* AReason) {
    if (FShort.load())
        return;
    std::lock_guard<std::mutex> lock(FShortLock);
    if (!FShort.exchange(true) && OnOutOfResources)
        OnOutOfResources(AReason);
}

void TIdCustomTCPServer::ResourcesRecovered() {
    if (!FShort.load())
        return;
    std::lock_guard<std::mutex> lock(FShortLock);
    if (FShort.exchange(false) && OnServingAgain)
        OnServingAgain();
}

} // namespace kestrune
