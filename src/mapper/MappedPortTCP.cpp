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

bool TIdMappedPortContext::Terminate() {
    std::lock_guard<std::mutex> lock(FLock);
    FTerminated = true;
    if (FConnectWakeUp)
        FConnectWakeUp->Signal();
    TIdIOHandlerStack* io = Connection() ? Connection()->IOHandler() : nullptr;
    const bool wasOpen = io && io->Close();
    return wasOpen && !FFinished;
}

void TIdMappedPortContext::ConnectOutbound() {
    TIdMappedPortTCP& server = MappedServer();
    FOutboundClient = std::make_unique<TIdTCPClient>();
    FOutboundClient->Port = server.MappedPort;
    FOutboundClient->Host = server.MappedHost;
    server.NotifyConnect(*this);

    // The wake-up is this mapping's own, so that a drop ends its connect as
    // a stop does; the server's stop reaches it through Terminate().
    auto wakeUp = std::make_shared<TIdWakeUp>();
    {
        std::lock_guard<std::mutex> lock(FLock);
        // A handler that closed the client (a refusal), a drop or a stop
        // before this point leaves nobody to connect for: none of the
        // client's bytes may reach the remote side.
        TIdIOHandlerStack* io = Connection()->IOHandler();
        if (FTerminated || !io || !io->Opened())
            throw EIdNotConnected();
        FConnectWakeUp = wakeUp;
    }
    FOutboundClient->SetWakeUp(wakeUp);
    FOutboundClient->ConnectTimeout = FConnectTimeOut;
    try {
        FOutboundClient->Connect();
    } catch (...) {
        std::lock_guard<std::mutex> lock(FLock);
        FConnectWakeUp.reset();
        throw;
    }
    {
        std::lock_guard<std::mutex> lock(FLock);
        FConnectWakeUp.reset();
    }
    const TIdSocketHandle& local = FOutboundClient->IOHandler()->Binding();
    FOutboundEndpoint =
        TIdOwnEndpoints::AddConnection(local.IP, local.Port, local.PeerIP, local.PeerPort);
    // The relay needs no wake-up: its descriptor goes now, not with the mapping.
    FOutboundClient->SetWakeUp(nullptr);
    if (server.BufferSize > 0) {
        FOutboundClient->IOHandler()->RecvBufferSize = server.BufferSize;
        FOutboundClient->IOHandler()->SendBufferSize = server.BufferSize;
    }
    server.NotifyOutboundConnect(*this);
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
        {
            std::lock_guard<std::mutex> lock(FLock);
            FFinished = true;
        }
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

bool TIdMappedPortTCP::ExecuteContext(TIdContext& AContext) {
    // The relay carries both directions to their end on an event loop, so
    // one pass is the whole mapping.
    static_cast<TIdMappedPortContext&>(AContext).Relay();
    return false;
}

void TIdMappedPortTCP::DisconnectContext(TIdContext& AContext) {
    auto& context = static_cast<TIdMappedPortContext&>(AContext);
    {
        std::lock_guard<std::mutex> lock(context.FLock);
        context.FFinished = true;
    }
    TIdCustomTCPServer::DisconnectContext(AContext);
    if (context.FOutboundClient)
        context.FOutboundClient->Disconnect();
}

void TIdMappedPortTCP::TerminateContext(TIdContext& AContext) {
    static_cast<TIdMappedPortContext&>(AContext).Terminate();
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
