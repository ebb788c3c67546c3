// A TCP server that forwards every accepted connection, unchanged, to one
// fixed remote address through an outbound connection of its own.
//
// Every event runs on the event loop of the connection concerned, which also
// makes the outbound connection and relays, and must not wait for the thread
// that activates the server. TIdServerContext::Terminate() and its relay's
// Close() are the calls another thread (a drop, deactivation) may make on a
// live mapping.
#pragma once

#include "net/CustomTCPServer.h"
#include "net/OwnEndpoints.h"
#include "net/Relay.h"
#include "net/TCPClient.h"

#include <functional>
#include <memory>
#include <string>

namespace kestrune {

class TIdMappedPortTCP;

class TIdMappedPortContext : public TIdServerContext {
public:
    TIdMappedPortContext(TIdCustomTCPServer& AServer,
                         std::unique_ptr<TIdTCPConnection> AConnection);
    ~TIdMappedPortContext() override;

    TIdMappedPortTCP& MappedServer() const;
    // The connection to the remote side; nullptr until ConnectOutbound made it.
    TIdTCPClient* OutboundClient() const { return FOutboundClient.get(); }

    // The block that OnExecute or OnOutboundData is looking at; what the
    // handler leaves here is what gets written, and an emptied block is dropped.
    TIdBytes FNetData;
    // Milliseconds for the outbound connect; -1 lets the system's own
    // connect attempt decide.
    int FConnectTimeOut = -1;

protected:
    friend class TIdMappedPortTCP;

    // Makes the outbound connection and starts connecting it; the relay
    // starts once it is up.
    virtual void ConnectOutbound();
    // Hands the mapping to a relay on the loop, which carries it until both
    // directions have ended or it was closed, and then fires
    // OnOutboundDisconnect when the remote side was the one that ended.
    // Answers whether the relay was handed over.
    virtual bool Relay();
    virtual void RelayClientData(TIdBytes& ABlock);
    virtual void RelayOutboundData(TIdBytes& ABlock);
    void Abandon() override;

private:
    void OutboundDone(TIdTCPClient::TIdConnectResult AResult);

    std::unique_ptr<TIdTCPClient> FOutboundClient;
    // The outbound connection's local end, known as the gateway's own while
    // this mapping lives.
    TIdOwnEndpoints::TEntryPtr FOutboundEndpoint;
};

class TIdMappedPortTCP : public TIdCustomTCPServer {
public:
    TIdMappedPortTCP();
    ~TIdMappedPortTCP() override;

    std::string MappedHost;
    TIdPort MappedPort = 0;
    // Bytes: the largest block read from the remote side, also given to the
    // outbound connection as its send size. 0 or less keeps the framework's
    // 32768.
    int BufferSize = 0;
    // The local address outbound connections leave from: empty for the
    // system's choice, "same" for the address the client came by.
    std::string BoundIP;
    // The upstream proxy outbound connections go through; Direct for none.
    TUpstream Via;
    // An outbound connect failed (run before the client is closed).
    std::function<void(TIdMappedPortContext& AContext, const TIdTCPClient& AOutbound,
                       TIdTCPClient::TIdConnectResult AResult)>
        OnOutboundFailed;

    // OnConnect (inherited) fires once the outbound connection object exists
    // and before it connects; a handler that disconnects the client there
    // prevents the outbound connect. The client's bytes wait in the system
    // until the outbound connection is up. OnExecute (inherited) sees each block
    // from the client; OnDisconnect (inherited) fires at the end of every
    // mapping, before the outbound connection is closed.
    TIdServerThreadEvent OnBeforeConnect;
    TIdServerThreadEvent OnOutboundConnect;
    TIdServerThreadEvent OnOutboundData;
    TIdServerThreadEvent OnOutboundDisconnect;

protected:
    void ConnectContext(TIdContext& AContext) override;
    bool ExecuteContext(TIdContext& AContext) override;
    void DisconnectContext(TIdContext& AContext) override;
    void TerminateContext(TIdContext& AContext) override;

    virtual void NotifyBeforeConnect(TIdMappedPortContext& AContext);
    virtual void NotifyConnect(TIdMappedPortContext& AContext);
    virtual void NotifyClientData(TIdMappedPortContext& AContext);
    virtual void NotifyOutboundConnect(TIdMappedPortContext& AContext);
    virtual void NotifyOutboundData(TIdMappedPortContext& AContext);
    // Fires OnOutboundDisconnect, then disconnects the client.
    virtual void NotifyOutboundDisconnect(TIdMappedPortContext& AContext);

private:
    friend class TIdMappedPortContext;
};

} // namespace kestrune
