#include "proxy/ProxyServer.h"

#include "base/Text.h"

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
    mSock->UdpIdleTimeout = SaturatedInt(WaitMilliseconds() * 60);
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
    if (!mFive || !mSock->NeedsAuthentication) {
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
