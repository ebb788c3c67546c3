// One socket of the framework: a listening socket, an accepted one, the socket
// of an outbound connection or of a UDP binding.
//
// The owning thread allocates, binds and uses the socket; any thread may call
// CloseSocket(), which wakes a wait of the owner at once. The descriptor number
// is only closed when no thread is between Acquire() and Release(), so no
// thread ever uses a number that the system has meanwhile handed out again.
#pragma once

#include "net/Global.h"

#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrune {

class TIdSocketHandle {
public:
    TIdSocketHandle() = default;
    ~TIdSocketHandle();
    TIdSocketHandle(const TIdSocketHandle&) = delete;
    TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

    std::string IP;
    TIdPort Port = 0;
    std::string PeerIP;
    TIdPort PeerPort = 0;
    TIdIPVersion IPVersion = Id_IPv4;

    // Owner side. AllocateSocket closes any socket the binding still had.
    void AllocateSocket(int AType = SOCK_STREAM);
    // Takes over a descriptor made elsewhere (an accepted socket).
    void Adopt(int AHandle, TIdIPVersion AIPVersion);
    // Binds to IP/Port; raises EIdCouldNotBindSocket. Address reuse is on
    // for a listener: without it a Linux TCP listener cannot bind its port
    // again while earlier connections linger in TIME_WAIT, and Linux never
    // lets it share a port that another socket listens on.
    void Bind(bool AListening = false);
    void Listen(int AQueue);
    void SetNoDelay(bool AOn);
    // The options a socket accepted on AListening has from it (the system
    // copies them), so that setting them again costs no system call.
    void InheritOptions(const TIdSocketHandle& AListening);
    // TCP keepalive (probes after 60 s of silence, every 10 s, 6 of them), so
    // that a peer that vanished without a FIN or a reset frees an idle
    // connection within two minutes. No limit on unacknowledged data: it
    // would also cut a live peer that only pauses reading (its zero window
    // is probed, and those probes count against such a limit).
    void SetKeepAlive();
    void UpdateBindingLocal();
    void UpdateBindingPeer();

    // True while there is a socket that has not been closed.
    bool HandleAllocated() const;

    // Any thread. Shuts the socket down (waking every wait on it) and marks
    // the binding as having no socket; a second call does nothing.
    void CloseSocket();

    // The descriptor for one operation, or -1 when there is no open socket.
    // Every successful Acquire() is paired with Release().
    int Acquire();
    void Release();
    // Release() by a user that also closes the socket: with no other user
    // left, the descriptor goes at once, without a shutdown first (answered
    // true); otherwise the last user closes it, and AIfKept runs first,
    // while the descriptor is still certain to be this socket's.
    bool ReleaseAndClose(const std::function<void()>& AIfKept = nullptr);

    // RAII form of Acquire/Release.
    class TUse {
    public:
        explicit TUse(TIdSocketHandle& AHandle) : FOwner(AHandle), FHandle(AHandle.Acquire()) {}
        ~TUse() {
            if (FHandle >= 0)
                FOwner.Release();
        }
        TUse(const TUse&) = delete;
        TUse& operator=(const TUse&) = delete;
        int Handle() const { return FHandle; }
        explicit operator bool() const { return FHandle >= 0; }

    private:
        TIdSocketHandle& FOwner;
        int FHandle;
    };

    // Sends ABytes as one datagram from this socket. Raises
    // EIdIPVersionUnsupported, EIdPackageSizeTooBig, EIdNotAllBytesSent or
    // EIdSocketError.
    void SendTo(const std::string& AIP, TIdPort APort, const TIdBytes& ABytes,
                TIdIPVersion AIPVersion = Id_IPv4);

    // Address text <-> socket address. ToSockAddr accepts literals only.
    static bool ToSockAddr(const std::string& AIP, TIdPort APort, TIdIPVersion AIPVersion,
                           sockaddr_storage& AAddr, socklen_t& ALength);
    static void FromSockAddr(const sockaddr* AAddr, std::string& AIP, TIdPort& APort);
    static int Family(TIdIPVersion AIPVersion);

private:
    void DropLocked();
    // Fills AIP and APort from getsockname or getpeername.
    void UpdateAddress(int (*AQuery)(int, sockaddr*, socklen_t*), std::string& AIP, TIdPort& APort);

    mutable std::mutex FLock;
    int FHandle = -1;
    bool FOpen = false;
    // TCP_NODELAY as last set on this socket: 0 off (as a new socket has it),
    // 1 on, -1 not known (an adopted socket), so that setting it again costs
    // no system call; the same for keepalive.
    std::atomic<int> FNoDelay{-1};
    std::atomic<bool> FKeepAlive{false};
    int FUsers = 0;
};

// A thread that holds a server's list of live contexts (to walk it) marks
// itself; every socket call it makes meanwhile is counted. A walk should
// make none: accepts and closes wait for the list while it is held.
void MarkListWalk(bool AStarted);
// The socket calls made during list walks since the process began.
int64_t SocketCallsDuringListWalks();

// An address and port as the event log writes them: "IP:port", an IPv6
// address in brackets ("[2001:db8::7]:51000").
std::string EndpointText(const std::string& AIP, TIdPort APort);
// The peer of a binding in that form.
std::string PeerText(const TIdSocketHandle& ABinding);
// The family of an address literal (IPv6 when it has a colon).
TIdIPVersion IPVersionOf(const std::string& AIP);

// The bindings of a server. Add() gives the new binding the owner's
// DefaultPort (read when Add is called) and IPv4.
class TIdSocketHandles {
public:
    explicit TIdSocketHandles(const TIdPort& ADefaultPort) : FDefaultPort(ADefaultPort) {}

    TIdSocketHandle& Add();
    void Clear() { FItems.clear(); }
    int Count() const { return static_cast<int>(FItems.size()); }
    TIdSocketHandle& operator[](int AIndex) { return *FItems[static_cast<size_t>(AIndex)]; }
    const TIdSocketHandle& operator[](int AIndex) const {
        return *FItems[static_cast<size_t>(AIndex)];
    }

private:
    const TIdPort& FDefaultPort;
    std::vector<std::unique_ptr<TIdSocketHandle>> FItems;
};

} // namespace kestrune
