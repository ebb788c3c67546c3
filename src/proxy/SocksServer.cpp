#include "proxy/SocksServer.h"

#include "net/Relay.h"
#include "net/SimpleServer.h"
#include "net/TCPClient.h"

namespace kestrune {

TIdSocksServer::~TIdSocksServer() {
    SetActive(false);
}

void TIdSocksServer::RelayConnections(TIdTCPConnection& A, TIdTCPConnection& B, size_t ASize) {
    TIdRelay relay(A, B, ASize, ASize);
    relay.Run();
}

void TIdSocksServer::SendGranted(TIdSocksServerContext& AContext, const std::string& AHost,
                                 TIdPort APort) {
    if (AContext.SocksVersion() == 4)
        SendSocks4Reply(AContext, 90, AHost, APort);
    else
        SendSocks5Reply(AContext, 0, AHost, APort);
}

void TIdSocksServer::Admit(const TIdOnBeforeEvent& AEvent, TIdSocksServerContext& AContext,
                           std::string& VHost, TIdPort& VPort) {
    bool allowed = true;
    if (AEvent)
        AEvent(AContext, VHost, VPort, allowed);
    if (!allowed) {
        SendSocksError(AContext, 91, 2);
        throw EIdSocksSvrAccessDenied();
    }
}

void TIdSocksServer::RelayAndClose(TIdSocksServerContext& AContext, TIdTCPConnection& ATarget) {
    // The target's socket moves to a connection that lives with the relay,
    // past this command.
    auto target = std::make_unique<TIdTCPConnection>(ATarget.ReleaseIOHandler());
    const size_t size = EffectiveBufferSize();
    auto relay = std::make_unique<TIdRelay>(*AContext.Connection(), *target, size, size);
    TIdTCPConnection& remote = *target;
    relay->Own(std::move(target));
    // The command's waits are over: its wake-up descriptor is not kept for
    // the life of the relay.
    AContext.ReleaseCommandWakeUp();
    AContext.HandOver(std::move(relay), [&AContext, &remote](TIdRelay::TIdRelayEnd) {
        remote.Disconnect();
        AContext.Connection()->Disconnect();
    });
}

void TIdSocksServer::CommandConnect(TIdSocksServerContext& AContext, const std::string& AHost,
                                    TIdPort APort) {
    std::string host = AHost;
    TIdPort port = APort;
    Admit(OnBeforeSocksConnect, AContext, host, port);

    TIdTCPClient target;
    target.Host = host;
    target.Port = port;
    target.IPVersion = AContext.IPVersion();
    target.ConnectTimeout = CommandTimeout;
    target.UseNagle = false;
    target.SetWakeUp(AContext.CommandWakeUp());
    try {
        target.Connect();
    } catch (...) {
        SendSocksError(AContext, 91, 4);
        throw;
    }
    const TIdSocketHandle& local = target.IOHandler()->Binding();
    SendGranted(AContext, local.IP, local.Port);
    RelayAndClose(AContext, target);
}

void TIdSocksServer::CommandBind(TIdSocksServerContext& AContext, const std::string& AHost,
                                 TIdPort APort) {
    std::string host = AHost;
    TIdPort port = APort;
    Admit(OnBeforeSocksBind, AContext, host, port);

    TIdSimpleServer listener;
    listener.IPVersion = AContext.IPVersion();
    listener.SetWakeUp(AContext.CommandWakeUp());
    try {
        listener.BeginListen();
    } catch (...) {
        SendSocksError(AContext, 91, 1);
        throw;
    }
    SendGranted(AContext, listener.Binding().IP, listener.Binding().Port);
    try {
        listener.Listen(CommandTimeout);
    } catch (...) {
        SendSocksError(AContext, 93, 1);
        throw;
    }
    const TIdSocketHandle& peer = listener.Binding();
    bool allowed = true;
    if (OnVerifyBoundPeer)
        OnVerifyBoundPeer(AContext, host, peer.PeerIP, allowed);
    if (!allowed) {
        listener.Disconnect();
        SendSocksError(AContext, 91, 1);
        throw EIdSocksSvrPeerMismatch();
    }
    SendGranted(AContext, peer.PeerIP, peer.PeerPort);
    listener.Binding().SetNoDelay(true);
    RelayAndClose(AContext, listener);
}

} // namespace kestrune
