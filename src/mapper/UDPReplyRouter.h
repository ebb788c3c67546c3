// The return path of a two-way UDP mapping. Each sender (address and port)
// gets an outbound socket of its own towards the remote address, so that
// what comes back on it can only be the answer to that sender; it goes to
// the sender from the mapper's listening socket. A sender's socket closes
// after an idle limit in both directions, and at most MaxSenders exist.
//
// Forward() runs on the UDP listener thread; answers are read and passed
// back on the router's own thread, which sleeps until an answer or the
// next expiry. Start, Stop and the destructor come from the thread that
// starts and stops the mapper, after the listener thread has stopped.
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

    // AListening: the mapper's listening socket, which answers leave from.
    // ACountAnswer is told the size of every answer passed back.
    TUDPReplyRouter(TIdSocketHandle& AListening, std::string ARemoteIP, TIdPort ARemotePort,
                    int AIdleMilliseconds, size_t ABlockSize,
                    std::function<void(int64_t ABytes)> ACountAnswer);
    ~TUDPReplyRouter();
    TUDPReplyRouter(const TUDPReplyRouter&) = delete;
    TUDPReplyRouter& operator=(const TUDPReplyRouter&) = delete;

    // Raises when the router's thread or descriptors cannot be made.
    void Start();
    void Stop();

    // Sends AData to the remote address from ASender's own socket (made on
    // its first datagram). False, with nothing sent, when ASender is new and
    // MaxSenders already have a socket.
    bool Forward(const std::string& ASenderIP, TIdPort ASenderPort, const TIdBytes& AData);

    size_t SenderCount() const;

private:
    struct TSender;
    void Run();
    void Answer(TSender& ASender);
    // Closes the senders idle for the limit; answers the milliseconds until
    // the next one will be (-1: none).
    int Expire();

    TIdSocketHandle& FListening;
    std::string FRemoteIP;
    TIdPort FRemotePort;
    int64_t FIdle;
    size_t FBlockSize;
    std::function<void(int64_t)> FCountAnswer;

    mutable std::mutex FLock; // guards FSenders and their sockets' lifetime
    std::map<std::string, std::unique_ptr<TSender>> FSenders;
    int FPoll = -1; // epoll: the senders' sockets and FWake
    int FWake = -1; // eventfd: a new sender, or the stop
    std::atomic<bool> FStopped{false};
    std::vector<uint8_t> FAnswer; // the router thread's receive block
    std::thread FThread;
};

} // namespace kestrune
