// Name lookups on an event loop that never hold up anything: a lookup waits
// on the resolver's sockets through the loop, and abandoning it (Cancel, or
// the end of its owner) cancels its queries at once, so that no answer or
// retry of it comes later.
//
// Each lookup has resolver state of its own (c-ares), so any number may run
// at once and none waits for another. Start, Cancel and the destructor
// belong to the loop's thread; the answer is delivered there too.
#pragma once

#include "net/Global.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrune {

class TIdEventLoop;

struct TIdResolvedAddress {
    std::string IP; // literal text, as inet_ntop writes it
    TIdIPVersion IPVersion = Id_IPv4;
};

// What a lookup found: the addresses of the name in the order they should be
// tried, or why there are none.
struct TIdLookupResult {
    enum TStatus { Found, NotFound, TimedOut, Failed };
    TStatus Status = Failed;
    std::string Text; // the resolver's reason when not found
    std::vector<TIdResolvedAddress> Addresses;
};

class TIdLookup {
public:
    using TDone = std::function<void(TIdLookupResult AResult)>;

    TIdLookup();
    ~TIdLookup(); // abandons a lookup in progress
    TIdLookup(const TIdLookup&) = delete;
    TIdLookup& operator=(const TIdLookup&) = delete;

    // Looks up AHost: a literal stands for itself; "localhost" in any letter
    // case is the IPv4 then the IPv6 loopback; any other name is looked up
    // (hosts file, then DNS) for both families. ADone runs once on ALoop,
    // never inside this call, unless the lookup is abandoned first. ATimeout:
    // milliseconds, negative for none. A lookup already running is abandoned.
    void Start(TIdEventLoop& ALoop, const std::string& AHost, int ATimeout, TDone ADone);
    void Cancel();
    bool Running() const;

    // The answer for a literal or "localhost", which needs no query.
    static bool Immediate(const std::string& AHost, std::vector<TIdResolvedAddress>& AAddresses);

    // The name servers to ask instead of those of /etc/resolv.conf, as
    // "IP:port[,IP:port...]"; empty restores the system's. For tests that
    // need a resolver which never answers.
    static void SetServers(const std::string& AServers);

    class TState;

private:
    std::shared_ptr<TState> FState;
};

} // namespace kestrune
