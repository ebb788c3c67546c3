// One SOCKS5 UDP association (RFC 1928, section 7): a UDP socket on the
// address by which the client reached the server, relaying the client's
// datagrams to the targets their headers name and the targets' answers back
// to the client, wrapped in a header that names the target.
//
// Made and run on the control connection's thread, which it occupies until
// the control connection ends, the association has been idle for its limit,
// or the wake-up is signalled (a drop or a stop). Nothing in it is shared.
#pragma once

#include "net/SocketHandle.h"
#include "net/WakeUp.h"

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrune {

class TIdTCPConnection;

class TUDPAssociation {
public:
    // The client's datagrams must come from AClientIP (and from AClientPort
    // when it is not 0; otherwise the first datagram fixes the port).
    // Datagrams longer than ABlockSize are dropped.
    TUDPAssociation(const std::string& AClientIP, TIdPort AClientPort, size_t ABlockSize,
                    int AIdleMilliseconds);
    TUDPAssociation(const TUDPAssociation&) = delete;
    TUDPAssociation& operator=(const TUDPAssociation&) = delete;

    // Opens the client's socket on AIP (of AIPVersion) at a port the system
    // chooses; raises the socket's failure.
    void Open(const std::string& AIP, TIdIPVersion AIPVersion);
    // The address and port to announce to the client.
    const TIdSocketHandle& Binding() const { return FClientSide; }

    // Relays until AControl's connection ends, the idle limit passes or
    // AWakeUp is signalled; then closes every socket. Each datagram written
    // to the client is reported on AControl as one write (wmWrite), which is
    // how it is counted as traffic.
    void Run(TIdTCPConnection& AControl, const TIdWakeUpPtr& AWakeUp);

    // Targets whose answers are passed back, and names remembered, at most.
    static constexpr size_t MaxTargets = 64;
    static constexpr size_t MaxNames = 16;

private:
    struct TTarget {
        sockaddr_storage Address{};
        socklen_t Length = 0;
    };
    struct TName {
        std::string Name;
        TTarget Address;
    };

    // Each handles one datagram; false when there was none waiting.
    bool FromClient(const TIdWakeUpPtr& AWakeUp);
    bool FromTarget(TIdSocketHandle& ASocket, TIdTCPConnection& AControl);
    // The target a client datagram names, its payload after the header;
    // false to drop the datagram.
    bool Target(const uint8_t* AData, size_t ASize, const TIdWakeUpPtr& AWakeUp, TTarget& ATarget,
                size_t& AHeader);
    TIdSocketHandle& TargetSide(int AFamily);
    void Remember(const TTarget& ATarget);
    bool Known(const sockaddr_storage& AFrom, socklen_t ALength) const;

    std::string FClientIP;
    TIdPort FClientPort;
    size_t FBlockSize;
    std::chrono::milliseconds FIdle;
    std::chrono::steady_clock::time_point FLastTraffic;
    TIdSocketHandle FClientSide;
    TIdSocketHandle FTargetSide4;
    TIdSocketHandle FTargetSide6;
    std::vector<TTarget> FTargets; // oldest first
    std::vector<TName> FNames;     // oldest first
    std::vector<uint8_t> FBuffer;
};

} // namespace kestrune
