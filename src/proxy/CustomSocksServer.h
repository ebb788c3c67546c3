// The SOCKS server protocol: one SOCKS4/4a or SOCKS5 request per accepted
// connection, read as its bytes arrive, checked and answered up to the
// dispatch of its command. The commands themselves are TIdSocksServer's.
//
// Properties and events are set by the controlling thread while the server is
// inactive. OnAuthenticate, OnBeforeSocksConnect, OnBeforeSocksBind and
// OnVerifyBoundPeer run on the event loops of the connections, several at
// once, and must not wait for the controlling thread.
#pragma once

#include "net/CustomTCPServer.h"
#include "proxy/SocksServerContext.h"
#include "proxy/SocksSvrException.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kestrune {

class TIdCustomSocksServer : public TIdCustomTCPServer {
public:
    using TIdOnAuthenticate =
        std::function<void(TIdSocksServerContext& AContext, bool& AAuthenticated)>;
    using TIdOnBeforeEvent = std::function<void(TIdSocksServerContext& AContext, std::string& VHost,
                                                TIdPort& VPort, bool& VAllowed)>;
    // APeer is the accepted connection's socket: its PeerIP and PeerPort.
    using TIdOnVerifyEvent =
        std::function<void(TIdSocksServerContext& AContext, const std::string& AHost,
                           const TIdSocketHandle& APeer, bool& VAllowed)>;

    static constexpr size_t MinBufferSize = 4096;
    static constexpr size_t MaxBufferSize = 4194304;
    static constexpr int CommandTimeout = 120000;

    TIdCustomSocksServer();
    ~TIdCustomSocksServer() override;

    bool NeedsAuthentication = false;
    bool AllowSocks4 = true;
    bool AllowSocks5 = true;
    // Bytes; the relay clamps it to MinBufferSize .. MaxBufferSize.
    int BufferSize = 4096;
    // Milliseconds the request exchange may take, from the first byte read to
    // the dispatch of the command; 0 or less waits without limit. A client
    // that has not finished its request by then is closed without a reply.
    int RequestTimeout = 0;
    // A client whose first byte is an ASCII letter speaks HTTP proxy;
    // otherwise it is closed without a byte, as any other than 4 or 5 is.
    bool AllowHttp = false;

    // Unassigned: every login fails.
    TIdOnAuthenticate OnAuthenticate;
    // Unassigned: every request is admitted.
    TIdOnBeforeEvent OnBeforeSocksConnect;
    TIdOnBeforeEvent OnBeforeSocksBind;
    // Asked for each connection that reaches a BIND's listener from the
    // address the request named; one it refuses is closed and the wait goes
    // on. Unassigned: every such peer is admitted.
    TIdOnVerifyEvent OnVerifyBoundPeer;

    // The block size S of the relay.
    size_t EffectiveBufferSize() const;

    // Each reply is one write of the whole message. An address text that is
    // not a literal of the reply's family gives an all-zero address field.
    static void SendSocks4Reply(TIdSocksServerContext& AContext, uint8_t ACode,
                                const std::string& AHost, TIdPort APort);
    // ATYP and the address's length follow the family of AHost; without an
    // address (a refusal) they follow the request's.
    static void SendSocks5Reply(TIdSocksServerContext& AContext, uint8_t ACode,
                                const std::string& AHost, TIdPort APort);
    static void SendMethodReply(TIdSocksServerContext& AContext, uint8_t AMethod);
    static void SendLoginReply(TIdSocksServerContext& AContext, uint8_t AStatus);
    // Code 91 (SOCKS4) or ASocks5Code with zero address and port, then the
    // client connection is closed, also when the reply could not be written.
    static void SendSocksError(TIdSocksServerContext& AContext, uint8_t ASocks5Code);
    static void SendSocksError(TIdSocksServerContext& AContext, uint8_t ASocks4Code,
                               uint8_t ASocks5Code);

protected:
    // Starts the limit on the request exchange.
    void ConnectContext(TIdContext& AContext) override;
    // Takes the request in as far as its bytes have come; one request per
    // connection.
    bool ExecuteContext(TIdContext& AContext) override;
    void TerminateContext(TIdContext& AContext) override;

    // All are refused as unsupported commands here; TIdSocksServer serves
    // them. UDP ASSOCIATE comes only from SOCKS5 clients. A command that
    // waits for something returns at once and carries on from the loop;
    // the client's bytes are not read meanwhile.
    virtual void CommandConnect(TIdSocksServerContext& AContext, const std::string& AHost,
                                TIdPort APort);
    virtual void CommandBind(TIdSocksServerContext& AContext, const std::string& AHost,
                             TIdPort APort);
    virtual void CommandUdpAssociate(TIdSocksServerContext& AContext, const std::string& AHost,
                                     TIdPort APort);
    // A client that speaks HTTP: refused here like a wrong version.
    virtual void StartHttp(TIdSocksServerContext& AContext);

private:
    friend class THttpSession;
    // Each takes one message from the input buffer when it is all there;
    // false while bytes are missing.
    bool ReadSocks4Request(TIdSocksServerContext& AContext);
    bool ReadMethods(TIdSocksServerContext& AContext);
    bool ReadLogin(TIdSocksServerContext& AContext);
    bool ReadSocks5Request(TIdSocksServerContext& AContext);
    void Dispatch(TIdSocksServerContext& AContext, uint8_t ACommand);
    bool Authenticate(TIdSocksServerContext& AContext);

protected:
    [[noreturn]] static void RefuseCommand(TIdSocksServerContext& AContext);
};

} // namespace kestrune
