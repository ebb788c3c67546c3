#include "mapper/PortMapper.h"

#include "net/Exception.h"

namespace kestrune {

TPortMapper::TPortMapper(IServiceHost& AHost) : TConfiguredService(AHost) {
    mSockTCP.OnConnect = [this](TIdContext& AContext) { PortMapperConnect(AContext); };
    mSockTCP.OnDisconnect = [this](TIdContext& AContext) { PortMapperDisconnect(AContext); };
    mSockUDP.OnUDPRead = [this](TIdUDPListenerThread& AThread, const TIdBytes& AData,
                                TIdSocketHandle& ABinding) {
        PortMapperUDPRead(AThread, AData, ABinding);
    };
}

TPortMapper::~TPortMapper() {
    Stop();
    mSockTCP.OnConnect = nullptr;
    mSockTCP.OnDisconnect = nullptr;
    mSockTCP.OnExecute = nullptr;
    mSockUDP.OnUDPRead = nullptr;
}

bool TPortMapper::Listening() const {
    return mSockTCP.Active() || mSockUDP.Active();
}

TIdPort TPortMapper::TCPPort() {
    return mSockTCP.Active() && mSockTCP.Bindings.Count() > 0 ? mSockTCP.Bindings[0].Port : 0;
}

TIdPort TPortMapper::UDPPort() {
    return mSockUDP.Active() && mSockUDP.Bindings.Count() > 0 ? mSockUDP.Bindings[0].Port : 0;
}

void TPortMapper::Start() {
    if (Listening())
        return;
    mSockTCP.Bindings.Clear();
    mSockUDP.Bindings.Clear();
    try {
        if (mOwnPort < 0 || mOwnPort > 65535 || mMapPort < 0 || mMapPort > 65535)
            throw EIdCouldNotBindSocket();
        if (mTCP) {
            TIdSocketHandle& binding = mSockTCP.Bindings.Add();
            binding.IP = mOwnHost;
            binding.Port = static_cast<TIdPort>(mOwnPort);
            binding.IPVersion = Id_IPv4;
            mSockTCP.MappedHost = mMapHost;
            mSockTCP.MappedPort = static_cast<TIdPort>(mMapPort);
            mSockTCP.ListenQueue = mQueue;
            mSockTCP.MaxConnections = mLimit;
            mSockTCP.BufferSize = mBuffer * 1024;
            mSockTCP.SetActive(true);
        }
        if (mUDP) {
            TIdSocketHandle& binding = mSockUDP.Bindings.Add();
            binding.IP = mOwnHost;
            // Port 0 asks the system for one; both sides then share the
            // port that TCP got.
            binding.Port = mOwnPort == 0 ? TCPPort() : static_cast<TIdPort>(mOwnPort);
            binding.IPVersion = Id_IPv4;
            mSockUDP.BufferSize = mBuffer * 1024;
            mSockUDP.SetActive(true);
        }
    } catch (...) {
        Log("Listen failed: " + mOwnHost + ":" + std::to_string(mOwnPort));
        Stop();
        // Nothing of this attempt may stay bound, so that the next Start binds afresh.
        mSockTCP.SetActive(false);
        mSockUDP.SetActive(false);
        mSockTCP.Bindings.Clear();
        mSockUDP.Bindings.Clear();
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
    if (mSockUDP.Active()) {
        mSockUDP.SetActive(false);
        mSockUDP.Bindings.Clear();
    }
    ResetCounters();
    Log("Stopped");
}

void TPortMapper::Drop() {
    if (!Listening())
        return;
    if (mSockTCP.Active()) {
        // Nothing that costs a system call per connection happens under the
        // list's lock, so that accepts and closes go on while thousands are
        // dropped: a relay's close is posted to its loop, and the mappings
        // still connecting are terminated after unlocking.
        std::vector<std::shared_ptr<TIdContext>> connecting;
        auto& contexts = mSockTCP.Contexts.LockList();
        try {
            for (TIdContext* context : contexts) {
                auto& mapping = static_cast<TIdMappedPortContext&>(*context);
                if (TIdRelay* relay = mapping.Relaying()) {
                    if (relay->Close())
                        ++mDrop;
                } else if (auto pinned = TIdContextList::Pin(*context)) {
                    connecting.push_back(std::move(pinned));
                }
            }
        } catch (...) {
        }
        mSockTCP.Contexts.UnlockList();
        for (auto& context : connecting)
            if (static_cast<TIdMappedPortContext&>(*context).Terminate())
                ++mDrop;
    }
    if (mSockUDP.Active()) {
        mSockUDP.SetActive(false);
        mSockUDP.Bindings.Clear();
    }
}

void TPortMapper::PortMapperConnect(TIdContext& AContext) {
    TIdSocketHandle* binding = AContext.Binding();
    if (!binding)
        return;
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
    Log("Denied: " + PeerText(*binding));
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

void TPortMapper::PortMapperUDPRead(TIdUDPListenerThread& /*AThread*/, const TIdBytes& AData,
                                    TIdSocketHandle& ABinding) {
    if (!mOwner.GetAccessRestriction(mOwnHost, ABinding.PeerIP, mOwnPort, ABinding.PeerPort)) {
        ++mDrop;
        Log("Denied: " + PeerText(ABinding));
        return;
    }
    // Counted before the send: a datagram whose send fails stays counted.
    ++mOnTotal;
    CountTraffic(static_cast<int64_t>(AData.size()));
    ABinding.SendTo(mMapHost, static_cast<TIdPort>(mMapPort), AData, Id_IPv4);
}

} // namespace kestrune
