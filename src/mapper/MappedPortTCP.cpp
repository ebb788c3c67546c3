#include "mapper/MappedPortTCP.h"

#include "net/Exception.h"

#include <utility>

namespace kestrune {

TIdMappedPortContext::TIdMappedPortContext(TIdCustomTCPServer& AServer,
                                           std::unique_ptr<TIdTCPConnection> AConnection)
    : TIdServerContext(AServer, std::move(AConnection)) {}

TIdMappedPortContext::~TIdMappedPortContext() = default;

TIdMappedPortTCP& TIdMappedPortContext::MappedServer() const {
    return static_cast<TIdMappedPortTCP&>(Server());
}

void TIdMappedPortContext::ConnectOutbound() {
    TIdMappedPortTCP& server = MappedServer();
    FOutboundClient = std::make_unique<TIdTCPClient>();
    FOutboundClient->Port = server.MappedPort;
    FOutboundClient->Host = server.MappedHost;
    server.NotifyConnect(*this);
    // A handler that closed the client (a refusal) leaves nobody to connect
    // for: none of the client's bytes may reach the remote side.
    TIdIOHandlerStack* io = Connection()->IOHandler();
    if (Finished() || !io || !io->Opened())
        throw EIdNotConnected();
    FOutboundClient->ConnectTimeout = FConnectTimeOut;
    FOutboundClient->Via = server.Via;
    const TIdSocketHandle* reached = Binding();
    FOutboundClient->BoundIP =
        server.BoundIP == "same" ? (reached ? reached->IP : std::string()) : server.BoundIP;
    FOutboundClient->Connect(Loop(), [this](TIdTCPClient::TIdConnectResult AResult) {
        Step([&] { OutboundDone(AResult); });
    });
}

void TIdMappedPortContext::OutboundDone(TIdTCPClient::TIdConnectResult AResult) {
    TIdMappedPortTCP& server = MappedServer();
    if (AResult != TIdTCPClient::crConnected) {
        if (AResult == TIdTCPClient::crNoDescriptors)
            server.ResourcesShort("no free descriptors");
        if (server.OnOutboundFailed)
            server.OnOutboundFailed(*this, *FOutboundClient, AResult);
        // The client, which may have sent data already, gets nothing and
        // sees its connection closed.
        Connection()->Disconnect();
        if (AResult == TIdTCPClient::crTimedOut)
            throw EIdConnectTimeout();
        throw EIdSocketError(FOutboundClient->LastError());
    }
    const TIdSocketHandle& local = FOutboundClient->IOHandler()->Binding();
    FOutboundEndpoint =
        TIdOwnEndpoints::AddConnection(local.IP, local.Port, local.PeerIP, local.PeerPort);
    if (server.BufferSize > 0) {
        FOutboundClient->IOHandler()->RecvBufferSize = server.BufferSize;
        FOutboundClient->IOHandler()->SendBufferSize = server.BufferSize;
    }
    server.NotifyOutboundConnect(*this);
    if (!Relay())
        Finish();
}

void TIdMappedPortContext::Abandon() {
    if (FOutboundClient)
        FOutboundClient->Abort();
}

bool TIdMappedPortContext::Relay() {
    TIdTCPConnection& client = *Connection();
    if (!FOutboundClient || !client.IOHandler())
        return false;
    TIdMappedPortTCP& server = MappedServer();
    auto relay = std::make_unique<TIdRelay>(
        client, *FOutboundClient, static_cast<size_t>(client.IOHandler()->RecvBufferSize),
        static_cast<size_t>(FOutboundClient->IOHandler()->RecvBufferSize));
    // Hooks cost a copy per block, so they are set only for handlers that look.
    if (server.OnExecute)
        relay->OnClientData = [this](TIdBytes& ABlock) { RelayClientData(ABlock); };
    if (server.OnOutboundData)
        relay->OnRemoteData = [this](TIdBytes& ABlock) { RelayOutboundData(ABlock); };
    TIdRelay& handed = *relay;
    HandOver(std::move(relay), [this, &handed](TIdRelay::TIdRelayEnd AEnd) {
        if (AEnd != TIdRelay::reClosed && handed.RemoteEnded())
            MappedServer().NotifyOutboundDisconnect(*this);
    });
    return true;
}

void TIdMappedPortContext::RelayClientData(TIdBytes& ABlock) {
    FNetData.swap(ABlock);
    MappedServer().NotifyClientData(*this);
    FNetData.swap(ABlock);
    FNetData.clear();
}

void TIdMappedPortContext::RelayOutboundData(TIdBytes& ABlock) {
    FNetData.swap(ABlock);
    MappedServer().NotifyOutboundData(*this);
    FNetData.swap(ABlock);
    FNetData.clear();
}

TIdMappedPortTCP::TIdMappedPortTCP() {
    SetContextClass<TIdMappedPortContext>();
}

TIdMappedPortTCP::~TIdMappedPortTCP() {
    // The steps are this class's, so its connections must end while it exists.
    SetActive(false);
}

void TIdMappedPortTCP::ConnectContext(TIdContext& AContext) {
    auto& context = static_cast<TIdMappedPortContext&>(AContext);
    // The relay reads the client once the outbound connection is up; until
    // then only the client's close matters.
    context.SetReading(false);
    NotifyBeforeConnect(context);
    try {
        context.ConnectOutbound();
    } catch (...) {
        // The client, which may have sent data already, gets nothing and
        // sees its connection closed.
        context.Connection()->Disconnect();
        throw;
    }
}

bool TIdMappedPortTCP::ExecuteContext(TIdContext&) {
    // Nothing is read from the client before the relay carries the mapping.
    return true;
}

void TIdMappedPortTCP::DisconnectContext(TIdContext& AContext) {
    auto& context = static_cast<TIdMappedPortContext&>(AContext);
    TIdCustomTCPServer::DisconnectContext(AContext);
    if (context.FOutboundClient)
        context.FOutboundClient->Disconnect();
}

void TIdMappedPortTCP::TerminateContext(TIdContext& AContext) {
    auto& context = static_cast<TIdMappedPortContext&>(AContext);
    context.Abandon();
    context.Connection()->Disconnect();
}

void TIdMappedPortTCP::NotifyBeforeConnect(TIdMappedPortContext& AContext) {
    if (OnBeforeConnect)
        OnBeforeConnect(AContext);
}

void TIdMappedPortTCP::NotifyConnect(TIdMappedPortContext& AContext) {
    if (OnConnect)
        OnConnect(AContext);
}

void TIdMappedPortTCP::NotifyClientData(TIdMappedPortContext& AContext) {
    if (OnExecute)
        OnExecute(AContext);
}

void TIdMappedPortTCP::NotifyOutboundConnect(TIdMappedPortContext& AContext) {
    if (OnOutboundConnect)
        OnOutboundConnect(AContext);
}

void TIdMappedPortTCP::NotifyOutboundData(TIdMappedPortContext& AContext) {
    if (OnOutboundData)
        OnOutboundData(AContext);
}

void TIdMappedPortTCP::NotifyOutboundDisconnect(TIdMappedPortContext& AContext) {
    if (OnOutboundDisconnect)
        OnOutboundDisconnect(AContext);
    AContext.Connection()->Disconnect();
}

} // namespace kestrune
