// The SOCKS server of a proxy service: the protocol of TIdCustomSocksServer
// plus its commands: CONNECT (an outbound connection), BIND (one incoming
// connection), each relayed with the client until both sides end, and UDP
// ASSOCIATE (a relay of datagrams for as long as the client's connection).
//
// The commands, their waits and their relays run on the client
// connection's event loop; a drop or deactivation ends a pending connect,
// lookup or BIND wait at once.
#pragma once

#include "base/Upstream.h"
#include "proxy/CustomSocksServer.h"

#include <atomic>
#include <functional>
#include <string>

namespace kestrune {

// How one request's target is to be reached, as the service decides it.
struct TIdSocksRoute {
    bool Allowed = true;
    // The upstream proxy to go through; Direct for none.
    TUpstream Via;
    // Asked for each address a name resolves to before it is tried (and for
    // a BIND, for each address its peer may come from); unset admits all.
    std::function<bool(const TIdResolvedAddress& AAddress)> OnAddress;
    // The local address outbound connections leave from; empty for the
    // system's choice.
    std::string BoundIP;
};

class TIdSocksServer : public TIdCustomSocksServer {
public:
    using TIdOnRouteEvent =
        std::function<void(TIdSocksServerContext& AContext, const std::string& AHost, TIdPort APort,
                           TIdSocksRoute& VRoute)>;
    using TIdOnTargetEvent = std::function<void(TIdSocksServerContext& AContext,
                                                const std::string& AHost, TIdPort APort)>;
    using TIdOnConnectFailedEvent =
        std::function<void(TIdSocksServerContext& AContext, const TIdTCPClient& ATarget,
                           TIdTCPClient::TIdConnectResult AResult)>;
    // Judges a datagram's target: false drops it. AAddress is empty for a
    // name not looked up yet, when only a refusal that the name alone
    // decides counts.
    using TIdOnDatagramEvent =
        std::function<bool(TIdSocksServerContext& AContext, const std::string& AName,
                           const std::string& AAddress, TIdPort APort)>;

    TIdSocksServer() = default;
    ~TIdSocksServer() override;

    // Associations open at once per server, at most; one more is refused
    // with "general failure".
    static constexpr int MaxAssociations = 256;
    // UDP ASSOCIATE is served only when set; otherwise refused as an
    // unsupported command.
    bool AllowUdpAssociate = false;
    // Milliseconds an association may go without a datagram either way.
    int UdpIdleTimeout = 300000;
    // Raised once an association is open, before it is announced.
    TIdServerThreadEvent OnUdpAssociate;
    // Told of each datagram an association drops for want of a name lookup.
    TIdServerThreadEvent OnUdpDropped;
    // Decides how the target of a CONNECT (or a BIND's peer) is reached.
    // Unassigned: directly, every target allowed.
    TIdOnRouteEvent OnRoute;
    // A target refused by the route (or every address of it): told before
    // the refusal is answered.
    TIdOnTargetEvent OnTargetRefused;
    // An outbound connect failed (not for want of an allowed address).
    TIdOnConnectFailedEvent OnConnectFailed;
    // Asked for every datagram of an association; unassigned admits all.
    TIdOnDatagramEvent OnDatagram;
    // The local address an association's datagrams leave from: empty for
    // the system's choice, "same" for the address the client came by.
    std::string UdpBoundIP;

protected:
    void CommandConnect(TIdSocksServerContext& AContext, const std::string& AHost,
                        TIdPort APort) override;
    void CommandBind(TIdSocksServerContext& AContext, const std::string& AHost,
                     TIdPort APort) override;
    void CommandUdpAssociate(TIdSocksServerContext& AContext, const std::string& AHost,
                             TIdPort APort) override;
    void StartHttp(TIdSocksServerContext& AContext) override;

private:
    friend class THttpSession;
    // Raises the admission event; a refusal is answered, closed and raised.
    static void Admit(const TIdOnBeforeEvent& AEvent, TIdSocksServerContext& AContext,
                      std::string& VHost, TIdPort& VPort);
    void Connected(TIdSocksServerContext& AContext, TIdTCPClient::TIdConnectResult AResult);
    // The route of a request, or a refusal answered and raised.
    TIdSocksRoute Route(TIdSocksServerContext& AContext, const std::string& AHost, TIdPort APort);
    [[noreturn]] void RefuseTarget(TIdSocksServerContext& AContext, const std::string& AHost,
                                   TIdPort APort);
    void Listen(TIdSocksServerContext& AContext);
    void Accepted(TIdSocksServerContext& AContext, bool AAccepted);
    // Hands the client and ATarget's socket to a relay on the loop, which
    // closes both once both directions have ended.
    void RelayAndClose(TIdSocksServerContext& AContext, TIdTCPConnection& ATarget);
    std::atomic<int> FAssociations{0};

    static void SendGranted(TIdSocksServerContext& AContext, const std::string& AHost,
                            TIdPort APort);
};

} // namespace kestrune
