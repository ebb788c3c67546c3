#include "net/TCPClient.h"

#include "net/Exception.h"

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace kestrune {

namespace {

// How long an attempt runs alone before the next address is tried beside it.
constexpr auto AttemptDelay = std::chrono::milliseconds(250);

} // namespace

// One connect in flight to one address.
struct TIdTCPClient::TAttempt : TIdLoopWatch {
    TIdTCPClient* Owner = nullptr; // cleared when the attempt is dropped
    int Handle = -1;
    TIdResolvedAddress Address;
    void OnEvents(uint32_t AEvents) override {
        if (Owner)
            Owner->Answered(*this, AEvents);
    }
};

TIdTCPClient::TIdTCPClient() {
    SetIOHandler(std::make_unique<TIdIOHandlerStack>());
}

TIdTCPClient::~TIdTCPClient() {
    Abort();
}

void TIdTCPClient::Connect(TIdEventLoop& ALoop, TIdConnectDone ADone) {
    if (FIOHandler && FIOHandler->Opened() && FIOHandler->Binding().HandleAllocated())
        throw EIdAlreadyConnected();
    if (Host.empty())
        throw EIdHostRequired();
    if (Port == 0)
        throw EIdPortRequired();
    Abort();
    FIOHandler->InputBuffer.Clear();
    FLoop = &ALoop;
    FDone = std::move(ADone);
    FLastError = 0;
    FLastErrorText.clear();
    FAnyAllowed = false;
    FAnyBound = false;
    FAddresses.clear();
    FNext = 0;
    if (ConnectTimeout > 0)
        FDeadline.Arm(ALoop, std::chrono::milliseconds(ConnectTimeout),
                      [this] { Finish(crTimedOut); });
    // The connect's own limit covers the lookup, so the lookup needs none.
    FLookup.Start(ALoop, Host, -1,
                  [this](TIdLookupResult AResult) { Resolved(std::move(AResult)); });
}

void TIdTCPClient::Resolved(TIdLookupResult AResult) {
    if (AResult.Status != TIdLookupResult::Found) {
        FLastErrorText = AResult.Text;
        Finish(AResult.Status == TIdLookupResult::TimedOut ? crTimedOut : crNotFound);
        return;
    }
    FAddresses = std::move(AResult.Addresses);
    StartNext();
}

void TIdTCPClient::StartNext() {
    FStagger.Cancel();
    while (FNext < FAddresses.size()) {
        const TIdResolvedAddress address = FAddresses[FNext++];
        // Every address is held to the caller's judgement before anything is
        // sent to it, so that a name cannot lead around it.
        if (OnAddress && !OnAddress(address))
            continue;
        FAnyAllowed = true;
        if (!BoundIP.empty() && IPVersionOf(BoundIP) != address.IPVersion)
            continue;
        sockaddr_storage addr;
        socklen_t length = 0;
        if (!TIdSocketHandle::ToSockAddr(address.IP, Port, address.IPVersion, addr, length))
            continue;
        const int fd = socket(TIdSocketHandle::Family(address.IPVersion),
                              SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            FLastError = errno;
            if (FLastError == EMFILE || FLastError == ENFILE) {
                Finish(crNoDescriptors);
                return;
            }
            continue;
        }
        if (!BoundIP.empty()) {
            sockaddr_storage local;
            socklen_t localLength = 0;
            // The port is chosen at the connect, so that bound sockets do not
            // use up the ports of the address for every target.
            const int on = 1;
            setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
            if (!TIdSocketHandle::ToSockAddr(BoundIP, 0, address.IPVersion, local, localLength) ||
                bind(fd, reinterpret_cast<sockaddr*>(&local), localLength) != 0) {
                FLastError = errno;
                ::close(fd);
                continue;
            }
        }
        FAnyBound = true;
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), length) == 0) {
            Won(fd, address);
            return;
        }
        if (errno != EINPROGRESS) {
            FLastError = errno;
            ::close(fd);
            continue;
        }
        auto attempt = std::make_shared<TAttempt>();
        attempt->Owner = this;
        attempt->Handle = fd;
        attempt->Address = address;
        if (!FLoop->Watch(fd, *attempt, EPOLLOUT)) {
            FLastError = errno;
            ::close(fd);
            continue;
        }
        FAttempts.push_back(std::move(attempt));
        if (FNext < FAddresses.size())
            FStagger.Arm(*FLoop, AttemptDelay, [this] { StartNext(); });
        return;
    }
    if (!FAttempts.empty())
        return;
    if (!FAnyAllowed)
        Finish(crNotAllowed);
    else if (!FAnyBound && !BoundIP.empty())
        Finish(crCannotBind);
    else
        Finish(crFailed);
}

void TIdTCPClient::Answered(TAttempt& AAttempt, uint32_t AEvents) {
    // Writable without an error: connected. With an error it may still have
    // been connected first: a peer that answers, sends and resets at once
    // leaves its bytes ahead of the error, which a peek finds without
    // taking the error away from the relay. Only a peek that finds nothing
    // takes the error; a reset then still says the peer had answered.
    bool connected = !(AEvents & (EPOLLERR | EPOLLHUP));
    bool reset = false;
    int error = 0;
    if (!connected) {
        char byte;
        const ssize_t peeked = recv(AAttempt.Handle, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        error = peeked < 0 ? errno : 0;
        connected = peeked >= 0 || error == ECONNRESET || error == EPIPE;
        reset = peeked < 0 && connected;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            socklen_t size = sizeof error;
            if (getsockopt(AAttempt.Handle, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
            connected = error == 0;
        }
    }
    if (connected) {
        const int handle = AAttempt.Handle;
        const TIdResolvedAddress address = AAttempt.Address;
        FLoop->Unwatch(handle);
        AAttempt.Handle = -1;
        Drop(AAttempt);
        Won(handle, address, reset);
        return;
    }
    FLastError = error;
    Drop(AAttempt);
    if (FAttempts.empty())
        StartNext();
}

void TIdTCPClient::Drop(TAttempt& AAttempt) {
    AAttempt.Owner = nullptr;
    if (AAttempt.Handle >= 0) {
        FLoop->Unwatch(AAttempt.Handle);
        ::close(AAttempt.Handle);
        AAttempt.Handle = -1;
    }
    for (auto it = FAttempts.begin(); it != FAttempts.end(); ++it) {
        if (it->get() == &AAttempt) {
            // An event already taken may still be on its way to it.
            FLoop->Retire(*it);
            FAttempts.erase(it);
            break;
        }
    }
}

void TIdTCPClient::Won(int AHandle, const TIdResolvedAddress& AAddress, bool AResetAlready) {
    TIdSocketHandle& binding = FIOHandler->Binding();
    binding.Adopt(AHandle, AAddress.IPVersion);
    IPVersion = AAddress.IPVersion;
    binding.SetNoDelay(!UseNagle);
    binding.UpdateBindingLocal();
    binding.PeerIP = AAddress.IP;
    binding.PeerPort = Port;
    FIOHandler->Open();
    if (AResetAlready)
        FIOHandler->MarkReset();
    Finish(crConnected);
}

void TIdTCPClient::Clear() {
    FDeadline.Cancel();
    FStagger.Cancel();
    FLookup.Cancel();
    while (!FAttempts.empty())
        Drop(*FAttempts.back());
}

void TIdTCPClient::Finish(TIdConnectResult AResult) {
    Clear();
    if (AResult == crFailed && FLastErrorText.empty() && FLastError != 0)
        FLastErrorText = std::strerror(FLastError);
    TIdConnectDone done = std::move(FDone);
    FDone = nullptr;
    // The owner may free this connection in its handler.
    if (done)
        done(AResult);
}

void TIdTCPClient::Abort() {
    FDone = nullptr;
    if (FLoop)
        Clear();
}

} // namespace kestrune
