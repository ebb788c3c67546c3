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

    // Registers AIP:APort; an "any" address stands for every local address
    // (a socket bound to it sends from whichever the route picks).
    static TEntryPtr Add(TProtocol AProtocol, const std::string& AIP, TIdPort APort);
    static bool Contains(TProtocol AProtocol, const std::string& AIP, TIdPort APort);
};

class TIdOwnEndpoints::TEntry {
public:
    TEntry(TProtocol AProtocol, std::string AIP, TIdPort APort);
    ~TEntry();
    TEntry(const TEntry&) = delete;
    TEntry& operator=(const TEntry&) = delete;

private:
    friend class TIdOwnEndpoints;
    TProtocol FProtocol;
    std::string FIP;
    TIdPort FPort;
};

} // namespace kestrune
