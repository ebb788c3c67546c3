// The SOCKS server of a proxy service: the protocol of TIdCustomSocksServer
// plus its commands: CONNECT (an outbound connection), BIND (one incoming
// connection), each relayed with the client until both sides end, and UDP
// ASSOCIATE (a relay of datagrams for as long as the client's connection).
//
// The commands, their waits and their relays run on the client
// connection's event loop; a drop or deactivation ends a pending connect,
// lookup or BIND wait at once.
#pragma once

#include "proxy/CustomSocksServer.h"

#include <atomic>

namespace kestrune {

class TIdSocksServer : public TIdCustomSocksServer {
public:
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

protected:
    void CommandConnect(TIdSocksServerContext& AContext, const std::string& AHost,
                        TIdPort APort) override;
    void CommandBind(TIdSocksServerContext& AContext, const std::string& AHost,
                     TIdPort APort) override;
    void CommandUdpAssociate(TIdSocksServerContext& AContext, const std::string& AHost,
                             TIdPort APort) override;

private:
    // Raises the admission event; a refusal is answered, closed and raised.
    static void Admit(const TIdOnBeforeEvent& AEvent, TIdSocksServerContext& AContext,
                      std::string& VHost, TIdPort& VPort);
    void Connected(TIdSocksServerContext& AContext, TIdTCPClient::TIdConnectResult AResult);
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
