#include "net/Relay.h"

#include "net/EventLoop.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <malloc.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace kestrune {

namespace {

bool WouldBlock(int AError) {
    return AError == EAGAIN || AError == EWOULDBLOCK;
}

// Blocks one direction may move in a turn before the loop serves the others.
constexpr int MaxBlocksPerTurn = 16;
// A block moved in the kernel below this size means the traffic has turned
// interactive, where copying costs fewer steps than a pipe.
constexpr size_t SmallBlock = 4096;
// Blocks from this size on move through a pipe once a stream runs in bulk.
// Measured on loopback: with 1 MB blocks a pipe moved one stream at 0.61 to
// 0.75 of the direct path against 0.51 to 0.64 copied; with 64 KB blocks
// copying through the loop's block was as fast or faster.
constexpr size_t SpliceFrom = 256 * 1024;
// A side that is reset because the other one was waits this long at most for
// the peer to acknowledge what was written to it before the reset, which
// would otherwise throw away bytes still in flight.
constexpr auto ResetDrainLimit = std::chrono::seconds(5);
constexpr auto ResetDrainStep = std::chrono::milliseconds(10);

// Relays of the process that have started and not ended, and the most there
// were since the allocator last gave its free pages back to the system.
std::atomic<size_t> gLive{0};
std::atomic<size_t> gPeak{0};
// Below this many, what a burst of relays leaves free is not worth a trim.
constexpr size_t TrimAfter = 1024;
// Bytes that relays have taken from one socket and not yet written to the other.
std::atomic<int64_t> gHeld{0};
std::atomic<bool> gTrimming{false};

// The memory of relays that have gone stays with the allocator, scattered
// between live blocks, where it counts as resident. Once the relays have
// fallen to half of their peak, the free pages go back to the system: a
// burst leaves little behind, and a steady load never pays for it. The trim
// walks the whole heap, so it runs on a thread of its own, never on a loop
// whose other relays would wait for it.
void Ended() {
    const size_t live = --gLive;
    size_t peak = gPeak.load();
    if (peak < TrimAfter || live > peak / 2 || !gPeak.compare_exchange_strong(peak, live))
        return;
    if (gTrimming.exchange(true))
        return;
    try {
        std::thread([] {
            malloc_trim(0);
            gTrimming = false;
        }).detach();
    } catch (...) {
        gTrimming = false; // no thread to spare: the pages stay until the next burst
    }
}

void Started() {
    const size_t live = ++gLive;
    size_t peak = gPeak.load();
    while (live > peak && !gPeak.compare_exchange_weak(peak, live)) {
    }
}

} // namespace

// The relay as the loop runs it. It lives as long as any of the loop's events
// may still point at it (FSelf while it runs, then the loop's retired list),
// and touches the connections only until its end has been reported.
class TIdRelay::TEngine : public TIdLoopWork, public std::enable_shared_from_this<TEngine> {
public:
    TEngine(TIdTCPConnection& AClient, TIdTCPConnection& ARemote, size_t AClientBlockSize,
            size_t ARemoteBlockSize)
        : FClient(*this, AClient), FRemote(*this, ARemote),
          FUp(FClient, FRemote, std::max<size_t>(AClientBlockSize, 1), false),
          FDown(FRemote, FClient, std::max<size_t>(ARemoteBlockSize, 1), true) {}

    void Start(TIdRelayEndEvent AOnEnd, bool ACloseAtEnd, std::function<void(TIdBytes&)> AUpHook,
               std::function<void(TIdBytes&)> ADownHook);
    bool RequestClose();
    void RunAgain() override {
        FPumpQueued = false;
        Pump();
    }
    bool RemoteEnded() const { return FRemoteEnded; }

private:
    struct TSide : TIdLoopWatch {
        TSide(TEngine& AEngine, TIdTCPConnection& AConnection)
            : Engine(AEngine), Connection(AConnection) {}
        void OnEvents(uint32_t AEvents) override { Engine.OnEvents(*this, AEvents); }
        TIdSocketHandle& Binding() const { return Connection.IOHandler()->Binding(); }

        TEngine& Engine;
        TIdTCPConnection& Connection;
        int Handle = -1; // held (acquired) from Start to the end
        bool Watched = false;
        bool NonBlocking = false;
        // What the last events said and no call has found untrue since.
        bool Readable = false;
        bool Writable = true;
        // The system reported an error (a reset, a vanished peer): the
        // bytes that arrived before it can still be read, then reads fail too.
        bool ErrorSeen = false;
        // A call on the socket failed: the connection is gone.
        bool Failed = false;
        // The peer's end of stream has arrived (maybe behind unread bytes):
        // a read that empties the socket does not make it unreadable then.
        bool EndSeen = false;
    };

    // One way through the relay, with at most one block in flight: in the
    // loop's read block while it is being written, in a buffer of its own
    // for what the other side could not take yet, or in a pipe.
    struct TDirection {
        TDirection(TSide& AFrom, TSide& ATo, size_t ABlockSize, bool AReportWork)
            : From(AFrom), To(ATo), BlockSize(ABlockSize), ReportWork(AReportWork) {}

        TSide& From;
        TSide& To;
        size_t BlockSize;
        bool ReportWork;
        std::function<void(TIdBytes&)> Hook;

        size_t Block = 0; // the length of the block in flight, for the work report
        const uint8_t* Out = nullptr;
        size_t Left = 0; // bytes at Out still to be written
        std::unique_ptr<uint8_t[]> Held;
        TIdBytes Hooked;
        TIdPipe Pipe;
        size_t InPipe = 0;
        int64_t Counted = 0; // what this direction adds to gHeld
        bool Splice = false;
        bool SpliceRefused = false;
        bool ReadOpen = true;
        bool ShutdownSent = false;

        bool Pending() const { return Left > 0 || InPipe > 0; }
        bool Done() const { return !ReadOpen && !Pending(); }
    };

    enum TStep { sGoOn, sWait, sError };

    void Attach();
    void OnEvents(TSide& ASide, uint32_t AEvents);
    void QueuePump();
    void Pump();
    // After one side failed: what it sent before goes to the other side in
    // full, then the other side is reset.
    void Abort();
    TStep Move(TDirection& ADirection, bool& AMore);
    TStep TakeBuffered(TDirection& ADirection);
    TStep FillCopy(TDirection& ADirection);
    TStep FillSplice(TDirection& ADirection);
    TStep Accept(TDirection& ADirection, uint8_t* AData, size_t ACount);
    TStep Flush(TDirection& ADirection);
    TStep FlushCopy(TDirection& ADirection);
    TStep FlushSplice(TDirection& ADirection);
    // Writes through AWrite (bytes written, or -1 with errno) until ALeft is
    // 0 or the other side can take no more.
    template <typename TWrite> TStep Drain(TDirection& ADirection, size_t& ALeft, TWrite AWrite);
    void Completed(TDirection& ADirection);
    // Forgets what was on its way to a side that has gone.
    void Discard(TDirection& ADirection);
    void Account(TDirection& ADirection);
    TStep Fail(TSide& ASide);
    bool MakeNonBlocking(TSide& ASide);
    void End(TIdRelayEnd AEnd);

    TSide FClient;
    TSide FRemote;
    TDirection FUp;   // client -> remote
    TDirection FDown; // remote -> client
    TIdRelayEndEvent FOnEnd;
    bool FCloseAtEnd = true;
    bool FStartFailed = false;
    bool FPumpQueued = false;
    bool FRemoteFailed = false;
    bool FRemoteEnded = false;
    // Set once a side has failed: the relay is passing on the last bytes
    // and resetting the side that is left.
    TSide* FDead = nullptr;
    TIdLoopTimer::TClock::time_point FResetSince{};
    TIdLoopTimer FResetTimer;
    std::atomic<bool> FEnded{false};
    std::atomic<bool> FCloseRequested{false};
    std::atomic<TIdEventLoop*> FLoop{nullptr};
    std::shared_ptr<TEngine> FSelf;
};

void TIdRelay::TEngine::Start(TIdRelayEndEvent AOnEnd, bool ACloseAtEnd,
                              std::function<void(TIdBytes&)> AUpHook,
                              std::function<void(TIdBytes&)> ADownHook) {
    FOnEnd = std::move(AOnEnd);
    FCloseAtEnd = ACloseAtEnd;
    FUp.Hook = std::move(AUpHook);
    FDown.Hook = std::move(ADownHook);
    for (TSide* side : {&FClient, &FRemote}) {
        if (!side->Connection.IOHandler() || (side->Handle = side->Binding().Acquire()) < 0)
            FStartFailed = true;
    }
    if (!FStartFailed) {
        for (TSide* side : {&FClient, &FRemote}) {
            side->Binding().SetNoDelay(true);
            side->Binding().SetKeepAlive();
            // The request exchange's receive room goes: an idle relay holds no buffer.
            side->Connection.IOHandler()->InputBuffer.Release();
        }
    }
    Started();
    FSelf = shared_from_this();
    // A connection made on a loop is relayed by that loop, once the caller's
    // step is over; from elsewhere it goes to the next loop.
    TIdEventLoop* current = TIdEventLoop::Current();
    TIdEventLoop& loop = current ? *current : TIdEventLoops::Next();
    FLoop = &loop;
    if (current)
        loop.Defer([self = FSelf] { self->Attach(); });
    else
        loop.Post([self = FSelf] { self->Attach(); });
}

bool TIdRelay::TEngine::RequestClose() {
    if (FEnded || FCloseRequested.exchange(true))
        return false;
    // A relay not yet on its loop sees the request when it arrives there.
    if (TIdEventLoop* loop = FLoop.load()) {
        if (loop->InLoopThread())
            QueuePump();
        else
            loop->Post([self = shared_from_this()] { self->Pump(); });
    }
    return true;
}

void TIdRelay::TEngine::Attach() {
    if (FEnded)
        return;
    if (FStartFailed || FCloseRequested) {
        End(reClosed);
        return;
    }
    TIdEventLoop& loop = *FLoop.load();
    for (TSide* side : {&FClient, &FRemote}) {
        // A socket the loop already watches for its request exchange (as a
        // served client's is) changes hands; a new outbound one is new.
        const bool watched = side == &FClient;
        if (!(watched ? loop.Modify(side->Handle, *side) : loop.Watch(side->Handle, *side)) &&
            (errno != (watched ? ENOENT : EEXIST) ||
             !(watched ? loop.Watch(side->Handle, *side) : loop.Modify(side->Handle, *side)))) {
            End(reError);
            return;
        }
        side->Watched = true;
    }
    // What the request exchange read ahead goes first; the sockets' own
    // state arrives as events of the next wait.
    QueuePump();
}

void TIdRelay::TEngine::OnEvents(TSide& ASide, uint32_t AEvents) {
    if (AEvents & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        ASide.Readable = true;
    if (AEvents & (EPOLLOUT | EPOLLHUP | EPOLLERR))
        ASide.Writable = true;
    if (AEvents & (EPOLLRDHUP | EPOLLHUP))
        ASide.EndSeen = true;
    if (AEvents & EPOLLERR)
        ASide.ErrorSeen = true;
    // Acted on once the loop has taken every event of this wait, so that the
    // client's block goes before the remote's when both came together.
    QueuePump();
}

void TIdRelay::TEngine::QueuePump() {
    if (FPumpQueued || FEnded)
        return;
    FPumpQueued = true;
    FLoop.load()->Again(shared_from_this());
}

void TIdRelay::TEngine::Pump() {
    if (FEnded)
        return;
    if (FCloseRequested || !FClient.Binding().HandleAllocated() ||
        !FRemote.Binding().HandleAllocated()) {
        End(reClosed);
        return;
    }
    if (FDead) {
        Abort();
        return;
    }
    bool more = false;
    Move(FUp, more);
    if (!FClient.Failed && !FRemote.Failed)
        Move(FDown, more);
    // An error on a side whose own stream has ended can only be about what
    // is written to it: nothing more will be read that could come first.
    for (TDirection* direction : {&FUp, &FDown})
        if (direction->From.ErrorSeen && !direction->ReadOpen)
            direction->From.Failed = true;
    if (FClient.Failed || FRemote.Failed) {
        FDead = FClient.Failed ? &FClient : &FRemote;
        FRemoteFailed = FRemote.Failed;
        Abort();
        return;
    }
    const bool finished = FUp.Done() && FDown.Done();
    for (TDirection* direction : {&FUp, &FDown}) {
        Account(*direction);
        // Both ended and about to be closed: the close ends the stream.
        if (direction->Done() && !direction->ShutdownSent && !(finished && FCloseAtEnd)) {
            direction->ShutdownSent = true;
            shutdown(direction->To.Handle, SHUT_WR);
        }
    }
    if (finished) {
        End(reFinished);
        return;
    }
    if (more)
        QueuePump();
}

void TIdRelay::TEngine::Abort() {
    TSide& dead = *FDead;
    TSide& live = &dead == &FClient ? FRemote : FClient;
    TDirection& out = &dead == &FClient ? FUp : FDown; // dead -> live
    TDirection& in = &dead == &FClient ? FDown : FUp;  // live -> dead: nobody takes it
    Discard(in);
    if (live.Failed) {
        End(reError);
        return;
    }
    // What the dead side sent before it failed is still readable (the
    // system keeps it ahead of the error); it is passed on block by block.
    out.Splice = false;
    for (int i = 0; i < MaxBlocksPerTurn && !out.Done(); ++i) {
        TStep step = sGoOn;
        if (out.Pending()) {
            step = Flush(out);
        } else if (TIdIOHandlerStack* io = dead.Connection.IOHandler(); !io->InputBuffer.Empty()) {
            step = TakeBuffered(out);
        } else {
            step = FillCopy(out);
            // A failed or drained dead side has nothing more to give.
            if ((step == sError && !live.Failed) || (step == sWait && !dead.Readable)) {
                out.ReadOpen = false;
                step = out.Pending() ? sWait : sGoOn;
            }
        }
        if (live.Failed) {
            End(reError);
            return;
        }
        if (step == sWait && out.Pending()) {
            Account(out);
            return; // the live side's room comes as an event
        }
    }
    Account(out);
    if (!out.Done()) {
        QueuePump();
        return;
    }
    // The live side is reset so that its peer learns the transfer was cut,
    // once it has taken what was written to it: a reset throws away what
    // the system has not delivered yet.
    const auto now = TIdLoopTimer::TClock::now();
    if (FResetSince == TIdLoopTimer::TClock::time_point{})
        FResetSince = now;
    int unsent = 0;
    if (ioctl(live.Handle, SIOCOUTQ, &unsent) == 0 && unsent > 0 &&
        now - FResetSince < ResetDrainLimit) {
        FResetTimer.Arm(*FLoop.load(), ResetDrainStep, [this] { Pump(); });
        return;
    }
    const linger hard{1, 0};
    setsockopt(live.Handle, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    End(reError);
}

TIdRelay::TEngine::TStep TIdRelay::TEngine::Move(TDirection& ADirection, bool& AMore) {
    for (int i = 0; i < MaxBlocksPerTurn; ++i) {
        TStep step = sGoOn;
        if (ADirection.Pending())
            step = Flush(ADirection);
        else if (TIdIOHandlerStack* io = ADirection.From.Connection.IOHandler();
                 !io->InputBuffer.Empty())
            step = TakeBuffered(ADirection);
        else if (ADirection.ReadOpen && ADirection.From.Readable)
            step = ADirection.Splice ? FillSplice(ADirection) : FillCopy(ADirection);
        else
            return sGoOn;
        if (step != sGoOn)
            return step == sError ? sError : sGoOn;
    }
    // Out of turns with work left: the loop comes back once the others had theirs.
    AMore = AMore || (ADirection.Pending() ? ADirection.To.Writable
                                           : ADirection.ReadOpen && ADirection.From.Readable);
    return sGoOn;
}

TIdRelay::TEngine::TStep TIdRelay::TEngine::TakeBuffered(TDirection& ADirection) {
    TIdIOHandlerStack& io = *ADirection.From.Connection.IOHandler();
    const size_t count = std::min(io.InputBuffer.Size(), ADirection.BlockSize);
    uint8_t* block = FLoop.load()->ReadBlock(std::max(FUp.BlockSize, FDown.BlockSize));
    io.InputBuffer.ExtractTo(block, count);
    // What the protocol read ahead is passed on; the buffer is not needed again.
    io.InputBuffer.Release();
    return Accept(ADirection, block, count);
}

TIdRelay::TEngine::TStep TIdRelay::TEngine::FillCopy(TDirection& ADirection) {
    uint8_t* block = FLoop.load()->ReadBlock(std::max(FUp.BlockSize, FDown.BlockSize));
    const ssize_t received =
        recv(ADirection.From.Handle, block, ADirection.BlockSize, MSG_DONTWAIT);
    if (received < 0) {
        if (errno == EINTR)
            return sGoOn;
        if (!WouldBlock(errno))
            return Fail(ADirection.From);
        ADirection.From.Readable = false;
        return sWait;
    }
    if (received == 0) {
        if (ADirection.From.Connection.IOHandler()->WasReset())
            return Fail(ADirection.From);
        ADirection.ReadOpen = false;
        return sWait;
    }
    const auto count = static_cast<size_t>(received);
    if (count < ADirection.BlockSize) {
        // A stream socket hands over all it holds: it is empty now, and
        // whatever comes next brings an event of its own, except an end of
        // stream or an error that came with these bytes.
        ADirection.From.Readable = ADirection.From.EndSeen || ADirection.From.ErrorSeen;
    } else if (!ADirection.Hook && !ADirection.SpliceRefused &&
               ADirection.BlockSize >= SpliceFrom && !FDead) {
        // Whole large blocks: a stream in bulk, which the kernel moves cheaper.
        ADirection.Splice = true;
    }
    return Accept(ADirection, block, count);
}

TIdRelay::TEngine::TStep TIdRelay::TEngine::Accept(TDirection& ADirection, uint8_t* AData,
                                                   size_t ACount) {
    if (ADirection.Hook) {
        ADirection.Hooked.assign(AData, AData + ACount);
        ADirection.Hook(ADirection.Hooked);
        if (ADirection.Hooked.empty())
            return sGoOn;
        ADirection.Out = ADirection.Hooked.data();
        ADirection.Left = ADirection.Hooked.size();
    } else {
        ADirection.Out = AData;
        ADirection.Left = ACount;
    }
    ADirection.Block = ADirection.Left;
    const TStep step = FlushCopy(ADirection);
    if (step != sGoOn && ADirection.Left > 0 && !ADirection.Hook) {
        // The loop's block serves the next read: what the other side could
        // not take yet moves to a buffer of this direction's own.
        ADirection.Held.reset(new uint8_t[ADirection.Left]);
        std::memcpy(ADirection.Held.get(), ADirection.Out, ADirection.Left);
        ADirection.Out = ADirection.Held.get();
    }
    return step;
}

TIdRelay::TEngine::TStep TIdRelay::TEngine::Flush(TDirection& ADirection) {
    return ADirection.InPipe > 0 ? FlushSplice(ADirection) : FlushCopy(ADirection);
}

template <typename TWrite>
TIdRelay::TEngine::TStep TIdRelay::TEngine::Drain(TDirection& ADirection, size_t& ALeft,
                                                  TWrite AWrite) {
    while (ALeft > 0) {
        if (!ADirection.To.Writable)
            return sWait;
        const ssize_t written = AWrite();
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (!WouldBlock(errno))
                return Fail(ADirection.To);
            ADirection.To.Writable = false;
            return sWait;
        }
        ALeft -= static_cast<size_t>(written);
        if (ALeft > 0)
            ADirection.To.Writable = false; // its send buffer is full
    }
    return sGoOn;
}

TIdRelay::TEngine::TStep TIdRelay::TEngine::FlushCopy(TDirection& ADirection) {
    const TStep step = Drain(ADirection, ADirection.Left, [&ADirection] {
        const ssize_t sent = send(ADirection.To.Handle, ADirection.Out, ADirection.Left,
                                  MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0)
            ADirection.Out += sent;
        return sent;
    });
    if (step == sGoOn)
        Completed(ADirection);
    return step;
}

bool TIdRelay::TEngine::MakeNonBlocking(TSide& ASide) {
    // A splice waits as its socket's mode says, whatever its own flags.
    // Sockets of this framework carry no other status flag.
    if (!ASide.NonBlocking && fcntl(ASide.Handle, F_SETFL, O_NONBLOCK) == 0)
        ASide.NonBlocking = true;
    return ASide.NonBlocking;
}

TIdRelay::TEngine::TStep TIdRelay::TEngine::FillSplice(TDirection& ADirection) {
    TIdEventLoop& loop = *FLoop.load();
    if (!ADirection.Pipe)
        ADirection.Pipe = loop.TakePipe();
    if (!ADirection.Pipe || !MakeNonBlocking(ADirection.From) || !MakeNonBlocking(ADirection.To)) {
        loop.GivePipe(ADirection.Pipe);
        ADirection.Splice = false;
        return FillCopy(ADirection);
    }
    const size_t want = std::min(ADirection.BlockSize, ADirection.Pipe.Size);
    const ssize_t moved = splice(ADirection.From.Handle, nullptr, ADirection.Pipe.Write, nullptr,
                                 want, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (moved <= 0) {
        const int error = moved < 0 ? errno : 0;
        loop.GivePipe(ADirection.Pipe);
        if (moved == 0) {
            if (ADirection.From.Connection.IOHandler()->WasReset())
                return Fail(ADirection.From);
            ADirection.ReadOpen = false;
            return sWait;
        }
        if (error == EINTR)
            return sGoOn;
        if (WouldBlock(error)) {
            ADirection.From.Readable = false;
            return sWait;
        }
        if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP) {
            // This pair of sockets cannot be spliced: copy from now on.
            ADirection.SpliceRefused = true;
            ADirection.Splice = false;
            return sGoOn;
        }
        return Fail(ADirection.From);
    }
    ADirection.InPipe = static_cast<size_t>(moved);
    ADirection.Block = ADirection.InPipe;
    if (ADirection.InPipe < std::min(ADirection.BlockSize, SmallBlock))
        ADirection.Splice = false;
    return FlushSplice(ADirection);
}

TIdRelay::TEngine::TStep TIdRelay::TEngine::FlushSplice(TDirection& ADirection) {
    const TStep step = Drain(ADirection, ADirection.InPipe, [&ADirection] {
        return splice(ADirection.Pipe.Read, nullptr, ADirection.To.Handle, nullptr,
                      ADirection.InPipe, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    });
    if (step == sGoOn) {
        FLoop.load()->GivePipe(ADirection.Pipe);
        Completed(ADirection);
    }
    return step;
}

void TIdRelay::TEngine::Completed(TDirection& ADirection) {
    const auto length = static_cast<int64_t>(ADirection.Block);
    ADirection.Block = 0;
    ADirection.Out = nullptr;
    ADirection.Held.reset();
    if (!ADirection.Hooked.empty())
        TIdBytes().swap(ADirection.Hooked);
    if (ADirection.ReportWork) {
        TIdTCPConnection& to = ADirection.To.Connection;
        to.BeginWork(wmWrite, length);
        to.DoWork(wmWrite, length);
        to.EndWork(wmWrite);
    }
}

void TIdRelay::TEngine::Discard(TDirection& ADirection) {
    ADirection.Left = 0;
    ADirection.Out = nullptr;
    ADirection.Block = 0;
    ADirection.Held.reset();
    TIdBytes().swap(ADirection.Hooked);
    FLoop.load()->GivePipe(ADirection.Pipe, ADirection.InPipe == 0);
    ADirection.InPipe = 0;
    Account(ADirection);
}

void TIdRelay::TEngine::Account(TDirection& ADirection) {
    const auto held = static_cast<int64_t>(ADirection.Left + ADirection.InPipe);
    if (held != ADirection.Counted) {
        gHeld += held - ADirection.Counted;
        ADirection.Counted = held;
    }
}

TIdRelay::TEngine::TStep TIdRelay::TEngine::Fail(TSide& ASide) {
    ASide.Failed = true;
    if (&ASide == &FRemote)
        FRemoteFailed = true;
    return sError;
}

void TIdRelay::TEngine::End(TIdRelayEnd AEnd) {
    if (FEnded.exchange(true))
        return;
    TIdEventLoop& loop = *FLoop.load();
    FResetTimer.Cancel();
    FRemoteEnded = AEnd != reClosed && (!FDown.ReadOpen || FRemoteFailed);
    for (TSide* side : {&FClient, &FRemote}) {
        if (side->Handle < 0)
            continue;
        // A socket the relay closes leaves the loop's watch with its close
        // (no descriptor of the framework shares one); one left open, or
        // whose close another user puts off, leaves it now: an event for a
        // relay that has gone must never come.
        // Either way it leaves the watch while the descriptor is still
        // its own, before another user could close it and the number be
        // used again.
        const int handle = side->Handle;
        const bool watched = side->Watched;
        const auto unwatch = [&loop, handle, watched] {
            if (watched)
                loop.Unwatch(handle);
        };
        if (FCloseAtEnd || AEnd != reFinished) {
            side->Binding().ReleaseAndClose(unwatch);
        } else {
            unwatch();
            side->Binding().Release();
        }
        side->Watched = false;
        side->Handle = -1;
    }
    for (TDirection* direction : {&FUp, &FDown}) {
        Discard(*direction);
        direction->Hook = nullptr;
    }
    std::shared_ptr<TEngine> self = std::move(FSelf);
    if (!self)
        self = shared_from_this();
    loop.Retire(self);
    TIdRelayEndEvent onEnd = std::move(FOnEnd);
    FOnEnd = nullptr;
    if (onEnd)
        onEnd(AEnd);
    onEnd = nullptr; // what the owner freed with it counts for the trim
    Ended();
}

TIdRelay::TIdRelay(TIdTCPConnection& AClient, TIdTCPConnection& ARemote, size_t AClientBlockSize,
                   size_t ARemoteBlockSize)
    : FEngine(std::make_shared<TEngine>(AClient, ARemote, AClientBlockSize, ARemoteBlockSize)) {}

TIdRelay::~TIdRelay() = default;

void TIdRelay::Start(TIdRelayEndEvent AOnEnd, bool ACloseAtEnd) {
    FEngine->Start(std::move(AOnEnd), ACloseAtEnd, OnClientData, OnRemoteData);
}

TIdRelay::TIdRelayEnd TIdRelay::Run() {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    TIdRelayEnd result = reClosed;
    Start(
        [&](TIdRelayEnd AEnd) {
            // Notified under the lock: this frame may go as soon as it is released.
            std::lock_guard<std::mutex> guard(lock);
            result = AEnd;
            done = true;
            ended.notify_all();
        },
        false);
    std::unique_lock<std::mutex> guard(lock);
    ended.wait(guard, [&] { return done; });
    return result;
}

bool TIdRelay::Close() {
    return FEngine->RequestClose();
}

int64_t TIdRelay::BytesHeld() {
    return gHeld.load();
}

bool TIdRelay::RemoteEnded() const {
    return FEngine->RemoteEnded();
}

void TIdRelay::Own(std::unique_ptr<TIdTCPConnection> AConnection) {
    FOwned = std::move(AConnection);
}

} // namespace kestrune
