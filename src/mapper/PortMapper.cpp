#include "mapper/PortMapper.h"

#include "base/Upstream.h"

#include <cstring>

#include "net/Exception.h"

namespace kestrune {

namespace {

bool IsAnyAddress(const std::string& AIP) {
    return AIP.empty() || AIP == "0.0.0.0" || AIP == "::";
}

} // namespace

TPortMapper::TPortMapper(IServiceHost& AHost) : TConfiguredService(AHost) {
    mSockTCP.OnConnect = [this](TIdContext& AContext) { PortMapperConnect(AContext); };
    mSockTCP.OnDisconnect = [this](TIdContext& AContext) { PortMapperDisconnect(AContext); };
    mSockTCP.OnOutOfResources = [this](const std::string& AReason) { LogOutOfResources(AReason); };
    mSockTCP.OnServingAgain = [this] { LogServingAgain(); };
    mSockTCP.OnOutboundFailed = [this](TIdMappedPortContext&, const TIdTCPClient& AOutbound,
                                       TIdTCPClient::TIdConnectResult AResult) {
        const std::string text = AOutbound.FailureText(AResult);
        // An address that cannot be used fails every connection alike.
        if (AResult == TIdTCPClient::crCannotBind)
            LogOnce(text);
        else if (!text.empty())
            Log(text);
    };
    mSockUDP.OnUDPRead = [this](const TIdBytes& AData, TIdSocketHandle& ABinding) {
        PortMapperUDPRead(AData, ABinding);
    };
}

TPortMapper::~TPortMapper() {
    Stop();
    mSockTCP.OnConnect = nullptr;
    mSockTCP.OnDisconnect = nullptr;
    mSockTCP.OnOutOfResources = nullptr;
    mSockTCP.OnServingAgain = nullptr;
    mSockTCP.OnOutboundFailed = nullptr;
    mSockTCP.OnExecute = nullptr;
    mSockUDP.OnUDPRead = nullptr;
}

bool TPortMapper::Listening() const {
    return mSockTCP.Active() || mSockUDP.Active() || mReplies;
}

TIdPort TPortMapper::TCPPort() {
    return mSockTCP.Active() && mSockTCP.Bindings.Count() > 0 ? mSockTCP.Bindings[0].Port : 0;
}

TIdPort TPortMapper::UDPPort() {
    if (mReplies)
        return mReplies->Binding().Port;
    return mSockUDP.Active() && mSockUDP.Bindings.Count() > 0 ? mSockUDP.Bindings[0].Port : 0;
}

void TPortMapper::Start() {
    if (Listening())
        return;
    mLoopLogged = false;
    ForgetLogged();
    mSockTCP.Bindings.Clear();
    mSockUDP.Bindings.Clear();
    try {
        if (mOwnPort < 0 || mOwnPort > 65535 || mMapPort < 0 || mMapPort > 65535)
            throw EIdCouldNotBindSocket();
        if (mTCP) {
            TIdSocketHandle& binding = mSockTCP.Bindings.Add();
            binding.IP = mOwnHost;
            binding.Port = static_cast<TIdPort>(mOwnPort);
            binding.IPVersion = IPVersionOf(mOwnHost);
            mSockTCP.MappedHost = mMapHost;
            mSockTCP.MappedPort = static_cast<TIdPort>(mMapPort);
            mSockTCP.ListenQueue = mQueue;
            mSockTCP.MaxConnections = mLimit;
            mSockTCP.BufferSize = SaturatedInt(BufferBytes());
            mSockTCP.BoundIP = mOutHost;
            mSockTCP.Via = ParseVia(mVia).value_or(TUpstream{});
            mSockTCP.SetActive(true);
        }
        // Port 0 asks the system for one; both sides then share the port
        // that TCP got.
        const TIdPort udpPort = mOwnPort == 0 ? TCPPort() : static_cast<TIdPort>(mOwnPort);
        if (mUDP && mTwoWay) {
            // Requests and answers on one loop. Answers are traffic, as
            // bytes written to a TCP client are.
            mReplies = std::make_unique<TUDPReplyRouter>(
                mOwnHost, udpPort, mMapHost, static_cast<TIdPort>(mMapPort),
                SaturatedInt(WaitMilliseconds() * 60), static_cast<size_t>(BufferBytes()),
                [this](TUDPReplyRouter& ARouter, TIdSocketHandle& ABinding, const TIdBytes& AData) {
                    HandleDatagram(ABinding, AData, &ARouter);
                },
                [this](int64_t ABytes) { CountTraffic(ABytes); },
                [this](const std::string& AIP, TIdPort APort) {
                    return mOwner.GetAccessRestriction(mOwnHost, AIP, mOwnPort, APort);
                });
            // The senders' sockets leave from the outgoing address; "same"
            // is the listening address when it is one.
            mReplies->BoundIP =
                mOutHost == "same" ? (IsAnyAddress(mOwnHost) ? "" : mOwnHost) : mOutHost;
            mReplies->Start();
            const TIdSocketHandle& binding = mReplies->Binding();
            mUDPEndpoint = TIdOwnEndpoints::AddDatagram(binding.IP, binding.Port);
        } else if (mUDP) {
            TIdSocketHandle& binding = mSockUDP.Bindings.Add();
            binding.IP = mOwnHost;
            binding.Port = udpPort;
            binding.IPVersion = IPVersionOf(mOwnHost);
            mSockUDP.BufferSize = SaturatedInt(BufferBytes());
            mSockUDP.SetActive(true);
            mUDPEndpoint = TIdOwnEndpoints::AddDatagram(binding.IP, binding.Port);
            OpenOutput();
        }
    } catch (...) {
        Log("Listen failed: " + mOwnHost + ":" + std::to_string(mOwnPort));
        Stop();
        // Nothing of this attempt may stay bound, so that the next Start binds afresh.
        mSockTCP.SetActive(false);
        mSockTCP.Bindings.Clear();
        CloseUDP();
        return;
    }
    Log("Started");
}

void TPortMapper::Stop() {
    if (!Listening())
        return;
    if (mSockTCP.Active()) {
        Drop();
        mSockTCP.SetActive(false); // waits for every connection thread
        mSockTCP.Bindings.Clear();
    }
    if (mSockUDP.Active() || mReplies)
        CloseUDP();
    ResetCounters();
    Log("Stopped");
}

void TPortMapper::Drop() {
    if (!Listening())
        return;
    if (mSockTCP.Active()) {
        // Every close is handed to the loop that runs the mapping, so that
        // nothing under the list's lock costs more than a hand-over.
        auto& contexts = mSockTCP.Contexts.LockList();
        for (TIdContext* context : contexts) {
            auto& mapping = static_cast<TIdMappedPortContext&>(*context);
            if (mapping.Denied())
                continue;
            if (TIdRelay* relay = mapping.Relaying()) {
                if (relay->Close())
                    ++mDrop;
            } else if (mapping.Terminate()) {
                ++mDrop;
            }
        }
        mSockTCP.Contexts.UnlockList();
    }
    if (mSockUDP.Active() || mReplies)
        CloseUDP();
}

void TPortMapper::AccessRulesChanged() {
    if (mReplies)
        mReplies->Recheck();
}

void TPortMapper::CloseUDP() {
    // Forgotten as the gateway's own before their ports are free for others.
    mUDPEndpoint.reset();
    mUDPOutEndpoint.reset();
    mSockUDP.SetActive(false);
    mReplies.reset();
    mSockUDP.Bindings.Clear();
    mUDPOut.CloseSocket();
}

void TPortMapper::OpenOutput() {
    // An outgoing address of the settings' own (not "same", which is the
    // listening socket's) is where datagrams leave from, when it is of the
    // remote's family.
    const TIdIPVersion family = IPVersionOf(mMapHost);
    const bool bound = !mOutHost.empty() && mOutHost != "same" && IPVersionOf(mOutHost) == family;
    if (!bound && family == IPVersionOf(mOwnHost))
        return;
    const auto open = [this, family](const std::string& AIP) {
        mUDPOut.IPVersion = family;
        mUDPOut.IP = AIP;
        mUDPOut.Port = 0;
        try {
            mUDPOut.AllocateSocket(SOCK_DGRAM | SOCK_NONBLOCK);
            mUDPOut.Bind();
        } catch (const EIdException&) {
            mUDPOut.CloseSocket();
            throw;
        }
        mUDPOutEndpoint = TIdOwnEndpoints::AddDatagram(
            !AIP.empty() ? AIP : (family == Id_IPv6 ? "::" : "0.0.0.0"), mUDPOut.Port);
    };
    if (!bound) {
        open(std::string());
        return;
    }
    try {
        open(mOutHost);
    } catch (const EIdException&) {
        LogOnce("Outgoing address not usable: " + mOutHost + " (" + std::strerror(EADDRNOTAVAIL) +
                ")");
        // Datagrams leave from the listening socket instead, or towards the
        // other family from a socket of that family that the system places.
        if (family != IPVersionOf(mOwnHost))
            open(std::string());
    }
}

bool TPortMapper::DropLooped(bool AConnection, const TIdSocketHandle& ABinding) {
    const bool looped = AConnection
                            ? TIdOwnEndpoints::MadeConnection(ABinding.PeerIP, ABinding.PeerPort,
                                                              ABinding.IP, ABinding.Port)
                            : TIdOwnEndpoints::SentDatagram(ABinding.PeerIP, ABinding.PeerPort);
    if (!looped)
        return false;
    ++mDrop;
    if (!mLoopLogged.exchange(true))
        Log("Forwarding loop: dropped traffic from the gateway's own address " +
            PeerText(ABinding));
    return true;
}

void TPortMapper::PortMapperConnect(TIdContext& AContext) {
    TIdSocketHandle* binding = AContext.Binding();
    if (!binding)
        return;
    if (DropLooped(true, *binding)) {
        static_cast<TIdServerContext&>(AContext).Deny();
        AContext.Connection()->Disconnect();
        return;
    }
    const std::string& ip = binding->PeerIP;
    const int port = binding->PeerPort;
    if (mOwner.GetAccessRestriction(mOwnHost, ip, mOwnPort, port)) {
        CountWrites(*AContext.Connection(), [this](int64_t ABytes) { CountTraffic(ABytes); });
        ++mOnline;
        ++mOnTotal;
        Log("Connected: " + PeerText(*binding));
        return;
    }
    // Closed here on its own thread, before the outbound connect, which a
    // closed client prevents: nothing of a refused client reaches the remote.
    static_cast<TIdServerContext&>(AContext).Deny();
    ++mDrop;
    LogDenied(binding->PeerIP, PeerText(*binding));
    AContext.Connection()->Disconnect();
}

void TPortMapper::PortMapperDisconnect(TIdContext& AContext) {
    if (static_cast<TIdServerContext&>(AContext).Denied())
        return;
    TIdSocketHandle* binding = AContext.Binding();
    if (!binding)
        return;
    CountWrites(*AContext.Connection(), nullptr);
    --mOnline;
    Log("Disconnected: " + PeerText(*binding));
}

void TPortMapper::PortMapperUDPRead(const TIdBytes& AData, TIdSocketHandle& ABinding) {
    HandleDatagram(ABinding, AData, nullptr);
}

void TPortMapper::HandleDatagram(TIdSocketHandle& ABinding, const TIdBytes& AData,
                                 TUDPReplyRouter* AReplies) {
    if (DropLooped(false, ABinding))
        return;
    if (!mOwner.GetAccessRestriction(mOwnHost, ABinding.PeerIP, mOwnPort, ABinding.PeerPort)) {
        ++mDrop;
        LogDenied(ABinding.PeerIP, PeerText(ABinding));
        return;
    }
    // A two-way mapper gives each sender a socket of its own; one sender
    // too many is refused, which is not the rules' doing.
    if (AReplies && !AReplies->Forward(ABinding.PeerIP, ABinding.PeerPort, AData)) {
        ++mDrop;
        mOwner.LogRefused(mName, "Too many senders", ABinding.PeerIP, PeerText(ABinding));
        return;
    }
    // A datagram whose send fails stays counted; a one-way mapper counts it
    // before its send.
    ++mOnTotal;
    CountTraffic(static_cast<int64_t>(AData.size()));
    if (AReplies)
        return;
    // A datagram leaves from the listening socket, so that the remote sees
    // the mapper's own address; towards the other family it cannot, and
    // leaves from a socket of that family.
    TIdSocketHandle& from = mUDPOut.HandleAllocated() ? mUDPOut : ABinding;
    from.SendTo(mMapHost, static_cast<TIdPort>(mMapPort), AData, IPVersionOf(mMapHost));
}

} // namespace kestrune
