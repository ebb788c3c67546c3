#include "proxy/SocksServer.h"

#include "base/IpAddress.h"
#include "net/Exception.h"
#include "net/Relay.h"

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
    // The target's socket moves to a connection that lives with the relay.
    auto target = std::make_unique<TIdTCPConnection>(ATarget.ReleaseIOHandler());
    const size_t size = EffectiveBufferSize();
    auto relay = std::make_unique<TIdRelay>(*AContext.Connection(), *target, size, size);
    TIdTCPConnection& remote = *target;
    relay->Own(std::move(target));
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

    AContext.FTarget = std::make_unique<TIdTCPClient>();
    TIdTCPClient& target = *AContext.FTarget;
    target.Host = host;
    target.Port = port;
    target.IPVersion = AContext.IPVersion();
    target.ConnectTimeout = CommandTimeout;
    target.UseNagle = false;
    try {
        target.Connect(AContext.Loop(), [this, &AContext](TIdTCPClient::TIdConnectResult AResult) {
            AContext.Step([&] { Connected(AContext, AResult); });
        });
    } catch (...) {
        // No host or no port to connect to.
        SendSocksError(AContext, 91, 4);
        throw;
    }
}

void TIdSocksServer::Connected(TIdSocksServerContext& AContext,
                               TIdTCPClient::TIdConnectResult AResult) {
    if (AResult != TIdTCPClient::crConnected) {
        if (AResult == TIdTCPClient::crNoDescriptors)
            ResourcesShort("no free descriptors");
        SendSocksError(AContext, 91, 4);
        if (AResult == TIdTCPClient::crTimedOut)
            throw EIdConnectTimeout();
        throw EIdSocketError(AContext.FTarget->LastError());
    }
    const TIdSocketHandle& local = AContext.FTarget->IOHandler()->Binding();
    SendGranted(AContext, local.IP, local.Port);
    RelayAndClose(AContext, *AContext.FTarget);
}

void TIdSocksServer::CommandBind(TIdSocksServerContext& AContext, const std::string& AHost,
                                 TIdPort APort) {
    std::string host = AHost;
    TIdPort port = APort;
    Admit(OnBeforeSocksBind, AContext, host, port);
    AContext.FHost = host;

    // The one-shot listener opens no door to the world: it listens only on
    // the address by which the client reached this server, and admits only
    // a peer from the address the request named (unless that is "any").
    const TIdSocketHandle* reached = AContext.Binding();
    AContext.FListener = std::make_unique<TIdSimpleServer>();
    AContext.FListener->IPVersion = reached ? reached->IPVersion : AContext.IPVersion();
    AContext.FListener->BoundIP = reached ? reached->IP : std::string();
    AContext.FExpected.clear();
    const auto named = TIpAddress::Parse(host);
    if (named && named->IsAny()) {
        Listen(AContext);
        return;
    }
    AContext.FLookup.Start(AContext.Loop(), host, CommandTimeout,
                           [this, &AContext](TIdLookupResult AResult) {
                               AContext.Step([&] {
                                   if (AResult.Status != TIdLookupResult::Found) {
                                       SendSocksError(AContext, 91, 1);
                                       throw EIdSocketError(EHOSTUNREACH, AResult.Text);
                                   }
                                   for (const TIdResolvedAddress& address : AResult.Addresses)
                                       if (const auto ip = TIpAddress::Parse(address.IP))
                                           AContext.FExpected.push_back(ip->Unmapped().Text());
                                   Listen(AContext);
                               });
                           });
}

void TIdSocksServer::Listen(TIdSocksServerContext& AContext) {
    TIdSimpleServer& listener = *AContext.FListener;
    try {
        listener.BeginListen();
    } catch (...) {
        SendSocksError(AContext, 91, 1);
        throw;
    }
    SendGranted(AContext, listener.Binding().IP, listener.Binding().Port);
    listener.Listen(
        AContext.Loop(), CommandTimeout,
        [this, &AContext](const TIdSocketHandle& APeer) {
            const auto from = TIpAddress::Parse(APeer.PeerIP);
            const auto& expected = AContext.FExpected;
            if (!expected.empty() &&
                (!from || std::find(expected.begin(), expected.end(), from->Unmapped().Text()) ==
                              expected.end()))
                return false;
            bool allowed = true;
            if (OnVerifyBoundPeer)
                OnVerifyBoundPeer(AContext, AContext.FHost, APeer, allowed);
            return allowed;
        },
        [this, &AContext](bool AAccepted) {
            AContext.Step([&] { Accepted(AContext, AAccepted); });
        });
}

void TIdSocksServer::Accepted(TIdSocksServerContext& AContext, bool AAccepted) {
    if (!AAccepted) {
        SendSocksError(AContext, 93, 1);
        throw EIdAcceptTimeout();
    }
    TIdSimpleServer& listener = *AContext.FListener;
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
    std::shared_ptr<int> slot(new int(0), [this](int* APlace) {
        delete APlace;
        --FAssociations;
    });

    const TIdSocketHandle* reached = AContext.Binding();
    if (!reached) {
        SendSocksError(AContext, 1);
        throw EIdNotConnected();
    }
    auto association = std::make_unique<TUDPAssociation>(reached->PeerIP, APort,
                                                         EffectiveBufferSize(), UdpIdleTimeout);
    try {
        association->Open(reached->IP, reached->IPVersion);
    } catch (...) {
        SendSocksError(AContext, 1);
        throw;
    }
    if (OnUdpAssociate)
        OnUdpAssociate(AContext);
    SendGranted(AContext, association->Binding().IP, association->Binding().Port);
    AContext.FAssociation = std::move(association);
    AContext.FStage = TIdSocksServerContext::stAssociated;
    AContext.FAssociation->Start(
        AContext.Loop(), *AContext.Connection(), [&AContext, slot] { AContext.Finish(); },
        [this, &AContext] {
            if (OnUdpDropped)
                OnUdpDropped(AContext);
        });
    // The control connection is read again: its end (or reset) ends the
    // association.
    AContext.SetReading(true);
}

} // namespace kestrune
