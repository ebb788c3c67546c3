// Moves bytes both ways between a client connection and a remote one until
// both directions have ended: the one relay of the SOCKS server and the
// mapped port.
//
// Start() hands both sockets to an event loop (net/EventLoop.h): the calling
// loop when it runs on one, the next loop otherwise, and returns at once;
// Run() does the same and waits for the end. The hooks, the client's work
// events and the end handler run on the loop's thread and must not wait for
// another thread. Close() may be called from any thread.
#pragma once

#include "net/TCPConnection.h"

#include <functional>
#include <memory>

namespace kestrune {

class TIdRelay {
public:
    enum TIdRelayEnd {
        reFinished, // both sides ended their streams
        reClosed,   // a socket was closed from another thread, or Close(); both are closed
        // A reset or error on either side: what that side sent before it is
        // passed on in full, then the other side is reset too, so that its
        // peer sees the transfer cut rather than complete.
        reError,
    };
    using TIdRelayEndEvent = std::function<void(TIdRelayEnd AEnd)>;

    // Blocks read from the client are at most AClientBlockSize bytes, blocks
    // read from the remote side at most ARemoteBlockSize. Both connections
    // must outlive the relay's run.
    TIdRelay(TIdTCPConnection& AClient, TIdTCPConnection& ARemote, size_t AClientBlockSize,
             size_t ARemoteBlockSize);
    // Not while running: the owner waits for the end first.
    ~TIdRelay();
    TIdRelay(const TIdRelay&) = delete;
    TIdRelay& operator=(const TIdRelay&) = delete;

    // Sees each client block before it goes to the remote side and may change
    // it; an emptied block is dropped. Costs a copy per block, and the bytes
    // then pass through user space, so leave it unset when not needed. Set
    // before Start().
    std::function<void(TIdBytes& ABlock)> OnClientData;
    // The same for each block from the remote side before it goes to the client.
    std::function<void(TIdBytes& ABlock)> OnRemoteData;

    // Bytes already waiting in either connection's InputBuffer go first. Each
    // block written whole to the client is reported on the client connection
    // as work of mode wmWrite with the block's length. End of stream on one
    // side reaches the other as a half-close. Both sockets get TCP_NODELAY
    // and keepalive (no user time-out: a peer that stops reading for a while
    // keeps its connection). AOnEnd runs once on the loop's thread when the relay
    // has ended; by then the relay touches neither connection any more, so
    // AOnEnd may free them and the relay. ACloseAtEnd: close both sockets
    // however it ended (otherwise a finished relay leaves them open).
    void Start(TIdRelayEndEvent AOnEnd, bool ACloseAtEnd = true);
    // Start() that waits for the end; the sockets of a finished relay are
    // left open. Not on a loop's thread.
    TIdRelayEnd Run();

    // Any thread: ends the relay (reClosed), also one not started yet.
    // Answers true when this call ended a relay that was still running.
    bool Close();

    // Bytes that the relays of the process hold: taken from one socket and
    // not yet written to the other (in a buffer of their own or a pipe).
    // Bounded per relay by one block per direction.
    static int64_t BytesHeld();

    // After the end: whether the remote side ended its stream or failed, as
    // opposed to an end that came from the client side or another thread.
    bool RemoteEnded() const;

    // Keeps AConnection (the remote side made for this relay) as long as the
    // relay.
    void Own(std::unique_ptr<TIdTCPConnection> AConnection);

    class TEngine;

private:
    std::shared_ptr<TEngine> FEngine;
    std::unique_ptr<TIdTCPConnection> FOwned;
};

} // namespace kestrune
