// The UDP side of a two-way port mapping. It listens on the mapper's
// address; each sender (address and port) gets an outbound socket of its
// own towards the remote address, so that what comes back on it can only be
// the answer to that sender, and the answer goes to the sender from the
// listening socket. A sender's socket closes after an idle limit in both
// directions, and at most MaxSenders exist at a time.
//
// One thread of the router's own receives the requests and the answers, so
// that a request and its answer cost no hand-over between threads. Start,
// Stop and the destructor come from the thread that starts and stops the
// mapper; OnRequest runs on the router's thread and must not wait for it.
#pragma once

#include "net/OwnEndpoints.h"
#include "net/SocketHandle.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrune {

class TUDPReplyRouter {
public:
    static constexpr size_t MaxSenders = 1024;

    // Each datagram that reaches the listening socket, whose PeerIP and
    // PeerPort name its sender; the handler decides whether to Forward it.
    using TRequestEvent = std::function<void(TUDPReplyRouter& ARouter, TIdSocketHandle& ABinding,
                                             const TIdBytes& AData)>;

    // The router listens on AOwnIP:AOwnPort (0: a port the system chooses).
    // ACountAnswer is told the size of every answer passed back.
    TUDPReplyRouter(std::string AOwnIP, TIdPort AOwnPort, std::string ARemoteIP,
                    TIdPort ARemotePort, int AIdleMilliseconds, size_t ABlockSize,
                    TRequestEvent AOnRequest, std::function<void(int64_t ABytes)> ACountAnswer);
    ~TUDPReplyRouter();
    TUDPReplyRouter(const TUDPReplyRouter&) = delete;
    TUDPReplyRouter& operator=(const TUDPReplyRouter&) = delete;

    // Binds (raises EIdCouldNotBindSocket) and starts the router's thread.
    void Start();
    void Stop();
    // The listening socket: its address and the port bound.
    const TIdSocketHandle& Binding() const { return FListening; }

    // Sends AData to the remote address from ASender's own socket (made on
    // its first datagram). False, with nothing sent, when ASender is new and
    // MaxSenders already have a socket.
    bool Forward(const std::string& ASenderIP, TIdPort ASenderPort, const TIdBytes& AData);

    size_t SenderCount() const;

private:
    struct TSender;
    void Run();
    void Requests();
    void Answer(TSender& ASender);
    // Closes the senders idle for the limit; answers the milliseconds until
    // the next one will be (-1: none).
    int Expire();

    TIdSocketHandle FListening;
    std::string FRemoteIP;
    TIdPort FRemotePort;
    int64_t FIdle;
    size_t FBlockSize;
    TRequestEvent FOnRequest;
    std::function<void(int64_t)> FCountAnswer;

    mutable std::mutex FLock; // guards FSenders and their sockets' lifetime
    std::map<std::string, std::unique_ptr<TSender>> FSenders;
    int FPoll = -1; // epoll: the listening socket, the senders' sockets and FWake
    int FWake = -1; // eventfd: a new sender, or the stop
    std::atomic<bool> FStopped{false};
    std::vector<uint8_t> FBlock; // the router thread's receive block
    TIdBytes FRequest;
    std::thread FThread;
};

} // namespace kestrune
