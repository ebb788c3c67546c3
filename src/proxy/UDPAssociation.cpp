#include "proxy/UDPAssociation.h"

#include "net/Exception.h"
#include "net/Resolver.h"
#include "net/TCPConnection.h"

#include <arpa/inet.h>
#include <poll.h>
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

} // namespace

TUDPAssociation::TUDPAssociation(const std::string& AClientIP, TIdPort AClientPort,
                                 size_t ABlockSize, int AIdleMilliseconds)
    : FClientIP(AClientIP), FClientPort(AClientPort),
      FBlockSize(std::min(ABlockSize, LargestDatagram)), FIdle(std::max(AIdleMilliseconds, 1)) {
    FBuffer.resize(MaxHeader + FBlockSize);
}

void TUDPAssociation::Open(const std::string& AIP, TIdIPVersion AIPVersion) {
    FClientSide.IPVersion = AIPVersion;
    FClientSide.IP = AIP;
    FClientSide.Port = 0;
    FClientSide.AllocateSocket(SOCK_DGRAM);
    FClientSide.Bind();
}

TIdSocketHandle& TUDPAssociation::TargetSide(int AFamily) {
    TIdSocketHandle& side = AFamily == AF_INET6 ? FTargetSide6 : FTargetSide4;
    if (!side.HandleAllocated()) {
        side.IPVersion = AFamily == AF_INET6 ? Id_IPv6 : Id_IPv4;
        side.IP.clear();
        side.Port = 0;
        side.AllocateSocket(SOCK_DGRAM);
        side.Bind();
    }
    return side;
}

void TUDPAssociation::Remember(const TTarget& ATarget) {
    for (const TTarget& known : FTargets)
        if (SameAddress(known.Address, ATarget.Address))
            return;
    if (FTargets.size() == MaxTargets)
        FTargets.erase(FTargets.begin());
    FTargets.push_back(ATarget);
}

bool TUDPAssociation::Known(const sockaddr_storage& AFrom, socklen_t) const {
    return std::any_of(FTargets.begin(), FTargets.end(),
                       [&](const TTarget& t) { return SameAddress(t.Address, AFrom); });
}

bool TUDPAssociation::Target(const uint8_t* AData, size_t ASize, const TIdWakeUpPtr& AWakeUp,
                             TTarget& ATarget, size_t& AHeader) {
    // [RSV=0 0, FRAG, ATYP] DST.ADDR DST.PORT DATA; fragments are not put
    // together again, so a datagram that is one is dropped.
    if (ASize < 4 || AData[2] != 0)
        return false;
    std::string host;
    size_t at = 4;
    switch (AData[3]) {
    case 1:
        if (ASize < at + 4 + 2)
            return false;
        host = std::to_string(AData[4]) + "." + std::to_string(AData[5]) + "." +
               std::to_string(AData[6]) + "." + std::to_string(AData[7]);
        at += 4;
        break;
    case 4: {
        if (ASize < at + 16 + 2)
            return false;
        char text[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, AData + at, text, sizeof text);
        host = text;
        at += 16;
        break;
    }
    case 3:
        if (ASize < at + 1 || ASize < at + 1 + AData[at] + 2 || AData[at] == 0)
            return false;
        host.assign(reinterpret_cast<const char*>(AData + at + 1), AData[at]);
        at += 1 + AData[at];
        break;
    default:
        return false;
    }
    const TIdPort port = static_cast<TIdPort>(AData[at] << 8 | AData[at + 1]);
    AHeader = at + 2;
    if (port == 0)
        return false;

    std::string ip = host;
    if (AData[3] == 3) {
        auto named = std::find_if(FNames.begin(), FNames.end(),
                                  [&](const TName& n) { return n.Name == host; });
        if (named == FNames.end()) {
            // A name costs one lookup per association, bounded in time, and
            // the stop of the association ends it at once.
            const TIdWakeUpPtr wakeUps[] = {AWakeUp};
            std::vector<TIdResolvedAddress> found;
            try {
                found = TIdResolver::Resolve(host, wakeUps, 5000);
            } catch (const EIdException&) {
                return false;
            }
            TName name{host, {}};
            if (!TIdSocketHandle::ToSockAddr(found.front().IP, 0, found.front().IPVersion,
                                             name.Address.Address, name.Address.Length))
                return false;
            if (FNames.size() == MaxNames)
                FNames.erase(FNames.begin());
            FNames.push_back(name);
            named = FNames.end() - 1;
        }
        ATarget = named->Address;
        auto& any = ATarget.Address;
        if (any.ss_family == AF_INET)
            reinterpret_cast<sockaddr_in&>(any).sin_port = htons(port);
        else
            reinterpret_cast<sockaddr_in6&>(any).sin6_port = htons(port);
        return true;
    }
    return TIdSocketHandle::ToSockAddr(ip, port, IPVersionOf(ip), ATarget.Address, ATarget.Length);
}

bool TUDPAssociation::FromClient(const TIdWakeUpPtr& AWakeUp) {
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
        return false;
    if (static_cast<size_t>(received) > FBlockSize)
        return true;
    std::string ip;
    TIdPort port = 0;
    TIdSocketHandle::FromSockAddr(reinterpret_cast<sockaddr*>(&from), ip, port);
    // Only the client may use the association.
    if (ip != FClientIP || (FClientPort != 0 && port != FClientPort))
        return true;
    FClientPort = port;
    FLastTraffic = std::chrono::steady_clock::now();
    TTarget target;
    size_t header = 0;
    if (!Target(FBuffer.data(), static_cast<size_t>(received), AWakeUp, target, header))
        return true;
    TIdSocketHandle* side = nullptr;
    try {
        side = &TargetSide(target.Address.ss_family);
    } catch (const EIdException&) {
        return true; // no socket for that family here: the datagram is lost, as UDP may be
    }
    TIdSocketHandle::TUse use(*side);
    if (!use)
        return true;
    Remember(target);
    sendto(use.Handle(), FBuffer.data() + header, static_cast<size_t>(received) - header,
           MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&target.Address),
           target.Length);
    return true;
}

bool TUDPAssociation::FromTarget(TIdSocketHandle& ASocket, TIdTCPConnection& AControl) {
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
    // Only answers from targets the client has written to go back to it.
    if (received < 0)
        return false;
    if (!Known(from, length) || FClientPort == 0)
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
    FLastTraffic = std::chrono::steady_clock::now();
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
    if (sent > 0) {
        AControl.BeginWork(wmWrite, sent);
        AControl.DoWork(wmWrite, sent);
        AControl.EndWork(wmWrite);
    }
    return true;
}

void TUDPAssociation::Run(TIdTCPConnection& AControl, const TIdWakeUpPtr& AWakeUp) {
    using TClock = std::chrono::steady_clock;
    FLastTraffic = TClock::now();
    TIdIOHandlerStack* control = AControl.IOHandler();
    while (control) {
        TIdSocketHandle::TUse controlUse(control->Binding());
        TIdSocketHandle::TUse clientUse(FClientSide);
        TIdSocketHandle::TUse four(FTargetSide4);
        TIdSocketHandle::TUse six(FTargetSide6);
        if (!controlUse || !clientUse)
            break;
        pollfd pfds[5] = {{controlUse.Handle(), POLLIN, 0},
                          {clientUse.Handle(), POLLIN, 0},
                          {four ? four.Handle() : -1, POLLIN, 0},
                          {six ? six.Handle() : -1, POLLIN, 0},
                          {AWakeUp ? AWakeUp->Handle() : -1, POLLIN, 0}};
        const auto idleLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  FLastTraffic + FIdle - TClock::now())
                                  .count();
        if (idleLeft <= 0)
            break;
        const int ready = poll(pfds, 5, static_cast<int>(std::min<long long>(idleLeft, 60000)));
        if (ready < 0 && errno != EINTR)
            break;
        if ((AWakeUp && AWakeUp->Signalled()) || pfds[4].revents)
            break;
        if (pfds[0].revents) {
            // The control connection carries nothing; its end ends the
            // association.
            char discard[512];
            const ssize_t n = recv(controlUse.Handle(), discard, sizeof discard, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                break;
        }
        // Whatever has arrived together is taken before the next wait.
        while (pfds[1].revents && FromClient(AWakeUp)) {
        }
        while (pfds[2].revents && FromTarget(FTargetSide4, AControl)) {
        }
        while (pfds[3].revents && FromTarget(FTargetSide6, AControl)) {
        }
    }
    FClientSide.CloseSocket();
    FTargetSide4.CloseSocket();
    FTargetSide6.CloseSocket();
}

} // namespace kestrune
