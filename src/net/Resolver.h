// Name lookups that never hold up a stop: a lookup waits on the resolver's
// sockets and on a wake-up together, and a signalled wake-up abandons it at
// once (the query is cancelled; an answer that comes later finds nobody and
// is dropped with the lookup's own resolver state).
//
// Resolve() runs on the calling thread (a connection thread) and shares no
// state with other lookups, so any number may run at once.
#pragma once

#include "net/Global.h"
#include "net/WakeUp.h"

#include <span>
#include <string>
#include <vector>

namespace kestrune {

struct TIdResolvedAddress {
    std::string IP; // literal text, as inet_ntop writes it
    TIdIPVersion IPVersion = Id_IPv4;
};

class TIdResolver {
public:
    // The addresses of AHost in the order they should be tried: a literal
    // stands for itself; "localhost" in any letter case is the IPv4 then the
    // IPv6 loopback; any other name is looked up (hosts file, then DNS) for
    // both families. Raises EIdSocketError when the name does not resolve,
    // EIdSocketError(ECONNABORTED) when any of AWakeUps (null ones aside) is
    // signalled first, and EIdConnectTimeout when ATimeout ms (negative: no
    // limit) pass first.
    static std::vector<TIdResolvedAddress>
    Resolve(const std::string& AHost, std::span<const TIdWakeUpPtr> AWakeUps, int ATimeout);

    // The name servers to ask instead of those of /etc/resolv.conf, as
    // "IP:port[,IP:port...]"; empty restores the system's. For tests that
    // need a resolver which never answers.
    static void SetServers(const std::string& AServers);
};

} // namespace kestrune
