// The addresses the gateway's own forwarding sends from: the local ends of
// mapped outbound connections and the sockets mapped datagrams leave from.
// Traffic that arrives from one of them has come round a forwarding loop
// (a mapper aimed at another that is aimed back), so a mapper drops it.
//
// Any thread; a registration lasts as long as its TEntry.
#pragma once

#include "net/Global.h"

#include <memory>
#include <string>

namespace kestrune {

class TIdOwnEndpoints {
public:
    enum TProtocol { TCP, UDP };

    class TEntry;
    using TEntryPtr = std::unique_ptr<TEntry>;

    // A datagram socket bound to AIP:APort; an "any" address stands for
    // every local address (the socket sends from whichever the route picks).
    static TEntryPtr AddDatagram(const std::string& AIP, TIdPort APort);
    // An outbound connection from ALocalIP:ALocalPort to ARemoteIP:ARemotePort.
    // A connection is known by both ends: the local port alone may be shared
    // with connections elsewhere.
    static TEntryPtr AddConnection(const std::string& ALocalIP, TIdPort ALocalPort,
                                   const std::string& ARemoteIP, TIdPort ARemotePort);

    // A datagram from AIP:APort.
    static bool SentDatagram(const std::string& AIP, TIdPort APort);
    // An accepted connection whose peer is APeerIP:APeerPort and whose own
    // end is ALocalIP:ALocalPort.
    static bool MadeConnection(const std::string& APeerIP, TIdPort APeerPort,
                               const std::string& ALocalIP, TIdPort ALocalPort);
};

class TIdOwnEndpoints::TEntry {
public:
    TEntry(TProtocol AProtocol, std::string AIP, TIdPort APort, std::string ARemoteIP,
           TIdPort ARemotePort);
    ~TEntry();
    TEntry(const TEntry&) = delete;
    TEntry& operator=(const TEntry&) = delete;

private:
    friend class TIdOwnEndpoints;
    TProtocol FProtocol;
    std::string FIP;
    TIdPort FPort;
    std::string FRemoteIP;
    TIdPort FRemotePort;
};

} // namespace kestrune
