// The SOCKS server of a proxy service: the protocol of TIdCustomSocksServer
// plus its two commands, CONNECT (an outbound connection) and BIND (one
// incoming connection), each relayed with the client until both sides end.
//
// The commands run on the client connection's thread, their relays on an
// event loop. Drop, deactivation or TIdSocksServerContext::Close() from
// another thread end a pending connect or BIND wait at once.
#pragma once

#include "proxy/CustomSocksServer.h"

namespace kestrune {

class TIdSocksServer : public TIdCustomSocksServer {
public:
    TIdSocksServer() = default;
    ~TIdSocksServer() override;

    // Relays between the client connection A and the target connection B in
    // blocks of at most ASize bytes each way; returns when both directions
    // have ended or either connection was closed or failed.
    static void RelayConnections(TIdTCPConnection& A, TIdTCPConnection& B, size_t ASize);

protected:
    void CommandConnect(TIdSocksServerContext& AContext, const std::string& AHost,
                        TIdPort APort) override;
    void CommandBind(TIdSocksServerContext& AContext, const std::string& AHost,
                     TIdPort APort) override;

private:
    // Raises the admission event; a refusal is answered, closed and raised.
    static void Admit(const TIdOnBeforeEvent& AEvent, TIdSocksServerContext& AContext,
                      std::string& VHost, TIdPort& VPort);
    // Hands the client and ATarget's socket to a relay on an event loop,
    // which closes both once both directions have ended; the connection's
    // thread is free once the command returns.
    void RelayAndClose(TIdSocksServerContext& AContext, TIdTCPConnection& ATarget);
    static void SendGranted(TIdSocksServerContext& AContext, const std::string& AHost,
                            TIdPort APort);
};

} // namespace kestrune
