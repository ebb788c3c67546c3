// One configured port mapper: forwards the TCP connections and/or UDP
// datagrams that arrive at its listen address to one remote address, after
// the access check, counting and logging as it goes.
//
// Start, Stop, Drop and the destructor run on the main thread. The TCP and
// UDP handlers run on the event loops; none of them waits for the main
// thread.
#pragma once

#include "base/Service.h"
#include "base/ServiceSettings.h"
#include "mapper/MappedPortTCP.h"
#include "mapper/UDPReplyRouter.h"
#include "net/OwnEndpoints.h"
#include "net/UDPServer.h"

#include <atomic>
#include <memory>

#include <string>

namespace kestrune {

class TPortMapper : public TConfiguredService<TPortMapperSettings> {
public:
    explicit TPortMapper(IServiceHost& AHost);
    ~TPortMapper() override; // stops first

    void Start() override;
    void Stop() override;
    void Drop() override;
    bool Listening() const override;
    void AccessRulesChanged() override;

    // The ports actually bound while listening (0 when that side is not),
    // so that a mapper configured on port 0 can be reached.
    TIdPort TCPPort();
    TIdPort UDPPort();
    // Live TCP mappings, the ones still ending included.
    size_t ConnectionCount() const { return mSockTCP.Contexts.Count(); }

private:
    void PortMapperConnect(TIdContext& AContext);
    void PortMapperDisconnect(TIdContext& AContext);
    void PortMapperUDPRead(const TIdBytes& AData, TIdSocketHandle& ABinding);
    // One datagram from the sender that ABinding's PeerIP and PeerPort name:
    // the loop and access checks, the counting and the forwarding (through
    // AReplies for a two-way mapping).
    void HandleDatagram(TIdSocketHandle& ABinding, const TIdBytes& AData,
                        TUDPReplyRouter* AReplies);
    // Opens mUDPOut when datagrams cannot leave from the listening socket:
    // towards a remote of the other family, or from an outgoing address.
    void OpenOutput();
    // Closes the UDP side, whichever kind it is, and forgets its endpoints.
    void CloseUDP();
    // True (after counting and, once per start, logging it) when the peer is
    // one of the gateway's own forwarding endpoints: the traffic has come
    // round a loop of mappers and must go no further. AConnection: an
    // accepted connection, whose own end ABinding names too; otherwise a
    // datagram.
    bool DropLooped(bool AConnection, const TIdSocketHandle& ABinding);

    TIdMappedPortTCP mSockTCP;
    TIdUDPServer mSockUDP;
    // Datagrams leave from the listening socket, so its address is one of
    // the gateway's own while it listens.
    TIdOwnEndpoints::TEntryPtr mUDPEndpoint;
    // Datagrams towards a remote of the other family than the listening
    // socket's leave from this one (closed unless needed).
    TIdSocketHandle mUDPOut;
    // Set while a two-way mapping listens for UDP.
    std::unique_ptr<TUDPReplyRouter> mReplies;
    TIdOwnEndpoints::TEntryPtr mUDPOutEndpoint;
    std::atomic<bool> mLoopLogged{false};
};

} // namespace kestrune
