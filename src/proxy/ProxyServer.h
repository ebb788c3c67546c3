// One configured SOCKS proxy server: its settings, its counters and the
// TIdSocksServer that serves it, tied to the access rules and the event log.
//
// Start, Stop, Drop and the destructor run on the main thread. The Socks*
// handlers run on the event loops of the connections, several at once; they
// reach the owner only through IServiceHost, whose calls never wait for the
// main thread.
#pragma once

#include "base/Service.h"
#include "base/ServiceSettings.h"
#include "proxy/SocksServer.h"

#include <memory>
#include <string>

namespace kestrune {

class TProxyServer : public TConfiguredService<TProxyServerSettings> {
public:
    explicit TProxyServer(IServiceHost& AHost);
    ~TProxyServer() override; // stops first

    void Start() override;
    void Stop() override;
    void Drop() override;
    bool Listening() const override;

    // The port actually listened on (the configured one, or the one the
    // system chose for port 0); 0 while stopped.
    TIdPort BoundPort() const;

    void SocksServerConnect(TIdContext& AContext);
    void SocksServerAuthenticate(TIdSocksServerContext& AContext, bool& AAuthenticated);
    void SocksServerDisconnect(TIdContext& AContext);

private:
    static std::string Peer(TIdContext& AContext);
    // The access rules' verdict on a client (or a BIND's peer); a refusal is
    // logged and counted.
    bool Admitted(const TIdSocketHandle& APeer);
    // How a request's target is reached: the destination rules, the upstream
    // (the deciding rule's, else the server's) and the outgoing address.
    void Route(TIdSocksServerContext& AContext, const std::string& AHost, TIdPort APort,
               TIdSocksRoute& VRoute);
    // The destination rules' verdict for one target of AContext's client.
    TDestinationVerdict Verdict(const TIdSocksServerContext& AContext, const std::string& AName,
                                const std::string& AAddress, TIdPort APort, bool ASkipAddresses);
    TUpstream ViaOf(const TDestinationVerdict& AVerdict) const;
    // "[name] Denied: IP:port -> HOST:PORT", collapsed like the others.
    void LogTargetDenied(TIdSocksServerContext& AContext, const std::string& AHost, TIdPort APort);
    void ConnectFailed(const TIdTCPClient& ATarget, TIdTCPClient::TIdConnectResult AResult);

    std::unique_ptr<TIdSocksServer> mSock;
    TUpstream mUpstream; // the server's Via, read at Start
};

} // namespace kestrune
