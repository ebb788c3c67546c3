#include "proxy/ProxyServer.h"

#include "base/Text.h"
#include "net/Resolver.h"

namespace kestrune {

TProxyServer::TProxyServer(IServiceHost& AHost)
    : TConfiguredService(AHost), mSock(std::make_unique<TIdSocksServer>()) {
    mSock->OnConnect = [this](TIdContext& AContext) { SocksServerConnect(AContext); };
    mSock->OnAuthenticate = [this](TIdSocksServerContext& AContext, bool& AAuthenticated) {
        SocksServerAuthenticate(AContext, AAuthenticated);
    };
    mSock->OnDisconnect = [this](TIdContext& AContext) { SocksServerDisconnect(AContext); };
    // The peer that reaches a BIND is a client of this server too.
    mSock->OnVerifyBoundPeer = [this](TIdSocksServerContext&, const std::string&,
                                      const TIdSocketHandle& APeer,
                                      bool& VAllowed) { VAllowed = Admitted(APeer); };
    mSock->OnUdpAssociate = [this](TIdContext& AContext) {
        Log("UDP associate: " + Peer(AContext));
    };
    mSock->OnUdpDropped = [this](TIdContext&) { ++mDrop; };
    mSock->OnRoute = [this](TIdSocksServerContext& AContext, const std::string& ATarget,
                            TIdPort APort,
                            TIdSocksRoute& VRoute) { Route(AContext, ATarget, APort, VRoute); };
    mSock->OnTargetRefused = [this](TIdSocksServerContext& AContext, const std::string& ATarget,
                                    TIdPort APort) {
        LogTargetDenied(AContext, ATarget, APort);
        ++mDrop;
    };
    mSock->OnConnectFailed = [this](TIdSocksServerContext&, const TIdTCPClient& ATarget,
                                    TIdTCPClient::TIdConnectResult AResult) {
        ConnectFailed(ATarget, AResult);
    };
    mSock->OnDatagram = [this](TIdSocksServerContext& AContext, const std::string& AName,
                               const std::string& AAddress, TIdPort APort) {
        // Before its lookup a name counts only when the name alone decides.
        const TDestinationVerdict verdict =
            Verdict(AContext, AName, AAddress, APort, AAddress.empty());
        if (verdict.Decision == TDestinationDecision::Deny) {
            LogTargetDenied(AContext, AAddress.empty() ? AName : AAddress, APort);
            return false;
        }
        // A datagram cannot go through the upstream a rule names for it.
        return verdict.Decision != TDestinationDecision::Allow ||
               ViaOf(verdict).Kind == TUpstream::Direct;
    };
    mSock->OnOutOfResources = [this](const std::string& AReason) { LogOutOfResources(AReason); };
    mSock->OnServingAgain = [this] { LogServingAgain(); };
}

TProxyServer::~TProxyServer() {
    Stop();
    mSock->OnVerifyBoundPeer = nullptr;
    mSock->OnConnect = nullptr;
    mSock->OnAuthenticate = nullptr;
    mSock->OnDisconnect = nullptr;
    mSock->OnOutOfResources = nullptr;
    mSock->OnUdpAssociate = nullptr;
    mSock->OnUdpDropped = nullptr;
    mSock->OnRoute = nullptr;
    mSock->OnTargetRefused = nullptr;
    mSock->OnConnectFailed = nullptr;
    mSock->OnDatagram = nullptr;
    mSock->OnServingAgain = nullptr;
}

bool TProxyServer::Listening() const {
    return mSock->Active();
}

TIdPort TProxyServer::BoundPort() const {
    if (!mSock->Active() || mSock->Bindings.Count() == 0)
        return 0;
    return mSock->Bindings[0].Port;
}

void TProxyServer::Start() {
    TIdSocketHandle& binding = mSock->Bindings.Add();
    binding.IP = mHost;
    binding.Port = static_cast<TIdPort>(mPort);
    binding.IPVersion = IPVersionOf(mHost);
    mSock->AllowSocks5 = mFive;
    mSock->AllowSocks4 = mFour;
    mSock->ListenQueue = mQueue;
    mSock->MaxConnections = mLimit;
    mSock->NeedsAuthentication = !mUser.empty() && !mPass.empty();
    // A client gets the same time to finish its request; a silent one would
    // otherwise hold a thread for ever.
    mSock->RequestTimeout = SaturatedInt(WaitMilliseconds());
    mSock->BufferSize = SaturatedInt(BufferBytes());
    mSock->AllowUdpAssociate = mFive && mUDP;
    mSock->AllowHttp = mHTTP;
    mSock->UdpIdleTimeout = SaturatedInt(WaitMilliseconds() * 60);
    mSock->UdpBoundIP = mOutHost;
    mUpstream = ParseVia(mVia).value_or(TUpstream{});
    ForgetLogged();
    try {
        mSock->SetActive(true);
    } catch (...) {
        mSock->Bindings.Clear();
        Log("Listen failed: " + mHost + ":" + std::to_string(mPort));
        return;
    }
    Log("Started");
}

void TProxyServer::Stop() {
    if (!mSock->Active())
        return;
    Drop();
    mSock->SetActive(false);
    mSock->Bindings.Clear();
    ResetCounters();
    Log("Stopped");
}

void TProxyServer::Drop() {
    if (!mSock->Active())
        return;
    // Every close is handed to the loop that runs the connection, so that
    // nothing under the list's lock costs more than a hand-over and accepts
    // and closes go on while thousands are dropped.
    auto& contexts = mSock->Contexts.LockList();
    for (TIdContext* item : contexts) {
        auto& context = static_cast<TIdSocksServerContext&>(*item);
        // A denied connection is being closed already and was counted when
        // it was denied.
        if (context.Denied())
            continue;
        if (TIdRelay* relay = context.Relaying()) {
            if (relay->Close())
                ++mDrop;
        } else if (context.Terminate()) {
            ++mDrop;
        }
    }
    mSock->Contexts.UnlockList();
}

std::string TProxyServer::Peer(TIdContext& AContext) {
    const TIdSocketHandle* binding = AContext.Binding();
    return binding ? PeerText(*binding) : ":0";
}

bool TProxyServer::Admitted(const TIdSocketHandle& APeer) {
    if (mOwner.GetAccessRestriction(mHost, APeer.PeerIP, mPort, APeer.PeerPort))
        return true;
    LogDenied(APeer.PeerIP, PeerText(APeer));
    ++mDrop;
    return false;
}

TDestinationVerdict TProxyServer::Verdict(const TIdSocksServerContext& AContext,
                                          const std::string& AName, const std::string& AAddress,
                                          TIdPort APort, bool ASkipAddresses) {
    const TIdSocketHandle* client = AContext.Binding();
    TDestination target;
    target.Name = AName;
    target.Address = AAddress;
    target.Port = APort;
    return mOwner.GetDestinationRestriction(mHost, client ? client->PeerIP : std::string(), mPort,
                                            client ? client->PeerPort : 0, target, ASkipAddresses);
}

TUpstream TProxyServer::ViaOf(const TDestinationVerdict& AVerdict) const {
    if (AVerdict.Via.empty())
        return mUpstream;
    return ParseVia(AVerdict.Via).value_or(TUpstream{});
}

void TProxyServer::Route(TIdSocksServerContext& AContext, const std::string& AHost, TIdPort APort,
                         TIdSocksRoute& VRoute) {
    const TIdSocketHandle* client = AContext.Binding();
    VRoute.BoundIP = mOutHost == "same" && client ? client->IP : mOutHost;
    VRoute.Via = mUpstream;
    if (AHost.empty())
        return; // only the way out is asked for
    std::vector<TIdResolvedAddress> literal;
    const bool named = !TIdLookup::Immediate(AHost, literal) || literal.size() != 1;
    const std::string name = named ? AHost : std::string();
    const std::string address = named ? std::string() : literal.front().IP;
    const TDestinationVerdict verdict = Verdict(AContext, name, address, APort, false);
    if (verdict.Decision == TDestinationDecision::Deny) {
        VRoute.Allowed = false;
        return;
    }
    if (verdict.Decision == TDestinationDecision::Allow) {
        VRoute.Via = ViaOf(verdict);
        return;
    }
    // Address rules wait for the name's addresses, unless an upstream is to
    // resolve it: then only what the name decides can count.
    const TDestinationVerdict byName = Verdict(AContext, name, std::string(), APort, true);
    VRoute.Via = ViaOf(byName);
    if (VRoute.Via.Kind != TUpstream::Direct) {
        VRoute.Allowed = byName.Decision != TDestinationDecision::Deny;
        return;
    }
    // Every address tried must pass, so that a name cannot lead around an
    // address rule.
    VRoute.OnAddress = [this, &AContext, name, APort](const TIdResolvedAddress& AAddress) {
        return Verdict(AContext, name, AAddress.IP, APort, false).Decision ==
               TDestinationDecision::Allow;
    };
}

void TProxyServer::LogTargetDenied(TIdSocksServerContext& AContext, const std::string& AHost,
                                   TIdPort APort) {
    const TIdSocketHandle* client = AContext.Binding();
    // The target is the client's own text when it gave a name.
    LogDenied(client ? client->PeerIP : std::string(),
              Peer(AContext) + " -> " + EndpointText(EscapePeerText(AHost), APort));
}

void TProxyServer::ConnectFailed(const TIdTCPClient& ATarget,
                                 TIdTCPClient::TIdConnectResult AResult) {
    const std::string text = ATarget.FailureText(AResult);
    // An address that cannot be used fails every connection alike.
    if (AResult == TIdTCPClient::crCannotBind)
        LogOnce(text);
    else if (!text.empty())
        Log(text);
}

void TProxyServer::SocksServerConnect(TIdContext& AContext) {
    auto& context = static_cast<TIdSocksServerContext&>(AContext);
    const TIdSocketHandle* binding = context.Binding();
    if (binding && !Admitted(*binding)) {
        // Closed here, on its loop, before the server reads a byte; the mark
        // tells the server and SocksServerDisconnect apart from every other
        // denied connection.
        context.Deny();
        context.Close();
        return;
    }
    CountWrites(*context.Connection(), [this](int64_t ABytes) { CountTraffic(ABytes); });
    ++mOnline;
    ++mOnTotal;
    Log("Connected: " + Peer(AContext));
}

void TProxyServer::SocksServerAuthenticate(TIdSocksServerContext& AContext, bool& AAuthenticated) {
    // A SOCKS4 client is held to the login only when SOCKS5 is served too;
    // an HTTP client (version 0) always is.
    const bool http = AContext.SocksVersion() == 0;
    if ((!mFive && !http) || !mSock->NeedsAuthentication) {
        AAuthenticated = true;
        return;
    }
    if (AContext.Username() == mUser && AContext.Password() == mPass) {
        Log("Authenticated: " + Peer(AContext));
        AAuthenticated = true;
        return;
    }
    // The password offered is never written anywhere: it may be a real one
    // typed for another server. The name is the client's own text.
    Log("Authentication failed: " + Peer(AContext) + " @ " + EscapePeerText(AContext.Username()));
    ++mDrop;
    AAuthenticated = false;
}

void TProxyServer::SocksServerDisconnect(TIdContext& AContext) {
    auto& context = static_cast<TIdSocksServerContext&>(AContext);
    if (context.Denied())
        return;
    if (TIdTCPConnection* connection = context.Connection())
        CountWrites(*connection, nullptr);
    --mOnline;
    Log("Disconnected: " + Peer(AContext));
}

} // namespace kestrune
