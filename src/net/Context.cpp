#include "net/Context.h"

#include "net/CustomTCPServer.h"

#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace kestrune {

TIdContext::TIdContext(std::unique_ptr<TIdTCPConnection> AConnection)
    : FConnection(std::move(AConnection)) {}

TIdContext::~TIdContext() = default;

TIdSocketHandle* TIdContext::Binding() const {
    if (!FConnection || !FConnection->Socket())
        return nullptr;
    return &FConnection->Socket()->Binding();
}

TIdServerContext::~TIdServerContext() = default;

void TIdServerContext::SetReading(bool AOn) {
    if (FReading == AOn)
        return;
    FReading = AOn;
    // Bytes that came while reading was off brought their event then: they
    // are looked at now, outside the caller's step.
    if (AOn && !FEnded)
        FLoop->Defer([self = FSelf] {
            auto& context = static_cast<TIdServerContext&>(*self);
            if (!context.FEnded && !context.FRelay && context.FReading)
                context.Step([&context] { context.Execute(); });
        });
}

void TIdServerContext::Step(const std::function<void()>& AStep) {
    if (FEnded)
        return;
    try {
        AStep();
    } catch (...) {
        Finish(std::current_exception());
    }
}

void TIdServerContext::OnEvents(uint32_t AEvents) {
    if (FEnded || FRelay)
        return; // the relay has the socket now; its own watch reports it
    if (!FReading) {
        // Waiting for something else: only the client's end matters. A
        // half-close (a request sent, then its end) still awaits the answer,
        // and so do the bytes of a client that sent them and went: they are
        // passed on, and then its end, once the wait is over.
        if ((AEvents & (EPOLLERR | EPOLLHUP)) && !UnreadInput())
            Finish();
        return;
    }
    Step([this] { Execute(); });
}

bool TIdServerContext::UnreadInput() {
    TIdIOHandlerStack* io = Connection()->IOHandler();
    if (!io)
        return false;
    if (!io->InputBuffer.Empty())
        return true;
    TIdSocketHandle::TUse use(io->Binding());
    int unread = 0;
    return use && ioctl(use.Handle(), FIONREAD, &unread) == 0 && unread > 0;
}

bool TIdServerContext::ReadInput(bool& ALimited) {
    ALimited = false;
    TIdIOHandlerStack* io = Connection()->IOHandler();
    if (!io)
        return false;
    TIdSocketHandle::TUse use(io->Binding());
    if (!use)
        return false;
    const size_t limit = std::max<size_t>(FServer.MaxInput, 1);
    while (!FClientEnded) {
        const size_t room = limit - std::min(limit, io->InputBuffer.Size());
        if (room == 0) {
            ALimited = true;
            return true;
        }
        const size_t want = std::min<size_t>(room, 16384);
        const ssize_t got =
            recv(use.Handle(), io->InputBuffer.PrepareAppend(want), want, MSG_DONTWAIT);
        if (got > 0) {
            io->InputBuffer.Commit(static_cast<size_t>(got));
            if (static_cast<size_t>(got) < want)
                return true; // all it holds
            continue;
        }
        if (got == 0) {
            FClientEnded = true;
            io->MarkEnded();
            return true;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return true;
        return false; // reset or failed
    }
    return true;
}

void TIdServerContext::Execute() {
    for (;;) {
        bool limited = false;
        if (!ReadInput(limited)) {
            Finish();
            return;
        }
        const size_t before = Connection()->IOHandler()->InputBuffer.Size();
        if (!FServer.ExecuteContext(*this)) {
            Finish();
            return;
        }
        if (FEnded || FRelay || !FReading)
            return;
        const size_t after = Connection()->IOHandler()->InputBuffer.Size();
        if (FClientEnded) {
            // Nothing more will come: what is left can never make a whole request.
            if (after == before || after == 0)
                Finish();
            else
                continue;
            return;
        }
        if (!limited)
            return; // the next bytes bring an event
        if (after >= std::max<size_t>(FServer.MaxInput, 1)) {
            // The step needs more than any request may hold.
            Finish();
            return;
        }
    }
}

void TIdServerContext::Finish(std::exception_ptr AFailure) {
    if (FEnded.exchange(true))
        return;
    TIdEventLoop& loop = *FLoop;
    Abandon();
    if (FWatched) {
        if (TIdSocketHandle* binding = Binding()) {
            TIdSocketHandle::TUse use(*binding);
            if (use)
                loop.Unwatch(use.Handle());
        }
        FWatched = false;
    }
    TIdCustomTCPServer& server = FServer;
    server.EndContext(*this, AFailure);
    if (TIdTCPConnection* connection = Connection())
        if (TIdIOHandlerStack* io = connection->IOHandler())
            io->Close();
    // Freed once the events already taken are handled: one may be for it.
    loop.Retire(std::move(FSelf));
    // The last thing that touches the server: deactivation may free it at once.
    std::lock_guard<std::mutex> lock(server.FLiveLock);
    --server.FLive;
    server.FLiveChanged.notify_all();
}

void TIdServerContext::HandOver(std::unique_ptr<TIdRelay> ARelay,
                                TIdRelay::TIdRelayEndEvent AOnEnd) {
    FRelay = std::move(ARelay);
    FRelaying = FRelay.get();
    // The relay takes the socket over from the context's watch.
    FWatched = false;
    FRelay->Start([this, self = FSelf, onEnd = std::move(AOnEnd)](TIdRelay::TIdRelayEnd AEnd) {
        std::exception_ptr failure;
        try {
            if (onEnd)
                onEnd(AEnd);
        } catch (...) {
            failure = std::current_exception();
        }
        Finish(failure);
    });
}

bool TIdServerContext::Terminate() {
    if (FEnded || FTerminated.exchange(true))
        return false;
    FLoop->Post([self = shared_from_this()] {
        auto& context = static_cast<TIdServerContext&>(*self);
        if (context.FEnded)
            return;
        if (context.FRelay) {
            context.FRelay->Close();
            return;
        }
        context.Step([&context] {
            context.FServer.TerminateContext(context);
            context.Finish();
        });
    });
    return true;
}

void TIdContextList::Add(TIdContext* AContext) {
    std::lock_guard<std::mutex> lock(FLock);
    FItems.push_back(AContext);
}

bool TIdContextList::AddBelow(TIdContext* AContext, int AMax) {
    std::lock_guard<std::mutex> lock(FLock);
    if (AMax > 0 && FItems.size() >= static_cast<size_t>(AMax))
        return false;
    FItems.push_back(AContext);
    return true;
}

void TIdContextList::Remove(TIdContext* AContext) {
    std::lock_guard<std::mutex> lock(FLock);
    FItems.erase(std::remove(FItems.begin(), FItems.end(), AContext), FItems.end());
}

} // namespace kestrune
