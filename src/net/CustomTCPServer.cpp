#include "net/CustomTCPServer.h"

#include "net/IdException.h"
#include "net/TCPClient.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace kestrune {

TIdCustomTCPServer::TIdCustomTCPServer() {
    IgnoreSigPipe();
    SetContextClass<TIdServerContext>();
}

TIdCustomTCPServer::~TIdCustomTCPServer() {
    Deactivate();
}

TIdWakeUpPtr TIdCustomTCPServer::StopSignal() const {
    return FStop;
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
            if (ReuseSocket != rsOSDependent)
                binding.ReuseSocket = ReuseSocket;
            if (OnBeforeBind)
                OnBeforeBind(binding);
            binding.Bind(true);
            binding.UseNagle = UseNagle;
            binding.ApplyNagle();
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
    if (!bound.empty() && OnAfterBind)
        OnAfterBind();
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
    {
        auto& contexts = Contexts.LockList();
        for (TIdContext* context : contexts)
            TerminateContext(*context);
        Contexts.UnlockList();
    }
    if (FScheduler) {
        FScheduler->WaitForIdle();
        if (FImplicitScheduler)
            FScheduler->Shutdown();
        FScheduler.reset();
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
    if (TIdSocketHandle* binding = AContext.Binding())
        binding->CloseSocket();
}

void TIdCustomTCPServer::HandleAccepted(TIdListenerThread& AThread, int AHandle,
                                        const sockaddr* APeer, TIdYarn*& AYarn) {
    TIdSocketHandle& listening = AThread.Binding();
    auto handler = std::make_unique<TIdIOHandlerStack>();
    handler->IPVersion = listening.IPVersion;
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

    if (MaxConnections > 0 && Contexts.Count() >= static_cast<size_t>(MaxConnections))
        return; // closed by the connection's destructor, with no event
    if (!AYarn)
        AYarn = AThread.FScheduler->AcquireYarn();
    if (!AYarn)
        return; // no thread to run it: closed, counted nowhere

    TIdServerContext* context = FContextClass(*this, std::move(connection), &Contexts).release();
    // Registered at once, so that clients accepted in quick succession all
    // count against MaxConnections.
    Contexts.Add(context);
    if (OnContextCreated) {
        try {
            OnContextCreated(*context);
        } catch (...) {
            Contexts.Remove(context);
            delete context;
            throw;
        }
    }
    TIdYarn* yarn = AYarn;
    AYarn = nullptr;
    TIdWakeUpPtr stop = AThread.FStop;
    AThread.FScheduler->StartYarn(
        yarn, [this, context, stop = std::move(stop)] { RunContext(context, stop); });
}

void TIdCustomTCPServer::RunContext(TIdServerContext* AContext, const TIdWakeUpPtr& AStop) {
    SetCurrentThreadWakeUp(AStop);
    std::exception_ptr failure;
    try {
        ConnectContext(*AContext);
        while (!AStop->Signalled() && ExecuteContext(*AContext)) {
        }
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        DisconnectContext(*AContext);
    } catch (...) {
        if (!failure)
            failure = std::current_exception();
    }
    Contexts.Remove(AContext);
    if (failure && OnException) {
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& error) {
            try {
                OnException(*AContext, error);
            } catch (...) {
            }
        } catch (...) {
        }
    }
    delete AContext;
    SetCurrentThreadWakeUp(nullptr);
}

TIdListenerThread::TIdListenerThread(TIdCustomTCPServer& AServer, TIdSocketHandle& ABinding,
                                     int AIndex)
    : FServer(AServer), FBinding(ABinding),
      FName((AServer.Name.empty() ? std::string("IdCustomTCPServer") : AServer.Name) +
            " Listener #" + std::to_string(AIndex)),
      FStop(AServer.FStop), FScheduler(AServer.FScheduler) {}

TIdListenerThread::~TIdListenerThread() {
    TerminateAndWait();
}

void TIdListenerThread::Start() {
    FThread = std::thread([this] { Run(); });
}

void TIdListenerThread::TerminateAndWait() {
    FStopped = true;
    FBinding.CloseSocket();
    if (FThread.joinable())
        FThread.join();
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
    while (!FStopped) {
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
            if (WaitSocketOrWakeUp(use.Handle(), POLLIN, FStop, -1) <= 0 || FStopped ||
                !FBinding.HandleAllocated())
                break;
            peerLength = sizeof peer;
            accepted = accept4(use.Handle(), reinterpret_cast<sockaddr*>(&peer), &peerLength,
                               SOCK_CLOEXEC);
            if (accepted < 0)
                error = errno;
        }
        if (accepted < 0) {
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED)
                continue;
            if (FServer.OnListenException) {
                try {
                    FServer.OnListenException(*this, EIdSocketError(error));
                } catch (...) {
                }
            }
            // Out of descriptors: give up the spare one for a moment to take
            // the waiting client off the queue and close it at once, so that
            // it is refused instead of left hanging. Without a spare (or out
            // of memory) the socket stays readable: wait a moment (or for the
            // stop) before trying again.
            if ((error == EMFILE || error == ENFILE) && RefuseOneWithSpare())
                continue;
            WaitSocketOrWakeUp(-1, 0, FStop, 100);
            continue;
        }
        try {
            FServer.HandleAccepted(*this, accepted, reinterpret_cast<const sockaddr*>(&peer),
                                   yarn);
        } catch (const std::exception& failure) {
            if (FServer.OnListenException) {
                try {
                    FServer.OnListenException(*this, failure);
                } catch (...) {
                }
            }
        } catch (...) {
        }
    }
    FScheduler->ReleaseYarn(yarn);
    if (FSpare >= 0)
        ::close(FSpare);
    FSpare = -1;
}

} // namespace kestrune
