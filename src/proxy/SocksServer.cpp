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

TIdSocksRoute TIdSocksServer::Route(TIdSocksServerContext& AContext, const std::string& AHost,
                                    TIdPort APort) {
    TIdSocksRoute route;
    if (OnRoute)
        OnRoute(AContext, AHost, APort, route);
    if (!route.Allowed)
        RefuseTarget(AContext, AHost, APort);
    return route;
}

void TIdSocksServer::RefuseTarget(TIdSocksServerContext& AContext, const std::string& AHost,
                                  TIdPort APort) {
    if (OnTargetRefused)
        OnTargetRefused(AContext, AHost, APort);
    // [5, connection not allowed by ruleset] or [0, 91]
    SendSocksError(AContext, 91, 2);
    throw EIdSocksSvrAccessDenied();
}

void TIdSocksServer::CommandConnect(TIdSocksServerContext& AContext, const std::string& AHost,
                                    TIdPort APort) {
    std::string host = AHost;
    TIdPort port = APort;
    Admit(OnBeforeSocksConnect, AContext, host, port);
    AContext.FHost = host;
    AContext.FPort = port;
    TIdSocksRoute route = Route(AContext, host, port);

    AContext.FTarget = std::make_unique<TIdTCPClient>();
    TIdTCPClient& target = *AContext.FTarget;
    target.Host = host;
    target.Port = port;
    target.IPVersion = AContext.IPVersion();
    target.ConnectTimeout = CommandTimeout;
    target.UseNagle = false;
    target.Via = route.Via;
    target.BoundIP = route.BoundIP;
    target.OnAddress = std::move(route.OnAddress);
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

namespace {

// The SOCKS5 reply for a connect that did not succeed.
uint8_t ReplyFor(const TIdTCPClient& ATarget, TIdTCPClient::TIdConnectResult AResult) {
    const bool upstream = ATarget.Via.Kind != TUpstream::Direct;
    switch (AResult) {
    case TIdTCPClient::crNotAllowed:
        return 2; // connection not allowed by ruleset
    case TIdTCPClient::crCannotBind:
    case TIdTCPClient::crUpstreamFailed:
        return 1; // general failure
    case TIdTCPClient::crUpstreamRefused:
        // A SOCKS5 upstream's own reply is passed on; an HTTP one's 403 is
        // a refusal by its rules, any other status a refused connection.
        if (ATarget.Via.Kind == TUpstream::Socks5)
            return static_cast<uint8_t>(ATarget.UpstreamCode());
        if (ATarget.Via.Kind == TUpstream::Http)
            return ATarget.UpstreamCode() == 403 ? 2 : 5;
        return 1;
    default:
        // The target (or the upstream that should reach it) could not be reached.
        return upstream ? 1 : 4;
    }
}

} // namespace

void TIdSocksServer::Connected(TIdSocksServerContext& AContext,
                               TIdTCPClient::TIdConnectResult AResult) {
    if (AResult != TIdTCPClient::crConnected) {
        TIdTCPClient& target = *AContext.FTarget;
        if (AResult == TIdTCPClient::crNotAllowed)
            RefuseTarget(AContext, AContext.FHost, AContext.FPort);
        if (AResult == TIdTCPClient::crNoDescriptors)
            ResourcesShort("no free descriptors");
        if (OnConnectFailed)
            OnConnectFailed(AContext, target, AResult);
        SendSocksError(AContext, 91, ReplyFor(target, AResult));
        if (AResult == TIdTCPClient::crTimedOut)
            throw EIdConnectTimeout();
        throw EIdSocketError(target.LastError());
    }
    const TIdSocketHandle& local = AContext.FTarget->IOHandler()->Binding();
    SendGranted(AContext, local.IP, local.Port);
    RelayAndClose(AContext, *AContext.FTarget);
    // Its socket has gone to the relay; the rest would only sit beside it
    // for the life of the connection.
    AContext.FTarget.reset();
}

void TIdSocksServer::CommandBind(TIdSocksServerContext& AContext, const std::string& AHost,
                                 TIdPort APort) {
    std::string host = AHost;
    TIdPort port = APort;
    Admit(OnBeforeSocksBind, AContext, host, port);
    AContext.FHost = host;
    AContext.FPort = port;
    // The peer a BIND waits for is a target like a CONNECT's; no upstream
    // listens for us.
    TIdSocksRoute route = Route(AContext, host, port);
    if (route.Via.Kind != TUpstream::Direct)
        RefuseCommand(AContext);
    AContext.FAdmitPeer = std::move(route.OnAddress);

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
                                       if (!AContext.FAdmitPeer || AContext.FAdmitPeer(address))
                                           if (const auto ip = TIpAddress::Parse(address.IP))
                                               AContext.FExpected.push_back(ip->Unmapped().Text());
                                   // Every address it may come from is refused.
                                   if (AContext.FExpected.empty())
                                       RefuseTarget(AContext, AContext.FHost, AContext.FPort);
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
            if (AContext.FAdmitPeer &&
                !AContext.FAdmitPeer({APeer.PeerIP, IPVersionOf(APeer.PeerIP)}))
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
    // Datagrams cannot go through an upstream proxy.
    if (OnRoute) {
        TIdSocksRoute route;
        OnRoute(AContext, std::string(), 0, route);
        if (route.Via.Kind != TUpstream::Direct)
            RefuseCommand(AContext);
    }
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
    association->BoundIP = UdpBoundIP == "same" ? reached->IP : UdpBoundIP;
    if (OnDatagram)
        association->OnTarget = [this, &AContext](const std::string& AName,
                                                  const std::string& AAddress,
                                                  TIdPort ATargetPort) {
            return OnDatagram(AContext, AName, AAddress, ATargetPort);
        };
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

void TIdSocksServer::StartHttp(TIdSocksServerContext& AContext) {
    AContext.FSocksVersion = 0;
    AContext.FHttp = std::make_unique<THttpSession>(*this, AContext);
    AContext.FHttp->Start();
}

} // namespace kestrune
