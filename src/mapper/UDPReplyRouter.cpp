#include "mapper/UDPReplyRouter.h"

#include "net/Exception.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kestrune {

namespace {

// Datagrams one socket hands over in a row before the loop serves the others.
constexpr int DatagramsPerTurn = 64;

} // namespace

struct TUDPReplyRouter::TSender : TIdLoopWatch {
    TUDPReplyRouter* Owner = nullptr; // cleared when its flow closes
    int Handle = -1;
    std::string IP;
    TIdPort Port = 0;
    TClock::time_point LastTraffic;
    TIdOwnEndpoints::TEntryPtr Endpoint; // its socket is the gateway's own
    void OnEvents(uint32_t) override {
        if (Owner)
            Owner->Answer(*this);
    }
};

class TUDPReplyRouter::TListenWatch : public TIdLoopWatch {
public:
    explicit TListenWatch(TUDPReplyRouter& AOwner) : FOwner(AOwner) {}
    void OnEvents(uint32_t) override { FOwner.Requests(); }

private:
    TUDPReplyRouter& FOwner;
};

TUDPReplyRouter::TUDPReplyRouter(std::string AOwnIP, TIdPort AOwnPort, std::string ARemoteIP,
                                 TIdPort ARemotePort, int AIdleMilliseconds, size_t ABlockSize,
                                 TRequestEvent AOnRequest,
                                 std::function<void(int64_t)> ACountAnswer, TAdmitEvent AAdmit)
    : FRemoteIP(std::move(ARemoteIP)), FRemotePort(ARemotePort),
      FIdle(std::chrono::milliseconds(std::max(AIdleMilliseconds, 1))),
      FBlockSize(std::min<size_t>(ABlockSize, 65535)), FOnRequest(std::move(AOnRequest)),
      FCountAnswer(std::move(ACountAnswer)), FAdmit(std::move(AAdmit)) {
    FListening.IPVersion = IPVersionOf(AOwnIP);
    FListening.IP = std::move(AOwnIP);
    FListening.Port = AOwnPort;
}

TUDPReplyRouter::~TUDPReplyRouter() {
    Stop();
}

void TUDPReplyRouter::Start() {
    FBlock.resize(FBlockSize + 1);
    FRequest.reserve(FBlockSize);
    try {
        FListening.AllocateSocket(SOCK_DGRAM | SOCK_NONBLOCK);
        FListening.Bind();
    } catch (...) {
        FListening.CloseSocket();
        throw;
    }
    FLoop = &TIdEventLoops::Next();
    FListenWatch = std::make_unique<TListenWatch>(*this);
    const int handle = FListening.Acquire();
    FLoop->Post([this, handle] { FLoop->Watch(handle, *FListenWatch, EPOLLIN); });
    FListening.Release();
}

void TUDPReplyRouter::Stop() {
    if (!FLoop)
        return;
    FLoop->Post([this] {
        while (!FSenders.empty())
            Close(FSenders.begin());
        FExpiry.Cancel();
        TIdSocketHandle::TUse use(FListening);
        if (use)
            FLoop->Unwatch(use.Handle());
    });
    // Returns once that task has run and no event can reach this router.
    TIdEventLoops::Sync();
    FListening.CloseSocket();
    FListenWatch.reset();
    FLoop = nullptr;
}

void TUDPReplyRouter::Recheck() {
    if (!FLoop || !FAdmit)
        return;
    FLoop->Post([this] {
        for (auto it = FSenders.begin(); it != FSenders.end();) {
            auto next = std::next(it);
            if (!FAdmit(it->second->IP, it->second->Port))
                Close(it);
            it = next;
        }
    });
}

void TUDPReplyRouter::Close(std::map<std::string, std::shared_ptr<TSender>>::iterator AAt) {
    TSender& sender = *AAt->second;
    sender.Owner = nullptr;
    // Forgotten as the gateway's own before its port is free for others.
    sender.Endpoint.reset();
    FLoop->Unwatch(sender.Handle);
    ::close(sender.Handle);
    // An event already taken may still be on its way to it.
    FLoop->Retire(AAt->second);
    FSenders.erase(AAt);
    FCount = FSenders.size();
}

bool TUDPReplyRouter::Forward(const std::string& ASenderIP, TIdPort ASenderPort,
                              const TIdBytes& AData) {
    const std::string key = EndpointText(ASenderIP, ASenderPort);
    const TClock::time_point now = TClock::now();
    auto found = FSenders.find(key);
    if (found == FSenders.end()) {
        if (FSenders.size() >= MaxSenders) {
            // Full: the sender that has been quiet longest gives way, if it
            // has been quiet long enough, so that stale or spoofed flows
            // cannot lock new senders out for the whole idle limit.
            auto oldest = std::min_element(FSenders.begin(), FSenders.end(),
                                           [](const auto& a, const auto& b) {
                                               return a.second->LastTraffic < b.second->LastTraffic;
                                           });
            if (oldest == FSenders.end() || now - oldest->second->LastTraffic < GiveWay)
                return false;
            Close(oldest);
        }
        sockaddr_storage remote;
        socklen_t length = 0;
        const TIdIPVersion family = IPVersionOf(FRemoteIP);
        if (!TIdSocketHandle::ToSockAddr(FRemoteIP, FRemotePort, family, remote, length))
            return true; // no such address: lost like any datagram whose send fails
        auto sender = std::make_shared<TSender>();
        sender->Handle =
            socket(TIdSocketHandle::Family(family), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_storage bound;
        socklen_t boundLength = 0;
        const bool leaveFrom = !BoundIP.empty() && IPVersionOf(BoundIP) == family &&
                               TIdSocketHandle::ToSockAddr(BoundIP, 0, family, bound, boundLength);
        // Connected: the socket then takes datagrams from the remote only.
        if (sender->Handle < 0 ||
            (leaveFrom &&
             bind(sender->Handle, reinterpret_cast<sockaddr*>(&bound), boundLength) != 0) ||
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
        sender->Owner = this;
        if (!FLoop->Watch(sender->Handle, *sender, EPOLLIN)) {
            ::close(sender->Handle);
            return true;
        }
        found = FSenders.emplace(key, std::move(sender)).first;
        FCount = FSenders.size();
        if (!FExpiry.Armed())
            FExpiry.Arm(*FLoop, FIdle, [this] { Expire(); });
    }
    TSender& sender = *found->second;
    sender.LastTraffic = now;
    [[maybe_unused]] ssize_t sent =
        send(sender.Handle, AData.data(), AData.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return true;
}

void TUDPReplyRouter::Requests() {
    TIdSocketHandle::TUse use(FListening);
    if (!use)
        return;
    // All that has arrived, one after another without a wait between them.
    for (int i = 0; i < DatagramsPerTurn; ++i) {
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
    for (int i = 0; i < DatagramsPerTurn; ++i) {
        // MSG_TRUNC: an answer longer than the block is recognised and dropped.
        const ssize_t received =
            recv(ASender.Handle, FBlock.data(), FBlockSize, MSG_DONTWAIT | MSG_TRUNC);
        if (received < 0 && errno == EINTR)
            continue;
        if (received < 0)
            return;
        if (static_cast<size_t>(received) > FBlockSize)
            continue;
        // A sender the rules no longer admit gets nothing more.
        if (FAdmit && !FAdmit(ASender.IP, ASender.Port)) {
            Close(FSenders.find(EndpointText(ASender.IP, ASender.Port)));
            return;
        }
        ASender.LastTraffic = TClock::now();
        sockaddr_storage to;
        socklen_t length = 0;
        if (!TIdSocketHandle::ToSockAddr(ASender.IP, ASender.Port, IPVersionOf(ASender.IP), to,
                                         length))
            continue;
        TIdSocketHandle::TUse use(FListening);
        if (!use)
            return;
        const ssize_t sent =
            sendto(use.Handle(), FBlock.data(), static_cast<size_t>(received),
                   MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), length);
        if (sent >= 0 && FCountAnswer)
            FCountAnswer(sent);
    }
}

void TUDPReplyRouter::Expire() {
    const TClock::time_point now = TClock::now();
    TClock::time_point next = TClock::time_point::max();
    for (auto it = FSenders.begin(); it != FSenders.end();) {
        auto following = std::next(it);
        const TClock::time_point due = it->second->LastTraffic + FIdle;
        if (due <= now)
            Close(it);
        else
            next = std::min(next, due);
        it = following;
    }
    if (next != TClock::time_point::max())
        FExpiry.ArmAt(*FLoop, next, [this] { Expire(); });
}

} // namespace kestrune
