// One SOCKS request on one accepted connection: what the request exchange
// learnt (version, credentials, address family), where the exchange stands,
// and what its command waits for (an outbound connect, a BIND's listener,
// an association).
//
// Everything here belongs to the loop that runs the connection (a drop from
// another thread goes through TIdServerContext::Terminate).
#pragma once

#include "net/Context.h"
#include "net/Resolver.h"
#include "net/SimpleServer.h"
#include "net/TCPClient.h"
#include "proxy/HttpProxy.h"
#include "proxy/UDPAssociation.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrune {

class TIpAddress;

class TIdSocksServerContext : public TIdServerContext {
public:
    TIdSocksServerContext(TIdCustomTCPServer& AServer,
                          std::unique_ptr<TIdTCPConnection> AConnection);
    ~TIdSocksServerContext() override;

    // Address family of the request: the family of the outbound connection
    // and the address type of SOCKS5 replies.
    TIdIPVersion IPVersion() const { return FIPVersion; }
    const std::string& Username() const { return FUsername; }
    const std::string& Password() const { return FPassword; }
    uint8_t SocksVersion() const { return FSocksVersion; }
    // The target the request named, as the client wrote it (a name or an
    // address) and its port, once the request has been read.
    const std::string& Host() const { return FHost; }
    TIdPort Port() const { return FPort; }

    // Closes the client connection and ends whatever the request's command
    // waits for. Answers whether the client connection was open until now.
    bool Close();

private:
    friend class TIdCustomSocksServer;
    friend class TIdSocksServer;
    friend class THttpSession;

    // Where the request exchange stands.
    enum TStage {
        stVersion,
        stSocks4,
        stMethods,
        stLogin,
        stRequest,
        stCommand,
        stAssociated,
        stHttp,
    };

    void Abandon() override;

    TIdIPVersion FIPVersion = Id_IPv4;
    std::string FUsername;
    std::string FPassword;
    uint8_t FSocksVersion = 0;
    std::string FHost;
    TIdPort FPort = 0;
    TStage FStage = stVersion;
    TIdLoopTimer FRequestTimer;
    // What the command waits for.
    std::unique_ptr<TIdTCPClient> FTarget;
    std::unique_ptr<TIdSimpleServer> FListener;
    TIdLookup FLookup;
    std::vector<std::string> FExpected; // the addresses a BIND's peer may come from
    std::function<bool(const TIdResolvedAddress&)> FAdmitPeer;
    std::unique_ptr<TUDPAssociation> FAssociation;
    std::unique_ptr<THttpSession> FHttp;
};

} // namespace kestrune
