// The UDP side of a two-way port mapping. It listens on the mapper's
// address; each sender (address and port) gets an outbound socket of its
// own towards the remote address, so that what comes back on it can only be
// the answer to that sender, and the answer goes to the sender from the
// listening socket. A sender's socket closes after an idle limit in both
// directions; at most MaxSenders exist at a time, and when all are taken a
// sender idle for GiveWayAfter gives way to a new one.
//
// All of it runs on one event loop, so that a request and its answer cost
// no hand-over between threads. Start, Stop, Recheck and the destructor
// come from the thread that starts and stops the mapper; the handlers run
// on the loop and must not wait for that thread.
#pragma once

#include "net/EventLoop.h"
#include "net/OwnEndpoints.h"
#include "net/SocketHandle.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kestrune {

class TUDPReplyRouter {
public:
    static constexpr size_t MaxSenders = 1024;
    static constexpr auto GiveWayAfter = std::chrono::seconds(60);

    // Each datagram that reaches the listening socket, whose PeerIP and
    // PeerPort name its sender; the handler decides whether to Forward it.
    using TRequestEvent = std::function<void(TUDPReplyRouter& ARouter, TIdSocketHandle& ABinding,
                                             const TIdBytes& AData)>;
    // Whether answers may still go to a sender; one that may not loses its flow.
    using TAdmitEvent = std::function<bool(const std::string& AIP, TIdPort APort)>;

    // The router listens on AOwnIP:AOwnPort (0: a port the system chooses).
    // ACountAnswer is told the size of every answer passed back.
    TUDPReplyRouter(std::string AOwnIP, TIdPort AOwnPort, std::string ARemoteIP,
                    TIdPort ARemotePort, int AIdleMilliseconds, size_t ABlockSize,
                    TRequestEvent AOnRequest, std::function<void(int64_t ABytes)> ACountAnswer,
                    TAdmitEvent AAdmit = nullptr);
    ~TUDPReplyRouter();
    TUDPReplyRouter(const TUDPReplyRouter&) = delete;
    TUDPReplyRouter& operator=(const TUDPReplyRouter&) = delete;

    // How long a sender must have been quiet to give way to a new one when
    // all places are taken; set before Start.
    std::chrono::milliseconds GiveWay = GiveWayAfter;
    // The local address the senders' sockets leave from; empty for the
    // system's choice. Set before Start.
    std::string BoundIP;

    // Binds (raises EIdCouldNotBindSocket) and starts serving on a loop.
    void Start();
    // Returns once the loop has let go of every socket.
    void Stop();
    // The listening socket: its address and the port bound.
    const TIdSocketHandle& Binding() const { return FListening; }

    // Loop thread (from the request handler): sends AData to the remote
    // address from ASender's own socket (made on its first datagram). False,
    // with nothing sent, when ASender is new and no place is free.
    bool Forward(const std::string& ASenderIP, TIdPort ASenderPort, const TIdBytes& AData);
    // The access rules may have changed: the senders they no longer admit
    // lose their flows (on the loop, soon after the call).
    void Recheck();

    size_t SenderCount() const { return FCount.load(); }
    // The loop it serves on while started.
    TIdEventLoop* Loop() const { return FLoop; }

private:
    struct TSender;
    class TListenWatch;
    using TClock = std::chrono::steady_clock;

    void Requests();
    void Answer(TSender& ASender);
    void Close(std::map<std::string, std::shared_ptr<TSender>>::iterator AAt);
    // Closes the senders idle for the limit and sets the timer for the next.
    void Expire();

    TIdSocketHandle FListening;
    std::string FRemoteIP;
    TIdPort FRemotePort;
    TClock::duration FIdle;
    size_t FBlockSize;
    TRequestEvent FOnRequest;
    std::function<void(int64_t)> FCountAnswer;
    TAdmitEvent FAdmit;

    TIdEventLoop* FLoop = nullptr;
    std::unique_ptr<TListenWatch> FListenWatch;
    // Loop thread only.
    std::map<std::string, std::shared_ptr<TSender>> FSenders;
    TIdLoopTimer FExpiry;
    std::vector<uint8_t> FBlock;
    TIdBytes FRequest;
    std::atomic<size_t> FCount{0};
};

} // namespace kestrune
