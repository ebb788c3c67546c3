#include "net/Relay.h"

#include "net/WakeUp.h"

#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace kestrune {

namespace {

bool WouldBlock(int AError) {
    return AError == EAGAIN || AError == EWOULDBLOCK || AError == EINTR;
}

// The block memory of the last relay that ended on this thread. Connection
// threads are pooled, so the next relay on the thread takes it over instead
// of mapping fresh memory and unmapping it again for every connection (each
// unmapping interrupts the other processors to flush their address caches).
// Only modest sizes are kept; a parked thread holds at most this much.
constexpr size_t MaxKeptBlockMemory = 256 * 1024;

struct TKeptMemory {
    void* Memory = nullptr;
    size_t Size = 0;
    ~TKeptMemory() {
        if (Memory)
            munmap(Memory, Size);
    }
};

thread_local TKeptMemory tKept;

} // namespace

TIdRelay::TIdRelay(TIdTCPConnection& AClient, TIdTCPConnection& ARemote, size_t AClientBlockSize,
                   size_t ARemoteBlockSize)
    : FClient(AClient), FRemote(ARemote),
      FUp(AClient, ARemote, std::max<size_t>(AClientBlockSize, 1), &OnClientData, false),
      FDown(ARemote, AClient, std::max<size_t>(ARemoteBlockSize, 1), &OnRemoteData, true) {}

TIdRelay::TBlockMemory::~TBlockMemory() {
    if (!FMemory)
        return;
    if (FSize <= MaxKeptBlockMemory && !tKept.Memory) {
        tKept.Memory = FMemory;
        tKept.Size = FSize;
        return;
    }
    munmap(FMemory, FSize);
}

uint8_t* TIdRelay::TBlockMemory::Get(size_t ASize) {
    if (!FMemory && tKept.Memory && tKept.Size >= ASize) {
        FMemory = tKept.Memory;
        FSize = tKept.Size;
        tKept.Memory = nullptr;
    }
    if (!FMemory) {
        void* memory =
            mmap(nullptr, ASize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED)
            throw std::bad_alloc();
        FMemory = memory;
        FSize = ASize;
    }
    return static_cast<uint8_t*>(FMemory);
}

void TIdRelay::EnsureBlocks() {
    if (FUp.Block)
        return;
    uint8_t* memory = FMemory.Get(FUp.BlockSize + FDown.BlockSize);
    FUp.Block = memory;
    FDown.Block = memory + FUp.BlockSize;
}

bool TIdRelay::Accept(TDirection& ADirection, size_t AReceived) {
    ADirection.Out = ADirection.Block;
    if (*ADirection.Hook) {
        ADirection.Hooked.assign(ADirection.Block, ADirection.Block + AReceived);
        (*ADirection.Hook)(ADirection.Hooked);
        ADirection.Out = ADirection.Hooked.data();
        AReceived = ADirection.Hooked.size();
    }
    ADirection.Offset = 0;
    ADirection.Length = AReceived;
    return AReceived > 0;
}

bool TIdRelay::TakeBuffered(TDirection& ADirection) {
    TIdIOHandlerStack* io = ADirection.From.IOHandler();
    if (!io || io->InputBuffer.Empty() || ADirection.Pending())
        return false;
    EnsureBlocks();
    const size_t count = std::min(io->InputBuffer.Size(), ADirection.BlockSize);
    io->InputBuffer.ExtractTo(ADirection.Block, count);
    // What the protocol read ahead is passed on; the buffer is not needed again.
    io->InputBuffer.Release();
    return Accept(ADirection, count);
}

void TIdRelay::Completed(TDirection& ADirection) {
    const auto length = static_cast<int64_t>(ADirection.Length);
    ADirection.Offset = ADirection.Length = 0;
    if (ADirection.ReportWork) {
        ADirection.To.BeginWork(wmWrite, length);
        ADirection.To.DoWork(wmWrite, length);
        ADirection.To.EndWork(wmWrite);
    }
}

bool TIdRelay::Failed(const TIdTCPConnection& ASide) {
    if (&ASide == &FRemote)
        FRemoteFailed = true;
    return false;
}

bool TIdRelay::Send(TDirection& ADirection, int ATo) {
    while (ADirection.Pending()) {
        const ssize_t sent =
            send(ATo, ADirection.Out + ADirection.Offset, ADirection.Length - ADirection.Offset,
                 MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0)
            return WouldBlock(errno) || Failed(ADirection.To);
        ADirection.Offset += static_cast<size_t>(sent);
    }
    Completed(ADirection);
    return true;
}

bool TIdRelay::Receive(TDirection& ADirection, int AFrom, int ATo) {
    EnsureBlocks();
    const ssize_t received = recv(AFrom, ADirection.Block, ADirection.BlockSize, MSG_DONTWAIT);
    if (received < 0)
        return WouldBlock(errno) || Failed(ADirection.From);
    if (received == 0) {
        ADirection.ReadOpen = false;
        return true;
    }
    if (!Accept(ADirection, static_cast<size_t>(received)))
        return true;
    return Send(ADirection, ATo);
}

TIdRelay::TIdRelayEnd TIdRelay::Close(TIdRelayEnd AEnd) {
    if (FClient.IOHandler())
        FClient.IOHandler()->Binding().CloseSocket();
    if (FRemote.IOHandler())
        FRemote.IOHandler()->Binding().CloseSocket();
    return AEnd;
}

TIdRelay::TIdRelayEnd TIdRelay::Run() {
    if (!FClient.IOHandler() || !FRemote.IOHandler())
        return Close(reClosed);
    TIdSocketHandle& client = FClient.IOHandler()->Binding();
    TIdSocketHandle& remote = FRemote.IOHandler()->Binding();
    client.SetNoDelay(true);
    remote.SetNoDelay(true);
    const TIdWakeUpPtr wakeUp = CurrentThreadWakeUp();

    for (;;) {
        TIdSocketHandle::TUse clientUse(client);
        TIdSocketHandle::TUse remoteUse(remote);
        if (!clientUse || !remoteUse)
            return Close(reClosed);
        const int clientFd = clientUse.Handle();
        const int remoteFd = remoteUse.Handle();

        // What the protocol read ahead goes first, the client's before the remote's.
        if (TakeBuffered(FUp) && !Send(FUp, remoteFd))
            return Close(reError);
        if (TakeBuffered(FDown) && !Send(FDown, clientFd))
            return Close(reError);

        for (TDirection* direction : {&FUp, &FDown}) {
            if (direction->Done() && !direction->ShutdownSent) {
                direction->ShutdownSent = true;
                shutdown(direction == &FUp ? remoteFd : clientFd, SHUT_WR);
            }
        }
        if (FUp.Done() && FDown.Done())
            return reFinished;

        const short clientEvents = static_cast<short>(
            (!FUp.Pending() && FUp.ReadOpen ? POLLIN : 0) | (FDown.Pending() ? POLLOUT : 0));
        const short remoteEvents = static_cast<short>(
            (!FDown.Pending() && FDown.ReadOpen ? POLLIN : 0) | (FUp.Pending() ? POLLOUT : 0));
        pollfd pfds[3] = {{clientFd, clientEvents, 0},
                          {remoteFd, remoteEvents, 0},
                          {wakeUp ? wakeUp->Handle() : -1, POLLIN, 0}};
        // A side that will get nothing more and is not read now may be wholly
        // shut down already; it would report POLLHUP on every wait, so it is
        // left out until it is read again.
        if (clientEvents == 0 && FDown.Done())
            pfds[0].fd = -1;
        if (remoteEvents == 0 && FUp.Done())
            pfds[1].fd = -1;
        const int ready = poll(pfds, 3, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return Close(reError);
        }
        if (pfds[2].revents || !client.HandleAllocated() || !remote.HandleAllocated())
            return Close(reClosed);
        const bool clientBroken = (pfds[0].revents & (POLLERR | POLLNVAL)) ||
                                  ((pfds[0].revents & POLLHUP) && clientEvents == 0);
        const bool remoteBroken = (pfds[1].revents & (POLLERR | POLLNVAL)) ||
                                  ((pfds[1].revents & POLLHUP) && remoteEvents == 0);
        // A hang-up on a side not being read means it was wholly closed while
        // data for it may still come: nothing more can pass through it.
        if (clientBroken || remoteBroken) {
            if (remoteBroken)
                Failed(FRemote);
            return Close(reError);
        }

        const short clientReady = pfds[0].revents;
        const short remoteReady = pfds[1].revents;
        if (FUp.Pending() && (remoteReady & (POLLOUT | POLLHUP)) && !Send(FUp, remoteFd))
            return Close(reError);
        if (!FUp.Pending() && FUp.ReadOpen && (clientReady & (POLLIN | POLLHUP)) &&
            !Receive(FUp, clientFd, remoteFd))
            return Close(reError);
        if (FDown.Pending() && (clientReady & (POLLOUT | POLLHUP)) && !Send(FDown, clientFd))
            return Close(reError);
        if (!FDown.Pending() && FDown.ReadOpen && (remoteReady & (POLLIN | POLLHUP)) &&
            !Receive(FDown, remoteFd, clientFd))
            return Close(reError);
    }
}

} // namespace kestrune
