#include "mapper/UDPReplyRouter.h"

#include "net/Exception.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

namespace kestrune {

namespace {

int64_t NowMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

struct TUDPReplyRouter::TSender {
    int Handle = -1;
    std::string IP;
    TIdPort Port = 0;
    std::atomic<int64_t> LastTraffic{0};
    TIdOwnEndpoints::TEntryPtr Endpoint; // its socket is the gateway's own
};

TUDPReplyRouter::TUDPReplyRouter(std::string AOwnIP, TIdPort AOwnPort, std::string ARemoteIP,
                                 TIdPort ARemotePort, int AIdleMilliseconds, size_t ABlockSize,
                                 TRequestEvent AOnRequest,
                                 std::function<void(int64_t)> ACountAnswer)
    : FRemoteIP(std::move(ARemoteIP)), FRemotePort(ARemotePort),
      FIdle(std::max(AIdleMilliseconds, 1)), FBlockSize(std::min<size_t>(ABlockSize, 65535)),
      FOnRequest(std::move(AOnRequest)), FCountAnswer(std::move(ACountAnswer)) {
    FListening.IPVersion = IPVersionOf(AOwnIP);
    FListening.IP = std::move(AOwnIP);
    FListening.Port = AOwnPort;
}

TUDPReplyRouter::~TUDPReplyRouter() {
    Stop();
}

void TUDPReplyRouter::Start() {
    FStopped = false;
    FBlock.resize(FBlockSize + 1);
    FRequest.reserve(FBlockSize);
    try {
        FListening.AllocateSocket(SOCK_DGRAM | SOCK_NONBLOCK);
        FListening.Bind();
    } catch (...) {
        FListening.CloseSocket();
        throw;
    }
    FPoll = epoll_create1(EPOLL_CLOEXEC);
    FWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.ptr = nullptr;
    epoll_event listening{};
    listening.events = EPOLLIN;
    listening.data.ptr = &FListening;
    TIdSocketHandle::TUse use(FListening);
    if (FPoll < 0 || FWake < 0 || !use || epoll_ctl(FPoll, EPOLL_CTL_ADD, FWake, &wake) != 0 ||
        epoll_ctl(FPoll, EPOLL_CTL_ADD, use.Handle(), &listening) != 0) {
        const int error = errno;
        Stop();
        throw EIdSocketError(error);
    }
    FThread = std::thread([this] {
        try {
            Run();
        } catch (...) {
            // Out of memory: answers stop; nothing may end the process.
        }
    });
}

void TUDPReplyRouter::Stop() {
    FStopped = true;
    if (FWake >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(FWake, &one, sizeof one);
    }
    if (FThread.joinable())
        FThread.join();
    std::lock_guard<std::mutex> lock(FLock);
    for (auto& [key, sender] : FSenders)
        ::close(sender->Handle);
    FSenders.clear();
    FListening.CloseSocket();
    for (int* fd : {&FPoll, &FWake}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

size_t TUDPReplyRouter::SenderCount() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FSenders.size();
}

bool TUDPReplyRouter::Forward(const std::string& ASenderIP, TIdPort ASenderPort,
                              const TIdBytes& AData) {
    const std::string key = EndpointText(ASenderIP, ASenderPort);
    std::lock_guard<std::mutex> lock(FLock);
    auto found = FSenders.find(key);
    if (found == FSenders.end()) {
        if (FSenders.size() >= MaxSenders || FPoll < 0)
            return false;
        sockaddr_storage remote;
        socklen_t length = 0;
        const TIdIPVersion family = IPVersionOf(FRemoteIP);
        if (!TIdSocketHandle::ToSockAddr(FRemoteIP, FRemotePort, family, remote, length))
            return true; // no such address: lost like any datagram whose send fails
        auto sender = std::make_unique<TSender>();
        sender->Handle =
            socket(TIdSocketHandle::Family(family), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        // Connected: the socket then takes datagrams from the remote only.
        if (sender->Handle < 0 ||
            connect(sender->Handle, reinterpret_cast<sockaddr*>(&remote), length) != 0) {
            if (sender->Handle >= 0)
                ::close(sender->Handle);
            return true;
        }
        sockaddr_storage local{};
        socklen_t localLength = sizeof local;
        std::string localIP;
        TIdPort localPort = 0;
        if (getsockname(sender->Handle, reinterpret_cast<sockaddr*>(&local), &localLength) == 0)
            TIdSocketHandle::FromSockAddr(reinterpret_cast<sockaddr*>(&local), localIP, localPort);
        sender->Endpoint = TIdOwnEndpoints::AddDatagram(localIP, localPort);
        sender->IP = ASenderIP;
        sender->Port = ASenderPort;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = sender.get();
        if (epoll_ctl(FPoll, EPOLL_CTL_ADD, sender->Handle, &event) != 0) {
            ::close(sender->Handle);
            return true;
        }
        found = FSenders.emplace(key, std::move(sender)).first;
        // From another thread, the router's thread may be waiting without
        // a limit: it must count this sender's idle time.
        if (std::this_thread::get_id() != FThread.get_id()) {
            const uint64_t one = 1;
            [[maybe_unused]] ssize_t n = write(FWake, &one, sizeof one);
        }
    }
    TSender& sender = *found->second;
    sender.LastTraffic = NowMilliseconds();
    [[maybe_unused]] ssize_t sent =
        send(sender.Handle, AData.data(), AData.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return true;
}

void TUDPReplyRouter::Requests() {
    TIdSocketHandle::TUse use(FListening);
    if (!use)
        return;
    // All that has arrived, one after another without a wait between them.
    for (;;) {
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        // MSG_TRUNC: a datagram longer than the block is recognised and
        // dropped whole.
        const ssize_t received =
            recvfrom(use.Handle(), FBlock.data(), FBlockSize, MSG_DONTWAIT | MSG_TRUNC,
                     reinterpret_cast<sockaddr*>(&from), &length);
        if (received < 0 && errno == EINTR)
            continue;
        if (received < 0)
            return;
        if (static_cast<size_t>(received) > FBlockSize)
            continue;
        FRequest.assign(FBlock.data(), FBlock.data() + received);
        TIdSocketHandle::FromSockAddr(reinterpret_cast<sockaddr*>(&from), FListening.PeerIP,
                                      FListening.PeerPort);
        try {
            if (FOnRequest)
                FOnRequest(*this, FListening, FRequest);
        } catch (...) {
            // A failed send loses the datagram, as UDP may.
        }
    }
}

void TUDPReplyRouter::Answer(TSender& ASender) {
    std::vector<uint8_t>& data = FBlock;
    for (;;) {
        // MSG_TRUNC: an answer longer than the block is recognised and dropped.
        const ssize_t received =
            recv(ASender.Handle, data.data(), FBlockSize, MSG_DONTWAIT | MSG_TRUNC);
        if (received < 0)
            return;
        if (static_cast<size_t>(received) > FBlockSize)
            continue;
        ASender.LastTraffic = NowMilliseconds();
        sockaddr_storage to;
        socklen_t length = 0;
        if (!TIdSocketHandle::ToSockAddr(ASender.IP, ASender.Port, IPVersionOf(ASender.IP), to,
                                         length))
            continue;
        TIdSocketHandle::TUse use(FListening);
        if (!use)
            return;
        const ssize_t sent =
            sendto(use.Handle(), data.data(), static_cast<size_t>(received),
                   MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), length);
        if (sent >= 0 && FCountAnswer)
            FCountAnswer(sent);
    }
}

int TUDPReplyRouter::Expire() {
    const int64_t now = NowMilliseconds();
    int64_t next = -1;
    std::lock_guard<std::mutex> lock(FLock);
    for (auto it = FSenders.begin(); it != FSenders.end();) {
        const int64_t due = it->second->LastTraffic + FIdle;
        if (due <= now) {
            epoll_ctl(FPoll, EPOLL_CTL_DEL, it->second->Handle, nullptr);
            ::close(it->second->Handle);
            it = FSenders.erase(it);
            continue;
        }
        next = next < 0 ? due - now : std::min(next, due - now);
        ++it;
    }
    return static_cast<int>(std::min<int64_t>(next, 60000));
}

void TUDPReplyRouter::Run() {
    epoll_event events[64];
    while (!FStopped) {
        const int wait = Expire();
        const int ready = epoll_wait(FPoll, events, 64, wait);
        if (ready < 0 && errno != EINTR)
            return;
        for (int i = 0; i < ready && !FStopped; ++i) {
            void* source = events[i].data.ptr;
            if (!source) {
                uint64_t count;
                [[maybe_unused]] ssize_t n = read(FWake, &count, sizeof count);
            } else if (source == &FListening) {
                Requests();
            } else {
                std::lock_guard<std::mutex> lock(FLock);
                Answer(*static_cast<TSender*>(source));
            }
        }
    }
}

} // namespace kestrune
