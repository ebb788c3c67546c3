#include "proxy/SocksServer.h"

#include "base/IpAddress.h"
#include "net/Relay.h"
#include "net/Resolver.h"
#include "net/SimpleServer.h"
#include "net/TCPClient.h"
#include "proxy/UDPAssociation.h"

#include <algorithm>
#include <vector>

namespace kestrune {

TIdSocksServer::~TIdSocksServer() {
    SetActive(false);
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

    // The one-shot listener opens no door to the world: it listens only on
    // the address by which the client reached this server, and admits only
    // a peer from the address the request named (unless that is "any").
    const TIdSocketHandle* reached = AContext.Binding();
    const TIdWakeUpPtr wakeUp = AContext.CommandWakeUp();
    TIdSimpleServer listener;
    listener.IPVersion = reached ? reached->IPVersion : AContext.IPVersion();
    listener.BoundIP = reached ? reached->IP : std::string();
    listener.SetWakeUp(wakeUp);
    std::vector<TIpAddress> expected;
    try {
        const auto named = TIpAddress::Parse(host);
        if (!named || !named->IsAny()) {
            const TIdWakeUpPtr wakeUps[] = {wakeUp};
            for (const TIdResolvedAddress& address :
                 TIdResolver::Resolve(host, wakeUps, CommandTimeout))
                if (const auto ip = TIpAddress::Parse(address.IP))
                    expected.push_back(ip->Unmapped());
        }
        listener.BeginListen();
    } catch (...) {
        SendSocksError(AContext, 91, 1);
        throw;
    }
    SendGranted(AContext, listener.Binding().IP, listener.Binding().Port);
    try {
        listener.Listen(CommandTimeout, [&](const TIdSocketHandle& APeer) {
            const auto from = TIpAddress::Parse(APeer.PeerIP);
            if (!expected.empty() && (!from || std::find(expected.begin(), expected.end(),
                                                         from->Unmapped()) == expected.end()))
                return false;
            bool allowed = true;
            if (OnVerifyBoundPeer)
                OnVerifyBoundPeer(AContext, host, APeer, allowed);
            return allowed;
        });
    } catch (...) {
        SendSocksError(AContext, 93, 1);
        throw;
    }
    const TIdSocketHandle& peer = listener.Binding();
    SendGranted(AContext, peer.PeerIP, peer.PeerPort);
    listener.Binding().SetNoDelay(true);
    RelayAndClose(AContext, listener);
}

void TIdSocksServer::CommandUdpAssociate(TIdSocksServerContext& AContext, const std::string&,
                                         TIdPort APort) {
    if (!AllowUdpAssociate)
        RefuseCommand(AContext);
    // The slot is held for as long as the association lives.
    if (++FAssociations > MaxAssociations) {
        --FAssociations;
        SendSocksError(AContext, 1);
        throw EIdSocksSvrNotSupported();
    }
    struct TSlot {
        std::atomic<int>& Count;
        ~TSlot() { --Count; }
    } slot{FAssociations};

    const TIdSocketHandle* reached = AContext.Binding();
    if (!reached) {
        SendSocksError(AContext, 1);
        throw EIdNotConnected();
    }
    TUDPAssociation association(reached->PeerIP, APort, EffectiveBufferSize(), UdpIdleTimeout);
    try {
        association.Open(reached->IP, reached->IPVersion);
    } catch (...) {
        SendSocksError(AContext, 1);
        throw;
    }
    if (OnUdpAssociate)
        OnUdpAssociate(AContext);
    SendGranted(AContext, association.Binding().IP, association.Binding().Port);
    association.Run(*AContext.Connection(), AContext.CommandWakeUp());
    AContext.Connection()->Disconnect();
}

} // namespace kestrune
