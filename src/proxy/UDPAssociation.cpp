#include "proxy/UDPAssociation.h"

#include "net/Exception.h"
#include "net/TCPConnection.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrune {

namespace {

// The longest header: RSV(2) FRAG ATYP, a name of 255 bytes with its
// length, and the port.
constexpr size_t MaxHeader = 4 + 1 + 255 + 2;
// No datagram is longer.
constexpr size_t LargestDatagram = 65535;
// Datagrams one socket hands over in a row before the loop serves the others.
constexpr int DatagramsPerTurn = 64;

enum { ClientSide, TargetSide4, TargetSide6 };

bool SameAddress(const sockaddr_storage& A, const sockaddr_storage& B) {
    if (A.ss_family != B.ss_family)
        return false;
    if (A.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(A);
        const auto& b = reinterpret_cast<const sockaddr_in&>(B);
        return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
    }
    const auto& a = reinterpret_cast<const sockaddr_in6&>(A);
    const auto& b = reinterpret_cast<const sockaddr_in6&>(B);
    return a.sin6_port == b.sin6_port &&
           std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0;
}

void SetPort(sockaddr_storage& AAddress, TIdPort APort) {
    if (AAddress.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in&>(AAddress).sin_port = htons(APort);
    else
        reinterpret_cast<sockaddr_in6&>(AAddress).sin6_port = htons(APort);
}

} // namespace

// One of the association's sockets as the loop watches it.
class TUDPAssociation::TSocketWatch : public TIdLoopWatch {
public:
    TSocketWatch(TUDPAssociation& AOwner, int AKind) : Owner(&AOwner), Kind(AKind) {}
    void OnEvents(uint32_t) override {
        if (Owner)
            Owner->Readable(Kind);
    }
    TUDPAssociation* Owner; // cleared when the association closes
    int Kind;
    int Handle = -1;
};

TUDPAssociation::TUDPAssociation(const std::string& AClientIP, TIdPort AClientPort,
                                 size_t ABlockSize, int AIdleMilliseconds)
    : FClientIP(AClientIP), FClientPort(AClientPort),
      FBlockSize(std::min(ABlockSize, LargestDatagram)), FIdle(std::max(AIdleMilliseconds, 1)) {
    FBuffer.resize(MaxHeader + FBlockSize);
}

TUDPAssociation::~TUDPAssociation() {
    Close();
}

void TUDPAssociation::Open(const std::string& AIP, TIdIPVersion AIPVersion) {
    FClientSide.IPVersion = AIPVersion;
    FClientSide.IP = AIP;
    FClientSide.Port = 0;
    FClientSide.AllocateSocket(SOCK_DGRAM | SOCK_NONBLOCK);
    FClientSide.Bind();
}

void TUDPAssociation::Start(TIdEventLoop& ALoop, TIdTCPConnection& AControl,
                            std::function<void()> AOnIdle, std::function<void()> ADropped) {
    FLoop = &ALoop;
    FControl = &AControl;
    FOnIdle = std::move(AOnIdle);
    FDropped = std::move(ADropped);
    Watch(FClientSide, ClientSide);
    Traffic();
    FIdleTimer.Arm(ALoop, FIdle, [this] { CheckIdle(); });
}

void TUDPAssociation::Close() {
    FIdleTimer.Cancel();
    FOnIdle = nullptr;
    FDropped = nullptr;
    FPending.clear(); // abandons every lookup
    FWaitingBytes = 0;
    for (auto& watch : FWatches) {
        watch->Owner = nullptr;
        if (FLoop) {
            FLoop->Unwatch(watch->Handle);
            FLoop->Retire(watch); // an event already taken may still be on its way
        }
    }
    FWatches.clear();
    FClientSide.CloseSocket();
    FTargetSide4.CloseSocket();
    FTargetSide6.CloseSocket();
}

void TUDPAssociation::Watch(TIdSocketHandle& ASocket, int AKind) {
    TIdSocketHandle::TUse use(ASocket);
    if (!use || !FLoop)
        return;
    auto watch = std::make_shared<TSocketWatch>(*this, AKind);
    watch->Handle = use.Handle();
    if (FLoop->Watch(watch->Handle, *watch, EPOLLIN))
        FWatches.push_back(std::move(watch));
}

void TUDPAssociation::Traffic() {
    FLastTraffic = std::chrono::steady_clock::now();
}

void TUDPAssociation::CheckIdle() {
    const auto due = FLastTraffic + FIdle;
    if (std::chrono::steady_clock::now() < due) {
        FIdleTimer.ArmAt(*FLoop, due, [this] { CheckIdle(); });
        return;
    }
    // The owner closes it, which lets go of the handler: a copy is called.
    if (const std::function<void()> onIdle = FOnIdle)
        onIdle();
}

void TUDPAssociation::Readable(int AKind) {
    TIdSocketHandle& socket = AKind == ClientSide    ? FClientSide
                              : AKind == TargetSide4 ? FTargetSide4
                                                     : FTargetSide6;
    for (int i = 0; i < DatagramsPerTurn; ++i) {
        if (!(AKind == ClientSide ? FromClient() : FromTarget(socket)))
            return;
    }
}

TIdSocketHandle* TUDPAssociation::TargetSide(int AFamily) {
    TIdSocketHandle& side = AFamily == AF_INET6 ? FTargetSide6 : FTargetSide4;
    if (!side.HandleAllocated()) {
        side.IPVersion = AFamily == AF_INET6 ? Id_IPv6 : Id_IPv4;
        side.IP = IPVersionOf(BoundIP) == side.IPVersion ? BoundIP : std::string();
        side.Port = 0;
        try {
            side.AllocateSocket(SOCK_DGRAM | SOCK_NONBLOCK);
            side.Bind();
        } catch (const EIdException&) {
            side.CloseSocket();
            return nullptr; // no socket for that family here
        }
        Watch(side, AFamily == AF_INET6 ? TargetSide6 : TargetSide4);
    }
    return &side;
}

void TUDPAssociation::Remember(const TTarget& ATarget) {
    for (const TTarget& known : FTargets)
        if (SameAddress(known.Address, ATarget.Address))
            return;
    if (FTargets.size() == MaxTargets)
        FTargets.erase(FTargets.begin());
    FTargets.push_back(ATarget);
}

bool TUDPAssociation::Known(const sockaddr_storage& AFrom) const {
    return std::any_of(FTargets.begin(), FTargets.end(),
                       [&](const TTarget& t) { return SameAddress(t.Address, AFrom); });
}

bool TUDPAssociation::FailedRecently(const std::string& AName) {
    auto found = FFailed.find(AName);
    if (found == FFailed.end())
        return false;
    if (std::chrono::steady_clock::now() - found->second < FailedNameMemory)
        return true;
    FFailed.erase(found);
    return false;
}

void TUDPAssociation::Drop() {
    if (FDropped)
        FDropped();
}

void TUDPAssociation::SendTo(const TTarget& ATarget, const std::string& AName, const uint8_t* AData,
                             size_t ASize) {
    if (OnTarget) {
        std::string address;
        TIdPort port = 0;
        TIdSocketHandle::FromSockAddr(reinterpret_cast<const sockaddr*>(&ATarget.Address), address,
                                      port);
        if (!OnTarget(AName, address, port)) {
            Drop();
            return;
        }
    }
    // Towards the other family than the outgoing address's, a datagram has
    // no address to leave from.
    if (!BoundIP.empty() &&
        IPVersionOf(BoundIP) != (ATarget.Address.ss_family == AF_INET6 ? Id_IPv6 : Id_IPv4))
        return;
    TIdSocketHandle* side = TargetSide(ATarget.Address.ss_family);
    if (!side)
        return; // lost, as a datagram may be
    TIdSocketHandle::TUse use(*side);
    if (!use)
        return;
    Remember(ATarget);
    sendto(use.Handle(), AData, ASize, MSG_NOSIGNAL | MSG_DONTWAIT,
           reinterpret_cast<const sockaddr*>(&ATarget.Address), ATarget.Length);
}

void TUDPAssociation::Forward(const uint8_t* AData, size_t ASize) {
    // [RSV=0 0, FRAG, ATYP] DST.ADDR DST.PORT DATA; fragments are not put
    // together again, so a datagram that is one is dropped.
    if (ASize < 4 || AData[2] != 0)
        return;
    size_t at = 4;
    TTarget target;
    std::string name;
    switch (AData[3]) {
    case 1: {
        if (ASize < at + 4 + 2)
            return;
        auto& in = reinterpret_cast<sockaddr_in&>(target.Address);
        in.sin_family = AF_INET;
        std::memcpy(&in.sin_addr, AData + at, 4);
        target.Length = sizeof(sockaddr_in);
        at += 4;
        break;
    }
    case 4: {
        if (ASize < at + 16 + 2)
            return;
        in6_addr address;
        std::memcpy(&address, AData + at, 16);
        if (IN6_IS_ADDR_V4MAPPED(&address)) {
            // An IPv4 target written the IPv6 way is that IPv4 target.
            auto& in = reinterpret_cast<sockaddr_in&>(target.Address);
            in.sin_family = AF_INET;
            std::memcpy(&in.sin_addr, address.s6_addr + 12, 4);
            target.Length = sizeof(sockaddr_in);
        } else {
            auto& in6 = reinterpret_cast<sockaddr_in6&>(target.Address);
            in6.sin6_family = AF_INET6;
            in6.sin6_addr = address;
            target.Length = sizeof(sockaddr_in6);
        }
        at += 16;
        break;
    }
    case 3:
        if (ASize < at + 1 || AData[at] == 0 || ASize < at + 1 + AData[at] + 2)
            return;
        name.assign(reinterpret_cast<const char*>(AData + at + 1), AData[at]);
        at += 1 + AData[at];
        break;
    default:
        return;
    }
    const TIdPort port = static_cast<TIdPort>(AData[at] << 8 | AData[at + 1]);
    at += 2;
    if (port == 0)
        return;
    const uint8_t* payload = AData + at;
    const size_t size = ASize - at;
    if (name.empty()) {
        SetPort(target.Address, port);
        SendTo(target, name, payload, size);
        return;
    }
    auto named =
        std::find_if(FNames.begin(), FNames.end(), [&](const TName& n) { return n.Name == name; });
    if (named != FNames.end()) {
        target = named->Address;
        SetPort(target.Address, port);
        SendTo(target, name, payload, size);
        return;
    }
    // A name the rules refuse by itself is not even looked up.
    if (OnTarget && !OnTarget(name, std::string(), port)) {
        Drop();
        return;
    }
    // A name costs one lookup at a time, which the datagrams to it wait
    // for; the rest of the traffic does not.
    auto pending = FPending.find(name);
    if (FailedRecently(name) || (pending == FPending.end() && FPending.size() >= MaxLookups) ||
        FWaitingBytes + size > MaxWaitingBytes) {
        Drop();
        return;
    }
    if (pending == FPending.end()) {
        pending = FPending.emplace(name, std::make_unique<TPending>()).first;
        pending->second->Lookup.Start(
            *FLoop, name, LookupTimeout,
            [this, name](TIdLookupResult AResult) { Resolved(name, std::move(AResult)); });
    }
    pending->second->Waiting.push_back({port, std::vector<uint8_t>(payload, payload + size)});
    FWaitingBytes += size;
}

void TUDPAssociation::Resolved(const std::string& AName, TIdLookupResult AResult) {
    auto found = FPending.find(AName);
    if (found == FPending.end())
        return;
    std::unique_ptr<TPending> pending = std::move(found->second);
    FPending.erase(found);
    for (const TWaiting& waiting : pending->Waiting)
        FWaitingBytes -= waiting.Payload.size();
    TName name{AName, {}};
    const bool found4or6 = AResult.Status == TIdLookupResult::Found &&
                           TIdSocketHandle::ToSockAddr(AResult.Addresses.front().IP, 0,
                                                       AResult.Addresses.front().IPVersion,
                                                       name.Address.Address, name.Address.Length);
    if (!found4or6) {
        if (FFailed.size() >= MaxFailedNames)
            FFailed.erase(
                std::min_element(FFailed.begin(), FFailed.end(),
                                 [](const auto& a, const auto& b) { return a.second < b.second; }));
        FFailed[AName] = std::chrono::steady_clock::now();
        for (size_t i = 0; i < pending->Waiting.size(); ++i)
            Drop();
        return;
    }
    if (FNames.size() == MaxNames)
        FNames.erase(FNames.begin());
    FNames.push_back(name);
    for (const TWaiting& waiting : pending->Waiting) {
        TTarget target = name.Address;
        SetPort(target.Address, waiting.Port);
        SendTo(target, AName, waiting.Payload.data(), waiting.Payload.size());
    }
}

bool TUDPAssociation::FromClient() {
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    ssize_t received;
    {
        TIdSocketHandle::TUse use(FClientSide);
        if (!use)
            return false;
        // MSG_TRUNC gives the datagram's real length, so that one too long
        // for the block is recognised and dropped whole.
        received = recvfrom(use.Handle(), FBuffer.data(), FBlockSize, MSG_DONTWAIT | MSG_TRUNC,
                            reinterpret_cast<sockaddr*>(&from), &length);
    }
    if (received < 0)
        return errno == EINTR;
    if (static_cast<size_t>(received) > FBlockSize)
        return true;
    std::string ip;
    TIdPort port = 0;
    TIdSocketHandle::FromSockAddr(reinterpret_cast<sockaddr*>(&from), ip, port);
    // Only the client may use the association.
    if (ip != FClientIP || (FClientPort != 0 && port != FClientPort))
        return true;
    FClientPort = port;
    Traffic();
    Forward(FBuffer.data(), static_cast<size_t>(received));
    return true;
}

bool TUDPAssociation::FromTarget(TIdSocketHandle& ASocket) {
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    uint8_t* payload = FBuffer.data() + MaxHeader;
    ssize_t received;
    {
        TIdSocketHandle::TUse use(ASocket);
        if (!use)
            return false;
        received = recvfrom(use.Handle(), payload, FBlockSize, MSG_DONTWAIT | MSG_TRUNC,
                            reinterpret_cast<sockaddr*>(&from), &length);
    }
    if (received < 0)
        return errno == EINTR;
    // Only answers from targets the client has written to go back to it.
    if (!Known(from) || FClientPort == 0)
        return true;
    // [RSV=0 0, FRAG=0, ATYP] address port, right before the payload.
    uint8_t* start;
    if (from.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(from);
        start = payload - 10;
        start[3] = 1;
        std::memcpy(start + 4, &in.sin_addr, 4);
        std::memcpy(start + 8, &in.sin_port, 2);
    } else {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(from);
        start = payload - 22;
        start[3] = 4;
        std::memcpy(start + 4, &in6.sin6_addr, 16);
        std::memcpy(start + 20, &in6.sin6_port, 2);
    }
    start[0] = start[1] = start[2] = 0;
    const size_t size = static_cast<size_t>(payload + received - start);
    if (static_cast<size_t>(received) > FBlockSize || size > FBlockSize)
        return true;
    Traffic();
    sockaddr_storage client;
    socklen_t clientLength = 0;
    if (!TIdSocketHandle::ToSockAddr(FClientIP, FClientPort, IPVersionOf(FClientIP), client,
                                     clientLength))
        return true;
    TIdSocketHandle::TUse use(FClientSide);
    if (!use)
        return true;
    const ssize_t sent = sendto(use.Handle(), start, size, MSG_NOSIGNAL | MSG_DONTWAIT,
                                reinterpret_cast<sockaddr*>(&client), clientLength);
    if (sent > 0 && FControl) {
        FControl->BeginWork(wmWrite, sent);
        FControl->DoWork(wmWrite, sent);
        FControl->EndWork(wmWrite);
    }
    return true;
}

} // namespace kestrune
