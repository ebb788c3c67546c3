// One SOCKS5 UDP association (RFC 1928, section 7): a UDP socket on the
// address by which the client reached the server, relaying the client's
// datagrams to the targets their headers name and the targets' answers back
// to the client, wrapped in a header that names the target.
//
// It runs on the event loop of its control connection, which owns it; all
// of it belongs to that loop's thread. Names are looked up beside the
// traffic: a datagram to a name waits for its lookup (a few of them, within
// a few lookups at a time), while every other datagram goes on; a name that
// failed is not looked up again for a while. Closing it abandons its
// lookups at once.
#pragma once

#include "net/EventLoop.h"
#include "net/Resolver.h"
#include "net/SocketHandle.h"

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kestrune {

class TIdTCPConnection;

class TUDPAssociation {
public:
    // Targets whose answers are passed back, and names remembered, at most.
    static constexpr size_t MaxTargets = 64;
    static constexpr size_t MaxNames = 16;
    // Lookups under way at once; a datagram to one more new name is dropped.
    static constexpr size_t MaxLookups = 4;
    // Bytes of datagrams waiting for their lookups, at most.
    static constexpr size_t MaxWaitingBytes = 65536;
    // How long a name that did not resolve is not asked again, and how many
    // such names are remembered.
    static constexpr auto FailedNameMemory = std::chrono::seconds(30);
    static constexpr size_t MaxFailedNames = 64;
    // How long one lookup may take.
    static constexpr int LookupTimeout = 5000;

    // The client's datagrams must come from AClientIP (and from AClientPort
    // when it is not 0; otherwise the first datagram fixes the port).
    // Datagrams longer than ABlockSize are dropped.
    TUDPAssociation(const std::string& AClientIP, TIdPort AClientPort, size_t ABlockSize,
                    int AIdleMilliseconds);
    ~TUDPAssociation(); // closes every socket
    TUDPAssociation(const TUDPAssociation&) = delete;
    TUDPAssociation& operator=(const TUDPAssociation&) = delete;

    // Opens the client's socket on AIP (of AIPVersion) at a port the system
    // chooses; raises the socket's failure.
    void Open(const std::string& AIP, TIdIPVersion AIPVersion);
    // The address and port to announce to the client.
    const TIdSocketHandle& Binding() const { return FClientSide; }

    // The local address datagrams to targets leave from; empty for the
    // system's choice. Set before Start.
    std::string BoundIP;
    // Judges each datagram's target (the name the client gave, if any, and
    // the address; an empty address for a name not looked up yet, which
    // only the name can refuse); false drops it, counted as dropped.
    std::function<bool(const std::string& AName, const std::string& AAddress, TIdPort APort)>
        OnTarget;

    // Relays on ALoop until Close() or until it has been idle for its limit
    // (AOnIdle then runs). Each datagram written to the client is reported
    // on AControl as one write (wmWrite), which is how it is counted as
    // traffic; ADropped is told of each datagram dropped for want of a
    // lookup (too many under way, too much waiting, a name that failed).
    void Start(TIdEventLoop& ALoop, TIdTCPConnection& AControl, std::function<void()> AOnIdle,
               std::function<void()> ADropped);
    void Close();

    // Lookups under way (for tests).
    size_t Lookups() const { return FPending.size(); }

private:
    struct TTarget {
        sockaddr_storage Address{};
        socklen_t Length = 0;
    };
    struct TName {
        std::string Name;
        TTarget Address;
    };
    // A datagram waiting for the lookup of its target's name.
    struct TWaiting {
        TIdPort Port;
        std::vector<uint8_t> Payload;
    };
    struct TPending {
        TIdLookup Lookup;
        std::deque<TWaiting> Waiting;
    };
    class TSocketWatch;

    void Watch(TIdSocketHandle& ASocket, int AKind);
    void Readable(int AKind);
    // Each handles one datagram; false when there was none waiting.
    bool FromClient();
    bool FromTarget(TIdSocketHandle& ASocket);
    // Parses the client's header; sends the payload, or has it wait for
    // its name, or drops it.
    void Forward(const uint8_t* AData, size_t ASize);
    // Sends to a target the rules admit; AName: the name it was given by.
    void SendTo(const TTarget& ATarget, const std::string& AName, const uint8_t* AData,
                size_t ASize);
    void Resolved(const std::string& AName, TIdLookupResult AResult);
    TIdSocketHandle* TargetSide(int AFamily);
    void Remember(const TTarget& ATarget);
    bool Known(const sockaddr_storage& AFrom) const;
    bool FailedRecently(const std::string& AName);
    void Drop();
    void Traffic();
    void CheckIdle();

    std::string FClientIP;
    TIdPort FClientPort;
    size_t FBlockSize;
    std::chrono::milliseconds FIdle;
    std::chrono::steady_clock::time_point FLastTraffic;
    TIdEventLoop* FLoop = nullptr;
    TIdTCPConnection* FControl = nullptr;
    std::function<void()> FOnIdle;
    std::function<void()> FDropped;
    TIdSocketHandle FClientSide;
    TIdSocketHandle FTargetSide4;
    TIdSocketHandle FTargetSide6;
    std::vector<std::shared_ptr<TSocketWatch>> FWatches;
    TIdLoopTimer FIdleTimer;
    std::vector<TTarget> FTargets; // oldest first
    std::vector<TName> FNames;     // oldest first
    std::map<std::string, std::chrono::steady_clock::time_point> FFailed;
    std::map<std::string, std::unique_ptr<TPending>> FPending;
    size_t FWaitingBytes = 0;
    std::vector<uint8_t> FBuffer;
};

} // namespace kestrune
